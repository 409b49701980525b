// System entity (class 3, index 0) and the entity store (class 92).
//
//   get:  3, option | 0x40, 0x20          -> 3, option, 0, value (1 or 4 bytes, big-endian)
//   set:  3, option | 0x80, 0x20, value   -> 3, option | 0xC0, 0
//   call: 3, option | 0x80, 0x20          -> 3, option | 0xC0, 0
//   byte options (31, 32): a get is answered, and a set sent, as a byte
//   sequence: up to 24 bytes per packet, then a sequence byte (0x80: more
//   follow; bits 6-0: packet number modulo 128). A set is acknowledged once,
//   after its last packet.
//   error: 3, option (| 0xC0 for a set), index | 0x80, code
//
//   store: 92, option | 0x80, 0x20, (class << 8 | index) 32-bit -> 92, option | 0xC0, 0
//          option 0 save, 1 reset to factory defaults, 2 load
#include <algorithm>

#include "sim/vmodule/Device.h"

namespace vmodule {

namespace {

constexpr uint8_t kSystemClass = 3;
constexpr uint8_t kStoreClass = 92;
constexpr size_t kChunk = 24;
constexpr size_t kMaxByteOption = 1024;

constexpr uint8_t kOptModule = 1, kOptRouter = 2, kOptVersion = 7, kOptModel = 8, kOptSerial = 9,
                  kOptSave = 10, kOptReset = 11, kOptBaseAddress = 14, kOptRouterSetting = 16,
                  kOptUptime = 22, kOptFactoryDefaults = 37, kOptBuild = 43, kOptFeatures = 45, kOptName = 32;

using K = OptionKind;
constexpr SystemOption kOptions[] = {
    {1, K::Byte, true, false},  {2, K::Byte, true, true},   {3, K::Byte, true, true},
    {4, K::Byte, true, true},   {6, K::Byte, true, true},   {7, K::Int, true, false},
    {8, K::Byte, true, false},  {9, K::Int, true, false},   {10, K::Call, false, true},
    {11, K::Call, false, true}, {12, K::Int, true, false},  {13, K::Byte, true, false},
    {14, K::Byte, true, false}, {15, K::Byte, true, true},  {16, K::Byte, true, false},
    {20, K::Byte, false, true}, {21, K::Int, true, false},  {22, K::Int, true, false},
    {23, K::Int, true, false},  {24, K::Call, false, true}, {25, K::Int, true, false},
    {26, K::Int, true, false},  {27, K::Int, true, false},  {28, K::Int, true, false},
    {29, K::Byte, true, false}, {30, K::Byte, true, true},  {31, K::Bytes, true, true},
    {32, K::Bytes, true, true}, {33, K::Int, true, false},  {34, K::Int, true, true},
    {35, K::Int, true, false},  {37, K::Call, false, true}, {38, K::Byte, true, true},
    {40, K::Int, true, false},  {41, K::Int, true, false},  {42, K::Byte, true, true},
    {43, K::Int, true, false},  {45, K::Int, true, false},
};

void ErrorReply(Request& r, uint8_t command, uint8_t echoedOption, uint8_t index, uint8_t code) {
  r.Reply({command, echoedOption, static_cast<uint8_t>(index | kErrorBit), code});
}

void SendSequence(Request& r, uint8_t option, uint8_t index, const Bytes& value) {
  size_t at = 0;
  uint8_t sequence = 0;
  do {
    const size_t chunk = std::min(kChunk, value.size() - at);
    Bytes data{kSystemClass, option, index};
    data.insert(data.end(), value.begin() + static_cast<std::ptrdiff_t>(at),
                value.begin() + static_cast<std::ptrdiff_t>(at + chunk));
    at += chunk;
    const bool more = at < value.size();
    data.push_back(static_cast<uint8_t>((sequence++ & 0x7F) | (more ? 0x80 : 0)));
    r.Reply(std::move(data));
  } while (at < value.size());
}

void Acknowledge(Request& r, uint8_t command, uint8_t option, uint8_t index) {
  r.Reply({command, static_cast<uint8_t>(option | kAckBits), index});
}

// One packet of a byte-option set; true once the whole value has arrived.
bool ReceiveSequence(Request& r, uint8_t option, uint8_t index, Bytes* complete) {
  const Bytes& d = r.data();
  ModuleState::Incoming& in = r.module.incoming[option];
  auto fail = [&](uint8_t code) {
    r.module.incoming.erase(option);
    ErrorReply(r, kSystemClass, static_cast<uint8_t>(option | kAckBits), index, code);
    return false;
  };
  if (d.size() < 4) return fail(kErrSize);
  const uint8_t last = d.back();
  if ((last & 0x7F) != (in.nextSequence & 0x7F)) return fail(kErrPacket);
  in.bytes.insert(in.bytes.end(), d.begin() + 3, d.end() - 1);
  if (in.bytes.size() > kMaxByteOption) return fail(kErrOverrun);
  ++in.nextSequence;
  if (last & 0x80) return false;
  *complete = std::move(in.bytes);
  r.module.incoming.erase(option);
  return true;
}

void RestoreFactoryDefaults(ModuleState& m) {
  const ModuleState fresh(m.identity);
  m.options = fresh.options;
  m.byteOptions = fresh.byteOptions;
}

}  // namespace

const SystemOption* FindSystemOption(uint8_t option) {
  for (const SystemOption& o : kOptions)
    if (o.option == option) return &o;
  return nullptr;
}
size_t SystemOptionCount() { return std::size(kOptions); }
const SystemOption& SystemOptionAt(size_t i) { return kOptions[i]; }

uint32_t ReadSystemOption(const ModuleState& m, uint8_t option) {
  if (option == kOptUptime) return m.UptimeSeconds();
  const auto found = m.options.find(option);
  return found == m.options.end() ? 0 : found->second;
}

ModuleState::ModuleState(const ModuleIdentity& id) : identity(id) {
  const ModuleIdentity& i = identity;
  options = {
      {kOptModule, i.address},
      {kOptRouter, i.routerAddress},
      {3, 1},  // heartbeat interval
      {4, 0},
      {6, 0},
      {kOptVersion, PackVersion(i.versionMajor, i.versionMinor, i.versionPatch)},
      {kOptModel, i.model},
      {kOptSerial, i.serial},
      {12, 5000000},  // input voltage, microvolts
      {13, 0},
      {kOptBaseAddress, i.address},
      {15, 0},
      {kOptRouterSetting, i.routerAddress},
      {21, 120000},  // input current, microamperes
      {23, 45000000},
      {25, 12000000},
      {26, 250000},
      {27, 31500000},  // temperature, micro-degrees
      {28, static_cast<uint32_t>(-5000000)},
      {29, 1},
      {30, 0},
      {33, 2500000},
      {34, 5000000},
      {35, 0},
      {38, 0},
      {40, 0x00010002},
      {41, 0},
      {42, 255},
      {kOptBuild, i.build},
      {kOptFeatures, i.protocolFeatures},
  };
  byteOptions[kOptName] = Bytes(i.name.begin(), i.name.end());
  byteOptions[31] = Bytes{0, 0, 0, 1, 0, 0, 0, 2};
  for (const SlotSpec& s : i.slots) slots[{s.store, s.slot}].capacity = s.capacity;
  factory = i.factory;
  i2c[0xA0];  // a 256-byte memory at address 0x50 (0xA0 to write, 0xA1 to read)
}

uint32_t ModuleState::UptimeSeconds() const {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - bootTime).count());
}

