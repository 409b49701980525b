// Replacing a file without ever leaving it truncated: the bytes go to a
// hidden temporary file in the same directory, which is renamed over the
// target only when every byte was written.
#pragma once

#include <cstddef>
#include <string>

#include "Corvantis2/common/aError.h"

// aErrNotFound when the temporary file cannot be created, aErrIO when not
// every byte could be written or the rename failed (the target is then
// untouched). *systemError, when given, receives errno of the failure.
aErr ReplaceFile(const std::string& path, const void* bytes, size_t length, int* systemError = nullptr);

// The temporary name used for `path`: "." + name + ".tmp." + process id.
std::string ReplacementTempPath(const std::string& path);
