#include "store/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Corvantis2/unix/aFile.h"
#include "app/Log.h"
#include "store/AtomicFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr size_t kLineBufferSize = 2048;
constexpr size_t kShortestLine = 3;  // line feed included

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string Trim(const char* begin, const char* end) {
  while (begin < end && IsSpace(*begin)) ++begin;
  while (end > begin && IsSpace(end[-1])) --end;
  return std::string(begin, end);
}

std::string Format(const char* format, auto value) {
  int n = std::snprintf(nullptr, 0, format, value);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  std::snprintf(text.data(), text.size() + 1, format, value);
  return text;
}

}  // namespace

std::string CurrentTimeText() {
  time_t now = std::time(nullptr);
  char text[64] = {};
  if (ctime_r(&now, text) == nullptr) return std::string();
  std::string result(text);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
}

KeyValueStore::KeyValueStore(const char* filePath) {
  if (filePath != nullptr) Load(filePath);
}

void KeyValueStore::Load(const char* filePath) {
  std::string target = filePath ? filePath : "";
  errno = 0;
  aFile* file = aFile_Open(target.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", target.c_str(),
             errno);
    // Created on the spot; both stamps carry the same time. When the file
    // cannot be created the entries stay as they were.
    std::string now = CurrentTimeText();
    auto saved = entries;
    Add(KEY_CREATED_TIME, now);
    if (!SaveWithTime(target, now)) entries = std::move(saved);
    return;
  }
  path = target;
  dirty = false;
  char line[kLineBufferSize];
  size_t length = 0;
  while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
    if (length < kShortestLine || line[0] == '#') continue;
    const char* begin = line;
    const char* end = line + std::strlen(line);  // a NUL byte ends the line
    while (begin < end && IsSpace(*begin)) ++begin;
    const char* equals = begin;
    while (equals < end && *equals != '=') ++equals;
    std::string key = Trim(begin, equals);
    // A blank line has no key; an entry named "" would only save as "=".
    if (key.empty()) continue;
    entries[key] = equals < end ? Trim(equals + 1, end) : std::string();
  }
  aFile_Close(&file);
}

void KeyValueStore::Save(const char* filePath) {
  if (filePath != nullptr) {
    path = filePath;
  } else if (path.empty()) {
    if (!allowDefaultFile) {
      Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, not saving\n");
      return;
    }
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             path.c_str());
  }
  SaveWithTime(path, CurrentTimeText());
}

bool KeyValueStore::SaveWithTime(const std::string& target, const std::string& now) {
  path = target;
  // The stamp goes into memory only when the file holding it was written.
  std::map<std::string, std::string> written = entries;
  if (dirty) written[KEY_UPDATED_TIME] = now;
  std::string text;
  for (const auto& [key, value] : written) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  int sysErr = 0;
  aErr err = ReplaceFile(target, text.data(), text.size(), &sysErr);
  if (err == aErrNotFound) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             target.c_str(), sysErr);
    return false;
  }
  if (err != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", target.c_str(),
             sysErr);
    return false;
  }
  entries = std::move(written);
  dirty = false;
  return true;
}

const char* KeyValueStore::operator[](const std::string& key) const {
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const {
  auto it = entries.find(key);
  if (it != entries.end()) return it->second;
  return defaultValue ? defaultValue : "";
}

const std::string& KeyValueStore::Touch(const std::string& key) { return entries[key]; }

int KeyValueStore::GetInt(const std::string& key, int defaultValue) {
  const std::string& value = Touch(key);
  if (value.empty()) return defaultValue;
  // atoi's reading, without its undefined behaviour on overflow.
  long n = std::strtol(value.c_str(), nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
  const std::string& value = Touch(key);
  if (value.empty()) return defaultValue;
  return static_cast<uint32_t>(std::strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
  if (Touch(key).empty()) return defaultValue;
  return GetInt(key, 0) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
  const std::string& value = Touch(key);
  if (value.empty()) return defaultValue;
  return std::strtod(value.c_str(), nullptr);
}

bool KeyValueStore::Add(const std::string& key, int value) { return Add(key, Format("%d", value)); }

bool KeyValueStore::Add(const std::string& key, double value) { return Add(key, Format("%f", value)); }

bool KeyValueStore::Add(const std::string& key, const char* value) {
  return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
  std::string& current = entries[key];
  if (current != value) {
    dirty = true;
    current = value;
  }
  return true;
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
  return Add(key, Format("0x%08X", value));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) return true;
  for (const auto& [key, value] : other.entries) {
    entries[key] = value;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
  return true;
}
