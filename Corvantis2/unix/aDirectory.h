// Directories and fixed-buffer path joining.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Corvantis2/common/aError.h"

#define aDIR_PATH_SEP "/"

struct aDirectoryListData {
  const char* path;      // borrowed: valid only during the callback
  uint32_t size;         // cut to 32 bits
  uint32_t isDirectory;  // 1 for a directory
};

// Return true to go on walking, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* context);

bool aDirectory_Exists(const char* path);
// Creates the directory and its missing parents with the given mode.
aErr aDirectory_Ensure(const char* path, uint16_t mode);
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 parts (the first included); the list ends with a null.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

// The last occurrence of pattern in text, or null; text itself for an empty pattern.
const char* backwards_memcmp(const char* text, const char* pattern);
