#include "Corvantis2/api/Link.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "Corvantis2/common/aDiscovery.h"
#include "Corvantis2/common/aLinkCreate.h"
#include "Corvantis2/common/aLogger.h"
#include "Corvantis2/unix/aFile.h"
#include "Corvantis2/unix/aTime.h"

namespace Vorantix::Corvantis {

namespace {

constexpr size_t kMaxNameLength = 1024;
constexpr uint32_t kWaitPollMs = 10;
constexpr uint8_t kMaxPlainLength = 27;
constexpr uint32_t kLogEntryMax = 64;
constexpr uint32_t kLogIdleMs = 5;

// Serialises every engine-link creation of this class, process-wide.
std::mutex linkCreateHelperSerializer;

std::mutex discoveryLock;
LinkDiscovery discovery{aDiscovery_FindModule, aDiscovery_EnumerateModules};  // guarded by discoveryLock

LinkDiscovery sDiscovery() {
  std::lock_guard<std::mutex> guard(discoveryLock);
  return discovery;
}

bool sValidModule(uint8_t module) { return module != 0 && (module & 1) == 0; }

// One packet to the engine link; the engine copies it.
aErr sPut(aLinkRef link, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNothing = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &kNothing);
  if (!packet) return aErrResource;
  const aErr result = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  return result;
}

// Waits for a packet the filter accepts and releases it; false on timeout.
bool sAwait(aLinkRef link, LinkFilter filter, void* ref, uint32_t timeoutMs, aPacket** keep = nullptr) {
  aPacket* packet = aLink_AwaitFirst(link, filter, ref, timeoutMs);
  if (!packet) return false;
  if (keep) {
    *keep = packet;
  } else {
    aPacket_Destroy(&packet);
  }
  return true;
}

struct CommandMatch {
  const uint8_t* bytes;
  uint8_t length;
};

struct SlotMatch {
  uint8_t option;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};

struct FactoryMatch {
  uint8_t area;
};

// Owns one received packet for the length of a scope.
struct PacketHolder {
  aPacket* packet = nullptr;
  ~PacketHolder() { aPacket_Destroy(&packet); }
};

bool cbModelCallback(const linkSpec* found, bool* success, void* ref) {
  auto* wanted = static_cast<linkSpec*>(ref);
  if (wanted->model != 0 && wanted->model != found->model) return true;
  std::memcpy(wanted, found, sizeof(linkSpec));
  *success = true;
  return false;
}

}  // namespace

LinkDiscovery Link_SetDiscovery(const LinkDiscovery& replacement) {
  std::lock_guard<std::mutex> guard(discoveryLock);
  const LinkDiscovery previous = discovery;
  discovery = replacement;
  return previous;
}

struct Link::impl {
  Link* owner;
  aLinkRef linkId = 0;
  aLogger* logger = nullptr;
  PendarConfig config;
  LinkStreams streams;
  std::string name;
  std::unique_ptr<linkSpec> specifier;

  impl(Link* o, const char* n)
      : owner(o), name(n ? std::string(n).substr(0, kMaxNameLength) : std::string()) {}

  aErr linkCreateHelper(const linkSpec& spec) {
    std::lock_guard<std::mutex> guard(linkCreateHelperSerializer);
    switch (spec.type) {
      case USB: linkId = aLink_CreateUSB(spec.serialNumber); break;
      case TCPIP: linkId = aLink_CreateTCPIP(spec.serialNumber, spec.ipAddress, spec.ipPort); break;
      case SERIAL: {
        char port[sizeof spec.portName + 1] = {};
        std::memcpy(port, spec.portName, sizeof spec.portName);  // the record need not end in NUL
        linkId = aLink_CreateSerial(spec.serialNumber, port, spec.baudRate);
        break;
      }
      // Client links to a sharing server are not built yet.
      case PENDAR:
      case PENDAR_USB:
      case PENDAR_TCPIP:
      case PENDAR_SERIAL: return aErrConfiguration;
      default: return aErrMode;
    }
    return aErrNone;
  }

  aErr connectHelper() {
    if (!specifier) return aErrConfiguration;
    const aErr created = linkCreateHelper(*specifier);
    if (created != aErrNone) return created;
    if (linkId == 0) return aErrConnection;
    streams.attach(linkId);
    return owner->waitForLink(kLINK_CONNECT_POLLS);
  }

