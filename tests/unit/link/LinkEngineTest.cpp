// The link engine over an in-memory stream pair with a scripted device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Corvantis2/common/aCOBS.h"
#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aLinkRegistry.h"
#include "sim/linkrig/MemoryPipe.h"
#include "sim/linkrig/ScriptedDevice.h"

namespace {

using namespace std::chrono_literals;
using linkrig::Bytes;
using linkrig::ScriptedDevice;
using Clock = std::chrono::steady_clock;

const Bytes kQuery{0xAD, 0x00};
const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};

bool Always(const aPacket*, void*) { return true; }

// Waits up to timeout for the condition.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = 2000ms) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes Wire(aPacket* packet) {
  Bytes wire(aPACKET_MAX_WIRE);
  size_t n = 0;
  aPacket_GetBytes(packet, wire.data(), wire.size(), &n);
  wire.resize(n);
  return wire;
}

// Takes the packet and gives its wire bytes (empty for null).
Bytes Take(aPacket* packet) {
  if (!packet) return {};
  Bytes wire = Wire(packet);
  aPacket_Destroy(&packet);
  return wire;
}

aErr Put(aLinkRef link, uint8_t address, const Bytes& data) {
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  return err;
}

class LinkRig : public ::testing::Test {
 protected:
  void Open(ScriptedDevice::Options options = {}, uint32_t readTimeoutMs = 5) {
    pair = std::make_unique<linkrig::StreamPair>(readTimeoutMs);
    device = std::make_unique<ScriptedDevice>(pair->pipes(), options);
    if (options.framing == linkrig::Framing::Cobs) {
      linkrig::StreamEnd end = pair->TakeHostEnd();
      aStream* cobs = nullptr;
      ASSERT_EQ(aErrNone, aStream_CreateCobsEncoding(end.get, end.put, end.write, end.del, end.ref, &cobs));
      link = aLink_Create(cobs);
    } else {
      link = aLink_Create(pair->TakeHostStream());
    }
    ASSERT_NE(0u, link);
    ASSERT_TRUE(device->WaitFor([](auto& got) { return !got.empty(); }, 2000));
    EXPECT_EQ(kRouteOn, device->Received().front());
    device->ClearReceived();
  }
  void TearDown() override {
    if (link) {
      EXPECT_EQ(aErrNone, aLink_Destroy(&link));
    }
    device.reset();
  }
  size_t Queries() const { return device->CountReceived(kQuery); }
  int32_t SyncState() const { return sGetLink(link)->syncState.load(); }

  std::unique_ptr<linkrig::StreamPair> pair;
  std::unique_ptr<ScriptedDevice> device;
  aLinkRef link = 0;
};

TEST_F(LinkRig, CreateRunsAndDestroyRoutesOff) {
  Open();
  EXPECT_EQ(linkStatusRunning, aLink_GetStatus(link));
  // Starting a running link sends nothing.
  EXPECT_EQ(aErrNone, aLink_Start(link));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(device->Received().empty());
  ASSERT_EQ(aErrNone, aLink_Destroy(&link));
  EXPECT_EQ(0u, link);
  EXPECT_TRUE(device->WaitFor([](auto& got) { return !got.empty() && got.back() == kRouteOff; }, 2000));
}

TEST_F(LinkRig, PacketsFlowBothWays) {
  Open({.echo = true});
  ASSERT_EQ(aErrNone, Put(link, 4, {0x10, 0x41, 0x21}));
  EXPECT_EQ((Bytes{4, 3, 0x10, 0x41, 0x21}), Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(1u, device->CountReceived({4, 3, 0x10, 0x41, 0x21}));
  // The largest packet crosses too.
  Bytes big(28);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(aErrNone, Put(link, 4, big));
  Bytes expected{4, 28};
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(expected, Take(aLink_AwaitPacket(link, 2000)));
}

TEST_F(LinkRig, SyncWithAnsweringDevice) {
  Open();
  ASSERT_EQ(aErrNone, aLink_Sync(link));
  EXPECT_EQ(linkStatusRunning, aLink_GetStatus(link));
  // Queries not yet written when the handshake completed are drained.
  EXPECT_GE(Queries(), 2u);
  // The answers beyond the two that synchronised were drained.
  EXPECT_EQ(nullptr, aLink_GetPacket(link));
  device->SetEcho(true);
  ASSERT_EQ(aErrNone, Put(link, 4, {0x20, 0x40, 0x20}));
  EXPECT_EQ((Bytes{4, 3, 0x20, 0x40, 0x20}), Take(aLink_AwaitPacket(link, 2000)));
}

TEST_F(LinkRig, SyncWithSilentDeviceTimesOut) {
  Open({.answerQueries = false});
  const auto start = Clock::now();
  EXPECT_EQ(aErrNotReady, aLink_Sync(link));
  EXPECT_GE(Clock::now() - start, 1900ms);
  EXPECT_EQ(linkStatusSyncing, aLink_GetStatus(link));
  // AwaitFirst on a link that is not in step returns at once.
  const auto before = Clock::now();
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link, Always, nullptr, 2000));
  EXPECT_LT(Clock::now() - before, 200ms);
}

