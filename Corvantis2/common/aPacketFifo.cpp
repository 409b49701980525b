// Packet FIFOs and their process-wide registry.
//
// Lock order: gpPacketFifoDictionaryMutex is held only for a lookup, an
// insertion or a removal and never while a FIFO's lock is taken; a FIFO's
// lock is held for one operation (filters run under it).
#include "Corvantis2/common/aPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

class SerialPacket {
 public:
  SerialPacket(int64_t id, OwnedPacket packet) : id_(id), packet_(std::move(packet)) {}
  int64_t getId() const { return id_; }
  const aPacket* getPacket() const { return packet_.get(); }

 private:
  int64_t id_;
  OwnedPacket packet_;
};

struct packetFifo {
  std::deque<SerialPacket> queue;  // guarded by lock; serial numbers strictly increase
  std::condition_variable signal;
  std::mutex lock;
  std::atomic<bool> valid{true};
  std::atomic<int64_t> windowStart{0};  // written under lock
  std::atomic<int64_t> nextId{0};       // written under lock

  // The callers below hold lock.
  void syncWindow() { windowStart = queue.empty() ? nextId.load() : queue.front().getId(); }
  void clearAndSyncWindow() {
    queue.clear();
    syncWindow();
  }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator position) {
    queue.erase(position);
    syncWindow();
  }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first, std::deque<SerialPacket>::iterator last) {
    queue.erase(first, last);
    syncWindow();
  }
};

using FifoRef = std::shared_ptr<packetFifo>;
using Clock = std::chrono::steady_clock;

// Never destroyed: link threads of links nobody destroyed may still use
// their FIFOs while the process exits.
std::mutex& gpPacketFifoDictionaryMutex = *new std::mutex;
// Guarded by gpPacketFifoDictionaryMutex.
std::map<aPacketFifo, FifoRef>& gpPacketFifoDictionary = *new std::map<aPacketFifo, FifoRef>;
aPacketFifo gpSequentialId = 1;  // guarded by gpPacketFifoDictionaryMutex

FifoRef sLookup(aPacketFifo id) {
  std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
  auto found = gpPacketFifoDictionary.find(id);
  return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
}

// Copies the entry out, then erases it; a failed copy leaves it queued.
aPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator position) {
  aPacket* copy = aPacket_Copy(position->getPacket());
  if (copy) fifo.eraseAndSyncWindow(position);
  return copy;
}

// The oldest packet with a serial number above *examined that matches;
// raises *examined past every packet offered.
aPacket* sFirstMatch(packetFifo& fifo, aPacketFilter filter, void* reference, int64_t* examined) {
  auto start = std::upper_bound(fifo.queue.begin(), fifo.queue.end(), *examined,
                                [](int64_t id, const SerialPacket& entry) { return id < entry.getId(); });
  for (auto it = start; it != fifo.queue.end(); ++it) {
    *examined = it->getId();
    if (filter(it->getPacket(), reference)) return sTake(fifo, it);
  }
  return nullptr;
}

Clock::time_point sDeadline(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

aPacketFifo aPacketFifo_Create() {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
    if (gpSequentialId == 0) gpSequentialId++;
    const aPacketFifo id = gpSequentialId++;
    gpPacketFifoDictionary.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifo* id) {
  if (!id) return aErrParam;
  try {
    FifoRef fifo;
    {
      std::lock_guard<std::mutex> guard(gpPacketFifoDictionaryMutex);
      auto found = gpPacketFifoDictionary.find(*id);
      if (found == gpPacketFifoDictionary.end()) return aErrNotFound;
      fifo = std::move(found->second);
      gpPacketFifoDictionary.erase(found);
    }
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      fifo->clearAndSyncWindow();
      fifo->valid = false;
    }
    fifo->signal.notify_all();
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifo id, const aPacket* packet) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || !aPacket_IsValid(packet)) return aErrParam;
    bool overflow = false;
    {
      std::lock_guard<std::mutex> guard(fifo->lock);
      const int64_t serial = fifo->nextId++;
      OwnedPacket copy(aPacket_Copy(packet));
      if (!copy) return aErrParam;
      fifo->queue.emplace_back(serial, std::move(copy));
      fifo->syncWindow();
      if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
        fifo->clearAndSyncWindow();
        overflow = true;
      }
    }
    if (!overflow) fifo->signal.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifo id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> guard(fifo->lock);
    if (fifo->queue.empty()) return nullptr;
    return sTake(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(aPacketFifo id, uint32_t timeoutMs) {
  try {
    const auto deadline = sDeadline(timeoutMs);
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    std::unique_lock<std::mutex> guard(fifo->lock);
    fifo->signal.wait_until(guard, deadline, [&] { return !fifo->queue.empty() || !fifo->valid; });
    if (fifo->queue.empty()) return nullptr;
    return sTake(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifo id, aPacketFilter filter, void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || !filter) return nullptr;
    std::lock_guard<std::mutex> guard(fifo->lock);
    int64_t examined = fifo->windowStart - 1;
    return sFirstMatch(*fifo, filter, reference, &examined);
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifo id, aPacketFilter filter, void* reference, uint32_t timeoutMs) {
  try {
    const auto deadline = sDeadline(timeoutMs);
    FifoRef fifo = sLookup(id);
    if (!fifo || !filter) return nullptr;
    std::unique_lock<std::mutex> guard(fifo->lock);
    int64_t examined = fifo->windowStart - 1;
    aPacket* found = nullptr;
    fifo->signal.wait_until(guard, deadline, [&] {
      found = sFirstMatch(*fifo, filter, reference, &examined);
      return found || !fifo->valid;
    });
    return found;
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifo id, aPacketFilter filter, void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || !filter) return 0;
    std::lock_guard<std::mutex> guard(fifo->lock);
    auto kept = std::stable_partition(fifo->queue.begin(), fifo->queue.end(), [&](const SerialPacket& entry) {
      return !filter(entry.getPacket(), reference);
    });
    const size_t removed = static_cast<size_t>(fifo->queue.end() - kept);
    fifo->eraseAndSyncWindow(kept, fifo->queue.end());
    return removed;
  } catch (...) {
    return 0;
  }
}

size_t aPacketFifo_GetLength(aPacketFifo id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->queue.size();
  } catch (...) {
    return 0;
  }
}
