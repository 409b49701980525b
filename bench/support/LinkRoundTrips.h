// Round trips of one short system-entity get (the serial number, option 9
// of class 3) on an engine link to the virtual module at address 6: the
// latency of one at a time, then a burst with a window of requests in
// flight. Shared by the transport benchmarks so that their figures compare.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Corvantis2/common/aLink.h"
#include "Corvantis2/common/aPacket.h"

namespace bench {

struct RoundTripFigures {
  double p50Us = 0, p99Us = 0, meanUs = 0;
  double pairsPerSecond = 0;
  int lost = 0;
};

inline bool IsSerialReply(const aPacket* p, void*) {
  return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
}

inline void RequestSerial(aLinkRef link) {
  const uint8_t request[] = {3, 0x49, 0x20};
  aPacket* packet = aPacket_CreateWithData(6, sizeof request, request);
  aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
}

inline double Percentile(std::vector<double> samples, int percent) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() * static_cast<size_t>(percent) / 100];
}

inline RoundTripFigures MeasureRoundTrips(aLinkRef link, int roundTrips, int burst, int window) {
  using Clock = std::chrono::steady_clock;
  RoundTripFigures f;
  std::vector<double> samples;
  for (int i = 0; i < roundTrips; ++i) {
    const auto start = Clock::now();
    RequestSerial(link);
    aPacket* reply = aLink_AwaitFirst(link, IsSerialReply, nullptr, 1000);
    if (!reply) {
      ++f.lost;
      continue;
    }
    aPacket_Destroy(&reply);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  f.p50Us = Percentile(samples, 50);
  f.p99Us = Percentile(samples, 99);
  for (double s : samples) f.meanUs += s / static_cast<double>(samples.size());
  aLink_EnablePooledPackets(link, true);
  const auto start = Clock::now();
  int sent = 0, received = 0;
  while (received < burst) {
    // Keep a window of requests in flight, well inside the FIFOs' capacity.
    while (sent < burst && sent - received < window) {
      RequestSerial(link);
      ++sent;
    }
    aPacket* reply = aLink_AwaitFirst(link, IsSerialReply, nullptr, 2000);
    if (!reply) break;
    aPacket_Destroy(&reply);
    ++received;
  }
  f.pairsPerSecond = received / std::chrono::duration<double>(Clock::now() - start).count();
  f.lost += burst - received;
  aLink_EnablePooledPackets(link, false);
  return f;
}

inline void PrintRoundTrips(const char* transport, const RoundTripFigures& f, double limitP50Us,
                            double floorPps) {
  std::printf("%-6s round trip: p50 %8.1f us  p99 %8.1f us  mean %8.1f us  (p50 limit %.0f us, ratio %.3f)\n",
              transport, f.p50Us, f.p99Us, f.meanUs, limitP50Us, f.p50Us / limitP50Us);
  std::printf("%-6s burst: %10.0f request/reply pairs per s  (floor %.0f, ratio %.3f)  lost %d\n", transport,
              f.pairsPerSecond, floorPps, floorPps / std::max(f.pairsPerSecond, 1.0), f.lost);
}

}  // namespace bench
