// updater -U against the vmodule program on TCP/IP inside a private network
// namespace: the module's flash and the store's settings are checked after
// every run, not only the output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRig.h"
#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"
#include "sim/vmodule/Loader.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "tests/unit/transport/NetNamespace.h"

namespace {

constexpr const char* kSerial = "40F5849A";
constexpr uint32_t kSerialNumber = 0x40F5849A;
constexpr uint32_t kFirmwareAddress = 0x08004000;
constexpr size_t kImageSize = 40000;

struct BirdSpec {
  uint32_t build = 1002;
  std::string version = "2.16.0";
  uint32_t serial = kSerialNumber;
  std::string model = "Osprey";
};

// A BIRD file with one loader block and one virtual firmware image; returns
// the image so that the flash can be compared with it.
birdwriter::Bytes WriteBird(const std::string& path, const BirdSpec& spec) {
  birdwriter::Descriptor descriptor{spec.build, spec.version, spec.serial, spec.model};
  const birdwriter::Bytes image = birdwriter::VirtualFirmwareImage(descriptor, 5, kImageSize);
  birdwriter::Bytes loader(1000);
  for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<uint8_t>(i * 7);
  birdwriter::Writer writer;
  writer.AddLoader(0x20000000, loader, 1).AddFirmware(kFirmwareAddress, image).AddDescriptor(descriptor);
  WriteWholeFile(path, [&] {
    const birdwriter::Bytes file = writer.File();
    return std::string(file.begin(), file.end());
  }());
  return image;
}

// "" when the flash file holds exactly image at the firmware address.
std::string FlashHolds(const std::string& flashPath, const birdwriter::Bytes& image) {
  std::string error;
  const std::optional<vmodule::MemoryMap> flash = vmodule::ReadFlashFile(flashPath, &error);
  if (!flash) return "no flash file: " + error;
  if (flash->size() != 1 || flash->begin()->first != kFirmwareAddress) return "unexpected flash records";
  const auto& bytes = flash->begin()->second;
  if (bytes.size() != image.size() || !std::equal(bytes.begin(), bytes.end(), image.begin()))
    return "flash differs from the image";
  return "";
}

// One virtual module on TCP/IP, a scratch store and the updater binary.
struct UpdateRig {
  TempDir dir;
  std::string flash = dir.path() + "/module.flash";
  std::string store = dir.path() + "/home/updater/" + std::string(kSerial);
  std::optional<BackgroundProcess> module;

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--tcp",          "0",
                                  "--serial",       kSerial,
                                  "--model",        "5",
                                  "--version",      "2.15.3",
                                  "--build",        "1001",
                                  "--flash-out",    flash,
                                  "--discovery-if", kNamespaceModuleAddress};
    args.insert(args.end(), extra.begin(), extra.end());
    module.emplace(VMODULE_BIN, args, "ready");
  }
  RunResult Updater(const std::vector<std::string>& args) {
    RunOptions options;
    options.timeoutMs = 90000;
    return RunProgram(UpdaterBinary(), UpdaterArgs(dir, args), options);
  }
  std::string Settings() const {
    return FileExists(store + "/.settings") ? ReadWholeFile(store + "/.settings") : "";
  }
  static bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
};

// Collects failures inside the namespace child, where gtest cannot report.
struct Checks {
  std::string failures;
  void Expect(bool ok, const std::string& what) {
    if (!ok) failures += what + "\n";
  }
  void Contains(const std::string& text, const std::string& part) {
    Expect(text.find(part) != std::string::npos, "missing [" + part + "] in:\n" + text);
  }
};

TEST(UpdateE2E, FromFileLoadsTheImageRecordsThePathAndShowsTheNewBuild) {
  RUN_IN_PRIVATE_NETWORK([] {
    UpdateRig rig;
    const std::string bird = rig.dir.path() + "/fw.bird";
    const birdwriter::Bytes image = WriteBird(bird, {});
    rig.Start();
    Checks c;
    const RunResult r = rig.Updater({"-U", "-d", kSerial, "-f", bird});
    c.Expect(r.exitStatus == 0, "update failed: " + r.out + r.err);
    c.Contains(r.out, "Updating from Birdfile: " + bird + "\n");
    c.Contains(r.out,
               "Transferring loader to device\nTransferring loader block 1 of 1, 1004 bytes\n"
               "Transferred 1 blocks, 1004 total bytes\nStarting Load on Device\n");
    c.Contains(r.out, "Transferring firmware block 1 of 1, " + std::to_string(kImageSize + 4) + " bytes\n");
    c.Contains(r.out, "Update time: ");
    c.Expect(FlashHolds(rig.flash, image).empty(), FlashHolds(rig.flash, image));
    c.Contains(rig.Settings(), "LATEST_TRANSFER=" + bird + "\n");
    c.Contains(rig.Settings(), "LAST_TRANSFER_DATE=");
    const RunResult listed = rig.Updater({"-D", "-t", "TCPIP"});
    c.Contains(listed.out, "    40F5849A  06       06      Osprey         2.16.0 (      1002)");
    return c.failures;
  });
}

