// Discovery replies come from anyone on the network: any datagram must give
// either no device or a specifier whose fields come from the bytes present.
// Input: a sequence of datagrams, each a length byte (0-16 used) and data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Corvantis2/common/aDiscovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  while (at < size) {
    const size_t wanted = data[at++] % (aDISCOVERY_DATAGRAM_SIZE + 1);
    const size_t length = std::min(wanted, size - at);
    // Exactly the bytes received, in a buffer of their own size, so that a
    // read beyond them is caught.
    uint8_t* datagram = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    std::memcpy(datagram, data + at, length);
    at += length;
    linkSpec spec;
    const bool parsed = aDiscovery_ParseReply(datagram, length, 0x0700000A, &spec);
    if (parsed != (length >= 8)) std::abort();
    if (parsed) {
      if (spec.type != TCPIP || spec.ipPort > 0xFFFF || spec.moduleAddress > 0xFF) std::abort();
      if (length < 13 && spec.model != 255) std::abort();
      if (spec.ipAddress != 0x0700000A) std::abort();
      for (size_t i = 8; i < sizeof spec.raw; ++i)
        if (spec.raw[i]) std::abort();  // bytes no member uses stay zero
    }
    std::free(datagram);
  }
  return 0;
}