  void destroyEngineLink() {
    if (linkId == 0) return;
    streams.attach(0);
    // The logger reads by link id; a later connect may get another id.
    if (logger) aLogger_Destroy(&logger);
    aLink_Destroy(&linkId);
    linkId = 0;
  }

  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
    const LinkDiscovery find = sDiscovery();
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
      found = find.findModule(type, serialNumber, config.networkInterface);
    } else {
      linkSpec* wanted = aLinkSpec_Create(type);
      if (!wanted) return aErrMemory;
      wanted->model = model;
      if (find.enumerateModules(type, cbModelCallback, wanted, config.networkInterface) > 0) {
        found = wanted;
      } else {
        aLinkSpec_Destroy(&wanted);
      }
    }
    if (!found) return aErrNotFound;
    (void)owner->setLinkSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return owner->connect();
  }

  static void readDebugBuffer(aFile* file, uint32_t id) {
    uint8_t type = 0;
    uint8_t entry[kLogEntryMax + 1] = {};
    uint32_t length = kLogEntryMax;
    if (aLink_PacketDebug_Read(id, &type, &length, entry) != aErrNone) {
      aTime_MSSleep(kLogIdleMs);
      return;
    }
    length = std::min(length, kLogEntryMax);
    std::string line = std::to_string(length) + (type == aLINK_LOG_WRITTEN ? " > " : " < ");
    char hex[8];
    for (uint32_t i = 0; i < length; ++i) {
      if (type == aLINK_LOG_MARKER) {
        line.push_back(static_cast<char>(entry[i]));
      } else {
        std::snprintf(hex, sizeof hex, "0x%X ", entry[i]);
        line += hex;
      }
    }
    line += "\r\n";
    size_t written = 0;
    aFile_Write(file, line.data(), line.size(), &written);
  }
};

Link::Link(const linkSpec& spec, const char* name) : impl_(std::make_unique<impl>(this, name)) {
  impl_->specifier = std::make_unique<linkSpec>(spec);
}

Link::Link(const char* name) : impl_(std::make_unique<impl>(this, name)) {}

Link::~Link() {
  impl_->destroyEngineLink();
  if (impl_->logger) aLogger_Destroy(&impl_->logger);
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!spec) return aErrParam;
  if (!impl_->specifier) return aErrNotFound;
  *spec = *impl_->specifier;
  return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  if (isConnected()) return aErrBusy;
  impl_->specifier = std::make_unique<linkSpec>(spec);
  return aErrNone;
}

aErr Link::getConfig(PendarConfig* config) const {
  if (!config) return aErrParam;
  *config = impl_->config;
  return aErrNone;
}

aErr Link::setConfig(const PendarConfig& config) {
  if (isConnected()) return aErrMode;
  impl_->config = config;
  return aErrNone;
}

aErr Link::connect() {
  if (impl_->linkId != 0) return aErrConnection;
  return impl_->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
  if (other.impl_->linkId == 0) return aErrInitialization;
  if (impl_->linkId != 0) return aErrConnection;
  return impl_->connectHelper();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  const aErr first = impl_->discoveryAndConnectHelper(type, serialNumber, model);
  // _fallbackHelper: one more try on the other transport family.
  const bool retryable = first == aErrConnection || first == aErrNotFound || first == aErrInitialization;
  const bool family = type == USB || type == TCPIP || isPENDAR(type);
  if (!retryable || !family || !impl_->config.fallback) return first;
  const linkType other = isPENDAR(type) ? USB : PENDAR;
  return impl_->discoveryAndConnectHelper(other, serialNumber, model);
}

aErr Link::waitForLink(uint32_t count) {
  int32_t status = aLink_GetStatus(impl_->linkId);
  switch (status) {
    case linkStatusRunning: return aErrNone;
    case linkStatusStopped:
    case linkStatusStarting:
    case linkStatusSyncing:
      for (uint32_t i = 0; i < count && status != linkStatusRunning; ++i) {
        aTime_MSSleep(kWaitPollMs);
        status = aLink_GetStatus(impl_->linkId);
      }
      return status == linkStatusRunning ? aErrNone : aErrConnection;
    case linkStatusStopping: return aErrBusy;
    case linkStatusNoStream:
    case linkStatusIOError:
    case linkStatusPacketError: return aErrConnection;
    default: return aErrDuplicate;
  }
}

