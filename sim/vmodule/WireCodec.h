// The virtual module's own reading and writing of the wire, done from the
// device's side and sharing no code with the host library.
//
// Packet: address, length (0-28), data[length].
// Serial frame: COBS(packet, CRC-8/MAXIM of packet) followed by 0x00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vmodule {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kMaxData = 28;

struct Packet {
  uint8_t address = 0;
  Bytes data;
};

Bytes EncodePacket(const Packet& packet);
// A whole serial frame, delimiter included.
Bytes EncodeFrame(const Packet& packet);

// CRC-8/MAXIM: reflected polynomial 0x8C, initial 0, no final xor.
uint8_t Crc8(const uint8_t* bytes, size_t length);
Bytes CobsEncode(const Bytes& plain);
// nullopt when a code byte is 0 or runs past the end.
std::optional<Bytes> CobsDecode(const Bytes& encoded);

// Splits an unframed byte stream into packets. A length above 28 loses
// the packet: the reader drops it and starts over at the next byte.
class PlainReader {
 public:
  std::optional<Packet> Feed(uint8_t byte);

 private:
  Bytes partial_;
};

// Splits a framed byte stream into packets; bad frames are counted and dropped.
class FrameReader {
 public:
  std::optional<Packet> Feed(uint8_t byte);
  unsigned badFrames() const { return badFrames_; }

 private:
  Bytes frame_;
  bool overlong_ = false;
  unsigned badFrames_ = 0;
};

// Version A.B.C packed the way the family's firmware reports it.
uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch);

}  // namespace vmodule
