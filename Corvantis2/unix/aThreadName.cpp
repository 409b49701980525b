#include "Corvantis2/unix/aThreadName.h"

#include <pthread.h>

#include <cstring>

void aThread_NameSelf(const char* name) {
  if (!name) return;
  char cut[16];
  std::strncpy(cut, name, sizeof cut - 1);
  cut[sizeof cut - 1] = '\0';
  pthread_setname_np(pthread_self(), cut);
}