bool Link::isConnected() const {
  return impl_->linkId != 0 && aLink_GetStatus(impl_->linkId) == linkStatusRunning;
}

int32_t Link::getStatus() const { return impl_->linkId ? aLink_GetStatus(impl_->linkId) : 8; }

aErr Link::disconnect() {
  impl_->destroyEngineLink();
  return aErrNone;
}

aErr Link::reset() {
  if (impl_->linkId) aLink_Reset(impl_->linkId);
  return aErrNone;
}

const char* Link::getName() const { return impl_->name.c_str(); }

aErr Link::enablePooledPackets(bool enable) { return aLink_EnablePooledPackets(impl_->linkId, enable); }

aLinkRef Link::getLinkId() const { return impl_->linkId; }

// UEI exchange -----------------------------------------------------------

aErr Link::sendUEI(const uei& request) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(request.module)) return aErrPacket;
  UeiPayload payload;
  if (request.type != typeBytes) {
    if (aUEI_EncodeScalar(request, &payload) != aErrNone) return aErrParam;
    return sPut(impl_->linkId, request.module, payload.length, payload.bytes);
  }
  if (request.value.length > 0 && !request.value.data) return aErrParam;
  aErr result = aErrNone;
  for (size_t n = 0; aUEI_EncodeBytesPacket(request, n, &payload); ++n) {
    result = sPut(impl_->linkId, request.module, payload.length, payload.bytes);
    if (result != aErrNone) break;
  }
  return result;
}

aErr Link::sendUEI(const uei& request, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(request.module)) return aErrPacket;
  UeiPayload payload;
  if (aUEI_EncodeScalarWithSubindex(request, subindex, &payload) != aErrNone) return aErrParam;
  return sPut(impl_->linkId, request.module, payload.length, payload.bytes);
}

bool Link::sUEIFilter(const aPacket* packet, void* ref) {
  auto* u = static_cast<uei*>(ref);
  if (packet->address != u->module || packet->dataSize <= 2) return false;
  const uint8_t* d = packet->data;
  if (d[0] != u->command || d[1] != u->option || (d[2] & kUEI_INDEX_MASK) != u->index) return false;
  if (d[2] & kUEI_ERROR) {
    u->index = d[2];
    u->value.byteValue = packet->dataSize > 3 ? d[3] : 0;
    return true;
  }
  switch (packet->dataSize) {
    case 3: u->type = typeVoid; break;
    case 4:
      u->type = typeByte;
      u->value.byteValue = d[3];
      break;
    case 5:
      u->type = typeShort;
      u->value.shortValue = aUEI_RetrieveShort(d + 3);
      break;
    case 7:
      u->type = typeInt;
      u->value.intValue = aUEI_RetrieveInt(d + 3);
      break;
    default: break;
  }
  return true;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
  return receiveUEI(module, command, option, index, reply, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* reply, LinkFilter filter) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!reply || !filter) return aErrParam;
  const bool longSequence = reply->type == typeBytes && reply->value.length > 1000;
  const uint32_t wait = longSequence ? kLINK_LONG_REPLY_WAIT_MS : kLINK_REPLY_WAIT_MS;
  return sAwait(impl_->linkId, filter, reply, wait) ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  uei match{};
  match.module = module;
  match.command = command;
  match.option = option;
  match.index = index;
  aLink_DrainPackets(impl_->linkId, sUEIFilter, &match);
  return aErrNone;
}

// Plain packets ----------------------------------------------------------

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (length > kMaxPlainLength || (length > 0 && !data)) return aErrParam;
  uint8_t bytes[aPACKET_MAX_DATA];
  bytes[0] = command;
  if (length) std::memcpy(bytes + 1, data, length);
  // Callers rely on the reply wait that follows, not on the put.
  (void)sPut(impl_->linkId, module, static_cast<uint8_t>(length + 1), bytes);
  return aErrNone;
}

