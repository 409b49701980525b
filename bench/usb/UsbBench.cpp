// The USB baseline for the firmware-update benchmarks: a USB link through
// the USB test double (libusb on umockdev, the same virtual module) next to
// a TCP loopback link:
//  1. round-trip latency of a system-entity get (serial number);
//  2. throughput: 3,000 requests with up to 64 in flight.
// The double's own share is printed too: the difference to TCP, the
// emulated-USB requests (ioctls) per round trip, and the raw module
// channel's round trip without libusb or umockdev.
// Figures are printed with their ratio against a stated limit (below 1 is
// within the limit).
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Corvantis2/common/aLinkCreate.h"
#include "Corvantis2/unix/cvusb.h"
#include "bench/support/LinkRoundTrips.h"
#include "sim/vusb/UsbBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSerial = 0x0BE4C500;
constexpr int kWindow = 64;
constexpr int kRoundTrips = 500;
constexpr int kBurst = 3000;

// The module alone: request bytes into its channel, reply bytes out.
double RawChannelP50(vmodule::VirtualModule& module) {
  const int fd = module.OpenChannel();
  if (fd < 0) return 0;
  const uint8_t request[] = {6, 3, 3, 0x49, 0x20};
  std::vector<double> samples;
  for (int i = 0; i < kRoundTrips; ++i) {
    const auto start = Clock::now();
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) break;
    size_t got = 0;
    uint8_t reply[64];
    while (got < 9) {  // address, length, 7 data bytes
      pollfd waiter{fd, POLLIN, 0};
      if (poll(&waiter, 1, 1000) <= 0) break;
      const ssize_t n = read(fd, reply + got, sizeof reply - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  close(fd);
  return bench::Percentile(samples, 50);
}

}  // namespace

int main(int, char** argv) {
  if (!vusb::RunUnderPreload(argv)) return 1;
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.heartbeatMs = 0;  // heartbeats would only add noise to the counts
  options.tcpPort = 0;
  options.discovery = false;
  vmodule::VirtualModule tcpModule(options);
  bench::RoundTripFigures tcp;
  {
    aLinkRef link =
        tcpModule.Start() ? aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), tcpModule.TcpPort()) : 0;
    if (!link) {
      std::printf("tcp: no link\n");
      return 1;
    }
    tcp = bench::MeasureRoundTrips(link, kRoundTrips, kBurst, kWindow);
    bench::PrintRoundTrips("tcp", tcp, 1000, 5000);
    aLink_Destroy(&link);
  }
  tcpModule.Stop();

  vusb::UsbBus bus;
  vusb::DeviceSpec spec;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", kSerial);
  spec.serial = serial;
  options.tcpPort = -1;
  const int id = bus.AddModule(spec, options);
  Corvantis_libusb_exit();
  aLinkRef link = aLink_CreateUSB(kSerial);
  if (!link) {
    std::printf("usb: no link\n");
    return 1;
  }
  const uint32_t ioctlsBefore = bus.counters(id).ioctls;
  const auto start = Clock::now();
  const bench::RoundTripFigures usb = bench::MeasureRoundTrips(link, kRoundTrips, kBurst, kWindow);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const uint32_t ioctls = bus.counters(id).ioctls - ioctlsBefore;
  bench::PrintRoundTrips("usb", usb, 5000, 500);
  aLink_Destroy(&link);
  const double raw = RawChannelP50(*bus.module(id));
  std::printf("usb/tcp: p50 %.2fx, throughput %.2fx\n", usb.p50Us / std::max(tcp.p50Us, 1.0),
              usb.pairsPerSecond / std::max(tcp.pairsPerSecond, 1.0));
  std::printf(
      "double's own overhead: usb p50 - tcp p50 = %.1f us per round trip (libusb, umockdev's ioctl socket, "
      "the double's %u us idle-reap pause); %.0f emulated ioctls per second during the run (%u in all); "
      "the module channel alone answers in %.1f us (p50)\n",
      usb.p50Us - tcp.p50Us, 2000u, ioctls / seconds, ioctls, raw);
  Corvantis_libusb_exit();
  return 0;
}
