#include "Corvantis2/api/Uei.h"

#include <algorithm>
#include <cstring>

namespace Vorantix::Corvantis {

namespace {

// Appends the scalar value of the record's type; false for a type without one.
bool sPutValue(const uei& request, UeiPayload* out) {
  uint8_t* at = out->bytes + out->length;
  switch (request.type) {
    case typeVoid: return true;
    case typeByte:
      at[0] = request.value.byteValue;
      out->length += 1;
      return true;
    case typeShort:
      aUEI_StoreShort(at, request.value.shortValue);
      out->length += 2;
      return true;
    case typeInt:
      aUEI_StoreInt(at, request.value.intValue);
      out->length += 4;
      return true;
    case typeBytes: break;
  }
  return false;
}

void sPutHeader(const uei& request, UeiPayload* out) {
  out->bytes[0] = request.command;
  out->bytes[1] = request.option;
  out->bytes[2] = request.index;
  out->length = 3;
}

}  // namespace

aErr aUEI_EncodeScalar(const uei& request, UeiPayload* out) {
  if (!out) return aErrParam;
  sPutHeader(request, out);
  return sPutValue(request, out) ? aErrNone : aErrParam;
}

aErr aUEI_EncodeScalarWithSubindex(const uei& request, uint8_t subindex, UeiPayload* out) {
  if (!out) return aErrParam;
  sPutHeader(request, out);
  out->bytes[out->length++] = subindex;
  return sPutValue(request, out) ? aErrNone : aErrParam;
}

bool aUEI_EncodeBytesPacket(const uei& request, size_t n, UeiPayload* out) {
  const size_t total = request.value.length;
  const size_t start = n * kUEI_BYTES_PER_PACKET;
  if (n > 0 && start >= total) return false;
  const size_t chunk = std::min(kUEI_BYTES_PER_PACKET, total - start);
  sPutHeader(request, out);
  if (chunk) std::memcpy(out->bytes + 3, request.value.data + start, chunk);
  out->length = static_cast<uint8_t>(3 + chunk);
  const bool more = start + chunk < total;
  out->bytes[out->length++] = static_cast<uint8_t>((more ? kUEI_MORE : 0) | (n & kUEI_SEQUENCE_MASK));
  return true;
}

}  // namespace Vorantix::Corvantis
