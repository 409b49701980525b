// The link engine.
//
// Wire messages of the engine (packet layout in aPacket.h):
//   host -> device  0xAD 0x00          address query, six in a row to synchronise
//   device -> host  A 0x00             answer: an empty packet from module address A
//   host -> device  0xAF 0x01 V        force route on (V = 1, at start) or off (0, at stop)
//   device -> host  A 0x02 0x00 H      heartbeat, H = 0 up, 1 down
//   host -> device  A 0x02 0x00 H+2    heartbeat answer
//
// Two answers A 0x00 A 0x00 in a row restore packet alignment; the other
// answers to the six queries then arrive as ordinary empty packets.
#include "Corvantis2/common/aLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Corvantis2/common/aLinkRegistry.h"
#include "Corvantis2/unix/aThreadName.h"
#include "Corvantis2/unix/aTime.h"

namespace {

constexpr int kSyncQueries = 6;
constexpr int kStartPolls = 200;  // 10 ms apart: 2 s
constexpr int kPollMs = 10;
constexpr uint32_t kOutputWaitMs = 1000;
constexpr int kReadErrorPauseMs = 100;
constexpr size_t kPoolBytes = 4096;
// A read timeout restarts the handshake only after the line has been quiet
// this long since the last start and the last byte. Framed transports answer
// "not ready" for every byte inside a frame; without the pause each of those
// would restart the handshake (never completing it) and send six more
// queries, whose answers would bring more.
constexpr auto kResyncQuiet = std::chrono::milliseconds(100);

// Holds an aMutex for one scope.
class MutexGuard {
 public:
  explicit MutexGuard(aMutex* mutex) : mutex_(mutex) {
    if (mutex_) aMutex_Lock(mutex_);
  }
  ~MutexGuard() {
    if (mutex_) aMutex_Unlock(mutex_);
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  aMutex* mutex_;
};

bool sAlways(const aPacket*, void*) { return true; }

bool sOnLinkThread(const aLink* link) {
  const std::thread::id self = std::this_thread::get_id();
  return link->inThreadId.load() == self || link->outThreadId.load() == self;
}

aErr sQueue(aPacketFifo fifo, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNone = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &kNone);
  if (!packet) return aErrMemory;
  aErr err = aPacketFifo_Put(fifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

aErr sQueueRoute(aLink* link, uint8_t value) { return sQueue(link->outFifo, cmdFORCEROUTE, 1, &value); }

void sLogPacket(aLink* link, uint8_t type, const aPacket* packet) {
  if (!link->packetLog.load()) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t length = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &length) != aErrNone) return;
  MutexGuard guard(link->packetLogLock.load());
  if (aPacketLog* log = link->packetLog.load()) aPacketLog_Put(log, type, length, wire);
}

// Sleeps in short slices so that a stop is noticed.
void sPause(aLink* link, int milliseconds) {
  for (int slept = 0; slept < milliseconds && link->running; slept += kPollMs) aTime_MSSleep(kPollMs);
}

void sStartSync(aLink* link) {
  link->lastSyncStart = std::chrono::steady_clock::now();
  link->status = linkStatusSyncing;
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->rxPacket);
  aErr err = aErrNone;
  for (int i = 0; i < kSyncQueries; ++i) err = sQueue(link->outFifo, cmdADDRESSQUERY, 0, nullptr);
  if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState.load()) {
    case kSyncStateStart: sStartSync(link); break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2: link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart; break;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateIdle;
        link->status = linkStatusRunning;
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default: sStartSync(link); break;
  }
}

// Heartbeats are answered here and never reach the receive FIFO.
bool sAnswerHeartbeat(aLink* link, const aPacket* packet) {
  if (packet->dataSize != 2 || packet->data[0] != cmdHEARTBEAT) return false;
  const uint8_t value = packet->data[1];
  if (value == 0) link->hbState = 2;
  if (value == 1) link->hbState = 3;
  const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(value + 2)};
  sQueue(link->outFifo, packet->address, 2, answer);
  link->hbState = 0;
  return true;
}

