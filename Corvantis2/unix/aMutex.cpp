#include "Corvantis2/unix/aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {
constexpr size_t kMaxName = 255;
}

struct aMutex {
  pthread_mutex_t mutex;
  char name[kMaxName + 1];
};

aMutex* aMutex_Create(const char* name) {
  if (name == nullptr) name = "";
  size_t length = strnlen(name, kMaxName + 1);
  if (length > kMaxName) return nullptr;
  auto* m = new (std::nothrow) aMutex{};
  if (m == nullptr) return nullptr;
  memcpy(m->name, name, length);
  m->name[length] = '\0';
  if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  return m;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex ? mutex->name : nullptr; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
  }
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aMutex* m = *mutex;
  *mutex = nullptr;
  aErr result = aErrNone;
  switch (pthread_mutex_destroy(&m->mutex)) {
    case 0: break;
    case EAGAIN: result = aErrResource; break;
    case EBUSY: result = aErrBusy; break;
    case EINVAL: result = aErrParam; break;
    default: result = aErrUnknown; break;
  }
  delete m;
  return result;
}
