#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Corvantis2/common/aPacketFifo.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

aErr PutByte(aPacketFifo fifo, uint8_t value) {
  aPacket* p = aPacket_CreateWithData(4, 1, &value);
  aErr err = aPacketFifo_Put(fifo, p);
  aPacket_Destroy(&p);
  return err;
}

// Takes ownership of the packet and returns its first data byte (-1 for null).
int Value(aPacket* packet) {
  if (!packet) return -1;
  int v = packet->data[0];
  aPacket_Destroy(&packet);
  return v;
}

bool MatchSeven(const aPacket* packet, void*) { return packet->data[0] == 7; }
bool Always(const aPacket*, void*) { return true; }
bool Never(const aPacket*, void*) { return false; }

class Fifo : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(0u, fifo = aPacketFifo_Create()); }
  void TearDown() override {
    if (fifo) aPacketFifo_Destroy(&fifo);
  }
  aPacketFifo fifo = 0;
};

TEST_F(Fifo, FirstInFirstOut) {
  for (uint8_t v : {1, 2, 3}) ASSERT_EQ(aErrNone, PutByte(fifo, v));
  EXPECT_EQ(3u, aPacketFifo_GetLength(fifo));
  EXPECT_EQ(1, Value(aPacketFifo_Get(fifo)));
  EXPECT_EQ(2, Value(aPacketFifo_Get(fifo)));
  EXPECT_EQ(3, Value(aPacketFifo_Get(fifo)));
  EXPECT_EQ(-1, Value(aPacketFifo_Get(fifo)));
}

TEST_F(Fifo, GetFirstKeepsOthersInOrder) {
  for (uint8_t v : {1, 7, 2, 7, 3}) PutByte(fifo, v);
  EXPECT_EQ(7, Value(aPacketFifo_GetFirst(fifo, MatchSeven, nullptr)));
  EXPECT_EQ(7, Value(aPacketFifo_GetFirst(fifo, MatchSeven, nullptr)));
  EXPECT_EQ(-1, Value(aPacketFifo_GetFirst(fifo, MatchSeven, nullptr)));
  EXPECT_EQ(1, Value(aPacketFifo_Get(fifo)));
  EXPECT_EQ(2, Value(aPacketFifo_Get(fifo)));
  EXPECT_EQ(3, Value(aPacketFifo_Get(fifo)));
}

TEST_F(Fifo, AwaitTimeoutZeroAndWakeUp) {
  auto start = Clock::now();
  EXPECT_EQ(-1, Value(aPacketFifo_Await(fifo, 0)));
  EXPECT_LT(Clock::now() - start, 50ms);

  std::thread producer([this] {
    std::this_thread::sleep_for(50ms);
    PutByte(fifo, 9);
  });
  start = Clock::now();
  EXPECT_EQ(9, Value(aPacketFifo_Await(fifo, 2000)));
  EXPECT_LT(Clock::now() - start, 1500ms);
  producer.join();

  start = Clock::now();
  EXPECT_EQ(-1, Value(aPacketFifo_Await(fifo, 100)));
  EXPECT_GE(Clock::now() - start, 100ms);
}

TEST_F(Fifo, OverflowAt1001EmptiesQueue) {
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(aErrNone, PutByte(fifo, static_cast<uint8_t>(i)));
  EXPECT_EQ(1000u, aPacketFifo_GetLength(fifo));
  EXPECT_EQ(aErrNone, PutByte(fifo, 1));
  EXPECT_EQ(0u, aPacketFifo_GetLength(fifo));
  // The window stays consistent afterwards.
  PutByte(fifo, 7);
  EXPECT_EQ(7, Value(aPacketFifo_GetFirst(fifo, MatchSeven, nullptr)));
}

TEST_F(Fifo, DrainAlwaysAndNever) {
  for (uint8_t v : {1, 7, 2, 7}) PutByte(fifo, v);
  EXPECT_EQ(0u, aPacketFifo_DrainPackets(fifo, Never, nullptr));
  EXPECT_EQ(4u, aPacketFifo_GetLength(fifo));
  EXPECT_EQ(2u, aPacketFifo_DrainPackets(fifo, MatchSeven, nullptr));
  EXPECT_EQ(1, Value(aPacketFifo_Get(fifo)));
  PutByte(fifo, 3);
  EXPECT_EQ(2u, aPacketFifo_DrainPackets(fifo, Always, nullptr));
  EXPECT_EQ(0u, aPacketFifo_GetLength(fifo));
}

TEST_F(Fifo, CopiesAreDistinct) {
  uint8_t v = 5;
  aPacket* mine = aPacket_CreateWithData(4, 1, &v);
  ASSERT_EQ(aErrNone, aPacketFifo_Put(fifo, mine));
  mine->data[0] = 6;
  aPacket* first = aPacketFifo_GetFirst(fifo, Always, nullptr);
  ASSERT_NE(nullptr, first);
  EXPECT_NE(mine, first);
  EXPECT_EQ(5, first->data[0]);
  aPacketFifo_Put(fifo, mine);
  aPacket_Destroy(&mine);  // the queued copy survives
  EXPECT_EQ(6, Value(aPacketFifo_Get(fifo)));
  aPacket_Destroy(&first);
}