TEST_F(LinkRig, HandshakeStateMachine) {
  // A long read timeout keeps the engine from restarting the handshake
  // between the scripted bytes.
  Open({.answerQueries = false}, 250);
  device->SendRaw({0x05});  // an odd address: alignment lost
  ASSERT_TRUE(Eventually([&] { return Queries() >= 6; }));
  EXPECT_EQ(linkStatusSyncing, aLink_GetStatus(link));
  EXPECT_EQ(kSyncStateByte1, SyncState());

  device->SendRaw({0x04, 0x00, 0x06});  // second answer from another address
  ASSERT_TRUE(Eventually([&] { return SyncState() == kSyncStateStart; }, 200ms));
  device->ClearReceived();
  device->SendRaw({0x02});  // the next byte restarts: six more queries
  ASSERT_TRUE(Eventually([&] { return Queries() >= 6; }));
  EXPECT_EQ(kSyncStateByte1, SyncState());

  device->SendRaw({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }));
  EXPECT_EQ(kSyncStateIdle, SyncState());
  device->SendPacket({0x12, 0x01, 0x45, 0x00, 0x00});
  EXPECT_EQ((Bytes{4, 5, 0x12, 0x01, 0x45, 0x00, 0x00}), Take(aLink_AwaitPacket(link, 2000)));
}

TEST_F(LinkRig, MisalignmentStartsAHandshake) {
  const Bytes cases[] = {{0x05}, {0x04, 29}, {0x00}};
  Open();
  for (const Bytes& garbage : cases) {
    device->ClearReceived();
    device->SendRaw(garbage);
    ASSERT_TRUE(Eventually([&] { return Queries() >= 6; })) << int(garbage.back());
    // The device answers; the link comes back in step and carries packets.
    ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }));
    aLink_DrainPackets(link, Always, nullptr);
    std::this_thread::sleep_for(20ms);
    aLink_DrainPackets(link, Always, nullptr);
    device->SendPacket({0x30, 0x01, 0x02});
    EXPECT_EQ((Bytes{4, 3, 0x30, 0x01, 0x02}), Take(aLink_AwaitPacket(link, 2000)));
  }
}

TEST_F(LinkRig, HeartbeatsAreAnsweredAndNeverQueued) {
  Open();
  const std::pair<uint8_t, uint8_t> beats[] = {{0, 2}, {1, 3}, {5, 7}, {0xFF, 1}};
  for (auto [value, answer] : beats) {
    device->SendHeartbeat(value);
    const Bytes expected{4, 2, 0, answer};
    EXPECT_TRUE(device->WaitFor([&](auto& got) { return !got.empty() && got.back() == expected; }, 2000))
        << int(value);
  }
  // Three data bytes starting with 0 are no heartbeat.
  device->SendPacket({0x00, 0x01, 0x02});
  EXPECT_EQ((Bytes{4, 3, 0x00, 0x01, 0x02}), Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(nullptr, aLink_GetPacket(link));
}

struct FilterCount {
  std::atomic<int> calls{0};
};

bool CountingConsumer(const aPacket*, void* reference) {
  static_cast<FilterCount*>(reference)->calls++;
  return true;
}

TEST_F(LinkRig, UserFilterConsumesEverything) {
  Open();
  FilterCount count;
  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link, CountingConsumer, &count));
  device->SendHeartbeat(0);
  device->SendPacket({0x40, 0x01, 0x02});
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link, Always, nullptr, 300));
  EXPECT_EQ(2, count.calls.load());
  EXPECT_EQ(0u, device->CountReceived({4, 2, 0, 2}));  // heartbeat left unanswered
  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link, nullptr, nullptr));
  device->SendPacket({0x40, 0x01, 0x03});
  EXPECT_EQ((Bytes{4, 3, 0x40, 0x01, 0x03}), Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(2, count.calls.load());
}

