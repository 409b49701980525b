#include "Corvantis2/common/aLinkRegistry.h"

#include <list>

namespace {

// Made at the first registry operation; static initialisation makes that
// safe when two threads get there at once.
class RegistryLock {
 public:
  RegistryLock() : mutex_(Mutex()) { aMutex_Lock(mutex_); }
  ~RegistryLock() { aMutex_Unlock(mutex_); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  static aMutex* Mutex() {
    static aMutex* mutex = aMutex_Create("aLink_Managed");
    return mutex;
  }
  aMutex* mutex_;
};

// Guarded by the registry lock; newest entry first.
// Never destroyed: a link nobody destroyed keeps its threads running while
// the process exits, and they must not find their record freed.
std::list<aLinkEntryRef>& gEntries = *new std::list<aLinkEntryRef>;
uint32_t gNextId = 1;

template <typename Match>
aLinkEntryRef sFind(Match match) {
  RegistryLock guard;
  for (const aLinkEntryRef& entry : gEntries)
    if (match(*entry)) return entry;
  return nullptr;
}

}  // namespace

uint32_t sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type) {
  try {
    auto entry = std::make_shared<aLinkEntry>();
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->entryType = type;
    RegistryLock guard;
    const uint32_t id = gNextId++;
    if (gNextId == 0) gNextId = 1;
    entry->entryId = static_cast<int32_t>(id);
    entry->link.linkId = id;
    gEntries.push_front(std::move(entry));
    return id;
  } catch (...) {
    return 0;
  }
}

uint32_t sCreate(int32_t ident0, int32_t ident1, int32_t type) { return sCreate2(ident0, ident1, 0, type); }

aLinkEntryRef sLookupEntryByID(uint32_t id) {
  if (id == 0) return nullptr;
  return sFind([id](const aLinkEntry& e) { return static_cast<uint32_t>(e.entryId) == id; });
}

aLinkEntryRef sLookupEntryByIdentifier(int32_t ident0, int32_t type) {
  return sFind([=](const aLinkEntry& e) { return e.ident0 == ident0 && e.entryType == type; });
}

aLinkEntryRef sLookupEntryByTrident(int32_t ident0, int32_t ident1, int32_t ident2) {
  return sFind(
      [=](const aLinkEntry& e) { return e.ident0 == ident0 && e.ident1 == ident1 && e.ident2 == ident2; });
}

aLinkEntryRef sExtractEntry(uint32_t id) {
  RegistryLock guard;
  for (auto it = gEntries.begin(); it != gEntries.end(); ++it) {
    if (static_cast<uint32_t>((*it)->entryId) == id) {
      aLinkEntryRef entry = std::move(*it);
      gEntries.erase(it);
      return entry;
    }
  }
  return nullptr;
}

void sChangeUseCount(const aLinkEntryRef& entry, int delta) {
  if (!entry) return;
  RegistryLock guard;
  entry->useCount = static_cast<int16_t>(entry->useCount + delta);
}

int16_t sGetUseCount(const aLinkEntryRef& entry) {
  if (!entry) return 0;
  RegistryLock guard;
  return entry->useCount;
}

aLinkEntryRef sReleaseUse(uint32_t id, bool* known) {
  RegistryLock guard;
  for (auto it = gEntries.begin(); it != gEntries.end(); ++it) {
    if (static_cast<uint32_t>((*it)->entryId) != id) continue;
    *known = true;
    (*it)->useCount = static_cast<int16_t>((*it)->useCount - 1);
    if ((*it)->useCount > 0) return nullptr;
    aLinkEntryRef entry = std::move(*it);
    gEntries.erase(it);
    return entry;
  }
  *known = false;
  return nullptr;
}

aLinkHandle sGetLink(uint32_t id) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (!entry) return nullptr;
  return aLinkHandle(entry, &entry->link);
}
