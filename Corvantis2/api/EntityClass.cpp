#include "Corvantis2/api/EntityClass.h"

#include <cstring>

#include "Corvantis2/api/Module.h"

namespace Vorantix::Corvantis {

namespace {

// Option of class 92 per store command; the value is (class << 8) | index.
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreReset = 1;
constexpr uint8_t kStoreLoad = 2;
constexpr uint8_t kAllOptions = 0xFF;
constexpr size_t kSequenceHeader = 3;

}  // namespace

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;
  uint8_t entityClass = 0;
  uint8_t index = 0;

  explicit impl(EntityClass* o) : owner(o) {}

  Link* link() const { return module ? module->getLink() : nullptr; }

  uei header(uint8_t option, uint8_t flags) const {
    uei u{};
    u.module = module->getModuleAddress();
    u.command = entityClass;
    u.option = static_cast<uint8_t>(option | flags);
    u.index = static_cast<uint8_t>(index | kUEI_REQUEST);
    return u;
  }

  // Waits for the reply and turns an error reply into the device's code.
  aErr awaitReply(Link* l, uei* u) {
    const aErr result = l->receiveUEI(u->module, u->command, u->option, u->index, u);
    if (result != aErrNone) return result;
    return (u->index & kUEI_ERROR) ? static_cast<aErr>(u->value.byteValue) : aErrNone;
  }

  aErr set(uint8_t option, uei* value, const uint8_t* subindex) {
    Link* l = link();
    if (!l) return aErrResource;
    if (!value) return aErrParam;
    const uei head = header(option, kUEI_SET);
    value->module = head.module;
    value->command = head.command;
    value->option = head.option;
    value->index = head.index;
    aErr result = subindex ? l->sendUEI(*value, *subindex) : l->sendUEI(*value);
    if (result != aErrNone) return result;
    value->option = static_cast<uint8_t>(option | kUEI_ACK);
    value->index = index;
    return awaitReply(l, value);
  }
};

EntityClass::EntityClass() : impl_(std::make_unique<impl>(this)) {}
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t entityClass, uint8_t index) {
  impl_->module = module;
  impl_->entityClass = entityClass;
  impl_->index = index;
}

uint8_t EntityClass::getIndex() const { return impl_->index; }
uint8_t EntityClass::entityClass() const { return impl_->entityClass; }
Module* EntityClass::module() const { return impl_->module; }

aErr EntityClass::getUEI(uint8_t option, uei* value) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  if (!value) return aErrParam;
  const uint8_t subindex = value->type == typeByte ? value->value.byteValue : 0;
  uint32_t cached = 0;
  const aErr fromCache = l->getStreamValue(impl_->module->getModuleAddress(), impl_->entityClass, option,
                                           impl_->index, subindex, &cached);
  // Only a cached value answers; anything else asks the device.
  if (fromCache == aErrNone || fromCache == aErrStreamStale) {
    value->value.intValue = cached;
    return fromCache;
  }
  const uei head = impl_->header(option, kUEI_GET);
  value->module = head.module;
  value->command = head.command;
  value->option = head.option;
  value->index = head.index;
  aErr result = l->sendUEI(*value);
  if (result != aErrNone) return result;
  value->option = option;
  value->index = impl_->index;
  return impl_->awaitReply(l, value);
}

aErr EntityClass::setUEI(uint8_t option, uei* value) { return impl_->set(option, value, nullptr); }

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
  return impl_->set(option, value, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei u{};
  u.type = typeVoid;
  return setUEI(option, &u);
}