TEST_F(Fifo, RefusesBadArguments) {
  aPacket forged{};
  EXPECT_EQ(aErrParam, aPacketFifo_Put(fifo, &forged));
  EXPECT_EQ(aErrParam, aPacketFifo_Put(fifo, nullptr));
  EXPECT_EQ(aErrParam, aPacketFifo_Destroy(nullptr));
  aPacketFifo unknown = 0xFFFFFFFFFFull;
  EXPECT_EQ(aErrNotFound, aPacketFifo_Destroy(&unknown));
  EXPECT_EQ(0xFFFFFFFFFFull, unknown);
  EXPECT_EQ(0u, aPacketFifo_GetLength(unknown));
  EXPECT_EQ(nullptr, aPacketFifo_GetFirst(fifo, nullptr, nullptr));
}

TEST(FifoRegistry, IdentifiersAreNotReused) {
  aPacketFifo a = aPacketFifo_Create();
  aPacketFifo keep = a;
  ASSERT_EQ(aErrNone, aPacketFifo_Destroy(&a));
  EXPECT_EQ(0u, a);
  aPacketFifo b = aPacketFifo_Create();
  EXPECT_GT(b, keep);
  aPacketFifo_Destroy(&b);
}

// Each packet is offered to the waiter's filter once, however many others
// arrive while it waits; the match comes back as soon as it is queued.
struct OfferLog {
  std::mutex lock;
  std::map<int, int> offers;  // first data byte -> times offered
};

bool CountingMatchSeven(const aPacket* packet, void* reference) {
  auto* log = static_cast<OfferLog*>(reference);
  std::lock_guard<std::mutex> guard(log->lock);
  log->offers[packet->data[0]]++;
  return packet->data[0] == 7;
}

TEST_F(Fifo, AwaitFirstOffersEachPacketOnce) {
  for (uint8_t v = 10; v < 60; ++v) PutByte(fifo, v);  // backlog before the call
  OfferLog log;
  std::atomic<bool> matchPut{false};
  Clock::time_point putAt;
  std::thread producer([&] {
    for (uint8_t v = 60; v < 120; ++v) {
      PutByte(fifo, v);
      std::this_thread::sleep_for(1ms);
    }
    putAt = Clock::now();
    PutByte(fifo, 7);
    matchPut = true;
    for (uint8_t v = 120; v < 130; ++v) PutByte(fifo, v);
  });
  aPacket* got = aPacketFifo_AwaitFirst(fifo, CountingMatchSeven, &log, 5000);
  auto gotAt = Clock::now();
  producer.join();
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(7, Value(got));
  EXPECT_TRUE(matchPut);
  EXPECT_LT(gotAt - putAt, 500ms);
  for (auto& [value, count] : log.offers) EXPECT_EQ(1, count) << "value " << value;
  for (int v = 10; v < 120; ++v) EXPECT_EQ(1u, log.offers.count(v)) << v;
  // Everything but the match is still queued, in order.
  EXPECT_EQ(120u, aPacketFifo_GetLength(fifo));
  EXPECT_EQ(10, Value(aPacketFifo_Get(fifo)));
}

TEST_F(Fifo, DestroyWakesWaitersPromptly) {
  std::vector<std::thread> waiters;
  std::atomic<int> returnedNull{0};
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&, i] {
      aPacket* p =
          i % 2 ? aPacketFifo_Await(fifo, 10000) : aPacketFifo_AwaitFirst(fifo, MatchSeven, nullptr, 10000);
      if (!p) returnedNull++;
      if (p) aPacket_Destroy(&p);
    });
  }
  PutByte(fifo, 1);  // not a match: the AwaitFirst waiters keep waiting
  std::this_thread::sleep_for(100ms);
  aPacketFifo id = fifo;
  auto start = Clock::now();
  ASSERT_EQ(aErrNone, aPacketFifo_Destroy(&fifo));
  for (auto& t : waiters) t.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_GE(returnedNull.load(), 3);  // one Await may have taken the packet
  uint8_t v = 1;
  aPacket* p = aPacket_CreateWithData(4, 1, &v);
  EXPECT_EQ(aErrParam, aPacketFifo_Put(id, p));
  aPacket_Destroy(&p);
  EXPECT_EQ(nullptr, aPacketFifo_Get(id));
  EXPECT_EQ(aErrNotFound, aPacketFifo_Destroy(&id));
}

TEST(FifoThreads, ManyProducersAndConsumersLoseNothing) {
  aPacketFifo fifo = aPacketFifo_Create();
  constexpr int kProducers = 4, kEach = 200;
  std::atomic<int> received{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c)
    threads.emplace_back([&] {
      while (!done || aPacketFifo_GetLength(fifo) > 0) {
        aPacket* p = aPacketFifo_Await(fifo, 20);
        if (p) {
          received++;
          aPacket_Destroy(&p);
        }
      }
    });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) PutByte(fifo, static_cast<uint8_t>(i));
    });
  for (auto& t : producers) t.join();
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(kProducers * kEach, received.load());
  aPacketFifo_Destroy(&fifo);
}

}  // namespace
