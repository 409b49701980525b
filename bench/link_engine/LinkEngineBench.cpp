// Link engine figures over the in-memory stream pair and scripted device:
//  1. request/reply round trips per second through a link, against the same
//     round trips between two threads over two bare FIFOs (engine overhead);
//  2. a one-way burst of 10,000 small packets with and without pooled
//     writes: stream writes per packet and throughput;
//  3. AwaitFirst with a backlog of 900 non-matching packets: filter calls per
//     arriving packet (limit: 1).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aLinkRegistry.h"
#include "Corvantis2/common/aPacketFifo.h"
#include "sim/linkrig/MemoryPipe.h"
#include "sim/linkrig/ScriptedDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
using linkrig::Bytes;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

aErr Put(aPacketFifo fifo, uint8_t value) {
  aPacket* packet = aPacket_CreateWithData(4, 3, Bytes{0x10, 0x41, value}.data());
  aErr err = aPacketFifo_Put(fifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

bool IsReply(const aPacket* packet, void* reference) {
  return packet->dataSize == 3 && packet->data[2] == *static_cast<uint8_t*>(reference);
}

struct Rig {
  explicit Rig(bool echo) : device(pair.pipes(), {.echo = echo}) {
    link = aLink_Create(pair.TakeHostStream());
  }
  ~Rig() {
    if (link) aLink_Destroy(&link);
  }
  linkrig::StreamPair pair;
  linkrig::ScriptedDevice device;
  aLinkRef link = 0;
};

double LinkRoundTrips(int count) {
  Rig rig(true);
  if (!rig.link) return 0;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    uint8_t tag = static_cast<uint8_t>(i);
    aPacket* request = aPacket_CreateWithData(4, 3, Bytes{0x10, 0x41, tag}.data());
    aLink_PutPacket(rig.link, request);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(rig.link, IsReply, &tag, 1000);
    if (!reply) return 0;
    aPacket_Destroy(&reply);
  }
  return count / Seconds(start);
}

double FifoRoundTrips(int count) {
  aPacketFifo requests = aPacketFifo_Create(), replies = aPacketFifo_Create();
  std::thread peer([&] {
    for (int i = 0; i < count; ++i) {
      aPacket* request = aPacketFifo_Await(requests, 1000);
      if (!request) break;
      aPacketFifo_Put(replies, request);
      aPacket_Destroy(&request);
    }
  });
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    uint8_t tag = static_cast<uint8_t>(i);
    Put(requests, tag);
    aPacket* reply = aPacketFifo_AwaitFirst(replies, IsReply, &tag, 1000);
    if (reply) aPacket_Destroy(&reply);
  }
  const double rate = count / Seconds(start);
  peer.join();
  aPacketFifo_Destroy(&requests);
  aPacketFifo_Destroy(&replies);
  return rate;
}

void Burst(bool pooled, int count) {
  Rig rig(false);
  if (!rig.link) return;
  rig.device.WaitFor([](auto& got) { return !got.empty(); }, 2000);  // the route packet
  rig.pair.pipes()->toDevice.ClearFigures();
  rig.device.ClearReceived();
  aLink_EnablePooledPackets(rig.link, pooled);
  const aPacketFifo out = sGetLink(rig.link)->outFifo;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    // Stay below the FIFO's capacity: a full FIFO empties itself.
    while (aPacketFifo_GetLength(out) > 900) std::this_thread::yield();
    aPacket* packet = aPacket_CreateWithData(4, 4, Bytes{1, 2, 3, 4}.data());
    aLink_PutPacket(rig.link, packet);
    aPacket_Destroy(&packet);
  }
  const bool all =
      rig.device.WaitFor([&](auto& got) { return got.size() >= static_cast<size_t>(count); }, 30000);
  const double seconds = Seconds(start);
  const double writes = static_cast<double>(rig.pair.pipes()->toDevice.WriteCalls());
  std::printf(
      "burst %-8s %d packets%s: %.3f stream writes per packet (limit %s), %.0f packets/s, %.2f MB/s\n",
      pooled ? "pooled" : "unpooled", count, all ? "" : " (INCOMPLETE)", writes / count,
      pooled ? "< 1; at most 678 packets per write" : "1", count / seconds,
      rig.pair.pipes()->toDevice.BytesWritten() / seconds / 1e6);
}

struct FilterCount {
  std::atomic<long> calls{0};
};

bool CountingMatch(const aPacket* packet, void* reference) {
  static_cast<FilterCount*>(reference)->calls++;
  return packet->dataSize == 3 && packet->data[0] == 0x77;
}

void Backlog() {
  Rig rig(false);
  if (!rig.link) return;
  // 900 + 50 + 1 stays below the FIFO's capacity of 1000.
  constexpr int kBacklog = 900, kArrivals = 50;
  for (int i = 0; i < kBacklog; ++i) rig.device.SendPacket({0x20, 0x01, static_cast<uint8_t>(i)});
  const aPacketFifo in = sGetLink(rig.link)->inFifo;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (aPacketFifo_GetLength(in) < kBacklog && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  FilterCount count;
  aPacket* found = nullptr;
  std::thread waiter([&] { found = aLink_AwaitFirst(rig.link, CountingMatch, &count, 10000); });
  while (count.calls < kBacklog && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long afterBacklog = count.calls;
  for (int i = 0; i < kArrivals; ++i) {
    rig.device.SendPacket({0x21, 0x01, static_cast<uint8_t>(i)});
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  rig.device.SendPacket({0x77, 0x01, 0x00});
  waiter.join();
  const double perArrival = static_cast<double>(count.calls - afterBacklog) / (kArrivals + 1);
  std::printf(
      "await-first backlog %d: %ld filter calls for the backlog, %.3f per arriving packet (limit 1)%s\n",
      kBacklog, afterBacklog, perArrival, found ? "" : " (NO MATCH)");
  if (found) aPacket_Destroy(&found);
}

}  // namespace

int main() {
  constexpr int kTrips = 5000;
  const double link = LinkRoundTrips(kTrips);
  const double fifo = FifoRoundTrips(kTrips);
  std::printf("round trips: link %.0f/s, bare FIFOs %.0f/s, ratio %.3f (limit >= 0.05)\n", link, fifo,
              fifo > 0 ? link / fifo : 0.0);
  Burst(false, 10000);
  Burst(true, 10000);
  Backlog();
  return 0;
}
