// Store slots and factory data against the virtual module.
#include "tests/unit/api/ApiFixture.h"

namespace apitest {
namespace {

using SlotTest = ApiTest;
using FactoryTest = ApiTest;

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes b(length);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
  return b;
}

uint8_t Sum(const Bytes& b, size_t from, size_t count) {
  uint8_t s = 0;
  for (size_t i = from; i < from + count; ++i) s = static_cast<uint8_t>(s + b[i]);
  return s;
}

TEST_F(SlotTest, LoadSendsChunksOfTwentyFiveAndUnloadReadsThemBack) {
  const Bytes data = Pattern(60, 3);
  ASSERT_EQ(link().loadStoreSlot(kAddress, 0, 1, data.data(), data.size()), aErrNone);
  std::vector<Bytes> writes;
  for (const Bytes& r : RequestsTo(*device_, kAddress))
    if (r.size() >= 3 && r[0] == 4 && r[1] == 7) writes.push_back(r);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].size() - 3, 25u);
  EXPECT_EQ(writes[1].size() - 3, 25u);
  EXPECT_EQ(writes[2].size() - 3, 10u);

  size_t capacity = 0, size = 0;
  ASSERT_EQ(link().storeSlotCapacity(kAddress, 0, 1, &capacity), aErrNone);
  EXPECT_EQ(capacity, 1024u);
  ASSERT_EQ(link().storeSlotSize(kAddress, 0, 1, &size), aErrNone);
  EXPECT_EQ(size, 60u);

  Bytes back(100, 0);
  size_t read = 0;
  ASSERT_EQ(link().unloadStoreSlot(kAddress, 0, 1, back.data(), back.size(), &read), aErrNone);
  ASSERT_EQ(read, 60u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));

  // A buffer shorter than the slot holds its first bytes and says so.
  Bytes shorter(30, 0);
  EXPECT_EQ(link().unloadStoreSlot(kAddress, 0, 1, shorter.data(), shorter.size(), &read), aErrOverrun);
  EXPECT_EQ(read, 30u);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), data.begin()));
}

TEST_F(SlotTest, AWrongByteSumIsAnIOError) {
  const Bytes data = Pattern(30, 1);
  // The device acknowledges the first chunk with a sum one off.
  device_->SetInterceptor([&](const vmodule::Packet& p, std::vector<vmodule::Packet>& out) {
    if (p.data.size() < 3 || p.data[0] != 4 || p.data[1] != 7) return false;
    out.push_back({kAddress, {4, 7, p.data[2], static_cast<uint8_t>(Sum(p.data, 3, p.data.size() - 3) + 1)}});
    return true;
  });
  EXPECT_EQ(link().loadStoreSlot(kAddress, 0, 2, data.data(), data.size()), aErrIO);
  device_->SetInterceptor({});
  // The slot was closed: it opens again.
  EXPECT_EQ(link().loadStoreSlot(kAddress, 0, 2, data.data(), data.size()), aErrNone);
}

TEST_F(SlotTest, DeviceRefusalsComeBackAsTheirCodes) {
  const Bytes big = Pattern(300, 0);
  size_t value = 0;
  EXPECT_EQ(link().storeSlotCapacity(kAddress, 7, 7, &value), aErrNotFound);
  EXPECT_EQ(link().loadStoreSlot(kAddress, 7, 7, big.data(), big.size()), aErrMedia);
  // Slot 3 holds 256 bytes: the write that would overflow it is refused.
  EXPECT_EQ(link().loadStoreSlot(kAddress, 0, 3, big.data(), big.size()), aErrOverrun);
  EXPECT_EQ(link().storeSlotCapacity(kAddress, 0, 3, nullptr), aErrParam);
  device_->knobs().silent = true;
  EXPECT_EQ(link().storeSlotSize(kAddress, 0, 0, &value), aErrTimeout);
}

TEST_F(FactoryTest, WrittenDataReadsBackAcrossSeveralPackets) {
  const Bytes data = Pattern(60, 9);
  ASSERT_EQ(link().setFactoryData(kAddress, 3, data.data(), data.size()), aErrNone);
  std::vector<Bytes> sent = RequestsTo(*device_, kAddress);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0][1], 0x53);
  EXPECT_EQ(sent[0].size(), 28u);
  EXPECT_EQ(sent[1][1], 0x13);
  EXPECT_EQ(sent[2].size(), 2u + 8u);
  EXPECT_EQ(sent[3], (Bytes{0x5E, 0x20, 0, 60}));

  // A buffer that holds the data exactly is enough.
  Bytes back(60, 0);
  size_t read = 0;
  ASSERT_EQ(link().getFactoryData(kAddress, 3, back.data(), back.size(), &read), aErrNone);
  EXPECT_EQ(read, 60u);
  EXPECT_EQ(back, data);

  Bytes shorter(40, 0);
  read = 0;
  EXPECT_EQ(link().getFactoryData(kAddress, 3, shorter.data(), shorter.size(), &read), aErrOverrun);
  EXPECT_EQ(read, 0u);
}

TEST_F(FactoryTest, RepliesOfTheWrongShapeAreRefused) {
  // A write acknowledged with more than two bytes.
  device_->SetInterceptor(Answer({0x5E, 0x51}, {{0x5E, 1, 0}}));
  const Bytes data = Pattern(4, 0);
  EXPECT_EQ(link().setFactoryData(kAddress, 1, data.data(), data.size()), aErrSize);
  // An error flag without a code.
  device_->SetInterceptor(Answer({0x5E, 0x51}, {{0x5E, 0x81}}));
  EXPECT_EQ(link().setFactoryData(kAddress, 1, data.data(), data.size()), aErrWrite);
  // An error reply to a read gives its code.
  device_->SetInterceptor(Answer({0x5E, 0x41}, {{0x5E, 0x81, 13}}));
  Bytes back(64);
  size_t read = 0;
  EXPECT_EQ(link().getFactoryData(kAddress, 1, back.data(), back.size(), &read), aErrRange);
  device_->SetInterceptor({});
  // An empty write sends only the end request.
  ASSERT_EQ(link().setFactoryData(kAddress, 1, data.data(), data.size()), aErrNone);
  device_->ClearRequests();
  EXPECT_EQ(link().setFactoryData(kAddress, 1, nullptr, 0), aErrNone);
  EXPECT_EQ(RequestsTo(*device_, kAddress), (std::vector<Bytes>{{0x5E, 0x20, 0, 0}}));
}

}  // namespace
}  // namespace apitest
