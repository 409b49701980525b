// Stream sample packet (data bytes; multi-byte fields big-endian):
//
//   0      entity class
//   1      option (no request bits)
//   2      index byte: bit 6 set, bits 4-0 the index
//   3      sample type 1-7
//   4      subindex (types 5-7 only)
//   +8     timestamp: high 32-bit word, then low 32-bit word
//   +1/2/4 value (types 1/5, 2/6, 3/7)
//   last   sequence byte, 0 for a sample
//
// Stream key: subindex in bits 32-39, then module, class, option and index
// from bit 31 down. 0xFF in a registration key is a wildcard (never for the
// module).
//
// Threads: the engine link's input thread runs the filter and is the only
// producer of the callback ring; the worker thread is its only consumer;
// user threads register and read values.
//
// Lock order: controlLock_ -> the engine link's user-filter lock ->
// streamMutex_. The filter is called with the user-filter lock held and
// takes streamMutex_, so nothing may install or remove the filter while
// holding streamMutex_. No lock is held while the device is asked or a
// worker is joined.
#include "Corvantis2/api/LinkStreams.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Corvantis2/api/LocklessQueue_SPSC.h"
#include "Corvantis2/unix/aThreadName.h"

namespace Vorantix::Corvantis {

namespace {

constexpr uint8_t kWildcard = 0xFF;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr size_t kTypeByte = 3;
constexpr size_t kSubindexByte = 4;

constexpr uint64_t kIndexField = 0xFFull;
constexpr uint64_t kOptionField = 0xFFull << 8;
constexpr uint64_t kClassField = 0xFFull << 16;
constexpr uint64_t kSubindexField = 0xFFull << 32;

// The 15 wildcard masks, as _getGenericStreamKeyMask gives them for n = 0..14.
constexpr std::array<uint64_t, 15> kGenericMasks = [] {
  std::array<uint64_t, 15> masks{};
  const uint64_t fields[4] = {kIndexField, kOptionField, kClassField, kSubindexField};
  for (unsigned n = 1; n <= 15; ++n) {
    uint64_t mask = 0;
    for (unsigned bit = 0; bit < 4; ++bit)
      if (n & (1u << bit)) mask |= fields[bit];
    masks[n - 1] = mask;
  }
  return masks;
}();

using Ring = LocklessQueue_SPSC<asyncPacket>;

// Data bytes of a sample of each type (index = type); 0: no sample type.
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};
constexpr uint8_t kValueWidth[8] = {0, 1, 2, 4, 0, 1, 2, 4};

bool sMatches(uint64_t key, uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
              uint8_t subindex) {
  const uint8_t wanted[5] = {module, entityClass, option, index, subindex};
  for (uint8_t element = keyModule; element <= keySubindex; ++element) {
    if (wanted[element] != kWildcard && LinkStreams::getStreamKeyElement(key, element) != wanted[element])
      return false;
  }
  return true;
}

// A field of the key that is already 0xFF makes key | mask equal to the
// result of the mask without that field (or to the key itself): that
// registration has had its call for this packet.
bool sCoveredBySmallerMask(uint64_t key, uint64_t mask) {
  for (uint64_t field : {kIndexField, kOptionField, kClassField, kSubindexField})
    if ((mask & field) && (key & field) == field) return true;
  return false;
}

bool sHasWildcard(uint64_t key) {
  for (uint8_t element = keyModule; element <= keySubindex; ++element)
    if (LinkStreams::getStreamKeyElement(key, element) == kWildcard) return true;
  return false;
}

// What a worker shares with the table: it touches nothing else, so a
// worker that cannot be joined (stopped from its own callback) can finish
// on its own without reaching into a table that is gone.
struct WorkerState {
  Ring ring{STREAM_RING_CAPACITY};
  std::atomic<bool> stop{false};
};

void sAsyncWork(std::shared_ptr<WorkerState> state) {
  aThread_NameSelf("aLinkStreams");
  while (!state->stop.load()) {
    asyncPacket call;
    while (!state->stop.load() && state->ring.pop(call)) {
      try {
        (void)call.callback(call.packet.get(), call.ref);
      } catch (...) {
        // A callback's failure is its own; the worker serves the others.
      }
      call = asyncPacket();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

struct LinkStreams::impl {
  // One registration (a key with a 0xFF element) or the latest sample of
  // one stream (a key without).
  struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;  // set by a sample, cleared by the first read after it
    StreamCallback callback;
    void* ref = nullptr;
    uint32_t value = 0;
  };
  struct Worker {
    std::thread thread;
    std::shared_ptr<WorkerState> state;
  };

  // Serialises registrations, filter installation and worker start/stop.
  std::mutex controlLock;
  aLinkRef link = 0;             // guarded by controlLock
  bool filterInstalled = false;  // guarded by controlLock
  Worker worker;                 // guarded by controlLock
  std::vector<Worker> retired;   // stopped, not yet joined; guarded by controlLock

  std::mutex streamMutex;
  std::unordered_map<uint64_t, StreamEntry> map;  // guarded by streamMutex
  std::shared_ptr<WorkerState> producer;          // the running worker's state; guarded by streamMutex

  std::atomic<uint64_t> dropped{0};

  static bool linkStreamFilter(const aPacket* packet, void* reference);
  // Under streamMutex, on the input thread.
  void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);

  // Both under controlLock.
  aErr installLocked(bool enable);
  void stopWorkerLocked();
  // Joins every retired worker but the calling thread; without controlLock.
  void joinRetired();

  void eraseMatching(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index);
};

void LinkStreams::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback || !producer) return;
  asyncPacket call{entry.callback, entry.ref, aPacketCopy(aPacket_Copy(packet))};
  if (!call.packet || !producer->ring.push(std::move(call))) dropped.fetch_add(1);
}

