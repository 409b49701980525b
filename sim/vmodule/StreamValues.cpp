// Stream values (command 93) and the samples a streaming module sends.
//
//   93, 0x81 | 0x82, 0x20, key (32-bit: module, class, option, index)
//                                   -> 93, 0xC1 | 0xC2, 0     start | stop streaming that key
//   93, 0x41, 0x20                  -> 93, 1, 0, 1 while any stream runs, else 0
//
// Sample, sent unasked every interval for each readable scalar option a key
// names (option or index 0xFF: all; only the system entity streams):
//   class, option, 0x40 | index, type (1: byte, 3: 32-bit), timestamp high,
//   timestamp low (microseconds since start, 32 bits each), value, 0
#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kStream = 93;
constexpr uint8_t kEnable = 1;
constexpr uint8_t kDisable = 2;
constexpr uint8_t kStreaming = 1;
constexpr uint8_t kSystemClass = 3;
constexpr uint8_t kAll = 0xFF;
constexpr uint8_t kTypeByte = 1;
constexpr uint8_t kTypeInt = 3;

void Sample(const ModuleState& m, uint8_t option, uint64_t timestamp, std::vector<Packet>& out) {
  const SystemOption* o = FindSystemOption(option);
  if (!o || !o->readable || (o->kind != OptionKind::Byte && o->kind != OptionKind::Int)) return;
  const bool byte = o->kind == OptionKind::Byte;
  Bytes data{kSystemClass, option, kStreamBit, byte ? kTypeByte : kTypeInt};
  PutBig32(data, static_cast<uint32_t>(timestamp >> 32));
  PutBig32(data, static_cast<uint32_t>(timestamp));
  const uint32_t value = ReadSystemOption(m, option);
  if (byte) {
    data.push_back(static_cast<uint8_t>(value));
  } else {
    PutBig32(data, value);
  }
  data.push_back(0);
  out.push_back(Packet{m.identity.address, std::move(data)});
}

}  // namespace

void HandleStream(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 3) return;
  const uint8_t option = d[1] & kOptionMask;
  const uint8_t index = d[2] & kIndexMask;
  const uint8_t request = d[1] & (kGetBit | kSetBit);
  if (request == kSetBit) {
    const uint8_t echoed = static_cast<uint8_t>(option | kAckBits);
    auto fail = [&](uint8_t code) {
      r.Reply({kStream, echoed, static_cast<uint8_t>(index | kErrorBit), code});
    };
    if (option != kEnable && option != kDisable) return fail(kErrInvalidOption);
    if (index != 0) return fail(kErrIndexRange);
    if (d.size() != 7) return fail(kErrSize);
    const uint32_t key = GetBig32(d.data() + 3);
    if (option == kEnable) {
      r.module.streams.insert(key);
    } else {
      r.module.streams.erase(key);
    }
    return r.Reply({kStream, echoed, index});
  }
  if (request == kGetBit) {
    if (option != kStreaming)
      return r.Reply({kStream, option, static_cast<uint8_t>(index | kErrorBit), kErrInvalidOption});
    if (index != 0)
      return r.Reply({kStream, option, static_cast<uint8_t>(index | kErrorBit), kErrIndexRange});
    return r.Reply({kStream, option, index, static_cast<uint8_t>(r.module.streams.empty() ? 0 : 1)});
  }
}

void CollectStreamSamples(ModuleState& m, uint32_t intervalMs, std::vector<Packet>& out) {
  if (m.streams.empty() || intervalMs == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < m.nextSample) return;
  m.nextSample = now + std::chrono::milliseconds(intervalMs);
  const uint64_t timestamp = m.Timestamp();
  for (const uint32_t key : m.streams) {
    const uint8_t entityClass = static_cast<uint8_t>(key >> 16);
    const uint8_t option = static_cast<uint8_t>(key >> 8);
    const uint8_t index = static_cast<uint8_t>(key);
    if (entityClass != kSystemClass || (index != 0 && index != kAll)) continue;
    if (option != kAll) {
      Sample(m, option, timestamp, out);
      continue;
    }
    for (size_t i = 0; i < SystemOptionCount(); ++i) Sample(m, SystemOptionAt(i).option, timestamp, out);
  }
}

}  // namespace vmodule
