// Firmware update throughput: a 512 KiB image sent by the loader entity
// (TransferPrepare + FirmwareTransfer, the chunks with their sums and
// writes) to the virtual module over TCP loopback and over the USB test
// double, with plain DATA packets, UEI byte transfers, and UEI with pooled
// packets, at loader block sizes 512 and 4096.
//
// For every run, measured in the same run on the same transport:
//   rtt        round trip of a small request (TCP: a raw socket ping-pong;
//              USB: a build query through the link, the double has no
//              rawer path)
//   bandwidth  one-way bytes per second (TCP: a raw socket stream; USB:
//              a burst of unanswered packets through the link)
//   minimum    protocol wire bytes / bandwidth + protocol round trips * rtt
//   efficiency minimum / measured; the goal is at least 0.8.
// Then the full-speed USB emulation (the module takes the host's bytes at
// 1.216 MB/s and holds replies to the next 1 ms frame), UEI + pooled, as a
// share of 1.216 MB/s. Memory: peak resident set (VmHWM, this process,
// device side included) during each update against 4 x the BIRD file's
// decompressed size + 16 MiB.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Corvantis2/api/Link.h"
#include "Corvantis2/api/Module.h"
#include "Corvantis2/unix/cvusb.h"
#include "app/UpdaterDisplayInterface.h"
#include "loader/UpdaterEntity.h"
#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"
#include "sim/vmodule/Loader.h"
#include "sim/vmodule/VirtualModule.h"
#include "sim/vusb/UsbBus.h"
#include "tests/support/LoopbackPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Vorantix::Corvantis;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0000002A;
constexpr uint32_t kFirmwareAddress = 0x08000000;
constexpr size_t kImageSize = 512 * 1024;
constexpr double kGoal = 0.8;
constexpr double kFullSpeed = 1216000.0;

class Quiet final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Bytes Block(uint32_t address, const Bytes& image) {
  Bytes block(4 + image.size());
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  std::copy(image.begin(), image.end(), block.begin() + 4);
  return block;
}

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

// Lets VmHWM start again from the current resident set.
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A connected loopback socket pair; false on failure.
bool TcpPair(int* client, int* server) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    close(listener);
    return false;
  }
  *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(*client, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(listener);
    close(*client);
    return false;
  }
  *server = accept(listener, nullptr, nullptr);
  close(listener);
  NoDelay(*client);
  NoDelay(*server);
  return *server >= 0;
}

