// The local store: one directory per device under the store root, holding
// the device's settings file and the BIRD files downloaded for it.
//
//   root/SSSSSSSS/.settings   settings (KeyValueStore)
//   root/SSSSSSSS/NNN.bird    BIRD file of build NNN
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Corvantis2/common/aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

struct aDirectoryListData;

enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

// One entry of the store with its settings; a plain value.
class UpdaterStoreItem {
 public:
  UpdaterStoreItem();
  // Loads base/name/.settings, creating it when missing and the directory exists.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

  bool IsValid() const { return !basePath.empty() && !name.empty(); }
  // Replaces base/name/fileName atomically; aErrNotFound for null bytes or a
  // file that cannot be created.
  aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count);
  // Throws std::runtime_error("Invalid bird " + path) or "Failed to load bird data".
  BirdFile ReadBirdFile(const std::string& fileName) const;
  // True when the item's directory holds an entry of exactly that name.
  bool FileExists(const std::string& fileName) const;

  // The item's own settings file: base/name/.settings.
  std::string SettingsPath() const;

  std::string basePath;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  // Never saved anywhere but the item's own file: an empty item's save is
  // refused rather than written to ".settings" in the working directory.
  KeyValueStore settings;
};

// The search record handed to the directory walker by the lookups.
struct result_t {
  bool found = false;
  std::string search;
  UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
 public:
  // Makes sure the root exists; throws std::runtime_error when it cannot.
  explicit UpdaterStore(const std::string& basePath);

  const std::string& BasePath() const { return basePath; }

  // Makes sure root/name exists (may throw) and returns its item.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& name);

  // True when the root holds an entry of exactly that name; the item, when
  // given, is filled from it. A miss leaves the item as it was.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item) const;
  bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;

  // Appends one item per visible entry of the device's directory, in
  // directory order; always true.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

  static std::string SerialText(uint32_t serial);

 private:
  friend class UpdaterStoreItem;
  static void _ensure_directory(const std::string& path);
  static bool _find_item(const aDirectoryListData* data, void* context);
  static bool _find_items(const aDirectoryListData* data, void* context);

  std::string basePath;
};
