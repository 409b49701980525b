#include "sim/vmodule/WireCodec.h"

#include <algorithm>

namespace vmodule {

namespace {
constexpr size_t kMaxFrame = 2 + kMaxData + 1 + 1 + 8;  // generous: a longer frame is garbage
}

Bytes EncodePacket(const Packet& packet) {
  Bytes wire(packet.data.size() + 2);
  wire[0] = packet.address;
  wire[1] = static_cast<uint8_t>(packet.data.size());
  std::copy(packet.data.begin(), packet.data.end(), wire.begin() + 2);
  return wire;
}

Bytes EncodeFrame(const Packet& packet) {
  Bytes plain = EncodePacket(packet);
  plain.push_back(Crc8(plain.data(), plain.size()));
  Bytes frame = CobsEncode(plain);
  frame.push_back(0);
  return frame;
}

uint8_t Crc8(const uint8_t* bytes, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

Bytes CobsEncode(const Bytes& plain) {
  Bytes out;
  out.reserve(plain.size() + plain.size() / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (uint8_t byte : plain) {
    if (byte == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(byte);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

std::optional<Bytes> CobsDecode(const Bytes& encoded) {
  Bytes out;
  size_t at = 0;
  while (at < encoded.size()) {
    const uint8_t code = encoded[at++];
    if (code == 0 || at + code - 1 > encoded.size()) return std::nullopt;
    for (int i = 1; i < code; ++i) {
      if (encoded[at] == 0) return std::nullopt;
      out.push_back(encoded[at++]);
    }
    if (code != 0xFF && at < encoded.size()) out.push_back(0);
  }
  return out;
}

std::optional<Packet> PlainReader::Feed(uint8_t byte) {
  partial_.push_back(byte);
  if (partial_.size() == 2 && partial_[1] > kMaxData) {
    partial_.clear();
    return std::nullopt;
  }
  if (partial_.size() >= 2 && partial_.size() == size_t{partial_[1]} + 2) {
    Packet packet{partial_[0], Bytes(partial_.begin() + 2, partial_.end())};
    partial_.clear();
    return packet;
  }
  return std::nullopt;
}

std::optional<Packet> FrameReader::Feed(uint8_t byte) {
  if (byte != 0) {
    if (frame_.size() < kMaxFrame)
      frame_.push_back(byte);
    else
      overlong_ = true;
    return std::nullopt;
  }
  if (frame_.empty()) return std::nullopt;
  Bytes frame;
  frame.swap(frame_);
  const bool overlong = overlong_;
  overlong_ = false;
  std::optional<Bytes> plain = overlong ? std::nullopt : CobsDecode(frame);
  if (!plain || plain->size() < 3 || plain->size() != size_t{(*plain)[1]} + 3 ||
      Crc8(plain->data(), plain->size() - 1) != plain->back()) {
    ++badFrames_;
    return std::nullopt;
  }
  return Packet{(*plain)[0], Bytes(plain->begin() + 2, plain->end() - 1)};
}

uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
  return uint32_t{major} << 28 | uint32_t{static_cast<uint8_t>(minor & 0x0F)} << 24 | patch;
}

}  // namespace vmodule
