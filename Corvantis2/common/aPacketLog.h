// The packet log: a byte ring of records (type byte, length byte, bytes)
// that keeps the newest records that fit. It has no lock of its own: the
// owning link's packetLogLock guards every Put and Get.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

struct aPacketLog {
  int32_t enabled;  // set and cleared by the link; the ring itself ignores it
  uint8_t* ring;
  uint32_t capacity;
  uint32_t head;  // oldest record
  uint32_t tail;  // where the next record goes; head == tail means empty
};

// Null when memory is exhausted or capacity is 0.
aPacketLog* aPacketLog_Create(uint32_t capacity);
// Drops the oldest records to make room; aErrOverrun when a record of that
// length can never fit (length + 2 not below the capacity, or above 255).
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);
// On entry *length is the buffer's size; on aErrOverrun it is the size needed
// and the record stays in the log. aErrNotFound when the log is empty.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer);
aErr aPacketLog_Destroy(aPacketLog** log);