struct SelfServingFilter {
  aLinkRef link = 0;
  std::atomic<int> calls{0};
  std::atomic<aErr> destroyResult{aErrNone};
  std::atomic<aErr> stopResult{aErrNone};
  std::atomic<aErr> removeResult{aErrUnknown};
};

// Takes one packet, checks that it cannot tear its link down from inside,
// then removes itself.
bool OneShotFilter(const aPacket*, void* reference) {
  auto* self = static_cast<SelfServingFilter*>(reference);
  self->calls++;
  aLinkRef copy = self->link;
  self->destroyResult = aLink_Destroy(&copy);
  self->stopResult = aLink_Stop(sGetLink(self->link).get());
  self->removeResult = aLink_InstallUserPacketFilter(self->link, nullptr, nullptr);
  return true;
}

TEST_F(LinkRig, FilterMayRemoveItselfButNotStopItsLink) {
  Open();
  SelfServingFilter self;
  self.link = link;
  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link, OneShotFilter, &self));
  device->SendPacket({0x41, 0x01, 0x01});
  device->SendPacket({0x41, 0x01, 0x02});
  EXPECT_EQ((Bytes{4, 3, 0x41, 0x01, 0x02}), Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(1, self.calls.load());
  EXPECT_EQ(aErrBusy, self.destroyResult.load());
  EXPECT_EQ(aErrBusy, self.stopResult.load());
  EXPECT_EQ(aErrNone, self.removeResult.load());
  EXPECT_EQ(linkStatusRunning, aLink_GetStatus(link));
}

TEST_F(LinkRig, PooledWritesFillOneBuffer) {
  struct Case {
    int packets;
    std::vector<size_t> writes;
  };
  const Case cases[] = {{200, {1200}}, {700, {4068, 132}}};
  Open();
  for (const Case& c : cases) {
    ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(link, true));
    // Hold the output thread inside one write while the burst is queued.
    pair->pipes()->toDevice.SetWriteGate(true);
    ASSERT_EQ(aErrNone, Put(link, 4, {0xEE}));
    std::this_thread::sleep_for(50ms);
    for (int i = 0; i < c.packets; ++i) ASSERT_EQ(aErrNone, Put(link, 4, {1, 2, 3, 4}));
    pair->pipes()->toDevice.ClearFigures();
    pair->pipes()->toDevice.SetWriteGate(false);
    ASSERT_TRUE(Eventually([&] {
      return device->CountReceived({4, 4, 1, 2, 3, 4}) == static_cast<size_t>(c.packets);
    }));
    std::vector<size_t> sizes = pair->pipes()->toDevice.WriteSizes();
    ASSERT_FALSE(sizes.empty());
    sizes.erase(sizes.begin());  // the held packet
    EXPECT_EQ(c.writes, sizes) << c.packets;
    device->ClearReceived();
  }
}

TEST_F(LinkRig, UnpooledWritesArePerPacket) {
  Open();
  pair->pipes()->toDevice.SetWriteGate(true);
  ASSERT_EQ(aErrNone, Put(link, 4, {0xEE}));
  std::this_thread::sleep_for(50ms);
  for (int i = 0; i < 50; ++i) Put(link, 4, {1, 2, 3, 4});
  pair->pipes()->toDevice.ClearFigures();
  pair->pipes()->toDevice.SetWriteGate(false);
  ASSERT_TRUE(Eventually([&] { return device->CountReceived({4, 4, 1, 2, 3, 4}) == 50; }));
  std::vector<size_t> sizes = pair->pipes()->toDevice.WriteSizes();
  EXPECT_EQ(51u, sizes.size());
  EXPECT_EQ(50, std::count(sizes.begin(), sizes.end(), size_t{6}));
}

