#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "Corvantis2/unix/aMutex.h"
#include "Corvantis2/unix/aThread.h"
#include "Corvantis2/unix/aTime.h"

TEST(Mutex, NamesUpTo255Characters) {
  std::string name255(255, 'n');
  aMutex* m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(aMutex_Identifier(m)), name255);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
  aMutex* unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrParam);
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}

namespace {

struct Shared {
  aMutex* mutex;
  int counter = 0;
  std::atomic<bool> tryLockBusy{false};
};

void* Worker(void* arg) {
  auto* shared = static_cast<Shared*>(arg);
  for (int i = 0; i < 10000; ++i) {
    aMutex_Lock(shared->mutex);
    ++shared->counter;
    aMutex_Unlock(shared->mutex);
  }
  return nullptr;
}

void* TryLocker(void* arg) {
  auto* shared = static_cast<Shared*>(arg);
  shared->tryLockBusy = aMutex_TryLock(shared->mutex) == aErrBusy;
  return nullptr;
}

}  // namespace

TEST(MutexThread, ExcludesAndJoins) {
  Shared shared{aMutex_Create("counter")};
  aThread* a = aThread_Create(Worker, &shared);
  aThread* b = aThread_Create(Worker, &shared);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(aThread_Destroy(&a), 0);
  EXPECT_EQ(aThread_Destroy(&b), 0);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(shared.counter, 20000);

  // TryLock from another thread while this one holds the lock.
  ASSERT_EQ(aMutex_Lock(shared.mutex), aErrNone);
  aThread* t = aThread_Create(TryLocker, &shared);
  EXPECT_EQ(aThread_Destroy(&t), 0);
  EXPECT_TRUE(shared.tryLockBusy);
  EXPECT_EQ(aMutex_Unlock(shared.mutex), aErrNone);
  EXPECT_EQ(aMutex_TryLock(shared.mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(shared.mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&shared.mutex), aErrNone);
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(Time, TicksFollowTheClockAndSleepsSlice) {
  uint64_t before = aTime_GetMSTicks();
  auto wallNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  EXPECT_NEAR(static_cast<double>(before), static_cast<double>(wallNow), 1000.0);
  auto start = std::chrono::steady_clock::now();
  aTime_MSSleep(0);
  aTime_MSSleep(1100);  // more than one 999999-microsecond slice
  auto slept =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(slept, 1100);
  EXPECT_GE(aTime_GetMSTicks() - before, 1099u);
}
