#include "Corvantis2/unix/aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

struct aFile {
  FILE* fh;
  uint32_t mode;
  uint32_t check;  // kFileCheck while open
};

namespace {

constexpr uint32_t kFileCheck = 0xFEED;

bool PathUsable(const char* path) {
  return path != nullptr && path[0] != '\0' && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool Valid(const aFile* file) { return file != nullptr && file->check == kFileCheck && file->fh; }
bool CanRead(const aFile* file) { return file->mode != aFileModeWrite; }
bool CanWrite(const aFile* file) { return file->mode != aFileModeRead; }

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return false;
  struct stat st {};
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  static constexpr const char* kModes[] = {"rb", "wb", "a+b"};
  if (!PathUsable(path) || mode > aFileModeAppend) return nullptr;
  auto* file = new (std::nothrow) aFile{nullptr, mode, 0};
  if (file == nullptr) return nullptr;
  file->fh = fopen(path, kModes[mode]);
  if (file->fh == nullptr) {
    delete file;
    return nullptr;
  }
  if (mode == aFileModeAppend) fseek(file->fh, 0, SEEK_END);
  file->check = kFileCheck;
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr) return aErrParam;
  aFile* f = *file;
  *file = nullptr;
  if (!Valid(f)) return aErrParam;
  fclose(f->fh);
  f->check = 0;
  delete f;
  return aErrNone;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count) {
  if (!Valid(file) || buffer == nullptr) return aErrParam;
  if (!CanRead(file)) return aErrMode;
  size_t got = fread(buffer, 1, length, file->fh);
  if (count != nullptr) *count = got;
  return (got == 0 && length > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* bytes, size_t length, size_t* count) {
  if (!Valid(file) || bytes == nullptr) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  size_t put = fwrite(bytes, 1, length, file->fh);
  if (count != nullptr) *count = put;
  return (put == 0 && length > 0) ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int origin) {
  if (!Valid(file)) return aErrParam;
  size_t size = 0;
  if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;
  long base = 0;
  if (origin == 1) {
    base = ftell(file->fh);
    if (base < 0) return aErrIO;
  } else if (origin == 2) {
    base = static_cast<long>(size);
  }
  long target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 ||
      static_cast<unsigned long>(target) > size)
    return aErrRange;
  return fseek(file->fh, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!Valid(file) || size == nullptr) return aErrParam;
  *size = 0;
  fflush(file->fh);
  struct stat st {};
  if (fstat(fileno(file->fh), &st) != 0) return aErrIO;
  *size = static_cast<size_t>(st.st_size);
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position) {
  if (!Valid(file)) return aErrParam;
  long at = ftell(file->fh);
  if (at < 0) return aErrIO;
  // Position 0 is stored too: leaving the caller's variable stale would
  // report a position the file is not at.
  if (position != nullptr) *position = static_cast<size_t>(at);
  return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (!Valid(file) || buffer == nullptr) return aErrParam;
  if (!CanRead(file)) return aErrMode;
  if (size > 0) buffer[0] = '\0';
  if (length != nullptr) *length = 0;
  if (size < 2) return aErrOverrun;
  if (fgets(buffer, static_cast<int>(size > INT32_MAX ? INT32_MAX : size), file->fh) == nullptr)
    return ferror(file->fh) ? aErrIO : aErrEOF;
  size_t got = strlen(buffer);
  if (length != nullptr) *length = got;
  if (got == size - 1 && buffer[got - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!Valid(file)) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  return setvbuf(file->fh, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Sync(aFile* file) {
  if (!Valid(file)) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  return (fflush(file->fh) == 0 && fsync(fileno(file->fh)) == 0) ? aErrNone : aErrIO;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!Valid(file) || format == nullptr) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  int written = vfprintf(file->fh, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}
