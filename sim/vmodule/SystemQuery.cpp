// System queries (command 73) and the debug echo (command 23).
//
//   73, 0xFF                               -> 73, 0xFF, build (32-bit big-endian)
//   73, 1, command, option, index, flags   -> 73, 1, command, option, index, answer
//        answer 0: the UEI exists (flags 0), can be read (0x40) or written (0x80);
//        otherwise the error code a request for it would get
//   73, 4, class                           -> 73, 4, class, count of entities
//   73, 5, class, index                    -> 73, 5, class, index, count of options
//   73, 6, class, index                    -> 73, 6, class, index, group
//   23, bytes...                           -> 23, the same bytes
#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kSystemQuery = 73;
constexpr uint8_t kDebug = 23;
constexpr uint8_t kBuild = 0xFF;
constexpr uint8_t kHasUEI = 1;
constexpr uint8_t kClassQuantity = 4;
constexpr uint8_t kSubClassQuantity = 5;
constexpr uint8_t kEntityGroup = 6;

// Entity classes the module has, one entity each, with their option counts
// and groups.
struct EntityInfo {
  uint8_t entityClass;
  uint8_t options;
  uint8_t group;
};
constexpr EntityInfo kEntities[] = {
    {3, 0, 0},   // system: option count from its table
    {8, 1, 2},   // I2C bus
    {92, 3, 1},  // entity store
    {93, 2, 1},  // streams
};

const EntityInfo* FindEntity(uint8_t entityClass) {
  for (const EntityInfo& e : kEntities)
    if (e.entityClass == entityClass) return &e;
  return nullptr;
}

uint8_t OptionCount(const EntityInfo& e) {
  return e.entityClass == 3 ? static_cast<uint8_t>(SystemOptionCount()) : e.options;
}

// The answer to "does this UEI exist / can it be read / written".
uint8_t UEISupport(const ModuleState& module, uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if (command == LoaderModel::kCommand)
    return module.loader ? module.loader->CapabilityAnswer(command, option, index, flags)
                         : static_cast<uint8_t>(kErrInvalidEntity);
  const EntityInfo* e = FindEntity(command);
  if (!e || command == 8) return kErrInvalidEntity;  // I2C speaks plain packets
  if ((index & kIndexMask) != 0) return kErrIndexRange;
  option &= kOptionMask;
  bool readable = false, writable = false;
  switch (command) {
    case 3: {
      const SystemOption* o = FindSystemOption(option);
      if (!o) return kErrInvalidOption;
      readable = o->readable;
      writable = o->writable;
      break;
    }
    case 92:
      if (option > 2) return kErrInvalidOption;
      writable = true;
      break;
    case 93:
      if (option < 1 || option > 2) return kErrInvalidOption;
      readable = option == 1;
      writable = true;
      break;
  }
  if ((flags & kGetBit) && !readable) return kErrPermission;
  if ((flags & kSetBit) && !writable) return kErrPermission;
  return 0;
}

}  // namespace

void HandleSystemQuery(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 2) return;
  const uint8_t sub = d[1];
  if (sub == kBuild && d.size() == 2) {
    Bytes out{kSystemQuery, kBuild};
    PutBig32(out, r.module.options[43]);
    return r.Reply(std::move(out));
  }
  if (sub == kHasUEI && d.size() == 6) {
    return r.Reply({kSystemQuery, kHasUEI, d[2], d[3], d[4], UEISupport(r.module, d[2], d[3], d[4], d[5])});
  }
  if (sub == kClassQuantity && d.size() == 3) {
    return r.Reply({kSystemQuery, kClassQuantity, d[2], static_cast<uint8_t>(FindEntity(d[2]) ? 1 : 0)});
  }
  if ((sub == kSubClassQuantity || sub == kEntityGroup) && d.size() == 4) {
    const EntityInfo* e = d[3] == 0 ? FindEntity(d[2]) : nullptr;
    const uint8_t answer = !e ? 0 : sub == kSubClassQuantity ? OptionCount(*e) : e->group;
    return r.Reply({kSystemQuery, sub, d[2], d[3], answer});
  }
}

void HandleDebug(Request& r) {
  if (r.data().empty() || r.data()[0] != kDebug) return;
  r.Reply(r.data());
}

}  // namespace vmodule
