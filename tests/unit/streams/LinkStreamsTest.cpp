// The stream table on a running engine link: a scripted device sends stream
// packets through an in-memory stream pair, and a fake device setter stands
// for the Link's UEI set.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "Corvantis2/api/LinkStreams.h"
#include "Corvantis2/common/aLink.h"
#include "sim/linkrig/MemoryPipe.h"
#include "sim/linkrig/ScriptedDevice.h"

namespace {

using namespace std::chrono_literals;
using namespace Vorantix::Corvantis;
using linkrig::Bytes;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kModule = 4;

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = 3000ms) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes Sample(uint8_t type, uint8_t cls, uint8_t option, uint8_t index, uint32_t value, uint8_t subindex = 0) {
  Bytes data{cls, option, static_cast<uint8_t>(0x40 | index), type};
  if (type >= 5) data.push_back(subindex);
  for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(0x10 + i));  // timestamp
  const int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
  for (int i = width - 1; i >= 0; --i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  data.push_back(0);
  return data;
}

// The Link's device exchange, as a recorder with a settable answer.
struct FakeSetter {
  struct Call {
    uint8_t module;
    uint8_t optionByte;
    uint32_t value;
    bool operator==(const Call&) const = default;
  };
  std::mutex lock;
  std::vector<Call> calls;  // guarded by lock
  std::atomic<aErr> answer{aErrNone};

  StreamDeviceSetter Fn() {
    return [this](uint8_t module, uint8_t optionByte, uint32_t value) {
      std::lock_guard<std::mutex> guard(lock);
      calls.push_back({module, optionByte, value});
      return answer.load();
    };
  }
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
};

// Records callback calls (on the worker thread); can hold them at a gate.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Bytes> packets;  // data bytes; guarded by lock
  std::vector<void*> refs;     // guarded by lock
  bool gateClosed = false;     // guarded by lock
  bool inside = false;         // guarded by lock

  StreamCallback Fn() {
    return [this](const aPacket* packet, void* ref) -> uint8_t {
      std::unique_lock<std::mutex> guard(lock);
      inside = true;
      changed.notify_all();
      changed.wait(guard, [&] { return !gateClosed; });
      inside = false;
      packets.emplace_back(packet->data, packet->data + packet->dataSize);
      refs.push_back(ref);
      changed.notify_all();
      return 0;
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return packets.size();
  }
  bool WaitCount(size_t n) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, 3s, [&] { return packets.size() >= n; });
  }
  void Close() {
    std::lock_guard<std::mutex> guard(lock);
    gateClosed = true;
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock);
    gateClosed = false;
    changed.notify_all();
  }
  bool WaitInside() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, 3s, [&] { return inside; });
  }
};

class Streams : public ::testing::Test {
 protected:
  void SetUp() override {
    pair = std::make_unique<linkrig::StreamPair>(5);
    device = std::make_unique<linkrig::ScriptedDevice>(pair->pipes(), linkrig::ScriptedDevice::Options{});
    link = aLink_Create(pair->TakeHostStream());
    ASSERT_NE(0u, link);
    streams = std::make_unique<LinkStreams>();
    streams->attach(link);
  }
  void TearDown() override {
    if (streams) streams->attach(0);
    streams.reset();
    if (link) {
      EXPECT_EQ(aErrNone, aLink_Destroy(&link));
    }
    device.reset();
  }

  aErr Register(uint8_t cls, uint8_t option, uint8_t index, bool enable, StreamCallback callback = {},
                void* ref = nullptr, uint8_t module = kModule) {
    return streams->registerStreamCallback(module, cls, option, index, enable, std::move(callback), ref,
                                           setter.Fn());
  }
  std::vector<uint64_t> AllKeys() {
    return streams->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true);
  }

  // A plain reply packet; once it is in the inbound queue the input thread
  // has handled everything the device sent before it.
  void SendMarker(uint8_t tag) { device->SendPacket(Bytes{0x10, 0x05, 0x00, tag}); }
  // The next inbound packet's data bytes (empty when none came).
  Bytes NextInbound() {
    aPacket* packet = aLink_AwaitPacket(link, 3000);
    if (!packet) return {};
    Bytes data(packet->data, packet->data + packet->dataSize);
    aPacket_Destroy(&packet);
    return data;
  }
  // Sends the packets then a marker; true when the marker is the first
  // packet to reach the inbound queue (every stream packet was consumed).
  bool AllConsumed(const std::vector<Bytes>& packets, uint8_t tag = 0x77) {
    for (const Bytes& p : packets) device->SendPacket(p);
    SendMarker(tag);
    const Bytes first = NextInbound();
    return first == Bytes{0x10, 0x05, 0x00, tag} && aLink_GetPacket(link) == nullptr;
  }

  std::unique_ptr<linkrig::StreamPair> pair;
  std::unique_ptr<linkrig::ScriptedDevice> device;
  aLinkRef link = 0;
  std::unique_ptr<LinkStreams> streams;
  FakeSetter setter;
};

