// A stream over a TCP client socket, for links to networked devices. It
// reconnects by itself when the connection is reset, within the read or
// write that noticed it.
#pragma once

#include <cstdint>

#include "Corvantis2/common/aStream.h"

inline constexpr uint16_t aSOCKET_CHECK = 0xDEAD;
inline constexpr int aSOCKET_WRITE_RETRIES = 10;
inline constexpr int aSOCKET_RETRY_PAUSE_MS = 60;
// A peer that neither accepts nor refuses must not hold a caller (or a link
// reset with its 20 attempts) for the kernel's minutes-long connect timeout.
inline constexpr int aSOCKET_CONNECT_TIMEOUT_MS = 3000;
// How long a read with nothing to read waits for a byte before answering
// "not ready".
inline constexpr int aSOCKET_IDLE_WAIT_MS = 5;

// address: IPv4 in network byte order; port in host byte order. Every
// failure is aErrResource, with *stream left null.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);
