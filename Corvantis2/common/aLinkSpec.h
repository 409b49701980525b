// How to reach one device: the 128-byte link specifier and the link types.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aError.h"

enum linkType : uint32_t {
  INVALID = 0,
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  PENDAR = 4,
  PENDAR_USB = 5,
  PENDAR_TCPIP = 6,
  PENDAR_SERIAL = 7,
};

inline bool isPENDAR(linkType type) { return type >= PENDAR && type <= PENDAR_SERIAL; }

// Sent whole as the payload of discovery replies; integers in host byte order
// except ipAddress (network byte order).
struct linkSpec {
  uint32_t type;
  uint32_t serialNumber;
  uint32_t moduleAddress;
  uint32_t routerAddress;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    uint32_t usbSerial;
    struct {
      uint32_t ipAddress;
      uint32_t ipPort;
    };
    struct {
      uint32_t baudRate;
      char portName[100];
    };
    uint8_t raw[104];
  };
};
static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");

// A new zeroed specifier of that type; null when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);
// A new copy of all 128 bytes; null for a null source.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the specifier and nulls the caller's pointer; aErrParam when it
// already held null.
aErr aLinkSpec_Destroy(linkSpec** spec);