bool Link::sCommandFilter(const aPacket* packet, void* ref) {
  const auto* m = static_cast<const CommandMatch*>(ref);
  return packet->dataSize >= m->length && std::memcmp(packet->data, m->bytes, m->length) == 0;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* filterBytes, uint8_t* length, uint8_t* out) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!length || !out || *length > aPACKET_MAX_DATA || (*length > 0 && !filterBytes)) return aErrParam;
  // filterBytes and out may be one buffer.
  uint8_t wanted[aPACKET_MAX_DATA];
  if (*length) std::memcpy(wanted, filterBytes, *length);
  CommandMatch match{wanted, *length};
  PacketHolder got;
  if (!sAwait(impl_->linkId, sCommandFilter, &match, kLINK_REPLY_WAIT_MS, &got.packet)) return aErrTimeout;
  *length = got.packet->dataSize;
  std::memcpy(out, got.packet->data, got.packet->dataSize);
  return aErrNone;
}

bool Link::MatchMagic(const aPacket* packet, void*) { return packet->dataSize == 0; }

aErr Link::getModuleAddress(uint8_t* address) {
  if (!address) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  if (sPut(impl_->linkId, cmdADDRESSQUERY, 0, nullptr) != aErrNone) return aErrNotReady;
  PacketHolder got;
  if (!sAwait(impl_->linkId, MatchMagic, nullptr, kLINK_REPLY_WAIT_MS, &got.packet)) return aErrNotReady;
  *address = got.packet->address;
  return aErrNone;
}

// Store slots ------------------------------------------------------------
//
//   4, 1, store, slot         -> 4, 1, store, slot, capacity (16-bit)
//   4, 2, store, slot         -> 4, 2, store, slot, size (16-bit)
//   4, 3|4, store, slot       -> 4, 3|4, store, slot, handle     (open to read | write)
//   4, 6, handle              -> 4, 6, handle, up to 25 bytes
//   4, 7, handle, <=25 bytes  -> 4, 7, handle, 8-bit byte sum
//   4, 8, handle              -> 4, 8, handle, error code          (close)
// Error replies set bit 7 of the option byte; the code follows the
// store/slot pair (options 1-4) or the handle (options 6-8).

namespace {

constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kSlotError = 0x80;
constexpr size_t kSlotChunk = 25;
constexpr uint8_t kNoHandle = 0xFF;

bool sIsSlotError(const aPacket* p) { return (p->data[1] & kSlotError) != 0; }

// Sends one slot request and takes its reply; false when the put failed or
// nothing came.
bool sSlotExchange(aLinkRef link, uint8_t module, const uint8_t* request, uint8_t length, SlotMatch match,
                   uint32_t wait, PacketHolder* reply, aErr* putResult = nullptr) {
  const aErr put = sPut(link, module, length, request);
  if (putResult) *putResult = put;
  if (put != aErrNone) return false;
  return sAwait(link, Link::sSlotFilter, &match, wait, &reply->packet);
}

uint8_t sOpenSlot(aLinkRef link, uint8_t module, uint8_t store, uint8_t slot, uint8_t option) {
  const uint8_t request[] = {cmdSLOT, option, store, slot};
  PacketHolder reply;
  if (!sSlotExchange(link, module, request, sizeof request, {option, store, slot, 0}, kLINK_SLOT_OPEN_WAIT_MS,
                     &reply))
    return kNoHandle;
  if (reply.packet->dataSize <= 4 || sIsSlotError(reply.packet)) return kNoHandle;
  return reply.packet->data[4];
}

aErr sCloseSlot(aLinkRef link, uint8_t module, uint8_t handle) {
  const uint8_t request[] = {cmdSLOT, kSlotClose, handle};
  PacketHolder reply;
  aErr put = aErrNone;
  if (!sSlotExchange(link, module, request, sizeof request, {kSlotClose, 0, 0, handle}, kLINK_REPLY_WAIT_MS,
                     &reply, &put))
    return put != aErrNone ? put : aErrTimeout;
  if (reply.packet->dataSize != 4) return aErrIO;
  if (sIsSlotError(reply.packet)) return static_cast<aErr>(reply.packet->data[3]);
  return aErrNone;
}

aErr sSlotQuery(aLinkRef link, uint8_t module, uint8_t option, uint8_t store, uint8_t slot, size_t* out) {
  if (!out) return aErrParam;
  const uint8_t request[] = {cmdSLOT, option, store, slot};
  PacketHolder reply;
  aErr put = aErrNone;
  if (!sSlotExchange(link, module, request, sizeof request, {option, store, slot, 0}, kLINK_REPLY_WAIT_MS,
                     &reply, &put))
    return put != aErrNone ? put : aErrTimeout;
  const aPacket* p = reply.packet;
  if (sIsSlotError(p)) return static_cast<aErr>(p->data[4]);
  if (p->dataSize != 6) return aErrUnknown;
  *out = aUEI_RetrieveShort(p->data + 4);
  return aErrNone;
}

uint8_t sByteSum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

}  // namespace