uint64_t ModuleState::Timestamp() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - bootTime)
          .count());
}

void HandleSystem(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 3) return;
  const uint8_t option = d[1] & kOptionMask;
  const uint8_t index = d[2] & kIndexMask;
  const uint8_t request = d[1] & (kGetBit | kSetBit);
  const bool get = request == kGetBit;
  const bool set = request == kSetBit;
  if (!get && !set) return;  // not a request
  const uint8_t echoed = set ? static_cast<uint8_t>(option | kAckBits) : option;
  if (index != 0) return ErrorReply(r, kSystemClass, echoed, index, kErrIndexRange);
  const SystemOption* o = FindSystemOption(option);
  if (!o) return ErrorReply(r, kSystemClass, echoed, index, kErrInvalidOption);
  ModuleState& m = r.module;
  if (get) {
    if (!o->readable) return ErrorReply(r, kSystemClass, echoed, index, kErrPermission);
    if (o->kind == OptionKind::Bytes) return SendSequence(r, option, index, m.byteOptions[option]);
    Bytes out{kSystemClass, option, index};
    const uint32_t value = ReadSystemOption(m, option);
    if (o->kind == OptionKind::Byte) {
      out.push_back(static_cast<uint8_t>(value));
    } else {
      PutBig32(out, value);
    }
    return r.Reply(std::move(out));
  }
  if (!o->writable) return ErrorReply(r, kSystemClass, echoed, index, kErrPermission);
  switch (o->kind) {
    case OptionKind::Bytes: {
      Bytes value;
      if (ReceiveSequence(r, option, index, &value)) {
        m.byteOptions[option] = std::move(value);
        Acknowledge(r, kSystemClass, option, index);
      }
      return;
    }
    case OptionKind::Call:
      if (d.size() != 3) return ErrorReply(r, kSystemClass, echoed, index, kErrSize);
      if (option == kOptSave) {
        m.savedOptions = m.options;
        m.savedByteOptions = m.byteOptions;
      } else if (option == kOptFactoryDefaults) {
        RestoreFactoryDefaults(m);
      }
      Acknowledge(r, kSystemClass, option, index);
      // A reset restarts the device: the link goes down after the acknowledgement.
      if (option == kOptReset) r.outcome.dropConnection = true;
      return;
    case OptionKind::Byte:
      if (d.size() != 4) return ErrorReply(r, kSystemClass, echoed, index, kErrSize);
      m.options[option] = d[3];
      if (option == kOptRouter) m.options[kOptRouterSetting] = d[3];
      return Acknowledge(r, kSystemClass, option, index);
    case OptionKind::Int:
      if (d.size() != 7) return ErrorReply(r, kSystemClass, echoed, index, kErrSize);
      m.options[option] = GetBig32(d.data() + 3);
      return Acknowledge(r, kSystemClass, option, index);
  }
}