TEST_F(LinkRig, ReadErrorsMarkTheLinkAndItRecovers) {
  Open();
  pair->pipes()->toHost.SetBroken(true);
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link) == linkStatusIOError; }));
  pair->pipes()->toHost.SetBroken(false);
  // Read timeouts after the error start a handshake, which the device answers.
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }));
  EXPECT_TRUE(Eventually([&] { return Queries() >= 6; }));
}

TEST_F(LinkRig, GarbledTrafficIsSurvived) {
  Open({.echo = true});
  linkrig::PipeKnobs knobs;
  knobs.corruptRate = 0.02;
  knobs.lossRate = 0.01;
  knobs.seed = 7;
  pair->pipes()->toHost.SetKnobs(knobs);
  for (int i = 0; i < 300; ++i) {
    device->SendPacket({0x50, static_cast<uint8_t>(i), 0x01, 0x02});
    if (i % 50 == 0) device->SendHeartbeat(0);
  }
  std::this_thread::sleep_for(200ms);
  pair->pipes()->toHost.SetKnobs({});
  EXPECT_EQ(aErrNone, aLink_Sync(link));
  ASSERT_EQ(aErrNone, Put(link, 4, {0x51, 0x41, 0x20}));
  auto isReply = [](const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x51; };
  EXPECT_EQ((Bytes{4, 3, 0x51, 0x41, 0x20}), Take(aLink_AwaitFirst(link, isReply, nullptr, 2000)));
}

TEST_F(LinkRig, SerialFramingCarriesTheLargestPacket) {
  Open({.framing = linkrig::Framing::Cobs, .echo = true});
  Bytes big(28);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 4);  // zeros inside
  ASSERT_EQ(aErrNone, Put(link, 4, big));
  Bytes expected{4, 28};
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(expected, Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(1u, device->CountReceived(expected));
  device->SendHeartbeat(1);
  EXPECT_TRUE(device->WaitFor(
      [](auto& got) {
        return !got.empty() && got.back() == Bytes{4, 2, 0, 3};
      },
      2000));
  EXPECT_EQ(aErrNone, aLink_Sync(link));
  EXPECT_EQ(0, device->BadFrames());
}

bool IsBurstPacket(const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x52; }

TEST_F(LinkRig, SerialLinkDropsGarbledFramesAndStaysInStep) {
  Open({.framing = linkrig::Framing::Cobs, .echo = true});
  linkrig::PipeKnobs knobs;
  knobs.corruptRate = 0.02;
  knobs.seed = 11;
  pair->pipes()->toHost.SetKnobs(knobs);
  constexpr int kBurst = 200;
  for (int i = 0; i < kBurst; ++i) device->SendPacket({0x52, static_cast<uint8_t>(i), 0x01});
  size_t delivered = 0;
  Eventually([&] {
    delivered += aLink_DrainPackets(link, IsBurstPacket, nullptr);
    return delivered >= kBurst * 3 / 4 && pair->pipes()->toHost.BytesWritten() > 0 &&
           aLink_GetStatus(link) == linkStatusRunning;
  });
  std::this_thread::sleep_for(100ms);
  delivered += aLink_DrainPackets(link, IsBurstPacket, nullptr);
  // A bad frame costs that frame only: the rest arrive and the link stays usable.
  EXPECT_GE(delivered, size_t{kBurst * 3 / 4});
  EXPECT_LT(delivered, size_t{kBurst});
  EXPECT_EQ(linkStatusRunning, aLink_GetStatus(link));
  pair->pipes()->toHost.SetKnobs({});
  ASSERT_EQ(aErrNone, Put(link, 4, {0x53, 0x41, 0x20}));
  auto isReply = [](const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x53; };
  EXPECT_EQ((Bytes{4, 3, 0x53, 0x41, 0x20}), Take(aLink_AwaitFirst(link, isReply, nullptr, 2000)));
  EXPECT_EQ(aErrNone, aLink_Sync(link));
}

