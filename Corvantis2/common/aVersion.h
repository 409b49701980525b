// Packed 32-bit versions and the library's own version and feature list.
//
// Two layouts share the 32 bits:
//   legacy : major[31:28] minor[27:24] patch[23:0]
//   current: 0x2F[31:24]  major[23:16] minor[15:8] patch[7:0]
// A value is legacy exactly when its top byte, read as legacy major.minor,
// is below 2.15 (top byte < 0x2F).
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
// "%d.%d.%d" into the caller's buffer, truncated to size.
void aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// The library version text ("2.12.4"); a process-wide buffer built once.
const char* aVersion_GetString();

bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor, uint8_t bMinor,
                               uint8_t bPatch);
// True when the library itself is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_HasFeature(const char* name);
// A new string "KEY - Description" rows joined by "\n"; the caller releases
// it with aVersion_DestroyFeatureList, which nulls the caller's pointer.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