void HandleEntityStore(Request& r) {
  const Bytes& d = r.data();
  if (d.size() < 3) return;
  const uint8_t option = d[1] & kOptionMask;
  const uint8_t index = d[2] & kIndexMask;
  const uint8_t echoed = static_cast<uint8_t>(option | kAckBits);
  if ((d[1] & (kGetBit | kSetBit)) != kSetBit)
    return ErrorReply(r, kStoreClass, option, index, kErrPermission);
  if (index != 0) return ErrorReply(r, kStoreClass, echoed, index, kErrIndexRange);
  if (option > 2) return ErrorReply(r, kStoreClass, echoed, index, kErrInvalidOption);
  if (d.size() != 7) return ErrorReply(r, kStoreClass, echoed, index, kErrSize);
  const uint32_t target = GetBig32(d.data() + 3);
  const uint8_t entityClass = static_cast<uint8_t>(target >> 8);
  const uint8_t entityIndex = static_cast<uint8_t>(target);
  ModuleState& m = r.module;
  if (entityClass == kSystemClass && entityIndex == 0) {
    if (option == 0) {
      m.savedOptions = m.options;
      m.savedByteOptions = m.byteOptions;
    } else if (option == 1) {
      RestoreFactoryDefaults(m);
    } else if (!m.savedOptions.empty()) {
      m.options = m.savedOptions;
      m.byteOptions = m.savedByteOptions;
    }
  } else if (!(entityClass == 8 && entityIndex == 0)) {  // the I2C entity keeps nothing
    return ErrorReply(r, kStoreClass, echoed, index, kErrInvalidEntity);
  }
  Acknowledge(r, kStoreClass, option, index);
}

}  // namespace vmodule
