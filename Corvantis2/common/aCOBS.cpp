// COBS stream: the reader collects encoded bytes up to a zero delimiter,
// decodes and checks the frame, then hands the packet's wire bytes out one
// per get. The writer assembles outgoing bytes into packets and sends each
// as one frame. Reader and writer state are disjoint: one thread each.
#include "Corvantis2/common/aCOBS.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "Corvantis2/common/aPacket.h"

namespace {

constexpr std::array<uint8_t, 256> sMakeCrcTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint8_t crc = static_cast<uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint8_t, 256> _crc8LUT = sMakeCrcTable();

// Wire bytes plus CRC: 31 at most, encoded into 32, plus the delimiter.
constexpr size_t kMaxBody = aPACKET_MAX_WIRE + 1;
constexpr size_t kMaxEncoded = kMaxBody + 1;

struct CobsState {
  aStreamGetProc innerGet;
  aStreamPutProc innerPut;
  aStreamWriteProc innerWrite;
  aStreamDeleteProc innerDelete;
  void* innerRef;
  uint16_t check;
  // Reader side.
  uint8_t frameBuffer[kMaxEncoded];
  size_t frameLength;
  bool frameOverlong;  // bytes were dropped: the frame cannot be good
  bool frameReady;
  size_t frameNext;
  // Writer side.
  aPacket* outPacket;
  uint8_t outBuffer[kMaxEncoded + 1];
  size_t outLength;
};

CobsState* sState(void* ref) {
  auto* state = static_cast<CobsState*>(ref);
  return state && state->check == aCOBS_CHECK ? state : nullptr;
}

// A frame is good when it decodes to address, length, length data bytes and the CRC of those.
bool sAcceptFrame(CobsState* state) {
  const size_t n = cobs_decode_inplace(state->frameBuffer, state->frameLength);
  if (n <= 2 || n != size_t{state->frameBuffer[1]} + 3u) return false;
  return crc8_check(state->frameBuffer, n - 1, state->frameBuffer[n - 1]);
}

aErr sCobsGet(uint8_t* byte, void* ref) {
  CobsState* state = sState(ref);
  if (!state || !byte) return aErrParam;
  if (state->frameReady) {
    *byte = state->frameBuffer[state->frameNext++];
    if (state->frameNext >= state->frameLength) {
      state->frameReady = false;
      state->frameNext = 0;
      state->frameLength = 0;
    }
    return aErrNone;
  }
  uint8_t in;
  if (!state->innerGet || state->innerGet(&in, state->innerRef) != aErrNone) return aErrNotReady;
  if (in != 0) {
    if (state->frameLength < sizeof state->frameBuffer)
      state->frameBuffer[state->frameLength++] = in;
    else
      state->frameOverlong = true;
    return aErrNotReady;
  }
  if (state->frameLength == 0 && !state->frameOverlong) return aErrNotReady;
  const bool good = !state->frameOverlong && sAcceptFrame(state);
  state->frameOverlong = false;
  if (!good) {
    state->frameLength = 0;
    return aErrPacket;
  }
  state->frameLength = size_t{state->frameBuffer[1]} + 2u;
  state->frameNext = 0;
  state->frameReady = true;
  return aErrNotReady;
}

aErr sCobsPut(uint8_t byte, void* ref) {
  CobsState* state = sState(ref);
  if (!state) return aErrParam;
  if (!state->innerPut) return aErrMode;
  return state->innerPut(byte, state->innerRef);
}

aErr sInnerWrite(CobsState* state, const uint8_t* bytes, size_t length) {
  if (state->innerWrite) return state->innerWrite(bytes, length, state->innerRef);
  if (!state->innerPut) return aErrMode;
  for (size_t i = 0; i < length; ++i) {
    aErr err = state->innerPut(bytes[i], state->innerRef);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr sCobsWrite(const uint8_t* bytes, size_t length, void* ref) {
  CobsState* state = sState(ref);
  if (!state || (!bytes && length > 0)) return aErrParam;
  aErr result = aErrNone;
  for (size_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(state->outPacket, bytes[i]) != aErrNone) {
      // Skip the rejected byte and start the next packet afresh, so that one
      // bad length byte cannot wedge the writer.
      aPacket_Reset(state->outPacket);
      continue;
    }
    if (!aPacket_IsComplete(state->outPacket)) continue;
    size_t wire = 0;
    aPacket_GetBytes(state->outPacket, state->outBuffer, sizeof state->outBuffer, &wire);
    aPacket_Reset(state->outPacket);
    state->outBuffer[wire] = crc8_create(state->outBuffer, wire);
    state->outLength = cobs_encode_inplace(state->outBuffer, wire + 1);
    state->outBuffer[state->outLength++] = 0;
    aErr err = sInnerWrite(state, state->outBuffer, state->outLength);
    if (err != aErrNone) result = err;
  }
  return result;
}

aErr sCobsDelete(void* ref) {
  CobsState* state = sState(ref);
  if (!state) return aErrParam;
  aErr err = state->innerDelete ? state->innerDelete(state->innerRef) : aErrNone;
  aPacket_Destroy(&state->outPacket);
  state->check = 0;
  delete state;
  return err;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
  size_t codeAt = 0;
  size_t out = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (source[i] == 0) {
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
      continue;
    }
    destination[out++] = source[i];
    // A full block closes; the next code byte is only needed if input follows.
    if (++code == 0xFF && i + 1 < length) {
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
    }
  }
  destination[codeAt] = code;
  return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
  // The encoded form runs ahead of the source, so encode from a copy: on the
  // stack for frames, on the heap for anything longer.
  uint8_t local[64];
  std::unique_ptr<uint8_t[]> heap;
  uint8_t* source = local;
  if (length > sizeof local) {
    heap.reset(new (std::nothrow) uint8_t[length]);
    if (!heap) return 0;
    source = heap.get();
  }
  std::memcpy(source, buffer, length);
  return cobs_encode(source, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    const uint8_t code = source[in++];
    if (code == 0) return 0;
    if (code - 1u > length - in) return 0;
    for (uint8_t k = 1; k < code; ++k) destination[out++] = source[in++];
    if (code != 0xFF && in < length) destination[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
  // The decoded form never runs ahead of the encoded one.
  return cobs_decode(buffer, length, buffer);
}

uint8_t crc8_update(uint8_t crc, uint8_t byte) { return _crc8LUT[crc ^ byte]; }

uint8_t crc8_create(const uint8_t* bytes, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = crc8_update(crc, bytes[i]);
  return crc;
}

bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected) {
  return crc8_create(bytes, length) == expected;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  auto* state = new (std::nothrow) CobsState{};
  if (!state) return aErrMemory;
  state->outPacket = aPacket_Create();
  if (!state->outPacket) {
    delete state;
    return aErrMemory;
  }
  state->innerGet = get;
  state->innerPut = put;
  state->innerWrite = write;
  state->innerDelete = del;
  state->innerRef = reference;
  state->check = aCOBS_CHECK;
  aStream* created = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, state);
  if (!created) {
    aPacket_Destroy(&state->outPacket);
    delete state;
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}
