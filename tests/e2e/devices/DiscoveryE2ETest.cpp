// updater -D against virtual modules: the USB list (a busy device, firmware
// with and without a name, devices that are not ours), the TCP/IP list and
// the scan of a router's bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "DeviceRig.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "tests/unit/transport/NetNamespace.h"

namespace {

const char* const kUsbHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char* const kTcpHeading =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";

std::string ModuleConfig(const std::string& serial, const std::string& version, int build,
                         const std::string& name) {
  return R"({"modules": [{"serial": ")" + serial + R"(", "model": 5, "version": ")" + version +
         R"(", "build": )" + std::to_string(build) + R"(, "name": ")" + name + R"("}]})";
}

TEST(DiscoverE2E, UsbListShowsBusyDeviceAndNamesFromFirmware2_10_4) {
  TempDir dir;
  WriteWholeFile(dir.path() + "/a.json", ModuleConfig("0000002A", "2.10.4", 77, "alpha"));
  WriteWholeFile(dir.path() + "/b.json", ModuleConfig("0000002B", "2.10.3", 78, "beta"));
  WriteWholeFile(dir.path() + "/bus.json", R"({"devices": [
    {"serial": "0000002A", "product": 5, "vmodule": "a.json"},
    {"serial": "0000002B", "product": 5, "vmodule": "b.json"},
    {"serial": "000000B5", "busy": true},
    {"serial": "00000C0C", "vendor": "1234"},
    {"serial": "00000B0B", "product": "8001"},
    {"serial": "1234567"}
  ]})");

  const RunResult r = RunOnUsbBus(dir.path() + "/bus.json", UpdaterArgs(dir, {"-D", "-t", "USB"}));
  ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Discovered Devices: (USB)\n" + std::string(kUsbHeading) + "\n"), std::string::npos)
      << r.out;
  std::vector<std::string> rows = LinesStartingWith(r.out, "    0");
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(
      rows,
      (std::vector<std::string>{
          "    0000002A  06       06      Osprey         2.10.4 (        77)         alpha",
          "    0000002B  06       06      Osprey         2.10.3 (        78)         ",
          "    000000B5  [Error (25): Device in use. Close all other Vorantix associated applications.]",
      }));
}

TEST(DiscoverE2E, EmptyUsbBusSaysNoDevicesFound) {
  TempDir dir;
  WriteWholeFile(dir.path() + "/bus.json", R"({"devices": [{"serial": "00000C0C", "vendor": "1234"}]})");
  const RunResult r = RunOnUsbBus(dir.path() + "/bus.json", UpdaterArgs(dir, {"-D", "-t", "USB"}));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
            "Searching for Corvantis devices\nDiscovered Devices: (USB)\n    No devices found.\n");
}

// Runs updater inside the namespace; "" when out holds every expected line.
std::string ExpectLines(const std::vector<std::string>& args, const std::vector<std::string>& expected) {
  TempDir dir;
  const RunResult r = RunProgram(UpdaterBinary(), UpdaterArgs(dir, args));
  if (r.exitStatus != 0) return "exit status " + std::to_string(r.exitStatus) + ": " + r.out + r.err;
  for (const std::string& line : expected)
    if (r.out.find(line + "\n") == std::string::npos) return "missing [" + line + "] in:\n" + r.out;
  return "";
}

TEST(DiscoverE2E, TcpListShowsAddressAndName) {
  RUN_IN_PRIVATE_NETWORK([] {
    BackgroundProcess module(VMODULE_BIN,
                             {"--tcp", "0", "--serial", "40F5849A", "--version", "2.10.4", "--build", "9",
                              "--name", "tcp-mod", "--discovery-if", kNamespaceModuleAddress},
                             "ready");
    return ExpectLines({"-D", "-t", "TCPIP"}, {"Discovered Devices: (TCPIP)", kTcpHeading,
                                               "    40F5849A  06       06      Osprey         2.10.4 (       "
                                               "  9)        [10.0.0.7]         tcp-mod"});
  });
}

TEST(DiscoverE2E, RouterBusScanListsModulesBehindItAndSkipsTheRouter) {
  RUN_IN_PRIVATE_NETWORK([] {
    TempDir dir;
    WriteWholeFile(dir.path() + "/router.json", R"({"modules": [
      {"serial": "00000100", "model": 13, "address": 2, "version": "2.15.0", "build": 5, "name": "router"},
      {"serial": "00000201", "model": 5, "address": 4, "version": "2.10.4", "build": 6, "name": "leaf-a"},
      {"serial": "00000202", "model": 5, "address": 8, "version": "2.10.3", "build": 7, "name": "leaf-b"}]})");
    BackgroundProcess module(
        VMODULE_BIN,
        {"--config", dir.path() + "/router.json", "--tcp", "0", "--discovery-if", kNamespaceModuleAddress},
        "ready");
    std::string failure = ExpectLines(
        {"-D", "-r", "100"},
        {"Searching for Corvantis Network devices connected to 00000100", "Discovered Devices: (Unknown)",
         kTcpHeading,
         "    00000201  04       02      Osprey         2.10.4 (         6)        [10.0.0.7]         ",
         "    00000202  08       02      Osprey         2.10.3 (         7)        [10.0.0.7]         "});
    if (!failure.empty()) return failure;
    return ExpectLines({"-D", "-r", "999", "-t", "TCPIP"},
                       {"Discovered Devices: (TCPIP)", "    No devices found."});
  });
}

}  // namespace
