// The object through which one Module talks to one device: the specifier
// that says how to reach it, the engine link made on connect, and the
// synchronous exchanges over it (UEI requests and their replies, plain
// command packets, the address query, store slots, factory data), the
// packet log and the stream registrations.
//
// Every exchange puts its request on the engine link's outbound queue and
// waits in the calling thread for the first received packet its filter
// accepts; packets no filter takes stay queued for other waiters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Corvantis2/api/LinkStreams.h"
#include "Corvantis2/api/Uei.h"
#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aLinkSpec.h"
#include "Corvantis2/common/aPacket.h"

namespace Vorantix::Corvantis {

// Networking configuration of a link, copied by value.
struct PendarConfig {
  bool enabled = true;        // wrap a physical link into a sharing server; allow networked link types
  bool fallback = true;       // discoverAndConnect retries on the other transport family
  bool localOnly = true;      // the sharing server accepts loopback connections only
  uint16_t assignedPort = 0;  // the sharing server's TCP port, once it serves
  uint32_t networkInterface = 0x0100007F;  // 127.0.0.1 in network byte order
};

inline constexpr uint8_t cmdSLOT = 4;
inline constexpr uint8_t cmdDEBUG = 23;
inline constexpr uint8_t cmdSYSTEM_QUERY = 73;
inline constexpr uint8_t cmdSTORE = 92;
inline constexpr uint8_t cmdSTREAM = 93;
inline constexpr uint8_t cmdFACTORY = 94;

inline constexpr uint32_t kLINK_REPLY_WAIT_MS = 1000;
inline constexpr uint32_t kLINK_LONG_REPLY_WAIT_MS = 4000;  // byte sequences above 1000 bytes
inline constexpr uint32_t kLINK_SLOT_OPEN_WAIT_MS = 3000;
inline constexpr uint32_t kLINK_CONNECT_POLLS = 200;  // waitForLink after creation, 10 ms apart

// Returns true to take the packet; may fill ref from it.
using LinkFilter = bool (*)(const aPacket* packet, void* ref);

class Link {
 public:
  using STREAM_KEY = Vorantix::Corvantis::STREAM_KEY;
  using STREAM_PACKET = Vorantix::Corvantis::STREAM_PACKET;
  using enum Vorantix::Corvantis::STREAM_KEY;
  using enum Vorantix::Corvantis::STREAM_PACKET;
  using StreamStatusEntry = Vorantix::Corvantis::StreamStatusEntry;
  using StreamCallback = Vorantix::Corvantis::StreamCallback;

  Link(const linkSpec& spec, const char* name);
  explicit Link(const char* name);
  // Stops the streams, destroys the engine link and the packet logger.
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  aErr getLinkSpecifier(linkSpec* spec) const;
  // aErrBusy while connected.
  aErr setLinkSpecifier(const linkSpec& spec);
  aErr getConfig(PendarConfig* config) const;
  // aErrMode while connected.
  aErr setConfig(const PendarConfig& config);

  // aErrConnection while an engine link is held (disconnect first).
  aErr connect();
  // Shares other's engine link (the link engine hands back the existing link
  // for the same device).
  aErr connectThroughLinkModule(Link& other);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  // Reads the engine link's status and, while it is starting or syncing,
  // polls it every 10 ms at most count times.
  aErr waitForLink(uint32_t count);
  bool isConnected() const;
  // The engine link's status, or 8 without one.
  int32_t getStatus() const;
  aErr disconnect();
  aErr reset();
  const char* getName() const;
  aErr enablePooledPackets(bool enable);
  // The engine link's identifier, 0 while none is held.
  aLinkRef getLinkId() const;

  // UEI requests. A type without an encoding is refused with aErrParam
  // before anything is sent; so is a byte sequence with a subindex.
  aErr sendUEI(const uei& request);
  aErr sendUEI(const uei& request, uint8_t subindex);
  // Waits for the reply matching the uei's own fields (the four bytes serve
  // only the module address test). aErrNone also for an error reply: bit 7
  // of the uei's index tells, with the device's code in byteValue.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                  LinkFilter filter);
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  // Plain command packets: command and up to 27 more data bytes.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Takes the first packet (from any module) whose first *length data bytes
  // equal filterBytes; out must hold 28 bytes and may be filterBytes.
  aErr receivePacket(uint8_t module, const uint8_t* filterBytes, uint8_t* length, uint8_t* out);
  // The address query; aErrNotReady when unconnected or unanswered.
  aErr getModuleAddress(uint8_t* address);

  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                       size_t* read);

  aErr getFactoryData(uint8_t module, uint8_t area, uint8_t* buffer, size_t bufferLength, size_t* read);
  aErr setFactoryData(uint8_t module, uint8_t area, const uint8_t* data, size_t length);

  aErr enablePacketLog(const char* fileName);
  aErr disablePacketLog();

  // Streams (the table itself lives in LinkStreams).
  aErr registerStreamCallback(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* ref);
  aErr enableStream(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, bool enable);
  aErr getStreamValue(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  aErr getStreamStatus(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* count);
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t entityClass, uint8_t option,
                                               uint8_t index, uint8_t subindex, bool lock);
  aErr isLinkStreaming(uint8_t module, uint8_t* state);

  static uint64_t createStreamKey(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
  static bool isStreamPacket(const aPacket* packet);
  static bool isStreamSample(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

  // Reply filters; ref is the exchange's record.
  static bool sUEIFilter(const aPacket* packet, void* ref);
  static bool sCommandFilter(const aPacket* packet, void* ref);
  static bool sSlotFilter(const aPacket* packet, void* ref);
  static bool sFactoryFilter(const aPacket* packet, void* ref);
  static bool MatchMagic(const aPacket* packet, void* ref);

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

// How discoverAndConnect finds devices; tests may replace them to watch the
// fallback. Both behave as aDiscovery_FindModule and
// aDiscovery_EnumerateModules.
struct LinkDiscovery {
  linkSpec* (*findModule)(linkType type, uint32_t serialNumber, uint32_t networkInterface);
  uint32_t (*enumerateModules)(linkType type, bool (*callback)(const linkSpec*, bool*, void*), void* ref,
                               uint32_t networkInterface);
};
// Replaces the discovery functions; returns the previous ones.
LinkDiscovery Link_SetDiscovery(const LinkDiscovery& discovery);

}  // namespace Vorantix::Corvantis
