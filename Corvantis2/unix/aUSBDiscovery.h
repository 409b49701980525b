// Enumeration of the family's devices on USB, for aDiscovery.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aDiscovery.h"

// Hands a USB specifier of every family device whose serial string is 8
// hexadecimal characters to the callback; returns how many it counted. No
// USB on this machine (libusb cannot start): 0 devices.
uint32_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* ref);
