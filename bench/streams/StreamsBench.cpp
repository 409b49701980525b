// Stream-sample figures over the in-memory stream pair and scripted device:
//  1. throughput from the engine link's input thread to a trivial callback
//     (samples/s, lost count), against the same samples taken from the
//     inbound queue without any registration (the plain packet path);
//  2. a burst behind a callback held at a gate: how many calls the ring keeps
//     (limit: every call up to 499 queued, plus the one in progress);
//  3. sustained full-rate input against callbacks of growing cost: where
//     loss starts.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "Corvantis2/api/LinkStreams.h"
#include "Corvantis2/common/aLink.h"
#include "sim/linkrig/MemoryPipe.h"
#include "sim/linkrig/ScriptedDevice.h"

namespace {

using namespace Vorantix::Corvantis;
using Clock = std::chrono::steady_clock;
using linkrig::Bytes;

constexpr uint8_t kModule = 4;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Wire bytes of count type-2 samples of class 3, option 5, index 0.
Bytes Samples(int count) {
  Bytes wire;
  wire.reserve(static_cast<size_t>(count) * 17);
  for (int i = 0; i < count; ++i) {
    const Bytes data{3,
                     5,
                     0x40,
                     2,
                     0,
                     0,
                     0,
                     0,
                     0,
                     0,
                     0,
                     static_cast<uint8_t>(i),
                     static_cast<uint8_t>(i >> 8),
                     static_cast<uint8_t>(i),
                     0};
    const Bytes packet = linkrig::DevicePacket(kModule, data);
    wire.insert(wire.end(), packet.begin(), packet.end());
  }
  return wire;
}

struct Rig {
  Rig() : device(pair.pipes(), {}) {
    link = aLink_Create(pair.TakeHostStream());
    streams.attach(link);
  }
  ~Rig() {
    streams.attach(0);
    if (link) aLink_Destroy(&link);
  }
  aErr Register(StreamCallback callback) {
    return streams.registerStreamCallback(kModule, 3, 0xFF, 0, true, std::move(callback), nullptr,
                                          [](uint8_t, uint8_t, uint32_t) { return aErrNone; });
  }
  // Waits (bounded) until delivered + dropped reaches count.
  bool Settle(const std::atomic<uint64_t>& delivered, uint64_t count, double limitSeconds = 30) {
    const auto start = Clock::now();
    while (delivered.load() + streams.droppedCallbacks() < count) {
      if (Seconds(start) > limitSeconds) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  linkrig::StreamPair pair;
  linkrig::ScriptedDevice device;
  aLinkRef link = 0;
  LinkStreams streams;
};

// Samples per second through the inbound queue, no registration.
double PlainPath(int count) {
  Rig rig;
  const Bytes wire = Samples(count);
  const auto start = Clock::now();
  std::thread feeder([&] { rig.device.SendRaw(wire); });
  int got = 0;
  while (got < count) {
    aPacket* packet = aLink_AwaitPacket(rig.link, 2000);
    if (!packet) break;
    aPacket_Destroy(&packet);
    ++got;
  }
  const double rate = got / Seconds(start);
  feeder.join();
  return got == count ? rate : 0;
}

struct Throughput {
  double rate;
  uint64_t delivered;
  uint64_t lost;
};

// Full-rate input to callbacks that spin for costNs each.
Throughput StreamPath(int count, int64_t costNs) {
  Rig rig;
  std::atomic<uint64_t> delivered{0};
  rig.Register([&](const aPacket*, void*) -> uint8_t {
    if (costNs > 0) {
      const auto until = Clock::now() + std::chrono::nanoseconds(costNs);
      while (Clock::now() < until) {
      }
    }
    delivered.fetch_add(1);
    return 0;
  });
  const Bytes wire = Samples(count);
  const auto start = Clock::now();
  rig.device.SendRaw(wire);
  const bool settled = rig.Settle(delivered, static_cast<uint64_t>(count));
  const double seconds = Seconds(start);
  return {settled ? delivered.load() / seconds : 0, delivered.load(), rig.streams.droppedCallbacks()};
}

// A burst of count samples while the callback is held on its first call.
Throughput HeldBurst(int count) {
  Rig rig;
  std::atomic<uint64_t> delivered{0};
  std::atomic<bool> held{true}, inside{false};
  rig.Register([&](const aPacket*, void*) -> uint8_t {
    inside = true;
    while (held) std::this_thread::sleep_for(std::chrono::microseconds(100));
    delivered.fetch_add(1);
    return 0;
  });
  rig.device.SendRaw(Samples(1));
  const auto start = Clock::now();
  while (!inside && Seconds(start) < 5) std::this_thread::sleep_for(std::chrono::microseconds(100));
  rig.device.SendRaw(Samples(count));
  // Everything sent has passed the filter once the drops and the queue add up.
  const auto wait = Clock::now();
  while (rig.streams.droppedCallbacks() + 499 < static_cast<uint64_t>(count) && Seconds(wait) < 5)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  held = false;
  rig.Settle(delivered, static_cast<uint64_t>(count) + 1, 10);
  return {0, delivered.load(), rig.streams.droppedCallbacks()};
}

}  // namespace

int main() {
  constexpr int kCount = 100000;
  std::printf("stream samples: input thread -> filter -> ring (500 slots) -> worker -> callback\n\n");

  const double plain = PlainPath(kCount);
  const Throughput fast = StreamPath(kCount, 0);
  std::printf("1. throughput, %d type-2 samples sent at full rate\n", kCount);
  std::printf("   plain inbound queue, no registration : %10.0f samples/s\n", plain);
  std::printf("   stream callbacks (trivial callback)  : %10.0f samples/s, delivered %llu, lost %llu\n",
              fast.rate, static_cast<unsigned long long>(fast.delivered),
              static_cast<unsigned long long>(fast.lost));
  std::printf("   ratio stream/plain: %.2f (limit: no loss; the ratio shows the filter and worker cost)\n\n",
              plain > 0 ? fast.rate / plain : 0.0);

  std::printf("2. burst behind a held callback (1 call in progress + queue; limit: 499 queued)\n");
  std::printf("   %8s %10s %8s %s\n", "burst", "delivered", "lost", "");
  for (int burst : {100, 498, 499, 500, 501, 1000}) {
    const Throughput t = HeldBurst(burst);
    const uint64_t expectedLost = burst > 499 ? static_cast<uint64_t>(burst - 499) : 0;
    std::printf("   %8d %10llu %8llu %s\n", burst, static_cast<unsigned long long>(t.delivered - 1),
                static_cast<unsigned long long>(t.lost), t.lost == expectedLost ? "ok" : "UNEXPECTED");
  }

  std::printf("\n3. sustained full-rate input against callback cost (%d samples each)\n", kCount / 2);
  std::printf("   %10s %14s %10s %10s\n", "cost", "delivered/s", "delivered", "lost");
  for (int64_t costNs : {0, 1000, 2000, 4000, 8000, 16000}) {
    const Throughput t = StreamPath(kCount / 2, costNs);
    std::printf("   %7lld ns %14.0f %10llu %10llu\n", static_cast<long long>(costNs), t.rate,
                static_cast<unsigned long long>(t.delivered), static_cast<unsigned long long>(t.lost));
  }
  return 0;
}
