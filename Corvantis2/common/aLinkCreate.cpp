// Creation, reuse and reset of device links over sockets and serial ports.
#include "Corvantis2/common/aLinkCreate.h"

#include <mutex>

#include "Corvantis2/common/aLinkRegistry.h"
#include "Corvantis2/common/aLinkSpec.h"
#include "Corvantis2/unix/aStreamSerial.h"
#include "Corvantis2/unix/aStreamSocket.h"
#include "Corvantis2/unix/aStreamUSB.h"
#include "Corvantis2/unix/aTime.h"

namespace {

// A device that already has a link: one more use of it, or 0 when a
// link-sharing server fronts it and it must be reached through that.
aLinkRef sReuse(const aLinkEntryRef& entry, bool refuseServed) {
  if (refuseServed && entry->server) return 0;
  sChangeUseCount(entry, 1);
  return static_cast<aLinkRef>(entry->entryId);
}

// Registers a new link over a stream that is made by `make` once the entry
// exists; any failure leaves nothing registered.
template <typename MakeStream>
aLinkRef sCreateDeviceLink(int32_t ident0, int32_t ident1, int32_t ident2, linkType type, MakeStream make,
                           bool synchronise = false) {
  aLinkRef id = sCreate2(ident0, ident1, ident2, static_cast<int32_t>(type));
  if (!id) return 0;
  aLinkEntryRef entry = sLookupEntryByID(id);
  aStream* stream = nullptr;
  aErr err = make(&stream);
  if (err == aErrNone && aLink_Init(id, stream) != id) {
    err = aErrConnection;
    if (entry->link.stream != stream) aStream_Destroy(&stream);
  }
  if (err != aErrNone) {
    // Destroy unregisters an entry only when it gives up its last use.
    sChangeUseCount(entry, 1);
    aLink_Destroy(&id);
    return 0;
  }
  sChangeUseCount(entry, 1);
  // A USB device that does not answer the handshake gets no link.
  if (aLink_Start(id) != aErrNone || (synchronise && aLink_Sync(id) != aErrNone)) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

}  // namespace

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port) {
  if (port > 0xFFFF) return 0;
  const auto serial = static_cast<int32_t>(serialNumber);
  if (aLinkEntryRef entry = sLookupEntryByIdentifier(serial, TCPIP)) return sReuse(entry, true);
  return sCreateDeviceLink(
      serial, static_cast<int32_t>(address), static_cast<int32_t>(port), TCPIP,
      [&](aStream** stream) { return aStream_CreateSocket(address, static_cast<uint16_t>(port), stream); });
}

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  if (serialNumber == 0) return 0;
  const auto serial = static_cast<int32_t>(serialNumber);
  if (aLinkEntryRef entry = sLookupEntryByIdentifier(serial, USB)) return sReuse(entry, true);
  return sCreateDeviceLink(
      serial, 0, 0, USB, [&](aStream** stream) { return aStream_CreateUSB(serialNumber, stream); }, true);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate) {
  const int32_t speedCode = aSerial_SpeedCodeForBaud(baudRate);
  if (speedCode < 0 || !portPath) return 0;
  const auto serial = static_cast<int32_t>(serialNumber);
  if (aLinkEntryRef entry = sLookupEntryByIdentifier(serial, SERIAL)) return sReuse(entry, false);
  return sCreateDeviceLink(serial, 0, 0, SERIAL, [&](aStream** stream) {
    return aStream_CreateSerial_Packetized(portPath, speedCode, 0, 0, 0, stream);
  });
}

aErr aLink_Reset(aLinkRef id) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (!entry) return aErrParam;
  // Only socket and USB links can be made again from what the registry
  // keeps (a serial entry does not keep its port). Refuse before touching
  // the link, so that a link that cannot be reset is left as it was.
  const int32_t type = entry->entryType;
  if (type != TCPIP && type != USB) return aErrParam;
  aLink* link = &entry->link;
  aLink_Stop(link);
  {
    std::lock_guard<std::mutex> control(link->controlLock);
    if (link->stream) aStream_Destroy(&link->stream);
  }
  const auto address = static_cast<uint32_t>(entry->ident1);
  const auto port = static_cast<uint16_t>(entry->ident2);
  aStream* stream = nullptr;
  aErr err = aErrResource;
  for (int attempt = 0; attempt < aLINK_RESET_ATTEMPTS; ++attempt) {
    err = type == USB ? aStream_CreateUSB(static_cast<uint32_t>(entry->ident0), &stream)
                      : aStream_CreateSocket(address, port, &stream);
    if (err == aErrNone) break;
    aTime_MSSleep(aLINK_RESET_PAUSE_MS);
  }
  if (err != aErrNone) return err;
  if (aLink_Init(id, stream) != id) {
    if (link->stream != stream) aStream_Destroy(&stream);
    return aErrConnection;
  }
  return aLink_Start(id);
}
