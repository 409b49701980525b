// Discovery of devices: each found device is handed to a callback as a
// link specifier.
//
// TCP/IP discovery multicasts a request through every non-loopback IPv4
// interface (or the one given) and collects replies until none has come
// for 2 s, so it blocks for at least that long.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aLinkSpec.h"

// Called once per device with a specifier that lives only for the call.
// Return true to go on; set *success (false on entry) when the device
// counts as found.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* success, void* ref);

inline constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;
inline constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;
inline constexpr const char* aDISCOVERY_GROUP = "232.2.2.2";
inline constexpr int aDISCOVERY_RECEIVE_TIMEOUT_MS = 2000;
inline constexpr size_t aDISCOVERY_DATAGRAM_SIZE = 16;

// networkInterface: IPv4 address in network byte order; 0 or 127.0.0.1
// stand for no particular interface. Returns the number of devices counted.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                     uint32_t networkInterface);
// A new specifier (free with aLinkSpec_Destroy) or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// The first device whose serial number is not 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Fills a TCPIP specifier from one discovery reply; false when the datagram
// is too short to carry a serial number and port.
bool aDiscovery_ParseReply(const uint8_t* datagram, size_t length, uint32_t sourceAddress, linkSpec* spec);
