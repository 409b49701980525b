// Stream values of the virtual module seen through the Link: the device's
// samples, and the stream table's callbacks and cache behind the entities.
#include <unistd.h>

#include <atomic>

#include "Corvantis2/api/SystemClass.h"
#include "tests/unit/api/ApiFixture.h"

namespace apitest {
namespace {

using StreamDeviceTest = ApiTest;

TEST_F(StreamDeviceTest, AnEnabledStreamSendsTimestampedSamples) {
  // Tell the device directly (class 93 set), not through the stream table.
  uei enable{};
  enable.module = kAddress;
  enable.command = cmdSTREAM;
  enable.option = 0x81;
  enable.index = kUEI_REQUEST;
  enable.type = typeInt;
  enable.value.intValue = uint32_t{kAddress} << 24 | 3u << 16 | 9u << 8 | 0;
  ASSERT_EQ(link().sendUEI(enable), aErrNone);
  uei ack{};
  ack.module = kAddress;
  ack.command = cmdSTREAM;
  ack.option = 0xC1;
  ASSERT_EQ(link().receiveUEI(kAddress, cmdSTREAM, 0xC1, 0, &ack), aErrNone);
  EXPECT_EQ(ack.index, 0);
  uint8_t state = 0;
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);

  // Samples of the serial number: 3, 9, 0x40, type 3, timestamp, value, 0.
  const uint8_t prefix[] = {3, 9, 0x40, 3};
  uint8_t sample[28];
  uint8_t length = sizeof prefix;
  ASSERT_EQ(link().receivePacket(kAddress, prefix, &length, sample), aErrNone);
  ASSERT_EQ(length, 17);
  EXPECT_EQ(aUEI_RetrieveInt(sample + 12), kSerial);
  EXPECT_EQ(sample[16], 0);
  const uint64_t first = uint64_t{aUEI_RetrieveInt(sample + 4)} << 32 | aUEI_RetrieveInt(sample + 8);
  length = sizeof prefix;
  ASSERT_EQ(link().receivePacket(kAddress, prefix, &length, sample), aErrNone);
  const uint64_t second = uint64_t{aUEI_RetrieveInt(sample + 4)} << 32 | aUEI_RetrieveInt(sample + 8);
  EXPECT_GT(second, first);

  enable.option = 0x82;
  ASSERT_EQ(link().sendUEI(enable), aErrNone);
  ack.option = 0xC2;
  ASSERT_EQ(link().receiveUEI(kAddress, cmdSTREAM, 0xC2, 0, &ack), aErrNone);
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
}

}  // namespace
}  // namespace apitest

namespace apitest {
namespace {

class StreamCallbackTest : public ApiTest {
 protected:
  void SetUp() override {
    vmodule::Options options = DeviceOptions();
    options.streamIntervalMs = 200;  // slow enough to read a value twice between samples
    StartDevice(options);
    system_.init(module_.get(), 0);
  }
  SystemClass system_;
};

TEST_F(StreamCallbackTest, RegisteredSamplesReachTheCallbackAndTheEntityCache) {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
  const Link::StreamCallback callback = [&](const aPacket* packet, void*) -> uint8_t {
    uint32_t value = 0;
    if (Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone) last = value;
    ++calls;
    return 0;
  };
  ASSERT_EQ(system_.registerOptionCallback(9, true, callback, nullptr), aErrNone);
  const auto sent = RequestsTo(*device_, kAddress);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], (Bytes{93, 0x81, 0x20, kAddress, 3, 9, 0}));
  for (int i = 0; i < 200 && calls < 2; ++i) usleep(10000);
  ASSERT_GE(calls.load(), 2);
  EXPECT_EQ(last.load(), kSerial);

  // The cache answers: fresh once per sample, then stale, with the value.
  device_->ClearRequests();
  const int before = calls;
  uint32_t serial = 0;
  const aErr first = system_.getSerialNumber(&serial);
  const aErr second = system_.getSerialNumber(&serial);
  if (calls == before) {
    EXPECT_EQ(first, aErrNone);
    EXPECT_EQ(second, aErrStreamStale);
  }
  EXPECT_EQ(serial, kSerial);
  EXPECT_TRUE(RequestsTo(*device_, kAddress).empty()) << "answered from the cache";

  ASSERT_EQ(system_.registerOptionCallback(9, false, {}, nullptr), aErrNone);
  uint8_t state = 1;
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  // Without a registration the device is asked again.
  device_->ClearRequests();
  ASSERT_EQ(system_.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(RequestsTo(*device_, kAddress), (std::vector<Bytes>{{3, 0x49, 0x20}}));
}

TEST_F(StreamCallbackTest, ARefusedRegistrationLeavesNoEntry) {
  device_->SetInterceptor(Answer({93, 0x81}, {{93, 0xC1, 0x80, 29}}));
  EXPECT_EQ(system_.registerOptionCallback(9, true, {}, nullptr), aErrInvalidOption);
  EXPECT_TRUE(link().filterActiveStreamKeys(kAddress, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_EQ(system_.setStreamEnabled(1), aErrInvalidOption);
}

}  // namespace
}  // namespace apitest