aErr sHandOn(aLink* link) {
  aPacket* packet = link->rxPacket;
  sLogPacket(link, aLINK_LOG_RECEIVED, packet);
  bool consumed = false;
  {
    MutexGuard guard(link->userFilterLock);
    if (link->userFilter) consumed = link->userFilter(packet, link->userFilterRef);
  }
  aErr err = aErrNone;
  if (!consumed && !sAnswerHeartbeat(link, packet)) err = aPacketFifo_Put(link->inFifo, packet);
  aPacket_Reset(packet);
  return err;
}

void* sInProc(void* argument) {
  auto* link = static_cast<aLink*>(argument);
  char name[16];
  std::snprintf(name, sizeof name, "aLinkIn-%u", link->linkId);
  aThread_NameSelf(name);
  link->hbState = 0;
  link->syncAddress = 1;
  link->inThreadId = std::this_thread::get_id();
  link->inStarted = true;
  link->status = linkStatusRunning;
  link->syncState = kSyncStateIdle;
  link->lastSyncStart = {};
  link->lastByteAt = {};
  while (link->running) {
    uint8_t byte = 0;
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      const int32_t status = link->status;
      const auto quietSince = std::max(link->lastSyncStart, link->lastByteAt);
      if ((status == linkStatusSyncing || status == linkStatusIOError) &&
          std::chrono::steady_clock::now() - quietSince >= kResyncQuiet)
        sStartSync(link);
      continue;
    }
    if (err == aErrPacket) {
      // A framed transport dropped a garbled frame: the line itself works
      // and the next frame is aligned again, so neither a pause nor an
      // error status is called for.
      aPacket_Reset(link->rxPacket);
      continue;
    }
    if (err != aErrNone) {
      link->status = linkStatusIOError;
      sPause(link, kReadErrorPauseMs);
      continue;
    }
    link->lastByteAt = std::chrono::steady_clock::now();
    if (link->status == linkStatusSyncing) {
      sSyncByte(link, byte);
      continue;
    }
    err = aPacket_AddByte(link->rxPacket, byte);
    if (err != aErrNone || (link->rxPacket->address & 1)) {
      sStartSync(link);
      continue;
    }
    if (aPacket_IsComplete(link->rxPacket) && sHandOn(link) != aErrNone) link->status = linkStatusPacketError;
  }
  return nullptr;
}

size_t sAppendWire(const aPacket* packet, uint8_t* buffer, size_t used) {
  size_t length = 0;
  if (aPacket_GetBytes(packet, buffer + used, kPoolBytes - used, &length) != aErrNone) return used;
  return used + length;
}

void sWrite(aLink* link, aPacket* first, uint8_t* buffer) {
  size_t used = sAppendWire(first, buffer, 0);
  if (link->pooled) {
    while (used + aPACKET_MAX_WIRE <= kPoolBytes) {
      aPacket* next = aPacketFifo_Get(link->outFifo);
      if (!next) break;
      used = sAppendWire(next, buffer, used);
      aPacket_Destroy(&next);
    }
  }
  // Write errors surface to callers as missing replies.
  if (used > 0) aStream_Write(link->stream, buffer, used);
  sLogPacket(link, aLINK_LOG_WRITTEN, first);
}

