#include "Corvantis2/unix/aThread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <new>

struct aThread {
  pthread_t id;
};

aThread* aThread_Create(aThreadProc procedure, void* argument) {
  if (procedure == nullptr) return nullptr;
  auto* thread = new (std::nothrow) aThread{};
  if (thread == nullptr) return nullptr;
  if (pthread_create(&thread->id, nullptr, procedure, argument) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return EINVAL;
  aThread* t = *thread;
  *thread = nullptr;
  int result = pthread_join(t->id, nullptr);
  delete t;
  return result;
}

void aThread_Yield() { usleep(5); }