bool Link::sSlotFilter(const aPacket* packet, void* ref) {
  const auto* m = static_cast<const SlotMatch*>(ref);
  if (packet->dataSize <= 3 || packet->data[0] != cmdSLOT) return false;
  const uint8_t option = packet->data[1];
  if (option != m->option && option != (m->option | kSlotError)) return false;
  switch (m->option) {
    case kSlotCapacity:
    case kSlotSize:
    case kSlotOpenRead:
    case kSlotOpenWrite: return packet->data[2] == m->store && packet->data[3] == m->slot;
    case 5:
    case kSlotRead:
    case kSlotWrite:
    case kSlotClose: return packet->data[2] == m->handle;
    default: return false;
  }
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  return sSlotQuery(impl_->linkId, module, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  return sSlotQuery(impl_->linkId, module, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!data) return aErrParam;
  const aLinkRef link = impl_->linkId;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSlotOpenWrite);
  if (handle == kNoHandle) return aErrMedia;
  aErr result = aErrNone;
  for (size_t at = 0; at < length && result == aErrNone;) {
    const size_t chunk = std::min(kSlotChunk, length - at);
    uint8_t request[3 + kSlotChunk] = {cmdSLOT, kSlotWrite, handle};
    std::memcpy(request + 3, data + at, chunk);
    PacketHolder reply;
    aErr put = aErrNone;
    if (!sSlotExchange(link, module, request, static_cast<uint8_t>(3 + chunk), {kSlotWrite, 0, 0, handle},
                       kLINK_REPLY_WAIT_MS, &reply, &put)) {
      result = put != aErrNone ? put : aErrTimeout;
      break;
    }
    const aPacket* p = reply.packet;
    if (p->dataSize == 4) {
      if (sIsSlotError(p)) {
        result = static_cast<aErr>(p->data[3]);
      } else if (p->data[3] != sByteSum(data + at, chunk)) {
        result = aErrIO;
      }
    }
    at += chunk;
  }
  const aErr closed = sCloseSlot(link, module, handle);
  return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                           size_t* read) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!buffer || !read) return aErrParam;
  const aLinkRef link = impl_->linkId;
  size_t size = 0;
  const aErr sized = sSlotQuery(link, module, kSlotSize, store, slot, &size);
  if (sized != aErrNone) return sized;
  const uint8_t handle = sOpenSlot(link, module, store, slot, kSlotOpenRead);
  if (handle == kNoHandle) return aErrMedia;
  const size_t want = std::min(bufferLength, size);
  size_t count = 0;
  aErr result = aErrNone;
  while (count < want) {
    const uint8_t request[] = {cmdSLOT, kSlotRead, handle};
    PacketHolder reply;
    aErr put = aErrNone;
    if (!sSlotExchange(link, module, request, sizeof request, {kSlotRead, 0, 0, handle}, kLINK_REPLY_WAIT_MS,
                       &reply, &put)) {
      result = put != aErrNone ? put : aErrTimeout;
      break;
    }
    const aPacket* p = reply.packet;
    if (p->dataSize <= 3) {
      result = aErrUnknown;
      break;
    }
    if (sIsSlotError(p)) {
      result = static_cast<aErr>(p->data[3]);
      break;
    }
    const size_t take = std::min<size_t>(p->dataSize - 3, want - count);
    std::memcpy(buffer + count, p->data + 3, take);
    count += take;
  }
  const aErr closed = sCloseSlot(link, module, handle);
  if (result != aErrNone) return result;
  if (closed != aErrNone) return closed;
  *read = count;
  return bufferLength < size ? aErrOverrun : aErrNone;
}

// Factory data -----------------------------------------------------------
//
//   read:  0x5E, area | 0x40 (first) or area -> 0x5E, area, up to 26 bytes
//          (28 data bytes: more follow)
//   write: 0x5E, area | 0x50 (first) or area | 0x10, up to 26 bytes -> 0x5E, area
//   end:   0x5E, 0x20, count (16-bit)                                -> 0x5E, area
// An error reply sets bit 7 of byte 1; byte 2 is the code.

