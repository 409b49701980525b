// Store slots (command 4): numbered slots in numbered stores, opened,
// read or written in chunks of up to 25 bytes, and closed.
//
//   4, 1, store, slot         -> 4, 1, store, slot, capacity (16-bit big-endian)
//   4, 2, store, slot         -> 4, 2, store, slot, size (16-bit big-endian)
//   4, 3, store, slot         -> 4, 3, store, slot, handle      open to read
//   4, 4, store, slot         -> 4, 4, store, slot, handle      open to write (empties the slot)
//   4, 6, handle              -> 4, 6, handle, next bytes (up to 25)
//   4, 7, handle, bytes       -> 4, 7, handle, 8-bit sum of the bytes
//   4, 8, handle              -> 4, 8, handle, 0                close
// Errors set bit 7 of the option byte: 4, 0x81..0x84, store, slot, code and
// 4, 0x86..0x88, handle, code.
#include <algorithm>

#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kSlot = 4;
constexpr size_t kChunk = 25;
constexpr size_t kMaxHandles = 4;

}  // namespace

void HandleSlot(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 3) return;
  ModuleState& m = r.module;
  const uint8_t option = d[1];
  if (option >= 1 && option <= 4) {
    if (d.size() != 4) return;
    const uint8_t store = d[2], slot = d[3];
    auto fail = [&](uint8_t code) {
      r.Reply({kSlot, static_cast<uint8_t>(option | kErrorBit), store, slot, code});
    };
    const auto found = m.slots.find({store, slot});
    if (found == m.slots.end()) return fail(kErrNotFound);
    ModuleState::Slot& s = found->second;
    if (option == 1 || option == 2) {
      const size_t value = option == 1 ? s.capacity : s.data.size();
      return r.Reply(
          {kSlot, option, store, slot, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }
    // A host that went away mid-transfer left its handle open: opening again takes the slot over.
    std::erase_if(m.handles, [&](const auto& entry) { return entry.second.slot == found->first; });
    if (m.handles.size() >= kMaxHandles) return fail(kErrBusy);
    uint8_t handle = m.nextHandle;
    while (handle == 0xFF || m.handles.count(handle)) ++handle;  // 0xFF means "no handle" to the host
    m.nextHandle = static_cast<uint8_t>(handle + 1);
    const bool writing = option == 4;
    if (writing) s.data.clear();
    m.handles[handle] = ModuleState::Handle{found->first, writing, 0};
    return r.Reply({kSlot, option, store, slot, handle});
  }
  if (option < 6 || option > 8) return;
  const uint8_t handle = d[2];
  auto fail = [&](uint8_t code) { r.Reply({kSlot, static_cast<uint8_t>(option | kErrorBit), handle, code}); };
  const auto open = m.handles.find(handle);
  if (open == m.handles.end()) return fail(kErrNotFound);
  ModuleState::Handle& h = open->second;
  ModuleState::Slot& s = m.slots[h.slot];
  switch (option) {
    case 6: {
      if (h.writing || d.size() != 3) return fail(kErrMode);
      const size_t chunk = std::min(kChunk, s.data.size() - std::min(h.at, s.data.size()));
      if (chunk == 0) return fail(kErrRange);  // nothing left: an empty reply would end no read
      Bytes out{kSlot, option, handle};
      out.insert(out.end(), s.data.begin() + static_cast<std::ptrdiff_t>(h.at),
                 s.data.begin() + static_cast<std::ptrdiff_t>(h.at + chunk));
      h.at += chunk;
      return r.Reply(std::move(out));
    }
    case 7: {
      if (!h.writing) return fail(kErrMode);
      const size_t chunk = d.size() - 3;
      if (chunk > kChunk) return fail(kErrSize);
      if (s.data.size() + chunk > s.capacity) return fail(kErrOverrun);
      uint8_t sum = 0;
      for (size_t i = 3; i < d.size(); ++i) sum = static_cast<uint8_t>(sum + d[i]);
      s.data.insert(s.data.end(), d.begin() + 3, d.end());
      return r.Reply({kSlot, option, handle, sum});
    }
    default: m.handles.erase(open); return r.Reply({kSlot, option, handle, 0});
  }
}

}  // namespace vmodule
