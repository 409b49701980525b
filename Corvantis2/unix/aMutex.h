// Named, non-recursive mutexes with aErr results.
#pragma once

#include "Corvantis2/common/aError.h"

struct aMutex;

// A new unlocked mutex; null when the name has 256 characters or more.
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
// Frees the mutex in every case and nulls the caller's pointer.
aErr aMutex_Destroy(aMutex** mutex);
