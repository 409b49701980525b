// The device side of the virtual module's requests: each module's mutable
// state and the table of handlers that answer requests by command byte.
//
// Handlers run on a transport's session thread with the VirtualModule's
// state lock held; they read the request packet, change the module's
// state and append reply packets. They never block.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/vmodule/Loader.h"
#include "sim/vmodule/VirtualModule.h"
#include "sim/vmodule/WireCodec.h"

namespace vmodule {

// Device error codes carried in error replies (the family's aErr values).
enum DeviceError : uint8_t {
  kErrMemory = 1,
  kErrParam = 2,
  kErrNotFound = 3,
  kErrBusy = 5,
  kErrIO = 6,
  kErrMode = 7,
  kErrPermission = 12,
  kErrRange = 13,
  kErrSize = 14,
  kErrOverrun = 15,
  kErrUnimplemented = 21,
  kErrPacket = 24,
  kErrIndexRange = 26,
  kErrInvalidEntity = 28,
  kErrInvalidOption = 29,
};

inline constexpr uint8_t kGetBit = 0x40;
inline constexpr uint8_t kSetBit = 0x80;
inline constexpr uint8_t kAckBits = 0xC0;
inline constexpr uint8_t kErrorBit = 0x80;
inline constexpr uint8_t kStreamBit = 0x40;
inline constexpr uint8_t kOptionMask = 0x3F;
inline constexpr uint8_t kIndexMask = 0x1F;

struct ModuleState {
  explicit ModuleState(const ModuleIdentity& identity);

  ModuleIdentity identity;
  std::chrono::steady_clock::time_point bootTime = std::chrono::steady_clock::now();

  // System entity: scalar options by number, the byte options, what
  // `save` and the entity store keep, and byte sequences being received.
  std::map<uint8_t, uint32_t> options;
  std::map<uint8_t, Bytes> byteOptions;
  std::map<uint8_t, uint32_t> savedOptions;
  std::map<uint8_t, Bytes> savedByteOptions;
  struct Incoming {
    Bytes bytes;
    uint8_t nextSequence = 0;
  };
  std::map<uint8_t, Incoming> incoming;  // by option

  // Store slots by (store, slot); open handles.
  struct Slot {
    uint16_t capacity = 0;
    Bytes data;
  };
  std::map<std::pair<uint8_t, uint8_t>, Slot> slots;
  struct Handle {
    std::pair<uint8_t, uint8_t> slot;
    bool writing = false;
    size_t at = 0;
  };
  std::map<uint8_t, Handle> handles;
  uint8_t nextHandle = 1;

  // Factory data areas and the transfer in progress.
  std::map<uint8_t, Bytes> factory;
  struct FactoryTransfer {
    bool active = false;
    bool writing = false;
    uint8_t area = 0;
    size_t at = 0;
    Bytes pending;
  } factoryTransfer;
  uint8_t lastFactoryArea = 0;  // an end request without a transfer answers for it

  // Stream registrations: low 32 bits of the key (module, class, option, index).
  std::set<uint32_t> streams;
  std::chrono::steady_clock::time_point nextSample{};

  // I2C bus: memories by 8-bit write address, each with its register pointer.
  struct I2CDevice {
    std::vector<uint8_t> memory = std::vector<uint8_t>(256, 0);
    uint8_t pointer = 0;
  };
  std::map<uint8_t, I2CDevice> i2c;
  bool i2cPullup = false;

  // The loader and flash (command 95); the system entity answers the
  // protocol features and the loader's capability from it.
  std::shared_ptr<LoaderModel> loader;

  // Per-command objects that a handler keeps between requests (a loader and
  // its flash, for instance), made on first use.
  std::map<uint8_t, std::shared_ptr<void>> extensions;
  template <typename T, typename Make>
  T& Extension(uint8_t command, Make make) {
    std::shared_ptr<void>& slot = extensions[command];
    if (!slot) slot = std::shared_ptr<T>(make());
    return *static_cast<T*>(slot.get());
  }

  uint32_t UptimeSeconds() const;
  // Microseconds since the module started: the stream timestamp.
  uint64_t Timestamp() const;
};

// What a handler asks of the transport beyond its replies.
struct Outcome {
  bool dropConnection = false;  // reset the connection after the replies (a device that restarts)
};

struct Request {
  ModuleState& module;
  const ModuleState& router;
  const Packet& packet;
  std::vector<Packet>& replies;
  Outcome& outcome;

  const Bytes& data() const { return packet.data; }
  void Reply(Bytes bytes) { replies.push_back(Packet{module.identity.address, std::move(bytes)}); }
};

using HandlerFn = void (*)(Request&);
struct Handler {
  uint8_t command;
  HandlerFn handle;
};

// The handler for a command byte, or null (such requests go unanswered).
HandlerFn FindHandler(uint8_t command);

// Handlers, one file each.
void HandleSystem(Request& r);       // 3, SystemEntity.cpp
void HandleEntityStore(Request& r);  // 92, SystemEntity.cpp
void HandleSystemQuery(Request& r);  // 73, SystemQuery.cpp
void HandleDebug(Request& r);        // 23, SystemQuery.cpp
void HandleSlot(Request& r);         // 4, Slots.cpp
void HandleFactory(Request& r);      // 94, FactoryData.cpp
void HandleStream(Request& r);       // 93, StreamValues.cpp
void HandleI2C(Request& r);          // 8, I2CEntity.cpp

// System entity options (SystemEntity.cpp), for the queries and streams.
enum class OptionKind : uint8_t { Byte, Int, Call, Bytes };
struct SystemOption {
  uint8_t option;
  OptionKind kind;
  bool readable;
  bool writable;
};
const SystemOption* FindSystemOption(uint8_t option);
size_t SystemOptionCount();
const SystemOption& SystemOptionAt(size_t i);
// The current value of a readable scalar option.
uint32_t ReadSystemOption(const ModuleState& module, uint8_t option);

// Stream samples due at now for this module (StreamValues.cpp).
void CollectStreamSamples(ModuleState& module, uint32_t intervalMs, std::vector<Packet>& out);

void PutBig32(Bytes& out, uint32_t value);
uint32_t GetBig32(const uint8_t* bytes);

}  // namespace vmodule
