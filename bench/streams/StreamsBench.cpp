// Stream-sample figures over the in-memory stream pair and scripted device:
//  1. throughput from the engine link's input thread to a trivial callback
//     (samples/s, lost count), against the same samples taken from the
//     inbound queue without any registration (the plain packet path);
//  2. a burst behind a callback held at a gate: how many calls the ring keeps
//     (limit: every call up to 499 queued, plus the one in progress);
//  3. sustained full-rate input against callbacks of growing cost: where
//     loss starts.
#include <algorithm>
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

// Packets per second the input thread hands to a filter that only counts
// them: the ceiling of any path behind it.
bool CountingFilter(const aPacket*, void* reference) {
  static_cast<std::atomic<uint64_t>*>(reference)->fetch_add(1);
  return true;
}

double InputThreadRate(int count) {
  Rig rig;
  std::atomic<uint64_t> seen{0};
  aLink_InstallUserPacketFilter(rig.link, CountingFilter, &seen);
  const Bytes wire = Samples(count);
  const auto start = Clock::now();
  rig.device.SendRaw(wire);
  while (seen.load() < static_cast<uint64_t>(count) && Seconds(start) < 30)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double rate = seen.load() / Seconds(start);
  aLink_InstallUserPacketFilter(rig.link, nullptr, nullptr);
  return rate;
}

struct Throughput {
  double rate;
  uint64_t delivered;
  uint64_t lost;
};

// Input at rate samples/s (0: as fast as the pipe takes them) to callbacks
// that spin for costNs each.
Throughput StreamPath(int count, int64_t costNs, double rate = 0) {
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
  const size_t sampleBytes = wire.size() / static_cast<size_t>(count);
  const auto start = Clock::now();
  if (rate <= 0) {
    rig.device.SendRaw(wire);
  } else {
    for (int sent = 0; sent < count;) {
      const int due = std::min(count, static_cast<int>(rate * Seconds(start)) + 1);
      if (due > sent) {
        rig.device.SendRaw(Bytes(wire.begin() + static_cast<long>(sent * sampleBytes),
                                 wire.begin() + static_cast<long>(due * sampleBytes)));
        sent = due;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
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
  std::printf("stream samples: input thread -> filter -> ring (500 slots) -> worker -> callback\n");
  std::printf("limit: no sample lost while fewer than 499 calls wait in the ring\n\n");

  const double ceiling = InputThreadRate(kCount);
  const Throughput fast = StreamPath(kCount, 0);
  std::printf("1. full-rate burst of %d type-2 samples (17 wire bytes each)\n", kCount);
  std::printf("   input thread to a counting filter    : %10.0f samples/s\n", ceiling);
  std::printf("   input thread to stream callbacks     : %10.0f samples/s, delivered %llu, lost %llu\n",
              fast.rate, static_cast<unsigned long long>(fast.delivered),
              static_cast<unsigned long long>(fast.lost));
  std::printf("   ratio delivered/ceiling: %.2f\n\n", ceiling > 0 ? fast.rate / ceiling : 0.0);

  std::printf("2. burst behind a held callback (1 call in progress + the queue)\n");
  std::printf("   %8s %10s %8s\n", "burst", "delivered", "lost");
  for (int burst : {100, 498, 499, 500, 501, 1000}) {
    const Throughput t = HeldBurst(burst);
    const uint64_t expectedLost = burst > 499 ? static_cast<uint64_t>(burst - 499) : 0;
    std::printf("   %8d %10llu %8llu %s\n", burst, static_cast<unsigned long long>(t.delivered - 1),
                static_cast<unsigned long long>(t.lost),
                t.lost == expectedLost ? "as limited" : "UNEXPECTED");
  }

  std::printf("\n3. paced input, trivial callback (0.5 s of samples each)\n");
  std::printf("   %12s %14s %10s %10s\n", "offered/s", "delivered/s", "delivered", "lost");
  for (double rate : {50000.0, 100000.0, 200000.0, 300000.0, 400000.0}) {
    const int count = static_cast<int>(rate / 2);
    const Throughput t = StreamPath(count, 0, rate);
    std::printf("   %12.0f %14.0f %10llu %10llu\n", rate, t.rate,
                static_cast<unsigned long long>(t.delivered), static_cast<unsigned long long>(t.lost));
  }

  constexpr double kPaced = 50000;
  std::printf("\n4. paced input at %.0f samples/s against callback cost (budget %.0f ns a sample)\n", kPaced,
              1e9 / kPaced);
  std::printf("   %10s %14s %10s %10s\n", "cost", "delivered/s", "delivered", "lost");
  for (int64_t costNs : {0, 5000, 10000, 15000, 20000, 25000, 40000}) {
    const Throughput t = StreamPath(static_cast<int>(kPaced / 2), costNs, kPaced);
    std::printf("   %7lld ns %14.0f %10llu %10llu\n", static_cast<long long>(costNs), t.rate,
                static_cast<unsigned long long>(t.delivered), static_cast<unsigned long long>(t.lost));
  }
  return 0;
}
