// A settings file: "key=value" lines loaded into an ordered map, typed
// getters and setters, and a dirty flag that decides whether a save stamps
// UPDATED_TIME. Saves replace the file atomically (temporary file, rename).
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

  explicit KeyValueStore(const char* path = nullptr);

  // Merges the file's lines into the entries; a missing file is created
  // with CREATED_TIME and UPDATED_TIME.
  void Load(const char* path);
  // Writes every entry; null means the stored path (or DEFAULT_FILENAME).
  void Save(const char* path = nullptr);

  // The stored text or null; never inserts.
  const char* operator[](const std::string& key) const;
  std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;
  // These four insert an absent key with an empty value (not dirtying) and
  // return the default for an absent or empty value.
  int GetInt(const std::string& key, int defaultValue);
  uint32_t GetHex(const std::string& key, uint32_t defaultValue);
  bool GetBOOL(const std::string& key, bool defaultValue);
  double GetDouble(const std::string& key, double defaultValue);

  bool Add(const std::string& key, int value);
  bool Add(const std::string& key, double value);
  bool Add(const std::string& key, const char* value);
  bool Add(const std::string& key, const std::string& value);
  bool AddHex(const std::string& key, uint32_t value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  // A store that stands for something with a file of its own (a device's
  // settings) must never fall back to DEFAULT_FILENAME in the working
  // directory: with this off, a save without any path is refused.
  void AllowDefaultFile(bool allow) { allowDefaultFile = allow; }

  const std::string& Path() const { return path; }
  bool IsDirty() const { return dirty; }
  const std::map<std::string, std::string>& Entries() const { return entries; }

 private:
  // Writes the file, stamping UPDATED_TIME with `now` when dirty.
  bool SaveWithTime(const std::string& target, const std::string& now);
  // Entry for the key, inserted empty when absent.
  const std::string& Touch(const std::string& key);

  std::string path;
  std::map<std::string, std::string> entries;
  bool dirty = false;
  bool allowDefaultFile = true;
};

// The local time as ctime writes it, without the line feed.
std::string CurrentTimeText();
