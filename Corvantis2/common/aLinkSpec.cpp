#include "Corvantis2/common/aLinkSpec.h"

#include <cstring>
#include <new>

linkSpec* aLinkSpec_Create(linkType type) {
  auto* spec = new (std::nothrow) linkSpec;
  if (!spec) return nullptr;
  std::memset(spec, 0, sizeof *spec);
  spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (!spec) return nullptr;
  auto* copy = new (std::nothrow) linkSpec;
  if (copy) std::memcpy(copy, spec, sizeof *copy);
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}