bool LinkStreams::impl::linkStreamFilter(const aPacket* packet, void* reference) {
  auto* self = static_cast<impl*>(reference);
  STREAM_PACKET type = streamNone;
  if (!getStreamPacketType(packet, &type)) return false;
  const uint8_t subindex = isSubindexType(type) ? packet->data[kSubindexByte] : 0;
  const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                                       packet->data[2] & 0x1F, subindex);
  uint32_t value = 0;
  const bool sample = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> guard(self->streamMutex);
  // Without registrations stream packets go on to the inbound queue.
  if (self->map.empty()) return false;
  auto own = self->map.find(key);
  if (own != self->map.end()) {
    self->queueAsyncCallback(own->second, packet);
    if (sample) {
      own->second.value = value;
      own->second.fresh = true;
    }
  }
  bool matched = false;
  for (uint64_t mask : kGenericMasks) {
    if (sCoveredBySmallerMask(key, mask)) continue;
    auto found = self->map.find(key | mask);
    if (found == self->map.end()) continue;
    self->queueAsyncCallback(found->second, packet);
    matched = true;
  }
  if (own == self->map.end() && matched && sample) {
    StreamEntry entry;
    entry.key = key;
    entry.fresh = true;
    entry.value = value;
    self->map.emplace(key, std::move(entry));
  }
  return true;
}

aErr LinkStreams::impl::installLocked(bool enable) {
  if (!link) return aErrConnection;
  if (enable) {
    if (aLink_InstallUserPacketFilter(link, &impl::linkStreamFilter, this) != aErrNone) return aErrConnection;
    filterInstalled = true;
    if (worker.state && !worker.state->stop.load()) return aErrNone;
    // A worker stopped from its own callback is retired, not reused: it
    // ends when that callback returns, and the new one has its own ring.
    auto state = std::make_shared<WorkerState>();
    try {
      worker.thread = std::thread(sAsyncWork, state);
    } catch (const std::system_error&) {
      return aErrResource;
    }
    worker.state = state;
    std::lock_guard<std::mutex> guard(streamMutex);
    producer = std::move(state);
    return aErrNone;
  }
  // Once the removal returns the filter is not running and will not run.
  aLink_InstallUserPacketFilter(link, nullptr, nullptr);
  filterInstalled = false;
  {
    std::lock_guard<std::mutex> guard(streamMutex);
    map.clear();
  }
  stopWorkerLocked();
  return aErrNone;
}

void LinkStreams::impl::stopWorkerLocked() {
  {
    std::lock_guard<std::mutex> guard(streamMutex);
    producer.reset();
  }
  if (!worker.state) return;
  worker.state->stop.store(true);
  retired.push_back(std::move(worker));
  worker = Worker();
}

