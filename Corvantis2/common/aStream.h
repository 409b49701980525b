// Byte streams over any transport: four procedures plus the transport's
// state, and a push-back ring so that a read that found too few bytes can be
// undone. A stream owns its transport state; aStream_Destroy releases it.
//
// One thread may read while another writes (if the transport allows it);
// the push-back ring belongs to the reader, so only one thread reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

// Each procedure gets the transport state last. getProc answers aErrNotReady
// when no byte is available now and aErrEOF at the end of the data.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

inline constexpr uint16_t aSTREAM_CHECK = 0x4321;
inline constexpr size_t aSTREAM_PUSHBACK_STEP = 512;

struct aStream {
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;  // optional accelerator for blocks
  aStreamDeleteProc deleteProc;
  void* procRef;
  uint8_t* pushBack;  // allocated on first use
  uint32_t pushBackCount;
  size_t pushBackSize;
  size_t pushBackHead;
  size_t pushBackTail;
  uint16_t check;
};

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef);
// Exactly length bytes or none: a read that runs short with aErrNotReady is
// pushed back. At aErrEOF the bytes obtained are delivered (a short count).
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length);
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length);
// One record: the bytes up to the terminator sequence, terminator excluded,
// at most maximum bytes. A read cut short by aErrNotReady is pushed back whole.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* recordLength, size_t maximum,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length, const uint8_t* terminator,
                         size_t terminatorLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
// Copies source to destination byte by byte until the source ends (aErrEOF
// is success). Bypasses the source's push-back ring.
aErr aStream_Flush(aStream* source, aStream* destination);
aErr aStream_Destroy(aStream** stream);

aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// True for a live stream record.
bool aStream_IsValid(const aStream* stream);
