// Buffered files with aErr results. An aFile belongs to the caller of
// aFile_Open and is released with aFile_Close, which nulls the handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

struct aFile;

enum aFileMode : uint32_t {
  aFileModeRead = 0,    // binary, existing file
  aFileModeWrite = 1,   // binary, created or truncated
  aFileModeAppend = 2,  // binary read/write, created if missing, at the end
};

inline constexpr size_t aFILE_MAX_PATH = 4096;

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, uint32_t mode);
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const void* bytes, size_t length, size_t* count);
// origin 1: from the current position, 2: from the end, otherwise from the start.
aErr aFile_Seek(aFile* file, long offset, int origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_GetPosition(aFile* file, size_t* position);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFile* file);
// Pushes written bytes to the storage device (a replacement file must be
// durable before it is renamed over the old one).
aErr aFile_Sync(aFile* file);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_Delete(const char* path);