void* sOutProc(void* argument) {
  auto* link = static_cast<aLink*>(argument);
  char name[16];
  std::snprintf(name, sizeof name, "aLinkOut-%u", link->linkId);
  aThread_NameSelf(name);
  uint8_t buffer[kPoolBytes];
  link->outThreadId = std::this_thread::get_id();
  link->outStarted = true;
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outFifo, kOutputWaitMs);
    if (!packet) continue;
    std::memset(buffer, 0, sizeof buffer);
    sWrite(link, packet, buffer);
    aPacket_Destroy(&packet);
  }
  // What was queued before the stop goes out one packet at a time; the
  // bound keeps a producer that never stops from holding the stop up.
  for (size_t i = 0; i <= aPACKETFIFO_CAPACITY; ++i) {
    aPacket* packet = aPacketFifo_Get(link->outFifo);
    if (!packet) break;
    size_t length = 0;
    if (aPacket_GetBytes(packet, buffer, kPoolBytes, &length) == aErrNone)
      aStream_Write(link->stream, buffer, length);
    sLogPacket(link, aLINK_LOG_WRITTEN, packet);
    aPacket_Destroy(&packet);
  }
  return nullptr;
}

// Frees what Destroy has not already released (also when the last holder
// of the record lets go), keeping a stream that is being handed in again.
void sReleaseRecord(aLink* link, const aStream* keep = nullptr) {
  if (link->inFifo) aPacketFifo_Destroy(&link->inFifo);
  if (link->outFifo) aPacketFifo_Destroy(&link->outFifo);
  if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
  aPacketLog* log = link->packetLog.exchange(nullptr);
  aPacketLog_Destroy(&log);
  if (link->stream && link->stream != keep) aStream_Destroy(&link->stream);
  link->stream = nullptr;
}

}  // namespace

aLink::~aLink() {
  sReleaseRecord(this);
  aMutex* logLock = packetLogLock.exchange(nullptr);
  if (logLock) aMutex_Destroy(&logLock);
  if (userFilterLock) aMutex_Destroy(&userFilterLock);
}

aLinkRef aLink_Init(aLinkRef id, aStream* stream) {
  aLinkHandle link = sGetLink(id);
  if (!link) return 0;
  std::lock_guard<std::mutex> control(link->controlLock);
  if (link->running || link->inThread || link->outThread) return 0;
  sReleaseRecord(link.get(), stream);
  link->linkId = id;
  link->check = aLINK_CHECK;
  link->stream = stream;
  link->status = stream ? linkStatusStopped : linkStatusNoStream;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->inProc = sInProc;
  link->outProc = sOutProc;
  link->inStarted = false;
  link->outStarted = false;
  link->hbState = 0;
  link->syncState = kSyncStateIdle;
  link->packetLogSize = 0;
  aMutex* logLock = link->packetLogLock.exchange(nullptr);
  if (logLock) aMutex_Destroy(&logLock);
  link->pooled = false;
  link->rxPacket = aPacket_Create();
  if (!link->userFilterLock) {
    char name[255];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link.get()));
    link->userFilterLock = aMutex_Create(name);
  }
  {
    MutexGuard guard(link->userFilterLock);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
  }
  if (!link->inFifo || !link->outFifo || !link->rxPacket || !link->userFilterLock) return 0;
  return id;
}

