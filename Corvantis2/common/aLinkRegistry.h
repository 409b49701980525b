// The link registry: identifiers, identities and use counts of links, for
// the link engine and the link-sharing server only.
//
// Entries are shared: a caller that looked one up keeps it alive after the
// entry has left the registry, so a link record is never freed under a
// caller still using it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aPacketLog.h"
#include "Corvantis2/unix/aMutex.h"
#include "Corvantis2/unix/aThread.h"

inline constexpr uint16_t aLINK_CHECK = 0xCEED;

struct aServer;

// Lock order, outermost first:
//   controlLock -> userFilterLock -> packetLogLock -> FIFO locks
//   the registry mutex is never held while another lock is taken.
// The input thread takes userFilterLock, packetLogLock and FIFO locks, never
// controlLock, so Start and Stop may join the threads while holding it.
struct aLink {
  std::atomic<uint16_t> check{0};
  uint32_t linkId = 0;
  std::atomic<bool> running{false};
  std::atomic<int32_t> status{linkStatusNoStream};
  aPacketFifo inFifo = 0;
  aPacket* rxPacket = nullptr;  // input thread's while it runs
  aPacketFifo outFifo = 0;
  aThread* inThread = nullptr;   // guarded by controlLock
  aThread* outThread = nullptr;  // guarded by controlLock
  aThreadProc inProc = nullptr;
  aThreadProc outProc = nullptr;
  std::atomic<bool> inStarted{false};
  std::atomic<bool> outStarted{false};
  // Each thread's own identity, so that calls made from inside (a user filter)
  // are recognised instead of joining or locking against themselves.
  std::atomic<std::thread::id> inThreadId{};
  std::atomic<std::thread::id> outThreadId{};
  aStream* stream = nullptr;  // used by the two threads only while they run
  std::atomic<int32_t> hbState{0};
  std::atomic<int32_t> syncState{kSyncStateIdle};
  uint8_t syncAddress = 0;                              // input thread
  std::chrono::steady_clock::time_point lastSyncStart;  // input thread
  std::chrono::steady_clock::time_point lastByteAt;     // input thread
  std::atomic<aPacketLog*> packetLog{nullptr};          // contents guarded by packetLogLock
  std::atomic<uint32_t> packetLogSize{0};
  std::atomic<aMutex*> packetLogLock{nullptr};  // made before packetLog is published
  aPacketFilter userFilter = nullptr;           // guarded by userFilterLock
  void* userFilterRef = nullptr;                // guarded by userFilterLock
  aMutex* userFilterLock = nullptr;             // made by aLink_Init, freed with the record
  std::atomic<bool> pooled{false};
  std::mutex controlLock;  // serialises Init, Start, Stop and packet-log creation

  ~aLink();
};

struct aLinkEntry {
  int32_t entryId = 0;
  int32_t frontedLink = 0;  // the device link a client link fronts, else 0
  aServer* server = nullptr;
  int32_t ident0 = 0, ident1 = 0, ident2 = 0;
  int32_t entryType = 0;
  int16_t useCount = 0;  // guarded by the registry mutex
  aLink link;
};

using aLinkEntryRef = std::shared_ptr<aLinkEntry>;
using aLinkHandle = std::shared_ptr<aLink>;

uint32_t sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type);
uint32_t sCreate(int32_t ident0, int32_t ident1, int32_t type);
aLinkEntryRef sLookupEntryByID(uint32_t id);
aLinkEntryRef sLookupEntryByIdentifier(int32_t ident0, int32_t type);
aLinkEntryRef sLookupEntryByTrident(int32_t ident0, int32_t ident1, int32_t ident2);
aLinkEntryRef sExtractEntry(uint32_t id);
void sChangeUseCount(const aLinkEntryRef& entry, int delta);
int16_t sGetUseCount(const aLinkEntryRef& entry);
// Gives up one use of the link; when none is left the entry is taken out of
// the registry and returned. *known tells whether the identifier was registered.
aLinkEntryRef sReleaseUse(uint32_t id, bool* known);
aLinkHandle sGetLink(uint32_t id);
