#include "store/AtomicFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Corvantis2/unix/aDirectory.h"
#include "Corvantis2/unix/aFile.h"

std::string ReplacementTempPath(const std::string& path) {
  size_t slash = path.rfind(aDIR_PATH_SEP[0]);
  std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden, so that store listings skip a leftover of a crashed process.
  if (name.empty() || name[0] != '.') name.insert(0, ".");
  return directory + name + ".tmp." + std::to_string(getpid());
}

aErr ReplaceFile(const std::string& path, const void* bytes, size_t length, int* systemError) {
  int scratch = 0;
  int& sysErr = systemError ? *systemError : scratch;
  sysErr = 0;
  if (path.empty() || path.back() == aDIR_PATH_SEP[0]) {
    sysErr = ENOENT;
    return aErrNotFound;
  }
  std::string temp = ReplacementTempPath(path);
  errno = 0;
  aFile* file = aFile_Open(temp.c_str(), aFileModeWrite);
  if (file == nullptr) {
    sysErr = errno;
    return aErrNotFound;
  }
  // Unbuffered, so that a short write (disk full) shows in the count here
  // instead of vanishing in a close that reports nothing.
  aErr err = aFile_SetUnbuffered(file);
  size_t written = 0;
  if (err == aErrNone && length > 0) {
    errno = 0;
    err = aFile_Write(file, bytes, length, &written);
    if (err == aErrNone && written != length) err = aErrIO;
    if (err != aErrNone) sysErr = errno;
  }
  // Without this a crash soon after the rename can leave an empty file where
  // the old one was.
  if (err == aErrNone && aFile_Sync(file) != aErrNone) {
    sysErr = errno;
    err = aErrIO;
  }
  aFile_Close(&file);
  if (err == aErrNone && std::rename(temp.c_str(), path.c_str()) != 0) {
    sysErr = errno;
    err = aErrIO;
  }
  if (err != aErrNone) aFile_Delete(temp.c_str());
  return err;
}