TEST_F(Streams, StreamPacketsConsumedOnlyWhileARegistrationExists) {
  const Bytes sample = Sample(1, 3, 5, 0, 7);
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());

  ASSERT_EQ(aErrNone, Register(3, 5, 0, true));
  // Matching or not, samples or byte sequences: none reaches the queue.
  EXPECT_TRUE(AllConsumed({sample, Sample(2, 10, 1, 2, 300), Bytes{3, 5, 0x40, 4, 1, 2, 0x81}}));

  ASSERT_EQ(aErrNone, Register(3, 5, 0, false));
  EXPECT_TRUE(AllKeys().empty());
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());

  const std::vector<FakeSetter::Call> expected{{kModule, 0x81, 0x04030500}, {kModule, 0x82, 0x04030500}};
  EXPECT_EQ(expected, setter.Calls());
}

TEST_F(Streams, RefusedEnableLeavesNoEntry) {
  setter.answer = aErrInvalidOption;
  EXPECT_EQ(aErrInvalidOption, Register(3, 5, 0, true));
  EXPECT_TRUE(AllKeys().empty());
  // No filter is left behind either.
  const Bytes sample = Sample(1, 3, 5, 0, 7);
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());

  // Beside a registration that stands, only the refused one goes.
  setter.answer = aErrNone;
  ASSERT_EQ(aErrNone, Register(3, 6, 0, true));
  setter.answer = aErrTimeout;
  EXPECT_EQ(aErrTimeout, Register(3, 5, 1, true));
  EXPECT_EQ(std::vector<uint64_t>{LinkStreams::createStreamKey(kModule, 3, 6, 0, 0xFF)}, AllKeys());
  EXPECT_TRUE(AllConsumed({sample}));
}

TEST_F(Streams, BadModuleOrNoEngineLinkRefused) {
  for (uint8_t module : {uint8_t{3}, uint8_t{0xFF}, uint8_t{0}}) {
    EXPECT_EQ(aErrParam, Register(3, 5, 0, true, {}, nullptr, module)) << int(module);
  }
  EXPECT_TRUE(setter.Calls().empty());

  LinkStreams detached;
  EXPECT_EQ(aErrConnection,
            detached.registerStreamCallback(kModule, 3, 5, 0, true, {}, nullptr, setter.Fn()));
  EXPECT_TRUE(detached.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_TRUE(setter.Calls().empty());
  StreamStatusEntry entry{};
  size_t count = 0;
  EXPECT_EQ(aErrConnection, detached.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, &entry, 1, &count));
}

TEST_F(Streams, ValueIsFreshForOneReadAfterEachSample) {
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true));
  uint32_t value = 0;
  EXPECT_EQ(aErrNotFound, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));
  ASSERT_TRUE(AllConsumed({Sample(2, 3, 5, 0, 0x1234)}));
  EXPECT_EQ(aErrNone, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));
  EXPECT_EQ(0x1234u, value);
  value = 0;
  EXPECT_EQ(aErrStreamStale, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));
  EXPECT_EQ(0x1234u, value);
  EXPECT_EQ(aErrStreamStale, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));

  ASSERT_TRUE(AllConsumed({Sample(3, 3, 5, 0, 0xCAFEF00D)}));
  EXPECT_EQ(aErrNone, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));
  EXPECT_EQ(0xCAFEF00Du, value);
  EXPECT_EQ(aErrParam, streams->getStreamValue(kModule, 3, 5, 0, 0, nullptr));
  // A byte sequence on the same stream carries no value.
  ASSERT_TRUE(AllConsumed({Bytes{3, 5, 0x40, 4, 1, 2, 0x81}}));
  EXPECT_EQ(aErrStreamStale, streams->getStreamValue(kModule, 3, 5, 0, 0, &value));
}

