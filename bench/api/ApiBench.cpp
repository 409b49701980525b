// UEI get round trips through the device API (SystemClass::getSerialNumber
// on a Module linked to the virtual module over TCP loopback), against a raw
// TCP ping-pong of the same packet sizes (5 bytes out, 9 back) between two
// threads of this process, measured in the same run.
//
// Prints round trips per second for both and their ratio; the goal is a
// ratio of at least 0.7. The same get straight on the engine link is
// measured too, to tell the device API's own cost from the engine's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Corvantis2/api/Module.h"
#include "Corvantis2/api/SystemClass.h"
#include "sim/vmodule/VirtualModule.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Vorantix::Corvantis;

constexpr int kRoundTrips = 5000;
constexpr int kWarmup = 200;
constexpr double kGoal = 0.7;
constexpr size_t kRequestBytes = 5;  // address, length 3, class, option, index
constexpr size_t kReplyBytes = 9;    // address, length 7, class, option, index, 32-bit value

bool ReadFull(int fd, uint8_t* buffer, size_t length) {
  while (length > 0) {
    const ssize_t got = read(fd, buffer, length);
    if (got <= 0) return false;
    buffer += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Round trips per second of a plain TCP ping-pong; 0 on failure.
double RawPingPong(int count) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(listener, 1) != 0)
    return 0;
  socklen_t length = sizeof local;
  getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
  std::thread server([listener, count] {
    const int fd = accept(listener, nullptr, nullptr);
    NoDelay(fd);
    uint8_t request[kRequestBytes];
    const uint8_t reply[kReplyBytes] = {2, 7, 3, 9, 0, 0, 0, 0, 0x2A};
    for (int i = 0; i < count + kWarmup; ++i) {
      if (!ReadFull(fd, request, sizeof request)) break;
      if (write(fd, reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) break;
    }
    close(fd);
  });
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    server.join();
    return 0;
  }
  NoDelay(fd);
  const uint8_t request[kRequestBytes] = {2, 3, 3, 0x49, 0x20};
  uint8_t reply[kReplyBytes];
  double seconds = 0;
  bool ok = true;
  for (int i = 0; i < count + kWarmup && ok; ++i) {
    if (i == kWarmup) seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    ok = write(fd, request, sizeof request) == static_cast<ssize_t>(sizeof request) &&
         ReadFull(fd, reply, sizeof reply);
  }
  seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - seconds;
  close(fd);
  server.join();
  close(listener);
  return ok ? count / seconds : 0;
}

// Round trips per second of UEI gets through the device API; 0 on failure.
double ApiGets(uint16_t port, int count) {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = 0x2A;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = port;
  Module module(0, static_cast<uint8_t>(0));
  if (module.connectFromSpec(spec) != aErrNone) return 0;
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  double seconds = 0;
  for (int i = 0; i < count + kWarmup; ++i) {
    if (i == kWarmup) seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    if (system.getSerialNumber(&serial) != aErrNone || serial != 0x2A) return 0;
  }
  seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - seconds;
  return count / seconds;
}

bool IsSerialReply(const aPacket* p, void*) { return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9; }

// The same get straight on the engine link (put, then await the reply), to
// show what the device API adds on top of the link engine; 0 on failure.
double EngineGets(uint16_t port, int count) {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = 0x2A;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = port;
  Link link(spec, "Link");
  if (link.connect() != aErrNone) return 0;
  const uint8_t request[] = {3, 0x49, 0x20};
  double seconds = 0;
  for (int i = 0; i < count + kWarmup; ++i) {
    if (i == kWarmup) seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    aPacket* packet = aPacket_CreateWithData(2, sizeof request, request);
    aLink_PutPacket(link.getLinkId(), packet);
    aPacket_Destroy(&packet);
    aPacket* reply = aLink_AwaitFirst(link.getLinkId(), IsSerialReply, nullptr, 1000);
    if (!reply) return 0;
    aPacket_Destroy(&reply);
  }
  seconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - seconds;
  return count / seconds;
}

}  // namespace

int main() {
  vmodule::Options options;
  options.modules[0].serial = 0x2A;
  options.modules[0].address = 2;
  options.heartbeatMs = 0;
  options.tcpPort = 0;
  options.discovery = false;
  vmodule::VirtualModule device(options);
  if (!device.Start()) {
    std::fprintf(stderr, "bench_api: the virtual module did not start\n");
    return 1;
  }
  const double raw = RawPingPong(kRoundTrips);
  const double api = ApiGets(device.TcpPort(), kRoundTrips);
  const double engine = EngineGets(device.TcpPort(), kRoundTrips);
  if (raw <= 0 || api <= 0 || engine <= 0) {
    std::fprintf(stderr, "bench_api: a measurement failed\n");
    return 1;
  }
  const double ratio = api / raw;
  std::printf("UEI get through the device API: %.0f round trips/s (%.1f us each)\n", api, 1e6 / api);
  std::printf("raw TCP ping-pong, 5 bytes out, 9 back: %.0f round trips/s (%.1f us each)\n", raw, 1e6 / raw);
  std::printf(
      "the same get on the engine link alone: %.0f round trips/s (%.1f us each); device API / engine %.2f\n",
      engine, 1e6 / engine, api / engine);
  std::printf("ratio %.2f against a goal of at least %.2f: %s\n", ratio, kGoal,
              ratio >= kGoal ? "met" : "not met");
  return 0;
}
