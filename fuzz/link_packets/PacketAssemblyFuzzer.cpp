// Packet assembly from arbitrary received bytes, as the link's input thread
// does it: every accepted packet must read back as the bytes that made it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Corvantis2/common/aPacket.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aPacket* packet = aPacket_Create();
  if (!packet) return 0;
  uint8_t taken[64];
  size_t count = 0;
  for (size_t i = 0; i < size; ++i) {
    const aErr err = aPacket_AddByte(packet, data[i]);
    Check(packet->byteCount <= 31 || err != aErrNone);
    if (err != aErrNone) {
      aPacket_Reset(packet);
      count = 0;
      continue;
    }
    taken[count++] = data[i];
    if (!aPacket_IsComplete(packet)) continue;
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t written = 0;
    Check(aPacket_GetBytes(packet, wire, sizeof wire, &written) == aErrNone);
    Check(written == count && std::memcmp(wire, taken, count) == 0);
    Check(packet->dataSize <= aPACKET_MAX_DATA);
    uint8_t value;
    aPacket_GetCmd(packet, &value);
    aPacket_GetOption(packet, &value);
    aPacket_GetIndex(packet, &value);
    aUEI_isStreamPacket(packet);
    aUEI_getBytesSequence(packet);
    aUEI_getBytesContinue(packet);
    aPacket* copy = aPacket_Copy(packet);
    Check(copy && std::memcmp(copy, packet, sizeof *packet) == 0);
    aPacket_Destroy(&copy);
    aPacket_Reset(packet);
    count = 0;
  }
  aPacket_Destroy(&packet);
  return 0;
}
