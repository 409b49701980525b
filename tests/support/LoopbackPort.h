// Loopback TCP helpers for tests and benchmarks that talk to a virtual module.
#pragma once

#include <arpa/inet.h>

#include <cstdint>

#include "Corvantis2/common/aLinkSpec.h"

// A loopback TCP port that nobody listens on at the moment of the call.
uint16_t UnusedLoopbackPort();

// The specifier of a TCP/IP module on 127.0.0.1 at port (no discovery needed).
inline linkSpec LoopbackTcpSpec(uint16_t port, uint32_t serial) {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = serial;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = port;
  return spec;
}