namespace {

constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryError = 0x80;
constexpr size_t kFactoryChunk = 26;

aErr sFactoryEnd(aLinkRef link, uint8_t module, uint8_t area, size_t count) {
  const uint8_t request[] = {cmdFACTORY, kFactoryEnd, static_cast<uint8_t>(count >> 8),
                             static_cast<uint8_t>(count)};
  if (sPut(link, module, sizeof request, request) != aErrNone) return aErrResource;
  FactoryMatch match{area};
  PacketHolder reply;
  if (!sAwait(link, Link::sFactoryFilter, &match, kLINK_REPLY_WAIT_MS, &reply.packet)) return aErrTimeout;
  const aPacket* p = reply.packet;
  if (p->dataSize == 3 && (p->data[1] & kFactoryError)) return static_cast<aErr>(p->data[2]);
  return aErrNone;
}

}  // namespace

bool Link::sFactoryFilter(const aPacket* packet, void* ref) {
  const auto* m = static_cast<const FactoryMatch*>(ref);
  const uint8_t area = m->area & 0x0F;
  return packet->dataSize > 1 && packet->data[0] == cmdFACTORY &&
         (packet->data[1] == area || packet->data[1] == (area | kFactoryError));
}

aErr Link::getFactoryData(uint8_t module, uint8_t area, uint8_t* buffer, size_t bufferLength, size_t* read) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!buffer || !read) return aErrParam;
  const aLinkRef link = impl_->linkId;
  area &= 0x0F;
  size_t count = 0;
  bool first = true;
  bool more = true;
  while (more) {
    const uint8_t request[] = {cmdFACTORY, static_cast<uint8_t>(area | (first ? kFactoryFirst : 0))};
    first = false;
    if (sPut(link, module, sizeof request, request) != aErrNone) return aErrResource;
    FactoryMatch match{area};
    PacketHolder reply;
    if (!sAwait(link, sFactoryFilter, &match, kLINK_REPLY_WAIT_MS, &reply.packet)) return aErrTimeout;
    const aPacket* p = reply.packet;
    // An error reply is judged before its bytes are counted as data.
    if (p->data[1] & kFactoryError) return p->dataSize > 2 ? static_cast<aErr>(p->data[2]) : aErrIO;
    const size_t chunk = p->dataSize - 2u;
    if (count + chunk > bufferLength) return aErrOverrun;
    std::memcpy(buffer + count, p->data + 2, chunk);
    count += chunk;
    more = p->dataSize == aPACKET_MAX_DATA;
  }
  const aErr ended = sFactoryEnd(link, module, area, count);
  if (ended != aErrNone) return ended;
  *read = count;
  return aErrNone;
}

aErr Link::setFactoryData(uint8_t module, uint8_t area, const uint8_t* data, size_t length) {
  if (!isConnected()) return aErrConnection;
  if (!sValidModule(module)) return aErrPacket;
  if (!data && length > 0) return aErrParam;
  if (length > 0xFFFF) return aErrSize;  // the end request counts in 16 bits
  const aLinkRef link = impl_->linkId;
  area &= 0x0F;
  for (size_t at = 0; at < length;) {
    const size_t chunk = std::min(kFactoryChunk, length - at);
    uint8_t request[2 + kFactoryChunk] = {
        cmdFACTORY, static_cast<uint8_t>(area | kFactoryWrite | (at == 0 ? kFactoryFirst : 0))};
    std::memcpy(request + 2, data + at, chunk);
    if (sPut(link, module, static_cast<uint8_t>(2 + chunk), request) != aErrNone) return aErrResource;
    FactoryMatch match{area};
    PacketHolder reply;
    if (!sAwait(link, sFactoryFilter, &match, kLINK_REPLY_WAIT_MS, &reply.packet)) return aErrTimeout;
    if (reply.packet->dataSize != 2) return aErrSize;
    // An error flag without a code: the write did not take.
    if (reply.packet->data[1] & kFactoryError) return aErrWrite;
    at += chunk;
  }
  return sFactoryEnd(link, module, area, length);
}

// Packet log -------------------------------------------------------------