TEST_F(Streams, WildcardOptionReceivesEveryOptionOfTheEntity) {
  Recorder recorder;
  int ref = 0;
  ASSERT_EQ(aErrNone, Register(3, 0xFF, 0, true, recorder.Fn(), &ref));
  EXPECT_EQ(0x0403FF00u, setter.Calls().at(0).value);
  ASSERT_TRUE(AllConsumed({
      Sample(1, 3, 1, 0, 11),
      Sample(2, 3, 2, 0, 22),
      Sample(1, 3, 1, 1, 99),   // another index
      Sample(1, 10, 1, 0, 99),  // another class
      Sample(3, 3, 63, 0, 33),
  }));
  ASSERT_TRUE(recorder.WaitCount(3));
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(3u, recorder.Count());
  EXPECT_EQ(1, recorder.packets[0][1]);
  EXPECT_EQ(2, recorder.packets[1][1]);
  EXPECT_EQ(63, recorder.packets[2][1]);
  for (void* r : recorder.refs) EXPECT_EQ(&ref, r);

  // Each option got its own value entry; the registration is not listed.
  StreamStatusEntry entries[4] = {};
  size_t count = 0;
  ASSERT_EQ(aErrNone, streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 4, &count));
  ASSERT_EQ(3u, count);
  EXPECT_EQ(LinkStreams::createStreamKey(kModule, 3, 1, 0, 0), entries[0].key);
  EXPECT_EQ(11u, entries[0].value);
  EXPECT_EQ(LinkStreams::createStreamKey(kModule, 3, 2, 0, 0), entries[1].key);
  EXPECT_EQ(22u, entries[1].value);
  EXPECT_EQ(LinkStreams::createStreamKey(kModule, 3, 63, 0, 0), entries[2].key);
  EXPECT_EQ(33u, entries[2].value);
  EXPECT_EQ(aErrSize, streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 2, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(aErrNone, streams->getStreamStatus(kModule, 3, 2, 0, 0, entries, 1, &count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(aErrParam, streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, nullptr, 4, &count));
  EXPECT_EQ(aErrParam, streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 0, &count));
  EXPECT_EQ(aErrParam, streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 4, nullptr));

  // Disabling the wildcard takes its value entries with it.
  ASSERT_EQ(aErrNone, Register(3, 0xFF, 0, false));
  EXPECT_TRUE(AllKeys().empty());
}

TEST_F(Streams, EachRegistrationShapeGetsItsSamples) {
  struct Shape {
    uint8_t cls, option, index;
    size_t expected;
  };
  // Samples sent: (3,5,0) (3,5,2) (3,6,0) (7,5,0), subindex types included,
  // and one from another module.
  const Shape shapes[] = {
      {0xFF, 0xFF, 0xFF, 5},  // everything of the module
      {3, 5, 0xFF, 3},        // every index of option 5
      {0xFF, 5, 0, 3},        // option 5 index 0 of every class
      {3, 5, 0, 2},           // one stream, any subindex
      {3, 0xFF, 0xFF, 4},
  };
  std::vector<std::unique_ptr<Recorder>> recorders;
  for (const Shape& s : shapes) {
    recorders.push_back(std::make_unique<Recorder>());
    ASSERT_EQ(aErrNone, Register(s.cls, s.option, s.index, true, recorders.back()->Fn()));
  }
  device->SendPacket(6, Sample(1, 3, 5, 0, 1));
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 1), Sample(6, 3, 5, 0, 2, 9), Sample(1, 3, 5, 2, 3),
                           Sample(1, 3, 6, 0, 4), Sample(1, 7, 5, 0, 5)}));
  // A last sample everybody gets: once it is in, every earlier call is.
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 6)}, 0x78));
  for (size_t i = 0; i < recorders.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(recorders[i]->WaitCount(shapes[i].expected + 1));
    EXPECT_EQ(shapes[i].expected + 1, recorders[i]->Count());
    EXPECT_EQ(6, recorders[i]->packets.back()[12]);
  }
  // The subindex sample keeps its own value.
  uint32_t value = 0;
  EXPECT_EQ(aErrNone, streams->getStreamValue(kModule, 3, 5, 0, 9, &value));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(aErrNotFound, streams->getStreamValue(6, 3, 5, 0, 0, &value));
  streams->attach(0);  // before the recorders go
}

TEST_F(Streams, SubindexFFSampleCallsARegistrationOnce) {
  Recorder recorder;
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, recorder.Fn()));
  ASSERT_TRUE(AllConsumed({Sample(5, 3, 5, 0, 1, 0xFF), Sample(1, 3, 5, 0, 2)}));
  ASSERT_TRUE(recorder.WaitCount(2));
  EXPECT_EQ(2u, recorder.Count());
  EXPECT_EQ(2, recorder.packets.back()[12]);
  streams->attach(0);
}

