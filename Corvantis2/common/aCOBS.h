// COBS framing with CRC-8/MAXIM for links over byte lines without packet
// alignment (serial ports).
//
// One frame per packet:
//   COBS( address, length, data[length], crc8(address..data) ) 0x00
// The encoded body of a packet with n data bytes is n + 4 bytes (one COBS
// overhead byte), so the largest frame (28 data bytes) is 32 bytes plus the
// delimiter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aStream.h"

inline constexpr uint16_t aCOBS_CHECK = 0xC0B5;

// destination holds at least length + length / 254 + 1 bytes.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
// buffer has room for the encoded length; 0 when memory is exhausted.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);
// The decoded length, or 0 when a code byte is 0 or points beyond the input.
// destination holds at least length bytes.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* bytes, size_t length);
bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected);

// Wraps a transport given as its four procedures and state; the COBS stream
// then owns that state. On aErrResource the state is left to the caller.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** stream);
