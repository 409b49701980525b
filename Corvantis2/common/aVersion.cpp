#include "Corvantis2/common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint8_t kPatch = 4;
constexpr const char* kPhase = ".";

struct Feature {
  const char* key;
  const char* description;
};
constexpr Feature kFeatures[] = {{"VERSION", "Version Query API"}};

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
  return (uint32_t{major} << 28) | (uint32_t{static_cast<uint8_t>(minor & 0x0F)} << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
  // The top byte read as legacy major.minor is compared with 2.15; a top byte
  // of 0x2F compares as 2.15.0 against 2.15.255 and so is not legacy.
  return aVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(packed >> 28),
                                   static_cast<uint8_t>((packed >> 24) & 0x0F), 255);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>(packed >> 28)
                                         : static_cast<uint8_t>(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>((packed >> 24) & 0x0F)
                                         : static_cast<uint8_t>(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFFu) : (packed & 0xFFu);
}

void aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
           aVersion_ParsePatch(packed));
}

uint8_t aVersion_GetMajor() { return kMajor; }
uint8_t aVersion_GetMinor() { return kMinor; }
uint8_t aVersion_GetPatch() { return kPatch; }

const char* aVersion_GetString() {
  // Built once, thread-safely, on first use.
  static const struct Text {
    char text[15];
    Text() : text{} { snprintf(text, sizeof text, "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch); }
  } version;
  return version.text;
}

bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor, uint8_t bMinor,
                               uint8_t bPatch) {
  if (aMajor != bMajor) return aMajor > bMajor;
  if (aMinor != bMinor) return aMinor > bMinor;
  return aPatch >= bPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const auto& f : kFeatures)
    if (strcmp(f.key, name) == 0) return true;
  return false;
}

char* aVersion_GetFeatureList() {
  size_t length = 1;  // terminator
  const size_t rows = sizeof kFeatures / sizeof kFeatures[0];
  for (size_t i = 0; i < rows; ++i)
    length += strlen(kFeatures[i].key) + 3 + strlen(kFeatures[i].description) + (i + 1 < rows ? 1 : 0);
  char* list = static_cast<char*>(calloc(length, 1));
  if (list == nullptr) return nullptr;
  size_t used = 0;
  for (size_t i = 0; i < rows; ++i)
    used += static_cast<size_t>(snprintf(list + used, length - used, "%s - %s%s", kFeatures[i].key,
                                         kFeatures[i].description, i + 1 < rows ? "\n" : ""));
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