TEST_F(LinkRig, PacketDebugRecordsTraffic) {
  Open({.echo = true});
  EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Disable(link));
  uint8_t type = 0;
  uint32_t length = 64;
  uint8_t buffer[64];
  EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Read(link, &type, &length, buffer));
  EXPECT_EQ(aErrParam, aLink_PacketDebug_SetLogSize(link, 0x4000001));
  EXPECT_EQ(aErrNone, aLink_PacketDebug_SetLogSize(link, 4096));
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(link));
  EXPECT_EQ(aErrBusy, aLink_PacketDebug_SetLogSize(link, 100));
  ASSERT_EQ(aErrNone,
            aLink_PacketDebug_Write(link, aLINK_LOG_MARKER, 6, reinterpret_cast<const uint8_t*>("START")));
  ASSERT_EQ(aErrNone, Put(link, 4, {0x60, 0x41, 0x20}));
  ASSERT_NE(Bytes{}, Take(aLink_AwaitPacket(link, 2000)));
  std::vector<std::pair<uint8_t, Bytes>> records;
  Eventually([&] {
    length = sizeof buffer;
    if (aLink_PacketDebug_Read(link, &type, &length, buffer) == aErrNone &&
        // The route packet of the start may be recorded late: its record follows its write.
        !(length > 0 && buffer[0] == cmdFORCEROUTE))
      records.push_back({type, Bytes(buffer, buffer + length)});
    return records.size() >= 3;
  });
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(aLINK_LOG_MARKER, records[0].first);
  EXPECT_EQ((Bytes{'S', 'T', 'A', 'R', 'T', 0}), records[0].second);
  // The write is recorded once it is done, so the echo may be recorded first.
  std::sort(records.begin() + 1, records.end());
  EXPECT_EQ(aLINK_LOG_WRITTEN, records[1].first);
  EXPECT_EQ((Bytes{4, 3, 0x60, 0x41, 0x20}), records[1].second);
  EXPECT_EQ(aLINK_LOG_RECEIVED, records[2].first);
  EXPECT_EQ((Bytes{4, 3, 0x60, 0x41, 0x20}), records[2].second);
  EXPECT_EQ(aErrNone, aLink_PacketDebug_Disable(link));
}

TEST_F(LinkRig, DestroyWhileTrafficFlows) {
  Open({.echo = true});
  std::atomic<bool> stop{false};
  std::atomic<int> replies{0};
  const aLinkRef id = link;
  std::thread sender([&] {
    for (int i = 0; !stop && i < 100000; ++i) {
      if (Put(id, 4, {0x70, static_cast<uint8_t>(i), 0x20}) != aErrNone) break;
      std::this_thread::sleep_for(100us);
    }
  });
  std::thread waiter([&] {
    auto isEcho = [](const aPacket* p, void*) { return p->dataSize == 3 && p->data[0] == 0x70; };
    for (int i = 0; !stop && i < 100000; ++i) {
      aPacket* p = aLink_AwaitFirst(id, isEcho, nullptr, 50);
      if (p) {
        replies++;
        aPacket_Destroy(&p);
      } else if (aLink_GetStatus(id) == linkStatusNoStream) {
        break;
      }
    }
  });
  std::thread heartbeats([&] {
    for (int i = 0; !stop && i < 1000; ++i) {
      device->SendHeartbeat(0);
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(Eventually([&] { return replies > 20; }));
  const auto start = Clock::now();
  ASSERT_EQ(aErrNone, aLink_Destroy(&link));
  EXPECT_LT(Clock::now() - start, 1500ms);
  EXPECT_EQ(linkStatusNoStream, aLink_GetStatus(id));
  EXPECT_EQ(aErrParam, Put(id, 4, {1}));
  sender.join();
  waiter.join();
  stop = true;
  heartbeats.join();
}

TEST(LinkRegistry, IdentifiersCountUpAndUnknownLinksAreRefused) {
  linkrig::StreamPair pair;
  aLinkRef a = aLink_Create(pair.TakeHostStream());
  aLinkRef b = aLink_Create(pair.TakeHostStream());
  ASSERT_NE(0u, a);
  EXPECT_EQ(a + 1, b);
  const aLinkRef gone = a;
  EXPECT_EQ(aErrNone, aLink_Destroy(&a));
  aLinkRef c = aLink_Create(pair.TakeHostStream());
  EXPECT_EQ(b + 1, c);
  aLinkRef unknown = gone;
  EXPECT_EQ(aErrParam, aLink_Destroy(&unknown));
  EXPECT_EQ(0u, unknown);
  EXPECT_EQ(linkStatusNoStream, aLink_GetStatus(gone));
  EXPECT_EQ(aErrParam, aLink_InstallUserPacketFilter(gone, Always, nullptr));
  EXPECT_EQ(aErrParam, aLink_EnablePooledPackets(gone, true));
  EXPECT_EQ(aErrNotFound, aLink_ForceRoute(gone, 1));
  EXPECT_EQ(nullptr, aLink_AwaitFirst(gone, Always, nullptr, 10));
  EXPECT_EQ(0u, aLink_Create(nullptr));
  aLink_Destroy(&b);
  aLink_Destroy(&c);
}

TEST(LinkRegistry, SharedUseCountKeepsTheLinkUntilTheLastUser) {
  linkrig::StreamPair pair;
  aLinkRef id = aLink_Create(pair.TakeHostStream());
  ASSERT_NE(0u, id);
  sChangeUseCount(sLookupEntryByID(id), 1);
  aLinkRef first = id;
  EXPECT_EQ(aErrNone, aLink_Destroy(&first));
  EXPECT_EQ(linkStatusRunning, aLink_GetStatus(id));
  aLinkRef second = id;
  EXPECT_EQ(aErrNone, aLink_Destroy(&second));
  EXPECT_EQ(linkStatusNoStream, aLink_GetStatus(id));
}

TEST(LinkRegistry, LookupsFindTheNewestEntryFirst) {
  const uint32_t older = sCreate(0x1234, 0, 1);
  const uint32_t newer = sCreate(0x1234, 0, 1);
  EXPECT_EQ(static_cast<int32_t>(newer), sLookupEntryByIdentifier(0x1234, 1)->entryId);
  const uint32_t trident = sCreate2(7, 8, 9, 2);
  EXPECT_EQ(static_cast<int32_t>(trident), sLookupEntryByTrident(7, 8, 9)->entryId);
  EXPECT_EQ(nullptr, sLookupEntryByTrident(7, 8, 10));
  for (uint32_t id : {older, newer, trident}) EXPECT_NE(nullptr, sExtractEntry(id));
  EXPECT_EQ(nullptr, sExtractEntry(older));
  EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0x1234, 1));
}

}  // namespace

