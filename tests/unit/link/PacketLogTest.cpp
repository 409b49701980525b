#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Corvantis2/common/aLogger.h"
#include "Corvantis2/common/aPacketLog.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct LogHolder {
  explicit LogHolder(uint32_t capacity) : log(aPacketLog_Create(capacity)) {}
  ~LogHolder() { aPacketLog_Destroy(&log); }
  aPacketLog* log;
};

aErr Put(aPacketLog* log, uint8_t type, const Bytes& bytes) {
  return aPacketLog_Put(log, type, static_cast<uint32_t>(bytes.size()), bytes.data());
}

TEST(PacketLog, KeepsTheNewestRecordsThatFit) {
  LogHolder h(16);
  const Bytes ten(10, 0xA1), otherTen(10, 0xB2);
  ASSERT_EQ(aErrNone, Put(h.log, 1, ten));
  ASSERT_EQ(aErrNone, Put(h.log, 2, otherTen));  // drops the first
  EXPECT_EQ(aErrOverrun, Put(h.log, 1, Bytes(14, 1)));
  uint8_t type = 0;
  uint32_t length = 64;
  uint8_t buffer[64];
  ASSERT_EQ(aErrNone, aPacketLog_Get(h.log, &type, &length, buffer));
  EXPECT_EQ(2, type);
  EXPECT_EQ(otherTen, Bytes(buffer, buffer + length));
  length = 64;
  EXPECT_EQ(aErrNotFound, aPacketLog_Get(h.log, &type, &length, buffer));
}

TEST(PacketLog, SmallBufferLeavesTheRecord) {
  LogHolder h(64);
  ASSERT_EQ(aErrNone, Put(h.log, 3, {1, 2, 3, 4, 5, 6}));
  uint8_t type = 0;
  uint32_t length = 4;
  uint8_t buffer[64];
  EXPECT_EQ(aErrOverrun, aPacketLog_Get(h.log, &type, &length, buffer));
  EXPECT_EQ(6u, length);
  length = 64;
  ASSERT_EQ(aErrNone, aPacketLog_Get(h.log, &type, &length, buffer));
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6}), Bytes(buffer, buffer + length));
}

TEST(PacketLog, WrapsAroundManyTimes) {
  LogHolder h(37);  // records do not divide the ring evenly
  uint8_t type;
  uint8_t buffer[64];
  for (int i = 0; i < 500; ++i) {
    const Bytes record(static_cast<size_t>(i % 7), static_cast<uint8_t>(i));
    ASSERT_EQ(aErrNone, Put(h.log, static_cast<uint8_t>(i), record));
    if (i % 3 == 0) {
      uint32_t length = sizeof buffer;
      ASSERT_EQ(aErrNone, aPacketLog_Get(h.log, &type, &length, buffer));
      for (uint32_t k = 0; k < length; ++k) EXPECT_EQ(type, buffer[k]);
    }
  }
  // What is left comes out oldest first, newest last.
  int last = -1;
  for (;;) {
    uint32_t length = sizeof buffer;
    if (aPacketLog_Get(h.log, &type, &length, buffer) != aErrNone) break;
    last = type;
  }
  EXPECT_EQ(499 % 256, last);
}

TEST(PacketLog, RefusesWhatCannotBeStored) {
  EXPECT_EQ(nullptr, aPacketLog_Create(0));
  LogHolder h(1024);
  EXPECT_EQ(aErrOverrun, Put(h.log, 1, Bytes(256, 1)));
  EXPECT_EQ(aErrParam, aPacketLog_Put(h.log, 1, 3, nullptr));
  EXPECT_EQ(aErrParam, aPacketLog_Put(nullptr, 1, 0, nullptr));
  aPacketLog* none = nullptr;
  EXPECT_EQ(aErrNone, aPacketLog_Destroy(&none));
}

std::atomic<int> gCalls{0};

void CountingProc(aFile* file, uint32_t value) {
  gCalls++;
  aFile_Printf(file, "%u\n", value);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(Logger, RunsTheProcedureUntilDisabled) {
  TempDir dir;
  aLogger* logger = aLogger_Create(42, CountingProc, dir.file("log.txt").c_str());
  ASSERT_NE(nullptr, logger);
  EXPECT_EQ(aErrNone, aLogger_Disable(logger));  // never enabled
  gCalls = 0;
  ASSERT_EQ(aErrNone, aLogger_Enable(logger));
  EXPECT_EQ(aErrNone, aLogger_Enable(logger));
  while (gCalls < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(aErrNone, aLogger_Disable(logger));
  const int calls = gCalls;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(calls, gCalls.load());
  ASSERT_EQ(aErrNone, aLogger_Destroy(&logger));
  EXPECT_EQ(nullptr, logger);
  const std::string text = ReadWholeFile(dir.file("log.txt"));
  EXPECT_EQ(0u, text.find("42\n"));
}

aLogger* gSelf = nullptr;
std::atomic<aErr> gSelfDisable{aErrUnknown};
std::atomic<aErr> gSelfDestroy{aErrUnknown};

void SelfStoppingProc(aFile*, uint32_t) {
  gSelfDisable = aLogger_Disable(gSelf);
  gSelfDestroy = aLogger_Destroy(&gSelf);
}

TEST(Logger, StoppingFromItsOwnThread) {
  TempDir dir;
  aLogger* logger = aLogger_Create(1, SelfStoppingProc, dir.file("self.txt").c_str());
  ASSERT_NE(nullptr, logger);
  gSelf = logger;
  ASSERT_EQ(aErrNone, aLogger_Enable(logger));
  while (gSelfDestroy == aErrUnknown) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(aErrNone, gSelfDisable.load());
  EXPECT_EQ(aErrBusy, gSelfDestroy.load());  // a thread cannot join itself
  EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
  EXPECT_EQ(nullptr, logger);
}

TEST(Logger, CreateFailures) {
  TempDir dir;
  EXPECT_EQ(nullptr, aLogger_Create(1, CountingProc, dir.file("no/such/dir/log").c_str()));
  EXPECT_EQ(nullptr, aLogger_Create(1, nullptr, dir.file("log").c_str()));
  EXPECT_EQ(aErrParam, aLogger_Enable(nullptr));
  EXPECT_EQ(aErrParam, aLogger_Disable(nullptr));
  aLogger* none = nullptr;
  EXPECT_EQ(aErrNone, aLogger_Destroy(&none));
}

}  // namespace