TEST(UpdateE2E, FromStoreTakesTheLatestDownloadAndRecordsItsName) {
  RUN_IN_PRIVATE_NETWORK([] {
    UpdateRig rig;
    std::filesystem::create_directories(rig.store);
    const birdwriter::Bytes image = WriteBird(rig.store + "/1002.bird", {});
    WriteWholeFile(rig.store + "/.settings", "LATEST_DOWNLOAD=1002.bird\n");
    rig.Start({"--loader-block-size", "4096"});
    Checks c;
    const RunResult r = rig.Updater({"-U", "-d", kSerial, "-m", "1"});
    c.Expect(r.exitStatus == 0, "update failed: " + r.out + r.err);
    c.Contains(r.out, "Updating with the Latest Download\nUpdating firmware with build: 1002\n");
    c.Expect(FlashHolds(rig.flash, image).empty(), FlashHolds(rig.flash, image));
    c.Contains(rig.Settings(), "LATEST_TRANSFER=1002.bird\n");
    return c.failures;
  });
}

// Refusals that end the update before any image byte reaches the device:
// the flash stays empty and nothing is recorded.
struct Refusal {
  const char* name;
  BirdSpec bird;
  std::vector<std::string> extraArgs;
  std::string serial;
  std::vector<std::string> err;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class UpdateRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(UpdateRefused, LeavesFlashAndStoreAlone) {
  const Refusal& refusal = GetParam();
  const auto body = [&refusal] {
    UpdateRig rig;
    const std::string bird = rig.dir.path() + "/fw.bird";
    WriteBird(bird, refusal.bird);
    rig.Start();
    std::vector<std::string> args{"-U", "-d", refusal.serial, "-f", bird};
    args.insert(args.end(), refusal.extraArgs.begin(), refusal.extraArgs.end());
    Checks c;
    const RunResult r = rig.Updater(args);
    c.Expect(r.exitStatus == 1, "exit status " + std::to_string(r.exitStatus));
    for (const std::string& line : refusal.err) c.Contains(r.err, line + "\n");
    c.Expect(!UpdateRig::FileExists(rig.flash), "the flash was written");
    c.Expect(rig.Settings().find("LATEST_TRANSFER") == std::string::npos, "a transfer was recorded");
    return c.failures;
  };
  RUN_IN_PRIVATE_NETWORK(body);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateRefused,
    ::testing::Values(
        Refusal{"ModelMismatch",
                {1002, "2.16.0", kSerialNumber, "Heron"},
                {},
                kSerial,
                {"Connected device model and Bird file model do not match [Osprey] (0)",
                 "Birdfile failed validation"}},
        Refusal{"SerialMismatch",
                {1002, "2.16.0", 0x12345678, "Osprey"},
                {},
                kSerial,
                {"Birdfile failed validation"}},
        Refusal{"DeviceNotFound", {}, {}, "0BADF00D", {"Failed to connect to module [0BADF00D]"}},
        Refusal{"RouterNotFound", {}, {"-r", "0BADF00D"}, kSerial, {"Unable to find modules on Network"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateE2E, OverrideSkipsTheModelCheck) {
  RUN_IN_PRIVATE_NETWORK([] {
    UpdateRig rig;
    const std::string bird = rig.dir.path() + "/fw.bird";
    const birdwriter::Bytes image = WriteBird(bird, {1002, "2.16.0", kSerialNumber, "Heron"});
    rig.Start();
    Checks c;
    const RunResult r = rig.Updater({"-U", "-d", kSerial, "-f", bird, "-OVERRIDE"});
    c.Expect(r.exitStatus == 0, "update failed: " + r.out + r.err);
    c.Expect(FlashHolds(rig.flash, image).empty(), FlashHolds(rig.flash, image));
    return c.failures;
  });
}

TEST(UpdateE2E, BlockFailingTwiceIsRetriedAndTheUpdateGoesOn) {
  RUN_IN_PRIVATE_NETWORK([] {
    UpdateRig rig;
    const std::string bird = rig.dir.path() + "/fw.bird";
    const birdwriter::Bytes image = WriteBird(bird, {});
    // Plain data packets (-m 0): the loader block takes 39 of them; from the
    // firmware's first one on the count is answered wrong 12 times, which is
    // two attempts of 1 + 5 resends.
    rig.Start({"--loader-knob", "wrong-count=40", "--loader-knob", "wrong-count-repeat=12"});
    Checks c;
    const RunResult r = rig.Updater({"-U", "-d", kSerial, "-f", bird, "-m", "0"});
    c.Expect(r.exitStatus == 0, "update failed: " + r.out + r.err);
    c.Contains(r.out, "  Retry 1\n");
    c.Contains(r.out, "  Retry 2\n");
    c.Expect(r.out.find("  Retry 3") == std::string::npos, "a third retry");
    c.Expect(FlashHolds(rig.flash, image).empty(), FlashHolds(rig.flash, image));
    return c.failures;
  });
}

TEST(UpdateE2E, ModuleThatNeverComesBackAfterLoadFailsAndRecordsNothing) {
  RUN_IN_PRIVATE_NETWORK([] {
    UpdateRig rig;
    const std::string bird = rig.dir.path() + "/fw.bird";
    WriteBird(bird, {});
    rig.Start({"--loader-knob", "never-back-after-load=1"});
    Checks c;
    const RunResult r = rig.Updater({"-U", "-d", kSerial, "-f", bird, "-X", "1"});
    c.Expect(r.exitStatus == 1, "exit status " + std::to_string(r.exitStatus));
    c.Contains(r.err, "Failed _transfer_firmware(): ");
    c.Expect(!UpdateRig::FileExists(rig.flash), "the flash was written");
    c.Expect(rig.Settings().find("LATEST_TRANSFER") == std::string::npos, "a transfer was recorded");
    return c.failures;
  });
}

TEST(UpdateE2E, ThroughRouterAddressesTheModuleFoundOnItsBus) {
  RUN_IN_PRIVATE_NETWORK([] {
    TempDir dir;
    WriteWholeFile(dir.path() + "/router.json", R"({"modules": [
      {"serial": "00000100", "model": 13, "address": 2, "version": "2.15.0", "build": 5, "name": "router"},
      {"serial": "00000201", "model": 5, "address": 4, "version": "2.10.4", "build": 6, "name": "leaf-a"},
      {"serial": "00000202", "model": 5, "address": 8, "version": "2.10.4", "build": 7, "name": "leaf-b"}]})");
    const std::string bird = dir.path() + "/fw.bird";
    const birdwriter::Bytes image = WriteBird(bird, {2001, "2.16.1", 0x202, "Osprey"});
    const std::string flash = dir.path() + "/bus.flash";
    BackgroundProcess module(VMODULE_BIN,
                             {"--config", dir.path() + "/router.json", "--tcp", "0", "--discovery-if",
                              kNamespaceModuleAddress, "--flash-out", flash},
                             "ready");
    Checks c;
    RunOptions options;
    options.timeoutMs = 90000;
    RunResult r =
        RunProgram(UpdaterBinary(), UpdaterArgs(dir, {"-U", "-d", "202", "-r", "100", "-f", bird}), options);
    c.Expect(r.exitStatus == 0, "update failed: " + r.out + r.err);
    c.Expect(FlashHolds(flash + ".8", image).empty(), "leaf at 8: " + FlashHolds(flash + ".8", image));
    c.Expect(!UpdateRig::FileExists(flash + ".4"), "the module at 4 was written");
    r = RunProgram(UpdaterBinary(), UpdaterArgs(dir, {"-U", "-d", "303", "-r", "100", "-f", bird}), options);
    c.Expect(r.exitStatus == 1, "exit status " + std::to_string(r.exitStatus));
    c.Contains(
        r.err,
        "Module address required for indirect firmware update, could not find serial number [0x00000303] on "
        "network\n");
    return c.failures;
  });
}

// Choices that fail before a device is looked for.
TEST(UpdateE2E, NoBuildAndMissingBuildFailWithoutTouchingTheDevice) {
  TempDir dir;
  RunResult r = RunProgram(UpdaterBinary(), UpdaterArgs(dir, {"-U", "-d", kSerial}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Could not find valid build for this device.\n");
  r = RunProgram(UpdaterBinary(), UpdaterArgs(dir, {"-U", "-d", kSerial, "-b", "1234"}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Failed to load bird file\n");
  EXPECT_NE(r.out.find("Updating firmware with build: 1234\n"), std::string::npos) << r.out;
}

}  // namespace
