// The single-producer single-consumer ring.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "Corvantis2/api/LocklessQueue_SPSC.h"

namespace {

using Vorantix::Corvantis::LocklessQueue_SPSC;

TEST(Ring, HoldsOneEntryFewerThanItsCapacity) {
  LocklessQueue_SPSC<int> ring(500);
  for (int i = 0; i < 499; ++i) ASSERT_TRUE(ring.push(i)) << i;
  EXPECT_FALSE(ring.push(499));
  int out = -1;
  ASSERT_TRUE(ring.pop(out));
  EXPECT_EQ(0, out);
  EXPECT_TRUE(ring.push(499));
  EXPECT_FALSE(ring.push(500));
  for (int i = 1; i <= 499; ++i) {
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(i, out);
  }
  EXPECT_FALSE(ring.pop(out));
  EXPECT_EQ(499, out);
}

TEST(Ring, WrapsInOrder) {
  LocklessQueue_SPSC<int> ring(3);
  int out = 0;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(ring.push(2 * i));
    ASSERT_TRUE(ring.push(2 * i + 1));
    ASSERT_FALSE(ring.push(-1));
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(2 * i, out);
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(2 * i + 1, out);
  }
}

TEST(Ring, CapacityKeptWithinTheIndexWidth) {
  EXPECT_EQ(2u, LocklessQueue_SPSC<int>(0).capacity());
  EXPECT_EQ(65535u, LocklessQueue_SPSC<char>(100000).capacity());
  LocklessQueue_SPSC<int> smallest(1);
  EXPECT_TRUE(smallest.push(1));
  EXPECT_FALSE(smallest.push(2));
}

TEST(Ring, RefusedPushKeepsTheValueAndPopHandsOwnershipOn) {
  LocklessQueue_SPSC<std::unique_ptr<int>> ring(2);
  ASSERT_TRUE(ring.push(std::make_unique<int>(1)));
  auto second = std::make_unique<int>(2);
  EXPECT_FALSE(ring.push(std::move(second)));
  ASSERT_NE(nullptr, second);
  std::unique_ptr<int> out;
  ASSERT_TRUE(ring.pop(out));
  EXPECT_EQ(1, *out);
  EXPECT_TRUE(ring.push(std::move(second)));
}

TEST(Ring, OneProducerOneConsumerKeepOrder) {
  constexpr int kCount = 200000;
  LocklessQueue_SPSC<int> ring(500);
  std::thread producer([&] {
    for (int i = 0; i < kCount;) {
      if (ring.push(i))
        ++i;
      else
        std::this_thread::yield();
    }
  });
  int expected = 0;
  int misordered = 0;
  while (expected < kCount) {
    int out = -1;
    if (!ring.pop(out)) {
      std::this_thread::yield();
      continue;
    }
    if (out != expected) ++misordered;
    ++expected;
  }
  producer.join();
  EXPECT_EQ(0, misordered);
  int out = 0;
  EXPECT_FALSE(ring.pop(out));
}

}  // namespace
