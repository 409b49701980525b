// One entity (class and index) of a Module: reading, writing and calling
// its options as UEI requests on the module's link, byte sequences, the
// entity store commands and the stream switches. Used from the thread that
// owns the module; holds no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Corvantis2/api/Link.h"

namespace Vorantix::Corvantis {

class Module;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t entityClass, uint8_t index);
  uint8_t getIndex() const;

  aErr getUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uei* value);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
  aErr callUEI(uint8_t option);
  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  // Values are stored on aErrNone and aErrStreamStale.
  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
  // count (bytes in, units out) must be a multiple of unitSize: aErrMemory otherwise.
  static aErr getUEIBytesCheck(size_t* count, size_t unitSize);
  aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
  aErr drainUEI(uint8_t option);

  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* filterBytes, uint8_t* length, uint8_t* out);

  aErr setStreamEnabled(uint8_t enable);
  aErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void* ref);
  aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

  aErr saveEntityToStore();
  aErr loadEntityFromStore();
  aErr resetEntityToFactoryDefaults();

  // Accepts the packets of a byte-sequence reply in order; ref is the uei.
  static bool sUEIBytesFilter(const aPacket* packet, void* ref);

  struct impl;

 protected:
  uint8_t entityClass() const;
  Module* module() const;

 private:
  template <typename T>
  aErr getScalar(uint8_t option, bool withSubindex, uint8_t subindex, T* value);
  aErr storeCommand(uint8_t option);

  std::unique_ptr<impl> impl_;
};

}  // namespace Vorantix::Corvantis
