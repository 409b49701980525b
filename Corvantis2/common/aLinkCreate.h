// Links to devices over the host's transports, shared by use count: asking
// again for a device that already has a link returns that link with one
// more use; aLink_Destroy (aLink.h) gives one use back and tears the link
// down with the last.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aLink.h"

inline constexpr int aLINK_RESET_ATTEMPTS = 20;
inline constexpr int aLINK_RESET_PAUSE_MS = 100;

// address: IPv4 in network byte order; port in host byte order. 0 on failure
// (also when a link-sharing server fronts the device's link).
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port);
// USB link to the module with this serial number, synchronised after it
// starts: 0 when the module does not complete the handshake within 2 s.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
// COBS-framed serial link. baudRate: 2400, 4800, 9600, 19200, 38400, 57600,
// 115200 or 230400; anything else fails (0).
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);
// Re-creates a link's stream after its transport failed and restarts it,
// with fresh FIFOs and no user filter, pooling or packet log. Must not be
// called from the link's threads or from its user filter.
aErr aLink_Reset(aLinkRef link);
