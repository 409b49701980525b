// Stream registrations of one Link: the table of registered streams and of
// the latest value per stream, the packet filter that takes stream packets
// out of the engine link's ordinary flow, and the worker thread that hands
// samples to user callbacks through a single-producer single-consumer ring.
//
// The Link owns one LinkStreams and forwards its stream operations here; the
// device exchange (the UEI set that starts or stops a stream) stays with the
// Link and is passed in as a function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aPacket.h"

namespace Vorantix::Corvantis {

enum STREAM_KEY : uint8_t { keyModule = 0, keyClass = 1, keyOption = 2, keyIndex = 3, keySubindex = 4 };

enum STREAM_PACKET : uint8_t {
  streamNone = 0,
  streamByte = 1,
  streamShort = 2,
  streamInt = 3,
  streamBytes = 4,
  streamSubindexByte = 5,
  streamSubindexShort = 6,
  streamSubindexInt = 7,
};

struct StreamStatusEntry {
  uint64_t key;
  uint32_t value;
};

// Called on the worker thread with a copy of the stream packet; the result
// is ignored.
using StreamCallback = std::function<uint8_t(const aPacket*, void*)>;

// Asks the device to start (option byte 0x81) or stop (0x82) streaming: a
// UEI set of class 93, index byte 0x20, with the 32-bit value, awaiting the
// device's acknowledgement. Returns the exchange's result.
using StreamDeviceSetter = std::function<aErr(uint8_t module, uint8_t optionByte, uint32_t value)>;

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using aPacketCopy = std::unique_ptr<aPacket, aPacketDeleter>;

// One queued callback call: the entry owns its packet copy until the call
// has been made (or the entry is dropped).
struct asyncPacket {
  StreamCallback callback;
  void* ref = nullptr;
  aPacketCopy packet;
};

// Slots of the callback ring; it holds one entry fewer.
inline constexpr size_t STREAM_RING_CAPACITY = 500;

class LinkStreams {
 public:
  LinkStreams();
  // Removes the filter and joins the worker.
  ~LinkStreams();
  LinkStreams(const LinkStreams&) = delete;
  LinkStreams& operator=(const LinkStreams&) = delete;

  static uint64_t createStreamKey(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  // 0 for an element number above 4.
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
  // The 15 wildcard masks over the index, option, class and subindex
  // fields (n = 0 to 14); 0 above.
  static uint64_t _getGenericStreamKeyMask(uint8_t n);
  static bool isStreamPacket(const aPacket* packet);
  static bool isStreamSample(const aPacket* packet);
  // False (type streamNone) for a packet that is not a stream packet.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

  // The engine link the filter is installed on. The Link calls it with the
  // new id after connecting, and with 0 before it destroys the engine link
  // (which removes the filter, stops the worker and clears the table).
  void attach(aLinkRef link);

  aErr registerStreamCallback(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* ref, const StreamDeviceSetter& tellDevice);
  aErr getStreamValue(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // The Link checks the connection before calling.
  aErr getStreamStatus(uint8_t module, uint8_t entityClass, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* count);
  // The keys in the table matching the arguments (0xFF matches anything),
  // in ascending order. lock false: the caller already holds the table's
  // mutex (from inside the table only).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t entityClass, uint8_t option,
                                               uint8_t index, uint8_t subindex, bool lock);
  aErr installStreamFilter(bool enable);

  // Callback calls dropped because the ring was full, since construction.
  uint64_t droppedCallbacks() const;

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

}  // namespace Vorantix::Corvantis