namespace {

uei sScalar(ueiType type, uint32_t value) {
  uei u{};
  u.type = type;
  switch (type) {
    case typeByte: u.value.byteValue = static_cast<uint8_t>(value); break;
    case typeShort: u.value.shortValue = static_cast<uint16_t>(value); break;
    default: u.value.intValue = value; break;
  }
  return u;
}

}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei u = sScalar(typeByte, value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei u = sScalar(typeShort, value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei u = sScalar(typeInt, value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei u = sScalar(typeByte, value);
  return setUEI(option, subindex, &u);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei u = sScalar(typeShort, value);
  return setUEI(option, subindex, &u);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei u = sScalar(typeInt, value);
  return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (!data && length > 0) return aErrParam;
  uei u{};
  u.type = typeBytes;
  u.value.data = const_cast<uint8_t*>(data);  // only read when sending
  u.value.length = length;
  return setUEI(option, &u);
}

template <typename T>
aErr EntityClass::getScalar(uint8_t option, bool withSubindex, uint8_t subindex, T* value) {
  if (!value) return aErrParam;
  uei u{};
  if (withSubindex) {
    u.type = typeByte;
    u.value.byteValue = subindex;
  } else {
    u.type = typeVoid;
  }
  const aErr result = getUEI(option, &u);
  if (result != aErrNone && result != aErrStreamStale) return result;
  switch (u.type) {
    case typeByte: *value = static_cast<T>(u.value.byteValue); break;
    case typeShort: *value = static_cast<T>(u.value.shortValue); break;
    default: *value = static_cast<T>(u.value.intValue); break;
  }
  return result;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return getScalar(option, false, 0, value); }
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) { return getScalar(option, false, 0, value); }
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) { return getScalar(option, false, 0, value); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return getScalar(option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return getScalar(option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return getScalar(option, true, subindex, value);
}

bool EntityClass::sUEIBytesFilter(const aPacket* packet, void* ref) {
  auto* u = static_cast<uei*>(ref);
  if (packet->address != u->module || packet->dataSize < kSequenceHeader) return false;
  const uint8_t* d = packet->data;
  if (d[0] != u->command || d[1] != u->option || (d[2] & kUEI_INDEX_MASK) != u->index) return false;
  if (d[2] & kUEI_ERROR) {
    u->index = d[2];
    u->value.byteValue = packet->dataSize > 3 ? d[3] : 0;
    return true;
  }
  if (packet->dataSize < kSequenceHeader + 1) return false;  // no sequence byte
  const uint8_t last = d[packet->dataSize - 1];
  // Senders count packets modulo 128.
  if ((last & kUEI_SEQUENCE_MASK) != (u->value.sequence & kUEI_SEQUENCE_MASK)) return false;
  const size_t chunk = packet->dataSize - kSequenceHeader - 1u;
  if (*u->value.received + chunk > u->value.length) {
    u->index = static_cast<uint8_t>(u->index | kUEI_ERROR);
    u->value.byteValue = aErrMemory;
    return true;
  }
  std::memcpy(u->value.data, d + kSequenceHeader, chunk);
  u->value.data += chunk;
  *u->value.received += chunk;
  u->value.sequence = static_cast<uint8_t>(last & kUEI_SEQUENCE_MASK);
  u->value.more = (last & kUEI_MORE) != 0;
  return true;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  if (!buffer || !received || capacity == 0) return aErrParam;
  *received = 0;
  uei request = impl_->header(option, kUEI_GET);
  request.type = typeVoid;
  aErr result = l->sendUEI(request);
  if (result != aErrNone) return result;
  uei u{};
  u.module = request.module;
  u.command = impl_->entityClass;
  u.option = option;
  u.index = impl_->index;
  // Not typeBytes: each packet of the reply is awaited 1000 ms, whatever the capacity.
  u.type = typeVoid;
  u.value.data = buffer;
  u.value.length = capacity;
  u.value.received = received;
  u.value.sequence = 0;
  u.value.more = false;
  for (;;) {
    result = l->receiveUEI(u.module, u.command, u.option, u.index, &u, sUEIBytesFilter);
    if (result != aErrNone) return result;
    if (u.index & kUEI_ERROR) return static_cast<aErr>(u.value.byteValue);
    if (!u.value.more) return aErrNone;
    u.value.sequence = static_cast<uint8_t>(u.value.sequence + 1);
  }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
  if (!count || unitSize == 0) return aErrParam;
  if (*count % unitSize != 0) return aErrMemory;
  *count /= unitSize;
  return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  if (!value) return aErrParam;
  uei u{};
  u.module = impl_->module->getModuleAddress();
  u.command = impl_->entityClass;
  u.option = static_cast<uint8_t>(option);
  u.index = impl_->index;
  const aErr result = l->receiveUEI(u.module, u.command, u.option, u.index, &u);
  if (result != aErrNone) return result;
  if (u.index & kUEI_ERROR) return static_cast<aErr>(u.value.byteValue);
  *value = u.value.intValue;
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->dropMatchingUEIPackets(impl_->module->getModuleAddress(), impl_->entityClass, option,
                                   impl_->index);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->sendPacket(impl_->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* filterBytes, uint8_t* length, uint8_t* out) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->receivePacket(impl_->module->getModuleAddress(), filterBytes, length, out);
}

aErr EntityClass::setStreamEnabled(uint8_t enable) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->enableStream(impl_->module->getModuleAddress(), impl_->entityClass, kAllOptions, impl_->index,
                         enable != 0);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback,
                                         void* ref) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->registerStreamCallback(impl_->module->getModuleAddress(), impl_->entityClass, option,
                                   impl_->index, enable, std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
  Link* l = impl_->link();
  if (!l) return aErrResource;
  return l->getStreamStatus(impl_->module->getModuleAddress(), impl_->entityClass, kAllOptions, impl_->index,
                            kAllOptions, entries, capacity, count);
}

aErr EntityClass::storeCommand(uint8_t option) {
  if (!impl_->link()) return aErrResource;
  EntityClass store;
  store.init(impl_->module, cmdSTORE, 0);
  return store.setUEI32(option, static_cast<uint32_t>(impl_->entityClass) << 8 | impl_->index);
}

aErr EntityClass::saveEntityToStore() { return storeCommand(kStoreSave); }
aErr EntityClass::loadEntityFromStore() { return storeCommand(kStoreLoad); }
aErr EntityClass::resetEntityToFactoryDefaults() { return storeCommand(kStoreReset); }

}  // namespace Vorantix::Corvantis