bool ReadFull(int fd, uint8_t* buffer, size_t length) {
  while (length > 0) {
    const ssize_t got = read(fd, buffer, length);
    if (got <= 0) return false;
    buffer += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

struct Baseline {
  double rtt = 0;        // seconds
  double bandwidth = 0;  // bytes per second
};

// Raw TCP loopback: median ping-pong of a 5-byte request and reply, and a
// 16 MiB one-way stream in 4 KiB writes.
Baseline RawTcp() {
  Baseline b;
  int client = -1, server = -1;
  if (!TcpPair(&client, &server)) return b;
  constexpr int kPings = 2000;
  std::thread echo([server] {
    uint8_t bytes[5];
    for (int i = 0; i < kPings; ++i) {
      if (!ReadFull(server, bytes, sizeof bytes) || write(server, bytes, sizeof bytes) != 5) return;
    }
  });
  std::vector<double> times;
  uint8_t bytes[5] = {2, 3, 0x49, 0xFF, 0};
  for (int i = 0; i < kPings; ++i) {
    const auto start = Clock::now();
    if (write(client, bytes, sizeof bytes) != 5 || !ReadFull(client, bytes, sizeof bytes)) break;
    times.push_back(Seconds(Clock::now() - start));
  }
  echo.join();
  std::sort(times.begin(), times.end());
  if (!times.empty()) b.rtt = times[times.size() / 2];

  constexpr size_t kStream = 16u << 20;
  std::thread sink([server] {
    std::vector<uint8_t> buffer(65536);
    size_t total = 0;
    while (total < kStream) {
      const ssize_t got = read(server, buffer.data(), buffer.size());
      if (got <= 0) return;
      total += static_cast<size_t>(got);
    }
    const uint8_t done = 1;
    (void)!write(server, &done, 1);
  });
  std::vector<uint8_t> chunk(4096, 0x5A);
  const auto start = Clock::now();
  for (size_t sent = 0; sent < kStream; sent += chunk.size())
    if (write(client, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
  uint8_t done = 0;
  (void)ReadFull(client, &done, 1);
  b.bandwidth = kStream / Seconds(Clock::now() - start);
  sink.join();
  close(client);
  close(server);
  return b;
}

// Through the link (the USB double has no rawer path): median build query,
// and a burst of 28-byte packets to an address nobody answers, closed by
// one answered query.
Baseline ThroughLink(Module& module) {
  Baseline b;
  std::vector<double> times;
  uint32_t build = 0;
  for (int i = 0; i < 300; ++i) {
    const auto start = Clock::now();
    if (module.getBuild(&build) != aErrNone) break;
    times.push_back(Seconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  if (!times.empty()) b.rtt = times[times.size() / 2];
  Link* link = module.getLink();
  if (!link) return b;
  link->enablePooledPackets(true);
  constexpr int kPackets = 8000;
  uint8_t data[28] = {23};
  const auto start = Clock::now();
  for (int i = 0; i < kPackets; ++i) link->sendPacket(200, 23, 27, data + 1);
  module.getBuild(&build);
  b.bandwidth = kPackets * 30.0 / Seconds(Clock::now() - start);
  link->enablePooledPackets(false);
  return b;
}

enum class Mode { kPlain, kUei, kUeiPooled };
const char* ModeName(Mode m) { return m == Mode::kPlain ? "plain" : m == Mode::kUei ? "uei" : "uei+pooled"; }

// The protocol's own cost of one firmware block: wire bytes host to
// device and round trips.
void ProtocolCost(Mode mode, size_t size, size_t blockSize, double* wireBytes, double* roundTrips) {
  const size_t chunks = (size + blockSize - 1) / blockSize;
  *wireBytes = 2 + 7;  // PREPARE
  *roundTrips = 1;     // PREPARE
  for (size_t c = 0; c < chunks; ++c) {
    const size_t bytes = std::min(blockSize, size - c * blockSize);
    if (mode == Mode::kPlain) {
      const size_t packets = (bytes + 25) / 26;
      *wireBytes += bytes + packets * 4;  // address, length, 5F 01
      *roundTrips += packets;
    } else {
      const size_t packets = (bytes + 23) / 24;
      *wireBytes += bytes + packets * 6;  // address, length, 5F 8A 20, sequence
      *roundTrips += 1;
    }
    *wireBytes += 4 + 6;  // SUM, WRITE
    *roundTrips += 2;
  }
}

struct Run {
  bool ok = false;
  double seconds = 0;
  long peakKiB = 0;
};

// Connects, starts the loader, then times the firmware block.
Run Update(Module& module, vmodule::LoaderModel& loader, Mode mode, const Bytes& loaderBlock,
           const Bytes& firmwareBlock) {
  Run run;
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  Quiet quiet;
  uint16_t blockSize = 0;
  if (entity.LoaderInit() != aErrNone ||
      entity.TransferPrepare(loaderBlock.data(), static_cast<uint32_t>(loaderBlock.size()), 1, blockSize) !=
          aErrNone ||
      entity.LoaderTransfer(loaderBlock.data(), static_cast<uint32_t>(loaderBlock.size())) != aErrNone ||
      entity.LoaderStart() != aErrNone)
    return run;
  if (mode != Mode::kPlain && entity.CheckUEIDataSupport() != aErrNone) return run;
  if (mode == Mode::kUeiPooled && entity.CheckPooledPacketsSupport() != aErrNone) return run;
  ResetPeak();
  const auto start = Clock::now();
  const uint32_t length = static_cast<uint32_t>(firmwareBlock.size());
  run.ok = entity.TransferPrepare(firmwareBlock.data(), length, 0, blockSize) == aErrNone &&
           entity.FirmwareTransfer(firmwareBlock.data(), length, blockSize, quiet) == aErrNone;
  run.seconds = Seconds(Clock::now() - start);
  run.peakKiB = StatusKiB("VmHWM:");
  const auto flash = loader.Flash();
  const auto at = flash.find(kFirmwareAddress);
  run.ok = run.ok && at != flash.end() &&
           std::equal(at->second.begin(), at->second.end(), firmwareBlock.begin() + 4, firmwareBlock.end());
  return run;
}

vmodule::Options DeviceOptions(uint16_t blockSize) {
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.modules[0].address = 2;
  options.heartbeatMs = 0;
  options.tcpPort = 0;
  options.discovery = false;
  options.loaderBlockSize = blockSize;
  options.loaderRestartMs = 50;
  options.loaderRebootMs = 50;
  return options;
}

linkSpec TcpSpec(uint16_t port) { return LoopbackTcpSpec(port, kSerial); }

void Print(const char* transport, Mode mode, uint16_t blockSize, const Run& run, const Baseline& base,
           long limitKiB) {
  if (!run.ok) {
    std::printf("%-4s %-10s %5u  FAILED\n", transport, ModeName(mode), blockSize);
    return;
  }
  double wire = 0, trips = 0;
  ProtocolCost(mode, kImageSize, blockSize, &wire, &trips);
  const double minimum = wire / base.bandwidth + trips * base.rtt;
  std::printf(
      "%-4s %-10s %5u  %10.0f B/s  rtt %7.1f us  bw %8.1f MB/s  min %7.3f s  took %7.3f s  "
      "efficiency %.2f (goal %.1f)  peak RSS %ld KiB / limit %ld KiB = %.2f\n",
      transport, ModeName(mode), blockSize, kImageSize / run.seconds, base.rtt * 1e6, base.bandwidth / 1e6,
      minimum, run.seconds, minimum / run.seconds, kGoal, run.peakKiB, limitKiB,
      static_cast<double>(run.peakKiB) / limitKiB);
}

}  // namespace

int main(int argc, char** argv) {
  if (!vusb::RunUnderPreload(argv)) return 1;
  // --quick (the test suite's run) leaves out the USB runs without pooled
  // packets: each takes more than a minute through the double.
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  birdwriter::Descriptor descriptor;
  descriptor.build = 300;
  descriptor.version = "2.16.0";
  descriptor.serial = kSerial;
  descriptor.model = "Osprey";
  const Bytes image = birdwriter::VirtualFirmwareImage(descriptor, 5, kImageSize);
  Bytes loaderImage(2048);
  for (size_t i = 0; i < loaderImage.size(); ++i) loaderImage[i] = static_cast<uint8_t>(i * 13);
  const Bytes loaderBlock = Block(0x20000000, loaderImage);
  const Bytes firmwareBlock = Block(kFirmwareAddress, image);
  // The decompressed BIRD payload: block count, both blocks with headers, checksum.
  const long birdBytes = static_cast<long>(4 + 5 + loaderBlock.size() + 5 + firmwareBlock.size() + 4);
  const long limitKiB = (4 * birdBytes + (16l << 20)) / 1024;
  std::printf("update of a %zu-byte image; memory limit 4 x %ld + 16 MiB\n", kImageSize, birdBytes);

  const Mode modes[] = {Mode::kPlain, Mode::kUei, Mode::kUeiPooled};
  const uint16_t sizes[] = {512, 4096};
  int failures = 0;
  for (Mode mode : modes) {
    for (uint16_t blockSize : sizes) {
      const Baseline base = RawTcp();
      vmodule::VirtualModule device(DeviceOptions(blockSize));
      if (!device.Start()) return 1;
      Module module(0, static_cast<uint8_t>(0));
      if (module.connectFromSpec(TcpSpec(device.TcpPort())) != aErrNone) return 1;
      const Run run = Update(module, device.loader(0), mode, loaderBlock, firmwareBlock);
      failures += !run.ok;
      Print("tcp", mode, blockSize, run, base, limitKiB);
      module.disconnect();
      device.Stop();
    }
  }
  std::fflush(stdout);
  for (Mode mode : modes) {
    for (uint16_t blockSize : sizes) {
      if (quick && mode != Mode::kUeiPooled) {
        std::printf("usb %s block %u: left out (--quick)\n", ModeName(mode), blockSize);
        continue;
      }
      Corvantis_libusb_exit();
      vusb::UsbBus bus;
      vusb::DeviceSpec spec;
      spec.serial = "0000002A";
      spec.product = 5;
      spec.vendor = vusb::kCorvantisVendor;
      spec.maxPacket = 512;
      vmodule::Options options = DeviceOptions(blockSize);
      options.tcpPort = -1;
      const int id = bus.AddModule(spec, options);
      Module module(0, static_cast<uint8_t>(0));
      if (module.connect(USB, kSerial) != aErrNone) {
        std::printf("usb: no link\n");
        return 1;
      }
      const Baseline base = ThroughLink(module);
      const Run run = Update(module, bus.module(id)->loader(0), mode, loaderBlock, firmwareBlock);
      failures += !run.ok;
      Print("usb", mode, blockSize, run, base, limitKiB);
      module.disconnect();
      Corvantis_libusb_exit();
    }
  }
  std::fflush(stdout);
  // Full-speed USB emulated on the module's side of a TCP loopback link.
  for (uint16_t blockSize : sizes) {
    vmodule::VirtualModule device(DeviceOptions(blockSize));
    if (!device.Start()) return 1;
    device.knobs().inBytesPerSecond = static_cast<uint32_t>(kFullSpeed);
    device.knobs().replyFrameUs = 1000;
    Module module(0, static_cast<uint8_t>(0));
    if (module.connectFromSpec(TcpSpec(device.TcpPort())) != aErrNone) return 1;
    const Run run = Update(module, device.loader(0), Mode::kUeiPooled, loaderBlock, firmwareBlock);
    failures += !run.ok;
    if (run.ok)
      std::printf("full-speed USB emulation, uei+pooled, block %u: %.0f B/s = %.2f of 1.216 MB/s\n",
                  blockSize, kImageSize / run.seconds, kImageSize / run.seconds / kFullSpeed);
    else
      std::printf("full-speed USB emulation, block %u: FAILED\n", blockSize);
    module.disconnect();
    device.Stop();
  }
  return failures ? 1 : 0;
}
