// Factory data (command 94): small areas (numbers 0-15) read and written
// in packets of up to 26 bytes, each transfer closed by an end request
// that carries the byte count.
//
//   read:  94, area | 0x40 (first) or area    -> 94, area, up to 26 bytes (28 data bytes: more follow)
//   write: 94, area | 0x50 (first) or area | 0x10, up to 26 bytes -> 94, area
//   end:   94, 0x20, count (16-bit)           -> 94, area; a count that differs from the
//          transfer's, or no transfer and a count other than 0: 94, area | 0x80, code
//          (without a transfer, area is the one last used)
// A write that would overflow the area is answered 94, area | 0x80 (no code).
#include <algorithm>

#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kFactory = 94;
constexpr uint8_t kFirst = 0x40;
constexpr uint8_t kWrite = 0x10;
constexpr uint8_t kEnd = 0x20;
constexpr size_t kChunk = 26;
constexpr size_t kMaxArea = 1024;

}  // namespace

void HandleFactory(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 2) return;
  ModuleState& m = r.module;
  ModuleState::FactoryTransfer& t = m.factoryTransfer;
  const uint8_t code = d[1];
  const uint8_t area = code & 0x0F;
  if (code != kEnd) m.lastFactoryArea = area;
  if (code == kEnd) {
    if (d.size() != 4) return;
    const size_t count = static_cast<size_t>(d[2]) << 8 | d[3];
    const uint8_t at = t.active ? t.area : m.lastFactoryArea;
    // An empty write is an end request alone.
    if (!t.active)
      return r.Reply(count == 0 ? Bytes{kFactory, at}
                                : Bytes{kFactory, static_cast<uint8_t>(at | kErrorBit), kErrMode});
    const size_t expected = t.writing ? t.pending.size() : t.at;
    const bool ok = count == expected;
    if (ok && t.writing) m.factory[at] = t.pending;
    t = ModuleState::FactoryTransfer{};
    if (!ok) return r.Reply({kFactory, static_cast<uint8_t>(at | kErrorBit), kErrSize});
    return r.Reply({kFactory, at});
  }
  if (code & kWrite) {
    if (code & kFirst) t = ModuleState::FactoryTransfer{true, true, area, 0, {}};
    if (!t.active || !t.writing || t.area != area || d.size() - 2 > kChunk ||
        t.pending.size() + d.size() - 2 > kMaxArea) {
      t = ModuleState::FactoryTransfer{};
      return r.Reply({kFactory, static_cast<uint8_t>(area | kErrorBit)});
    }
    t.pending.insert(t.pending.end(), d.begin() + 2, d.end());
    return r.Reply({kFactory, area});
  }
  if (d.size() != 2) return;
  if (code & kFirst) t = ModuleState::FactoryTransfer{true, false, area, 0, {}};
  if (!t.active || t.writing || t.area != area) {
    t = ModuleState::FactoryTransfer{};
    return r.Reply({kFactory, static_cast<uint8_t>(area | kErrorBit), kErrMode});
  }
  const Bytes& stored = m.factory[area];
  const size_t chunk = std::min(kChunk, stored.size() - std::min(t.at, stored.size()));
  Bytes out{kFactory, area};
  out.insert(out.end(), stored.begin() + static_cast<std::ptrdiff_t>(t.at),
             stored.begin() + static_cast<std::ptrdiff_t>(t.at + chunk));
  t.at += chunk;
  r.Reply(std::move(out));
}

}  // namespace vmodule
