// Links: the host's live connection to one device over a stream. Each
// running link has an input thread (assembles packets, keeps alignment with
// the address-query handshake, answers heartbeats, queues the rest) and an
// output thread (writes queued packets, several per write when pooled).
// Callers know a link by its identifier; 0 names no link.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aPacket.h"
#include "Corvantis2/common/aPacketFifo.h"
#include "Corvantis2/common/aStream.h"

typedef uint32_t aLinkRef;

enum aLinkStatus : int32_t {
  linkStatusStopped = 0,
  linkStatusStarting = 1,
  linkStatusRunning = 2,
  linkStatusStopping = 3,
  linkStatusSyncing = 4,
  linkStatusNoStream = 5,
  linkStatusIOError = 6,  // a stream read failed (not "not ready", not a dropped frame)
  linkStatusPacketError = 8,
};

enum aLinkSyncState : int32_t {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// Packet log record types.
inline constexpr uint8_t aLINK_LOG_WRITTEN = 1;
inline constexpr uint8_t aLINK_LOG_RECEIVED = 2;
inline constexpr uint8_t aLINK_LOG_MARKER = 3;

inline constexpr uint32_t aLINK_LOG_DEFAULT_SIZE = 0x10000;
inline constexpr uint32_t aLINK_LOG_MAX_SIZE = 0x4000000;

struct aLink;

// A link over a stream the caller made; the link owns the stream from this
// call on (also when creation fails). 0 on failure.
aLinkRef aLink_Create(aStream* stream);
// Gives up one use; the last one stops the link and frees it. From the
// link's own threads (its user filter) it refuses with aErrBusy.
aErr aLink_Destroy(aLinkRef* link);

aLinkRef aLink_Init(aLinkRef link, aStream* stream);
aErr aLink_Start(aLinkRef link);
// Joins the link's threads; aErrBusy when called from one of them.
aErr aLink_Stop(aLink* link);
aErr aLink_Sync(aLinkRef link);
aErr aLink_ForceRoute(aLinkRef link, uint8_t value);
int32_t aLink_GetStatus(aLinkRef link);

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);
aPacket* aLink_GetPacket(aLinkRef link);
aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs);
aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* reference);
// Waits only while the link is running and in step with its device.
aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* reference, uint32_t timeoutMs);
size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* reference);
// The user filter sees every received packet first, on the input thread;
// returning true consumes it. It may replace or remove itself; stopping or
// destroying its link from there is refused. A null filter removes the
// current one.
aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* reference);
aErr aLink_EnablePooledPackets(aLinkRef link, bool enable);

aErr aLink_PacketDebug_SetLogSize(aLinkRef link, int32_t size);
aErr aLink_PacketDebug_Enable(aLinkRef link);
aErr aLink_PacketDebug_Disable(aLinkRef link);
// On entry *length holds the buffer's size.
aErr aLink_PacketDebug_Read(aLinkRef link, uint8_t* type, uint32_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkRef link, uint8_t type, uint32_t length, const uint8_t* bytes);
