#include "Corvantis2/common/aDefs.h"

#include <array>

namespace {

struct ModelRow {
  unsigned model;
  const char* name;
};

// Model numbers 4, 5 and 13 to 27 have names; every other number is "Unknown".
constexpr std::array<ModelRow, 17> kModels{{
    {4, "Kestrel"},
    {5, "Osprey"},
    {13, "Merlin"},
    {14, "Harrier"},
    {15, "Lanner"},
    {16, "Hobby"},
    {17, "Saker"},
    {18, "Kite"},
    {19, "Buzzard"},
    {20, "Goshawk"},
    {21, "Sparrow"},
    {22, "Wren"},
    {23, "Finch"},
    {24, "Plover"},
    {25, "Curlew"},
    {26, "Dunlin"},
    {27, "Heron"},
}};

}  // namespace

const char* aDefs_GetModelName(unsigned model) {
  for (const auto& row : kModels)
    if (row.model == model) return row.name;
  return "Unknown";
}
