#include "sim/linkrig/DeviceCodec.h"

namespace linkrig {

uint8_t DeviceCrc8(const Bytes& bytes) {
  uint8_t crc = 0;
  for (uint8_t byte : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ byte) & 1) != 0;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

Bytes DeviceCobsEncode(const Bytes& plain) {
  Bytes out;
  Bytes block;
  bool endsWithFullBlock = false;
  auto emit = [&](uint8_t code) {
    out.push_back(code);
    out.insert(out.end(), block.begin(), block.end());
    block.clear();
  };
  for (uint8_t byte : plain) {
    endsWithFullBlock = false;
    if (byte == 0) {
      emit(static_cast<uint8_t>(block.size() + 1));
      continue;
    }
    block.push_back(byte);
    if (block.size() == 254) {
      emit(0xFF);
      endsWithFullBlock = true;
    }
  }
  if (!endsWithFullBlock) emit(static_cast<uint8_t>(block.size() + 1));
  return out;
}

std::optional<Bytes> DeviceCobsDecode(const Bytes& encoded) {
  Bytes out;
  size_t i = 0;
  while (i < encoded.size()) {
    const uint8_t code = encoded[i++];
    if (code == 0 || i + code - 1 > encoded.size()) return std::nullopt;
    out.insert(out.end(), encoded.begin() + static_cast<long>(i),
               encoded.begin() + static_cast<long>(i + code - 1));
    i += code - 1;
    if (code != 0xFF && i < encoded.size()) out.push_back(0);
  }
  return out;
}

Bytes DevicePacket(uint8_t address, const Bytes& data) {
  Bytes wire{address, static_cast<uint8_t>(data.size())};
  wire.insert(wire.end(), data.begin(), data.end());
  return wire;
}

Bytes DeviceFrame(const Bytes& packet) {
  Bytes body = packet;
  body.push_back(DeviceCrc8(packet));
  Bytes frame = DeviceCobsEncode(body);
  frame.push_back(0);
  return frame;
}

std::optional<Bytes> DevicePacketReader::Feed(uint8_t byte) {
  partial_.push_back(byte);
  if (partial_.size() == 2 && partial_[1] > 28) {
    // Not a length: drop the first byte and read on from there.
    partial_.erase(partial_.begin());
    return std::nullopt;
  }
  if (partial_.size() >= 2 && partial_.size() == size_t{partial_[1]} + 2) {
    Bytes packet;
    packet.swap(partial_);
    return packet;
  }
  return std::nullopt;
}

std::optional<Bytes> DeviceFrameReader::Feed(uint8_t byte) {
  if (byte != 0) {
    frame_.push_back(byte);
    return std::nullopt;
  }
  if (frame_.empty()) return std::nullopt;
  auto body = DeviceCobsDecode(frame_);
  frame_.clear();
  if (!body || body->size() < 3 || body->size() != size_t{(*body)[1]} + 3 ||
      DeviceCrc8(Bytes(body->begin(), body->end() - 1)) != body->back()) {
    badFrames_++;
    return std::nullopt;
  }
  body->pop_back();
  return body;
}

}  // namespace linkrig
