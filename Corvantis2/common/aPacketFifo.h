// Thread-safe packet queues known by number. A FIFO keeps its own copies of
// the packets put in and hands out new copies that the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aPacket.h"

typedef uint64_t aPacketFifo;

// A filter runs with the FIFO's lock held: it must not call back into the same FIFO.
typedef bool (*aPacketFilter)(const aPacket* packet, void* reference);

inline constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// 0 on failure.
aPacketFifo aPacketFifo_Create();
aErr aPacketFifo_Destroy(aPacketFifo* id);
// More than 1000 queued packets empties the queue (the new one included).
aErr aPacketFifo_Put(aPacketFifo id, const aPacket* packet);
aPacket* aPacketFifo_Get(aPacketFifo id);
aPacket* aPacketFifo_Await(aPacketFifo id, uint32_t timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifo id, aPacketFilter filter, void* reference);
// Offers each packet to the filter at most once per call.
aPacket* aPacketFifo_AwaitFirst(aPacketFifo id, aPacketFilter filter, void* reference, uint32_t timeoutMs);
size_t aPacketFifo_DrainPackets(aPacketFifo id, aPacketFilter filter, void* reference);
size_t aPacketFifo_GetLength(aPacketFifo id);