aErr aLink_Start(aLinkRef id) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  {
    std::lock_guard<std::mutex> control(link->controlLock);
    if (link->running) return aErrNone;
    if (!link->stream || link->check != aLINK_CHECK) return aErrParam;
    link->running = true;
    link->status = linkStatusStarting;
    link->hbState = 0;
    link->inStarted = false;
    link->outStarted = false;
    link->inThread = aThread_Create(link->inProc, link.get());
    if (!link->inThread) return aErrResource;
    link->outThread = aThread_Create(link->outProc, link.get());
    if (!link->outThread) return aErrResource;
    int polls = 0;
    while (!(link->inStarted && link->outStarted && link->status == linkStatusRunning)) {
      if (++polls > kStartPolls) return aErrIndexRange;
      aTime_MSSleep(kPollMs);
    }
  }
  return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLink* link) {
  if (!link) return aErrParam;
  // A thread cannot join itself (a user filter stopping its own link).
  if (sOnLinkThread(link)) return aErrBusy;
  std::lock_guard<std::mutex> control(link->controlLock);
  const int32_t before = link->status;
  if (before == linkStatusStopping || before == linkStatusStopped) return aErrNone;
  if (!link->inThread && !link->outThread) {
    // Nothing runs: a start that failed before any thread, or no stream.
    link->running = false;
    link->status = link->stream ? linkStatusStopped : linkStatusNoStream;
    return aErrNone;
  }
  link->status = linkStatusStopping;
  // Clear running before queueing the route packet: the packet then wakes an
  // output thread that can only see the stop, instead of one that writes it
  // and goes back to waiting a full second.
  link->running = false;
  aErr err = sQueueRoute(link, 0);
  // Join whichever threads exist: a start that made only one leaves it running.
  if (link->inThread && aThread_Destroy(&link->inThread) != 0) err = aErrUnknown;
  if (link->outThread && aThread_Destroy(&link->outThread) != 0) err = aErrUnknown;
  link->inStarted = false;
  link->outStarted = false;
  link->inThreadId = std::thread::id();
  link->outThreadId = std::thread::id();
  aPacket_Reset(link->rxPacket);
  link->status = linkStatusStopped;
  link->hbState = 0;
  return err;
}

aErr aLink_ForceRoute(aLinkRef id, uint8_t value) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (!entry) return aErrNotFound;
  if (entry->link.check != aLINK_CHECK) return aErrParam;
  return sQueueRoute(&entry->link, value);
}

aErr aLink_Sync(aLinkRef id) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  link->status = linkStatusSyncing;
  aErr err = aErrNotReady;
  for (int polls = 0; polls < kStartPolls; ++polls) {
    aTime_MSSleep(kPollMs);
    if (link->status == linkStatusRunning) {
      err = aErrNone;
      break;
    }
  }
  // Leftover queries and their answers are of no use to anyone.
  aPacketFifo_DrainPackets(link->outFifo, sAlways, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(link->inFifo, sAlways, nullptr);
  return err;
}

int32_t aLink_GetStatus(aLinkRef id) {
  aLinkHandle link = sGetLink(id);
  return link ? link->status.load() : linkStatusNoStream;
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(aLinkRef id) {
  aLinkHandle link = sGetLink(id);
  return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs) {
  aLinkHandle link = sGetLink(id);
  return link ? aPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilter filter, void* reference) {
  aLinkHandle link = sGetLink(id);
  return link ? aPacketFifo_GetFirst(link->inFifo, filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilter filter, void* reference, uint32_t timeoutMs) {
  aLinkHandle link = sGetLink(id);
  if (!link) return nullptr;
  // A steady clock: setting the wall clock must not stretch the wait.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  aPacket* found = nullptr;
  while (!found && link->running && link->status == linkStatusRunning) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    found = aPacketFifo_AwaitFirst(link->inFifo, filter, reference, static_cast<uint32_t>(left));
  }
  return found;
}

size_t aLink_DrainPackets(aLinkRef id, aPacketFilter filter, void* reference) {
  aLinkHandle link = sGetLink(id);
  return link ? aPacketFifo_DrainPackets(link->inFifo, filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilter filter, void* reference) {
  aLinkHandle link = sGetLink(id);
  if (!link || !link->userFilterLock) return aErrParam;
  // From the filter itself (the input thread) the lock is already held by
  // this very call chain: a filter may replace or remove itself.
  const bool insideFilter = link->inThreadId.load() == std::this_thread::get_id();
  MutexGuard guard(insideFilter ? nullptr : link->userFilterLock);
  link->userFilter = filter;
  link->userFilterRef = filter ? reference : nullptr;
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, bool enable) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  link->pooled = enable;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size) {
  aLinkHandle link = sGetLink(id);
  if (!link || size > static_cast<int32_t>(aLINK_LOG_MAX_SIZE)) return aErrParam;
  std::lock_guard<std::mutex> control(link->controlLock);
  if (link->packetLog.load()) return aErrBusy;
  link->packetLogSize = size < 0 ? 0u : static_cast<uint32_t>(size);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> control(link->controlLock);
  if (!link->packetLogLock.load()) {
    char name[64];
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link.get()));
    aMutex* lock = aMutex_Create(name);
    if (!lock) return aErrResource;
    link->packetLogLock = lock;
  }
  if (!link->packetLog.load()) {
    const uint32_t size = link->packetLogSize ? link->packetLogSize.load() : aLINK_LOG_DEFAULT_SIZE;
    aPacketLog* log = aPacketLog_Create(size);
    if (!log) return aErrResource;
    link->packetLog = log;
  }
  MutexGuard guard(link->packetLogLock.load());
  link->packetLog.load()->enabled = 1;
  return aErrNone;
}