aErr Link::enablePacketLog(const char* fileName) {
  if (impl_->linkId == 0) return aErrConfiguration;
  if (!fileName) return aErrParam;
  aErr result = aLink_PacketDebug_Enable(impl_->linkId);
  if (result != aErrNone) return result;
  if (!impl_->logger) {
    impl_->logger = aLogger_Create(impl_->linkId, impl::readDebugBuffer, fileName);
    if (!impl_->logger) return aErrResource;
  }
  result = aLogger_Enable(impl_->logger);
  if (result == aErrNone) {
    static const uint8_t kStart[] = "START";
    aLink_PacketDebug_Write(impl_->linkId, aLINK_LOG_MARKER, sizeof kStart, kStart);
  }
  return result;
}

aErr Link::disablePacketLog() {
  if (impl_->linkId == 0) return aErrConfiguration;
  aLink_PacketDebug_Disable(impl_->linkId);
  return impl_->logger ? aLogger_Disable(impl_->logger) : aErrNone;
}

// Streams ----------------------------------------------------------------

namespace {

constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamingOption = 1;

}  // namespace

aErr Link::registerStreamCallback(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                  bool enable, StreamCallback callback, void* ref) {
  // The device is told with a UEI set of class 93 and the acknowledgement awaited.
  StreamDeviceSetter tellDevice = [this](uint8_t mod, uint8_t optionByte, uint32_t value) -> aErr {
    uei request{};
    request.module = mod;
    request.command = cmdSTREAM;
    request.option = optionByte;
    request.index = kUEI_REQUEST;
    request.type = typeInt;
    request.value.intValue = value;
    aErr result = sendUEI(request);
    if (result != aErrNone) return result;
    uei reply{};
    reply.module = mod;
    reply.command = cmdSTREAM;
    reply.option = static_cast<uint8_t>(optionByte | kUEI_ACK);
    reply.index = 0;
    result = receiveUEI(mod, cmdSTREAM, reply.option, 0, &reply);
    if (result != aErrNone) return result;
    return (reply.index & kUEI_ERROR) ? static_cast<aErr>(reply.value.byteValue) : aErrNone;
  };
  static_assert(kStreamEnable == 0x81 && kStreamDisable == 0x82);
  return impl_->streams.registerStreamCallback(module, entityClass, option, index, enable,
                                               std::move(callback), ref, tellDevice);
}

aErr Link::enableStream(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, entityClass, option, index, enable, StreamCallback{}, nullptr);
}

aErr Link::getStreamValue(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
  return impl_->streams.getStreamValue(module, entityClass, option, index, subindex, value);
}

aErr Link::getStreamStatus(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                           uint8_t subindex, StreamStatusEntry* entries, size_t capacity, size_t* count) {
  if (!isConnected()) return aErrConnection;
  return impl_->streams.getStreamStatus(module, entityClass, option, index, subindex, entries, capacity,
                                        count);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t entityClass, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
  return impl_->streams.filterActiveStreamKeys(module, entityClass, option, index, subindex, lock);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (!state) return aErrParam;
  uei request{};
  request.module = module;
  request.command = cmdSTREAM;
  request.option = kStreamingOption | kUEI_GET;
  request.index = kUEI_REQUEST;
  request.type = typeVoid;
  aErr result = sendUEI(request);
  if (result != aErrNone) return result;
  uei reply{};
  reply.module = module;
  reply.command = cmdSTREAM;
  reply.option = kStreamingOption;
  reply.index = 0;
  result = receiveUEI(module, cmdSTREAM, kStreamingOption, 0, &reply);
  if (result != aErrNone) return result;
  if (reply.index & kUEI_ERROR) return static_cast<aErr>(reply.value.byteValue);
  if (reply.type != typeByte) return aErrPacket;
  *state = reply.value.byteValue;
  return aErrNone;
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  return LinkStreams::createStreamKey(module, entityClass, option, index, subindex);
}
uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  return LinkStreams::getStreamKeyElement(key, element);
}
bool Link::isStreamPacket(const aPacket* packet) { return LinkStreams::isStreamPacket(packet); }
bool Link::isStreamSample(const aPacket* packet) { return LinkStreams::isStreamSample(packet); }
bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  return LinkStreams::getStreamPacketType(packet, type);
}
bool Link::isSubindexType(STREAM_PACKET type) { return LinkStreams::isSubindexType(type); }
aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  return LinkStreams::getStreamSample(packet, timestamp, value, subindex);
}
void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  LinkStreams::getTimestampParts(timestamp, high, low);
}

}  // namespace Vorantix::Corvantis