namespace {

TEST(LinkLifecycle, LinkWithoutStreamDoesNotStart) {
  const uint32_t id = sCreate(-1, 0, 0);
  ASSERT_NE(0u, id);
  ASSERT_EQ(id, aLink_Init(id, nullptr));
  EXPECT_EQ(linkStatusNoStream, aLink_GetStatus(id));
  EXPECT_EQ(aErrParam, aLink_Start(id));
  EXPECT_EQ(aErrNone, aLink_Stop(sGetLink(id).get()));
  EXPECT_EQ(linkStatusNoStream, aLink_GetStatus(id));
  aLinkRef doomed = id;
  EXPECT_EQ(aErrNone, aLink_Destroy(&doomed));
  EXPECT_EQ(0u, aLink_Init(id, nullptr));  // no longer registered
}

TEST(LinkLifecycle, StopAndRestart) {
  linkrig::StreamPair pair;
  ScriptedDevice device(pair.pipes(), {.echo = true});
  aLinkRef link = aLink_Create(pair.TakeHostStream());
  ASSERT_NE(0u, link);
  // A running link cannot be initialised again under its threads.
  EXPECT_EQ(0u, aLink_Init(link, nullptr));
  ASSERT_EQ(aErrNone, aLink_Stop(sGetLink(link).get()));
  EXPECT_EQ(linkStatusStopped, aLink_GetStatus(link));
  EXPECT_EQ(aErrNone, aLink_Stop(sGetLink(link).get()));
  // Stopped, the link queues but does not send.
  ASSERT_EQ(aErrNone, Put(link, 4, {0x55, 0x41, 0x20}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(0u, device.CountReceived({4, 3, 0x55, 0x41, 0x20}));
  ASSERT_EQ(aErrNone, aLink_Start(link));
  EXPECT_EQ((Bytes{4, 3, 0x55, 0x41, 0x20}), Take(aLink_AwaitPacket(link, 2000)));
  EXPECT_EQ(aErrNone, aLink_Destroy(&link));
}

}  // namespace

namespace {

TEST(LinkLifecycleDeathTest, ProcessExitsWithALinkStillRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        linkrig::StreamPair pair;
        if (aLink_Create(pair.TakeHostStream()) == 0) std::_Exit(3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