void LinkStreams::impl::joinRetired() {
  std::vector<Worker> joinable;
  {
    std::lock_guard<std::mutex> guard(controlLock);
    for (auto it = retired.begin(); it != retired.end();) {
      if (it->thread.get_id() == std::this_thread::get_id()) {
        ++it;
        continue;
      }
      joinable.push_back(std::move(*it));
      it = retired.erase(it);
    }
  }
  // Calls still in a ring are released with its last owner.
  for (Worker& w : joinable)
    if (w.thread.joinable()) w.thread.join();
}

void LinkStreams::impl::eraseMatching(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index) {
  std::lock_guard<std::mutex> guard(streamMutex);
  std::erase_if(map, [&](const auto& item) {
    return sMatches(item.first, module, entityClass, option, index, kWildcard);
  });
}

LinkStreams::LinkStreams() : impl_(std::make_unique<impl>()) {}

LinkStreams::~LinkStreams() {
  attach(0);
  // From a callback the worker cannot join itself: it holds its own state
  // and ends once the callback returns.
  std::lock_guard<std::mutex> guard(impl_->controlLock);
  for (auto& w : impl_->retired)
    if (w.thread.joinable()) w.thread.detach();
}

uint64_t LinkStreams::createStreamKey(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                      uint8_t subindex) {
  return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{entityClass} << 16) |
         (uint64_t{option} << 8) | index;
}

uint64_t LinkStreams::_getGenericStreamKeyMask(uint8_t n) {
  return n < kGenericMasks.size() ? kGenericMasks[n] : 0;
}

uint8_t LinkStreams::getStreamKeyElement(uint64_t key, uint8_t element) {
  static constexpr unsigned kShift[5] = {24, 16, 8, 0, 32};
  if (element > keySubindex) return 0;
  return static_cast<uint8_t>(key >> kShift[element]);
}

bool LinkStreams::isStreamPacket(const aPacket* packet) {
  return aPacket_IsValid(packet) && aUEI_isStreamPacket(packet);
}

bool LinkStreams::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET found = streamNone;
  if (isStreamPacket(packet)) {
    const uint8_t last = packet->data[packet->dataSize - 1];
    const uint8_t declared = packet->data[kTypeByte];
    if (last != 0)
      found = streamBytes;  // a byte sequence: non-zero sequence number or more to follow
    else if (declared >= streamByte && declared <= streamSubindexInt)
      found = static_cast<STREAM_PACKET>(declared);
  }
  if (type) *type = found;
  return found != streamNone;
}

bool LinkStreams::isStreamSample(const aPacket* packet) {
  STREAM_PACKET type = streamNone;
  if (!getStreamPacketType(packet, &type) || type == streamBytes) return false;
  return packet->dataSize == kSampleLength[type] && packet->data[packet->dataSize - 1] == 0;
}

bool LinkStreams::isSubindexType(STREAM_PACKET type) {
  return type >= streamSubindexByte && type <= streamSubindexInt;
}

aErr LinkStreams::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                                  uint8_t* subindex) {
  STREAM_PACKET type = streamNone;
  if (!getStreamPacketType(packet, &type)) return aErrPacket;
  if (type == streamBytes) return aErrSize;
  if (!isStreamSample(packet)) return aErrPacket;
  size_t at = kSubindexByte;
  const uint8_t sub = isSubindexType(type) ? packet->data[at++] : 0;
  const uint64_t stamp =
      (uint64_t{aUEI_RetrieveInt(packet->data + at)} << 32) | aUEI_RetrieveInt(packet->data + at + 4);
  at += 8;
  uint32_t v = 0;
  switch (kValueWidth[type]) {
    case 1: v = packet->data[at]; break;
    case 2: v = aUEI_RetrieveShort(packet->data + at); break;
    default: v = aUEI_RetrieveInt(packet->data + at); break;
  }
  if (timestamp) *timestamp = stamp;
  if (value) *value = v;
  if (subindex) *subindex = sub;
  return aErrNone;
}

void LinkStreams::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low) *low = static_cast<uint32_t>(timestamp);
}

void LinkStreams::attach(aLinkRef link) {
  {
    std::lock_guard<std::mutex> guard(impl_->controlLock);
    if (link == impl_->link) return;
    if (impl_->link) {
      if (impl_->filterInstalled) aLink_InstallUserPacketFilter(impl_->link, nullptr, nullptr);
      impl_->filterInstalled = false;
    }
    {
      std::lock_guard<std::mutex> map(impl_->streamMutex);
      impl_->map.clear();
    }
    impl_->stopWorkerLocked();
    impl_->link = link;
  }
  impl_->joinRetired();
}

