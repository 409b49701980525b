#include "Corvantis2/common/aPacketLog.h"

#include <cstdlib>
#include <new>

namespace {

uint32_t sUsed(const aPacketLog* log) { return (log->tail + log->capacity - log->head) % log->capacity; }

uint32_t sFree(const aPacketLog* log) { return log->capacity - sUsed(log); }

uint8_t sByteAt(const aPacketLog* log, uint32_t offset) {
  return log->ring[(log->head + offset) % log->capacity];
}

void sDropOldest(aPacketLog* log) {
  const uint32_t length = sByteAt(log, 1);
  log->head = (log->head + 2 + length) % log->capacity;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity == 0) return nullptr;
  auto* log = new (std::nothrow) aPacketLog{};
  if (!log) return nullptr;
  log->ring = static_cast<uint8_t*>(std::malloc(capacity));
  if (!log->ring) {
    delete log;
    return nullptr;
  }
  log->capacity = capacity;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes) {
  if (!log || !log->ring || (!bytes && length > 0)) return aErrParam;
  if (length > 255) return aErrOverrun;
  const uint32_t needed = length + 2;
  while (log->capacity > needed && sFree(log) <= needed) sDropOldest(log);
  if (sFree(log) <= needed) return aErrOverrun;
  auto put = [log](uint8_t byte) {
    log->ring[log->tail] = byte;
    log->tail = (log->tail + 1) % log->capacity;
  };
  put(type);
  put(static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) put(bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  if (!log || !log->ring || !type || !length) return aErrParam;
  if (log->head == log->tail) return aErrNotFound;
  const uint32_t size = *length;
  const uint32_t recordLength = sByteAt(log, 1);
  *type = sByteAt(log, 0);
  *length = recordLength;
  if (size < recordLength) return aErrOverrun;
  if (!buffer && recordLength > 0) return aErrParam;
  for (uint32_t i = 0; i < recordLength; ++i) buffer[i] = sByteAt(log, 2 + i);
  sDropOldest(log);
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log) return aErrNone;
  (*log)->enabled = 0;
  std::free((*log)->ring);
  delete *log;
  *log = nullptr;
  return aErrNone;
}