namespace {

// Runs `use` on the link's packet log under its lock; aErrNotReady while the
// link has no log.
template <typename UseLog>
aErr sWithPacketLog(aLinkRef id, UseLog use) {
  aLinkHandle link = sGetLink(id);
  if (!link) return aErrParam;
  aMutex* lock = link->packetLogLock.load();
  if (!lock) return aErrNotReady;
  MutexGuard guard(lock);
  aPacketLog* log = link->packetLog.load();
  if (!log) return aErrNotReady;
  return use(log);
}

}  // namespace

aErr aLink_PacketDebug_Disable(aLinkRef id) {
  return sWithPacketLog(id, [](aPacketLog* log) {
    log->enabled = 0;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  return sWithPacketLog(id, [&](aPacketLog* log) { return aPacketLog_Get(log, type, length, buffer); });
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t type, uint32_t length, const uint8_t* bytes) {
  return sWithPacketLog(id, [&](aPacketLog* log) { return aPacketLog_Put(log, type, length, bytes); });
}

aLinkRef aLink_Create(aStream* stream) {
  if (!aStream_IsValid(stream)) return 0;
  aLinkRef id = sCreate(-1, 0, 0);
  if (!id) {
    aStream_Destroy(&stream);
    return 0;
  }
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (aLink_Init(id, stream) != id) {
    // Init keeps the stream only once it has accepted it.
    if (entry->link.stream != stream) aStream_Destroy(&stream);
    sChangeUseCount(entry, 1);
    aLink_Destroy(&id);
    return 0;
  }
  sChangeUseCount(entry, 1);
  if (aLink_Start(id) != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

aErr aLink_Destroy(aLinkRef* id) {
  if (!id) return aErrParam;
  if (aLinkHandle running = sGetLink(*id); running && sOnLinkThread(running.get())) return aErrBusy;
  bool known = false;
  aLinkEntryRef entry = sReleaseUse(*id, &known);
  *id = 0;
  if (!known) return aErrParam;
  if (!entry) return aErrNone;  // other users remain
  aLink* link = &entry->link;
  if (link->userFilterLock) {
    MutexGuard guard(link->userFilterLock);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
  }
  aLink_Stop(link);
  // A link-sharing server attached to this entry would be destroyed here.
  if (entry->frontedLink) {
    aLinkRef fronted = static_cast<aLinkRef>(entry->frontedLink);
    aLink_Destroy(&fronted);
  }
  std::lock_guard<std::mutex> control(link->controlLock);
  if (link->check != aLINK_CHECK) {
    sReleaseRecord(link);
    return aErrUnknown;
  }
  aErr err = aPacketFifo_Destroy(&link->outFifo);
  aPacketFifo_Destroy(&link->inFifo);
  aPacket_Destroy(&link->rxPacket);
  {
    MutexGuard guard(link->packetLogLock.load());
    aPacketLog* log = link->packetLog.exchange(nullptr);
    aPacketLog_Destroy(&log);
  }
  aStream_Destroy(&link->stream);
  link->check = 0;
  return err;
}
