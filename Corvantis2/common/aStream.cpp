#include "Corvantis2/common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Corvantis2/unix/aFile.h"

namespace {

// Bytes pushed back come out again first, in the order they were pushed.
aErr sPushBack(aStream* stream, uint8_t byte) {
  if (!stream->pushBack || stream->pushBackCount + 1 >= stream->pushBackSize) {
    const size_t size = stream->pushBackSize + aSTREAM_PUSHBACK_STEP;
    auto* ring = static_cast<uint8_t*>(std::malloc(size));
    if (!ring) return aErrMemory;
    for (size_t i = 0; i < stream->pushBackCount; ++i)
      ring[i] = stream->pushBack[(stream->pushBackHead + i) % stream->pushBackSize];
    std::free(stream->pushBack);
    stream->pushBack = ring;
    stream->pushBackSize = size;
    stream->pushBackHead = 0;
    stream->pushBackTail = stream->pushBackCount;
  }
  stream->pushBack[stream->pushBackTail] = byte;
  stream->pushBackTail = (stream->pushBackTail + 1) % stream->pushBackSize;
  stream->pushBackCount++;
  return aErrNone;
}

void sPushBackAll(aStream* stream, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (sPushBack(stream, bytes[i]) != aErrNone) return;
}

// A pushed-back byte if any, else one from the transport.
aErr sNextByte(aStream* stream, uint8_t* byte) {
  if (stream->pushBackCount > 0) {
    *byte = stream->pushBack[stream->pushBackHead];
    stream->pushBackHead = (stream->pushBackHead + 1) % stream->pushBackSize;
    stream->pushBackCount--;
    return aErrNone;
  }
  return stream->getProc(byte, stream->procRef);
}

// Scratch space: on the stack for the small reads the link engine makes.
class ScratchBuffer {
 public:
  explicit ScratchBuffer(size_t length) {
    if (length > sizeof local_) {
      heap_.reset(new (std::nothrow) uint8_t[length]);
      data_ = heap_.get();
    }
  }
  uint8_t* data() { return data_; }

 private:
  uint8_t local_[64];
  std::unique_ptr<uint8_t[]> heap_;
  uint8_t* data_ = local_;
};

aErr sFileGet(uint8_t* byte, void* ref) {
  if (!ref) return aErrIO;
  return aFile_Read(static_cast<aFile*>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, size_t length, void* ref) {
  if (!ref) return aErrIO;
  return aFile_Write(static_cast<aFile*>(ref), bytes, length, nullptr);
}

aErr sFilePut(uint8_t byte, void* ref) { return sFileWrite(&byte, 1, ref); }

aErr sFileDelete(void* ref) {
  auto* file = static_cast<aFile*>(ref);
  if (!file) return aErrIO;
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, uint32_t mode, aStream** stream) {
  if (!path || !stream) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (!file) return aErrResource;
  aStream* created = mode == aFileModeRead ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                                           : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (!created) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

}  // namespace

bool aStream_IsValid(const aStream* stream) { return stream && stream->check == aSTREAM_CHECK; }

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef) {
  auto* stream = new (std::nothrow) aStream{};
  if (!stream) return nullptr;
  stream->getProc = getProc;
  stream->putProc = putProc;
  stream->writeProc = writeProc;
  stream->deleteProc = deleteProc;
  stream->procRef = procRef;
  stream->check = aSTREAM_CHECK;
  return stream;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length) {
  if (!aStream_IsValid(stream) || !buffer) return aErrParam;
  if (!stream->getProc) return aErrMode;
  ScratchBuffer scratch(length);
  uint8_t* bytes = scratch.data();
  if (!bytes) return aErrResource;
  size_t count = 0;
  aErr err = aErrNone;
  while (count < length) {
    err = sNextByte(stream, &bytes[count]);
    if (err != aErrNone) break;
    count++;
  }
  if (count < length && err == aErrNotReady) {
    sPushBackAll(stream, bytes, count);
    return aErrNotReady;
  }
  if (count == length || err == aErrEOF) {
    std::memcpy(buffer, bytes, count);
    return count == length ? aErrNone : aErrEOF;
  }
  return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length) {
  if (!aStream_IsValid(stream) || !bytes) return aErrParam;
  if (!stream->writeProc && !stream->putProc) return aErrMode;
  if (length == 0) return aErrNone;
  if (stream->writeProc && (length > 1 || !stream->putProc))
    return stream->writeProc(bytes, length, stream->procRef);
  for (size_t i = 0; i < length; ++i) {
    aErr err = stream->putProc(bytes[i], stream->procRef);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* recordLength, size_t maximum,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!aStream_IsValid(stream) || !buffer || !terminator || terminatorLength == 0 || maximum == 0)
    return aErrParam;
  if (!stream->getProc) return aErrMode;
  // Every byte taken, terminator bytes included, so that a read cut short
  // can be pushed back exactly as it came.
  std::unique_ptr<uint8_t[]> taken(new (std::nothrow) uint8_t[maximum + terminatorLength]);
  std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[maximum]);
  if (!taken || !record) return aErrResource;
  size_t takenCount = 0;
  size_t length = 0;
  size_t match = 0;
  aErr err = aErrNone;
  for (;;) {
    uint8_t byte;
    err = aStream_Read(stream, &byte, 1);
    if (err == aErrNotReady) {
      sPushBackAll(stream, taken.get(), takenCount);
      return aErrNotReady;
    }
    if (err == aErrEOF) {
      err = length > 0 ? aErrNone : aErrEOF;
      break;
    }
    if (err != aErrNone) return err;
    taken[takenCount++] = byte;
    if (byte == terminator[match]) {
      if (++match == terminatorLength) break;
    } else {
      record[length++] = byte;
      if (length == maximum) break;
    }
  }
  std::memcpy(buffer, record.get(), length);
  if (recordLength) *recordLength = length;
  return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length, const uint8_t* terminator,
                         size_t terminatorLength) {
  if (!aStream_IsValid(stream) || !bytes || !terminator || terminatorLength == 0) return aErrParam;
  aErr err = aStream_Write(stream, bytes, length);
  if (err != aErrNone) return err;
  return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  static const uint8_t kZero = 0;
  if (!buffer || size < 2) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, &kZero, 1);
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!text) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
  if (!buffer || size < 2 || !terminator) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator));
  if (err == aErrNone) buffer[length] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
  if (!text || !terminator) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                             reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aStream_IsValid(source) || !aStream_IsValid(destination)) return aErrParam;
  if (!source->getProc || !destination->putProc) return aErrMode;
  for (;;) {
    uint8_t byte;
    aErr err = source->getProc(&byte, source->procRef);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = destination->putProc(byte, destination->procRef);
    if (err != aErrNone) return err;
  }
}

aErr aStream_Destroy(aStream** stream) {
  if (!stream) return aErrParam;
  aStream* doomed = *stream;
  *stream = nullptr;
  if (!aStream_IsValid(doomed)) return aErrParam;
  aErr err = doomed->deleteProc ? doomed->deleteProc(doomed->procRef) : aErrNone;
  std::free(doomed->pushBack);
  doomed->check = 0;
  delete doomed;
  return err;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeWrite, stream);
}
