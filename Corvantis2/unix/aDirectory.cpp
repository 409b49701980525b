#include "Corvantis2/unix/aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kSep = '/';
constexpr size_t kMaxParts = 10;
constexpr size_t kListPathSize = 2048;

// mkdir that treats "already there" as success.
bool MakeOne(const std::string& path, uint16_t mode) {
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

template <typename EntryProc>
aErr ForEachEntry(const char* path, EntryProc&& proc) {
  DIR* dir = path ? opendir(path) : nullptr;
  if (dir == nullptr) return aErrNotFound;
  char full[kListPathSize];
  while (dirent* entry = readdir(dir)) {
    // Entries whose joined path does not fit are skipped rather than cut.
    if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) continue;
    if (!proc(entry->d_name, full)) break;
  }
  closedir(dir);
  return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  struct stat st {};
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;
  std::string work(path);

  // Longest leading part that already exists; creation starts after it.
  size_t start = 0;
  for (size_t cut = work.rfind(kSep); cut != std::string::npos && cut > 0; cut = work.rfind(kSep, cut - 1)) {
    if (aDirectory_Exists(work.substr(0, cut).c_str())) {
      start = cut;
      break;
    }
  }

  for (size_t at = work.find(kSep, start + 1); at != std::string::npos; at = work.find(kSep, at + 1)) {
    if (at == 0 || work[at - 1] == kSep) continue;  // empty component
    std::string prefix = work.substr(0, at);
    if (!aDirectory_Exists(prefix.c_str()) && !MakeOne(prefix, mode)) return aErrPermission;
  }
  if (!aDirectory_Exists(path) && !MakeOne(work, mode)) return aErrPermission;
  return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context) {
  if (callback == nullptr) return aErrParam;
  return ForEachEntry(path, [&](const char*, const char* full) {
    struct stat st {};
    if (stat(full, &st) != 0) return true;
    aDirectoryListData data{full, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode) ? 1u : 0u};
    return callback(&data, context);
  });
}

aErr aDirectory_Delete(const char* path) {
  return (path != nullptr && rmdir(path) == 0) ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  aErr walked = ForEachEntry(path, [&](const char* name, const char* full) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return true;
    // lstat: a link to a directory is removed as a link, never followed out of the tree.
    struct stat st {};
    if (lstat(full, &st) == 0 && S_ISDIR(st.st_mode)) return aDirectory_DeleteTree(full) == aErrNone;
    if (unlink(full) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", full);
      return false;
    }
    return true;
  });
  if (walked != aErrNone) return walked;
  // A tree that could not be emptied makes this final removal fail.
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  ssize_t got = readlink("/proc/self/exe", buffer, size - 1);
  if (got < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[got] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  std::vector<char> scratch(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0')
    home = found->pw_dir;
  if (home == nullptr) home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  snprintf(buffer, size, "%s", home);
  return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (buffer == nullptr || size == 0 || first == nullptr) return aErrParam;
  const char* parts[kMaxParts];
  size_t count = 0;
  bool tooMany = false;
  parts[count++] = first;
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    if (count == kMaxParts) {
      tooMany = true;
      break;
    }
    parts[count++] = part;
  }
  va_end(args);
  for (size_t i = 0; i < count; ++i)
    if (parts[i] == buffer) return aErrParam;  // joining would overwrite its own input
  buffer[0] = '\0';
  if (tooMany) return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(buffer, first, length + 1);
  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    // An empty first part stays relative: no separator is put in front of the next part.
    if (room > 1 && length > 0 && buffer[length - 1] != kSep && part[0] != kSep) {
      buffer[length++] = kSep;
      buffer[length] = '\0';
      --room;
    }
    size_t partLength = strlen(part);
    if (partLength >= room) return aErrOverrun;
    memcpy(buffer + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

const char* backwards_memcmp(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  size_t textLength = strlen(text);
  size_t patternLength = strlen(pattern);
  if (patternLength == 0) return text;
  if (patternLength > textLength) return nullptr;
  for (size_t at = textLength - patternLength + 1; at-- > 0;)
    if (memcmp(text + at, pattern, patternLength) == 0) return text + at;
  return nullptr;
}