TEST_F(Streams, RingHoldsFourHundredNinetyNineCallsThenDrops) {
  Recorder recorder;
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, recorder.Fn()));
  recorder.Close();
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 0)}));
  ASSERT_TRUE(recorder.WaitInside());  // the worker holds one call
  std::vector<Bytes> burst;
  for (int i = 1; i <= 600; ++i) burst.push_back(Sample(2, 3, 5, 0, static_cast<uint32_t>(i)));
  ASSERT_TRUE(AllConsumed(burst));
  EXPECT_EQ(101u, streams->droppedCallbacks());
  recorder.Open();
  ASSERT_TRUE(recorder.WaitCount(500));
  // The queued ones came in order: the first 499 of the burst.
  EXPECT_EQ(Sample(2, 3, 5, 0, 499), recorder.packets[499]);
  // The ring takes calls again once drained.
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 1)}));
  ASSERT_TRUE(recorder.WaitCount(501));
  EXPECT_EQ(101u, streams->droppedCallbacks());
  streams->attach(0);
}

TEST_F(Streams, DetachRemovesFilterWorkerAndTable) {
  Recorder recorder;
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, recorder.Fn()));
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 1)}));
  ASSERT_TRUE(recorder.WaitCount(1));
  streams->attach(0);
  EXPECT_TRUE(AllKeys().empty());
  const Bytes sample = Sample(1, 3, 5, 0, 2);
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());
  EXPECT_EQ(1u, recorder.Count());
  EXPECT_EQ(aErrConnection, Register(3, 5, 0, true));
  EXPECT_TRUE(AllKeys().empty());
}

TEST_F(Streams, DestroyWithCallsStillQueued) {
  Recorder recorder;
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, recorder.Fn()));
  recorder.Close();
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 1), Sample(1, 3, 5, 0, 2), Sample(1, 3, 5, 0, 3)}));
  ASSERT_TRUE(recorder.WaitInside());
  // The destructor joins the worker: let the held call finish meanwhile.
  std::thread opener([&] {
    std::this_thread::sleep_for(50ms);
    recorder.Open();
  });
  streams.reset();
  opener.join();
  // The two queued calls were released, not made.
  EXPECT_EQ(1u, recorder.Count());
  const Bytes sample = Sample(1, 3, 5, 0, 4);
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());
}

TEST_F(Streams, CallbackMayUnregisterItsOwnStream) {
  std::atomic<int> calls{0};
  std::atomic<aErr> result{aErrUnknown};
  StreamCallback selfRemoving = [&](const aPacket*, void*) -> uint8_t {
    if (calls++ == 0) result = Register(3, 5, 0, false);
    return 0;
  };
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, selfRemoving));
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 1)}));
  ASSERT_TRUE(Eventually([&] { return result.load() != aErrUnknown; }));
  EXPECT_EQ(aErrNone, result.load());
  EXPECT_TRUE(AllKeys().empty());
  const Bytes sample = Sample(1, 3, 5, 0, 2);
  device->SendPacket(sample);
  EXPECT_EQ(sample, NextInbound());

  // A new registration starts a new worker.
  Recorder recorder;
  ASSERT_EQ(aErrNone, Register(3, 5, 0, true, recorder.Fn()));
  ASSERT_TRUE(AllConsumed({Sample(1, 3, 5, 0, 3)}));
  EXPECT_TRUE(recorder.WaitCount(1));
  EXPECT_EQ(1, calls.load());
  streams->attach(0);
}

TEST_F(Streams, RegistrationsReadsAndSamplesConcurrently) {
  Recorder recorder;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (uint32_t i = 0; !done; ++i) {
      device->SendPacket(Sample(1, 3, static_cast<uint8_t>(i % 4), 0, i & 0xFF));
      if (i % 64 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  std::thread reader([&] {
    StreamStatusEntry entries[8];
    size_t count = 0;
    uint32_t value = 0;
    while (!done) {
      streams->getStreamValue(kModule, 3, 1, 0, 0, &value);
      streams->getStreamStatus(kModule, 3, 0xFF, 0, 0xFF, entries, 8, &count);
    }
  });
  for (int round = 0; round < 40; ++round) {
    EXPECT_EQ(aErrNone,
              Register(3, static_cast<uint8_t>(round % 3 == 0 ? 0xFF : round % 4), 0, true, recorder.Fn()));
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(aErrNone, Register(3, 0xFF, 0, false));
  }
  done = true;
  sender.join();
  reader.join();
  EXPECT_TRUE(AllKeys().empty());
  EXPECT_GT(recorder.Count(), 0u);
}

}  // namespace
