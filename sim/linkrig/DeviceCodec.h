// The device side's own reading of the wire, written apart from the
// engine's code so that one misreading cannot hide on both sides.
//
// Packet: address, length (0-28), data. On serial lines each packet is a
// frame: COBS(packet bytes + CRC-8/MAXIM) followed by one zero byte.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace linkrig {

using Bytes = std::vector<uint8_t>;

// CRC-8/MAXIM bit by bit: reflected polynomial 0x8C, initial 0, no final xor.
uint8_t DeviceCrc8(const Bytes& bytes);
Bytes DeviceCobsEncode(const Bytes& plain);
// Empty when the encoding is broken.
std::optional<Bytes> DeviceCobsDecode(const Bytes& encoded);

// Wire bytes of one packet.
Bytes DevicePacket(uint8_t address, const Bytes& data);
// One serial frame, delimiter included.
Bytes DeviceFrame(const Bytes& packet);

// Splits a plain byte stream into packets.
class DevicePacketReader {
 public:
  // Returns a complete packet when this byte ends one.
  std::optional<Bytes> Feed(uint8_t byte);

 private:
  Bytes partial_;
};

// Splits a framed byte stream into packets; bad frames are counted and dropped.
class DeviceFrameReader {
 public:
  std::optional<Bytes> Feed(uint8_t byte);
  int badFrames() const { return badFrames_; }

 private:
  Bytes frame_;
  int badFrames_ = 0;
};

}  // namespace linkrig
