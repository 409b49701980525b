// A loopback TCP port that nobody listens on at the moment of the call.
#pragma once

#include <cstdint>

uint16_t UnusedLoopbackPort();
