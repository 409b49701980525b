// COBS frames from arbitrary line bytes: the COBS stream must hand out only
// whole, well-formed packets, and the codec must round-trip any input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Corvantis2/common/aCOBS.h"
#include "Corvantis2/common/aPacket.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Input {
  const uint8_t* data;
  size_t size;
  size_t next;
};

aErr Get(uint8_t* byte, void* ref) {
  auto* in = static_cast<Input*>(ref);
  if (in->next >= in->size) return aErrNotReady;
  *byte = in->data[in->next++];
  return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Codec: decode is bounded by its input; encode then decode gives the input back.
  std::vector<uint8_t> decoded(size + 1);
  Check(cobs_decode(data, size, decoded.data()) <= size);
  std::vector<uint8_t> encoded(size + size / 254 + 2);
  const size_t n = cobs_encode(data, size, encoded.data());
  Check(n <= encoded.size() && std::memchr(encoded.data(), 0, n) == nullptr);
  std::vector<uint8_t> back(n + 1);
  const size_t m = cobs_decode(encoded.data(), n, back.data());
  Check(m == size && std::memcmp(back.data(), data, size) == 0);

  // Stream: every run of bytes it hands out is one packet: address, length, data.
  Input in{data, size, 0};
  aStream* stream = nullptr;
  if (aStream_CreateCobsEncoding(Get, nullptr, nullptr, nullptr, &in, &stream) != aErrNone) return 0;
  std::vector<uint8_t> packet;
  auto flush = [&] {
    if (packet.empty()) return;
    Check(packet.size() >= 2 && packet.size() == size_t{packet[1]} + 2 && packet[1] <= aPACKET_MAX_DATA);
    packet.clear();
  };
  for (size_t guard = 0; guard < 4 * size + 64; ++guard) {
    uint8_t byte;
    const aErr err = stream->getProc(&byte, stream->procRef);
    if (err == aErrNone) {
      packet.push_back(byte);
      continue;
    }
    flush();
    if (err == aErrNotReady && in.next >= in.size) break;
  }
  aStream_Destroy(&stream);
  return 0;
}
