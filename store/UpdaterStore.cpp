#include "store/UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Corvantis2/unix/aDirectory.h"
#include "Corvantis2/unix/aFile.h"
#include "app/Log.h"
#include "store/AtomicFile.h"
#include "store/BuildPath.h"

namespace {

constexpr uint16_t kDirectoryMode = 0755;

// The entry's own name: the text after the last separator.
const char* EntryName(const char* fullPath) {
  const char* slash = std::strrchr(fullPath, aDIR_PATH_SEP[0]);
  return slash ? slash + 1 : fullPath;
}

struct ListContext {
  std::string directory;
  std::vector<UpdaterStoreItem>* items;
};

}  // namespace

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem() { settings.AllowDefaultFile(false); }

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& itemName,
                                   store_item_t itemKind)
    : basePath(base), name(itemName), kind(itemKind) {
  settings.AllowDefaultFile(false);
  settings.Load(SettingsPath().c_str());
}

std::string UpdaterStoreItem::SettingsPath() const {
  return BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t count) {
  if (bytes == nullptr) return aErrNotFound;
  std::string target = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
  return ReplaceFile(target, bytes, count);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  std::string target = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
  if (!BirdFile::VerifyFile(target)) throw std::runtime_error("Invalid bird " + target);
  return BirdFile(target);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  std::string directory = BuildPath(basePath.c_str(), name.c_str(), nullptr);
  result_t search;
  search.search = fileName;
  aDirectory_List(directory.c_str(), UpdaterStore::_find_item, &search);
  return search.found;
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const std::string& base) : basePath(base) { _ensure_directory(basePath); }

std::string UpdaterStore::SerialText(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

void UpdaterStore::_ensure_directory(const std::string& path) {
  if (aDirectory_Exists(path.c_str())) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  if (aFile_Exists(path.c_str())) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
  aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
  if (err != aErrNone) {
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(static_cast<unsigned>(err)));
  }
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(SerialText(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  _ensure_directory(BuildPath(basePath.c_str(), name.c_str(), nullptr));
  return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
  return FindDevice(SerialText(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
  result_t search;
  search.search = name;
  search.item = item;
  aDirectory_List(basePath.c_str(), _find_item, &search);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found",
           name.c_str());
  return search.found;
}

bool UpdaterStore::_find_item(const aDirectoryListData* data, void* context) {
  auto* search = static_cast<result_t*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
           static_cast<int>(data->isDirectory), static_cast<int>(data->size), search->search.c_str());
  // The entry's own name must be the searched text: a match anywhere in the
  // full path would also hit the store root's own path, "1100.bird" for
  // "100.bird", or a leftover temporary file.
  if (search->search.empty() || search->search != EntryName(data->path)) return true;
  search->found = true;
  if (search->item != nullptr) {
    UpdaterStoreItem& item = *search->item;
    std::string full = data->path;
    size_t slash = full.rfind(aDIR_PATH_SEP[0]);
    item.basePath = slash == std::string::npos ? std::string() : full.substr(0, slash);
    item.name = full.substr(slash == std::string::npos ? 0 : slash + 1);
    item.kind = data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
    item.settings.AllowDefaultFile(false);
    item.settings.Load(item.SettingsPath().c_str());
  }
  return false;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  ListContext context{BuildPath(device.basePath.c_str(), device.name.c_str(), nullptr), &items};
  aDirectory_List(context.directory.c_str(), _find_items, &context);
  return true;
}

bool UpdaterStore::_find_items(const aDirectoryListData* data, void* context) {
  auto* list = static_cast<ListContext*>(context);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path,
           static_cast<int>(data->isDirectory), static_cast<int>(data->size));
  const char* entry = EntryName(data->path);
  if (entry[0] == '.') return true;  // ".", "..", the settings file, temporary files
  list->items->emplace_back(list->directory, entry,
                            data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}
