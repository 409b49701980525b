// Loads fuzzed settings files, then checks that a save and a reload give the
// same entries back (keys beginning with "#" excepted: saved at the start of
// a line they read as comments).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "store/KeyValueStore.h"

namespace {

std::string gDir;
std::string gInput;
std::string gSaved;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char pattern[] = "/tmp/fuzz-settings-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  gDir = pattern;
  std::atexit([] { std::filesystem::remove_all(gDir); });
  gInput = std::string(pattern) + "/input";
  gSaved = std::string(pattern) + "/saved";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(gInput.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  KeyValueStore store(gInput.c_str());
  if (store.IsDirty()) std::abort();  // a load never dirties
  store.Save(gSaved.c_str());
  KeyValueStore reread(gSaved.c_str());
  std::map<std::string, std::string> expected;
  for (const auto& [key, value] : store.Entries()) {
    if (key[0] != '#') expected[key] = value;
  }
  if (reread.Entries() != expected) std::abort();

  // The typed getters on whatever the file held.
  for (const auto& [key, value] : reread.Entries()) {
    reread.GetInt(key, 1);
    reread.GetHex(key, 2);
    reread.GetBOOL(key, true);
    reread.GetDouble(key, 3.0);
    reread.GetString(key, "x");
  }
  reread.Add("K", 1e308);
  reread.AddHex("H", 0xFFFFFFFF);
  return 0;
}