aErr LinkStreams::registerStreamCallback(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                         bool enable, StreamCallback callback, void* ref,
                                         const StreamDeviceSetter& tellDevice) {
  // Module addresses are even and non-zero; 0xFF is no wildcard here.
  if (module == 0 || (module & 1) || module == kWildcard) return aErrParam;
  const uint64_t key = createStreamKey(module, entityClass, option, index, kWildcard);

  aErr err = aErrNone;
  {
    std::lock_guard<std::mutex> control(impl_->controlLock);
    bool empty = false;
    {
      std::lock_guard<std::mutex> guard(impl_->streamMutex);
      if (enable) {
        impl::StreamEntry& entry = impl_->map[key];
        entry.key = key;
        entry.callback = std::move(callback);
        entry.ref = ref;
      } else {
        std::erase_if(impl_->map, [&](const auto& item) {
          return sMatches(item.first, module, entityClass, option, index, kWildcard);
        });
      }
      empty = impl_->map.empty();
    }
    err = impl_->installLocked(!empty);
  }
  impl_->joinRetired();

  if (err == aErrNone) {
    err = tellDevice ? tellDevice(module, enable ? kStreamEnable : kStreamDisable, static_cast<uint32_t>(key))
                     : aErrConnection;
  }
  if (err != aErrNone) {
    {
      std::lock_guard<std::mutex> control(impl_->controlLock);
      impl_->eraseMatching(module, entityClass, option, index);
      bool empty = false;
      {
        std::lock_guard<std::mutex> guard(impl_->streamMutex);
        empty = impl_->map.empty();
      }
      // A refused first registration leaves no filter behind.
      if (empty && (impl_->filterInstalled || impl_->worker.state)) impl_->installLocked(false);
    }
    impl_->joinRetired();
  }
  return err;
}

aErr LinkStreams::getStreamValue(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                 uint8_t subindex, uint32_t* value) {
  if (!value) return aErrParam;
  std::lock_guard<std::mutex> guard(impl_->streamMutex);
  auto found = impl_->map.find(createStreamKey(module, entityClass, option, index, subindex));
  if (found == impl_->map.end()) return aErrNotFound;
  *value = found->second.value;
  if (!found->second.fresh) return aErrStreamStale;
  found->second.fresh = false;
  return aErrNone;
}

aErr LinkStreams::getStreamStatus(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                  uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                                  size_t* count) {
  {
    std::lock_guard<std::mutex> control(impl_->controlLock);
    if (!impl_->link) return aErrConnection;
  }
  if (!entries || !count || capacity == 0) return aErrParam;
  std::lock_guard<std::mutex> guard(impl_->streamMutex);
  const std::vector<uint64_t> keys =
      filterActiveStreamKeys(module, entityClass, option, index, subindex, false);
  *count = 0;
  for (uint64_t key : keys) {
    if (sHasWildcard(key)) continue;  // a registration, not a stream with a value
    if (*count == capacity) return aErrSize;
    entries[*count] = {key, impl_->map.at(key).value};
    ++*count;
  }
  return aErrNone;
}

std::vector<uint64_t> LinkStreams::filterActiveStreamKeys(uint8_t module, uint8_t entityClass, uint8_t option,
                                                          uint8_t index, uint8_t subindex, bool lock) {
  std::unique_lock<std::mutex> guard(impl_->streamMutex, std::defer_lock);
  if (lock) guard.lock();
  std::vector<uint64_t> keys;
  for (const auto& item : impl_->map)
    if (sMatches(item.first, module, entityClass, option, index, subindex)) keys.push_back(item.first);
  std::sort(keys.begin(), keys.end());
  return keys;
}

aErr LinkStreams::installStreamFilter(bool enable) {
  aErr err = aErrNone;
  {
    std::lock_guard<std::mutex> control(impl_->controlLock);
    err = impl_->installLocked(enable);
  }
  impl_->joinRetired();
  return err;
}

uint64_t LinkStreams::droppedCallbacks() const { return impl_->dropped.load(); }

}  // namespace Vorantix::Corvantis
