// Transport baselines against the virtual module, for later benchmarks to
// compare with:
//  1. round-trip latency of a system-entity get (serial number) through a
//     link over TCP (loopback) and over a pseudo-terminal (COBS frames at
//     115200 baud setting; a pty does not pace bytes);
//  2. throughput: 5,000 requests with up to 64 in flight (pooled writes),
//     in request/reply pairs per second.
// TCP is measured on loopback and, as root, over a veth pair inside a
// private network namespace (the module found by UDP discovery).
// Figures are printed with their ratio against a stated limit (below 1 is
// within the limit).
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Corvantis2/common/aDiscovery.h"
#include "Corvantis2/common/aLinkCreate.h"
#include "bench/support/LinkRoundTrips.h"
#include "sim/vmodule/VirtualModule.h"
#include "tests/unit/transport/NetNamespace.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSerial = 0x0BE4C400;
constexpr int kWindow = 64;

constexpr int kRoundTrips = 2000;
constexpr int kBurst = 5000;

// Over the veth pair of a private network namespace (needs root): the
// module at 10.0.0.7, found by discovery as a client would.
std::string TcpOverVeth() {
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.heartbeatMs = 1000;
  options.tcpPort = 6000;
  options.discoveryInterfaces = {kNamespaceModuleAddress};
  vmodule::VirtualModule module(options);
  if (!module.Start()) return "veth: module did not start";
  in_addr host{};
  inet_pton(AF_INET, kNamespaceHostAddress, &host);
  linkSpec* spec = aDiscovery_FindModule(TCPIP, kSerial, host.s_addr);
  if (!spec) return "veth: discovery found nothing";
  aLinkRef link = aLink_CreateTCPIP(spec->serialNumber, spec->ipAddress, spec->ipPort);
  aLinkSpec_Destroy(&spec);
  if (!link) return "veth: no link";
  bench::PrintRoundTrips("veth", bench::MeasureRoundTrips(link, kRoundTrips, kBurst, kWindow), 1000, 5000);
  std::fflush(stdout);
  aLink_Destroy(&link);
  return "";
}

}  // namespace

int main() {
  int status = 0;
  // First, while this process has no threads yet (it forks).
  if (geteuid() == 0) {
    const NamespaceResult veth = RunInPrivateNetwork(TcpOverVeth);
    if (!veth.ran || !veth.message.empty()) std::printf("veth: skipped: %s\n", veth.message.c_str());
  } else {
    std::printf("veth: skipped (needs root for a private network namespace)\n");
  }
  {
    vmodule::Options options;
    options.modules[0].serial = kSerial;
    options.heartbeatMs = 1000;
    options.tcpPort = 0;
    options.discovery = false;
    vmodule::VirtualModule module(options);
    aLinkRef link = module.Start() ? aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), module.TcpPort()) : 0;
    if (!link) {
      std::printf("tcp: no link\n");
      status = 1;
    } else {
      bench::PrintRoundTrips("tcp", bench::MeasureRoundTrips(link, kRoundTrips, kBurst, kWindow), 1000, 5000);
      aLink_Destroy(&link);
    }
  }
  {
    char dir[] = "/tmp/transport-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    vmodule::Options options;
    options.modules[0].serial = kSerial;
    options.heartbeatMs = 1000;
    options.ptyLink = std::string(dir) + "/ttyV";
    vmodule::VirtualModule module(options);
    aLinkRef link = module.Start() ? aLink_CreateSerial(kSerial, options.ptyLink.c_str(), 115200) : 0;
    if (!link) {
      std::printf("pty: no link\n");
      status = 1;
    } else {
      bench::PrintRoundTrips("pty", bench::MeasureRoundTrips(link, kRoundTrips, kBurst, kWindow), 2000, 2000);
      aLink_Destroy(&link);
    }
    module.Stop();
    rmdir(dir);
  }
  return status;
}
