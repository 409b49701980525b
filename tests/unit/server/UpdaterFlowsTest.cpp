// The download, build-check and recovery-download flows of Updater against
// the virtual update server, with a display that records what it was told.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ServerTestSupport.h"
#include "app/Log.h"
#include "app/Updater.h"

namespace fs = std::filesystem;

namespace {

class RecordingDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool active, const char* label) override {
    spinner.push_back(active);
    EXPECT_STREQ(label, "Downloading");
  }
  void info_message(const char* text) override { info.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> info, errors;
  std::vector<bool> spinner;
};

const uint32_t kSerial = 0x0000ABCD;

class UpdaterFlows : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddDevice("0000ABCD", "102", "FW-7", {{"100", "2.9.0"}, {"101", "2.10.1"}, {"102", "2.10.2"}});
  }
  Updater MakeUpdater() { return Updater(server.url().c_str(), store.path().c_str(), display); }
  std::string DeviceDir() const { return store.path() + "/0000ABCD"; }

  VServer server;
  TempDir store;
  RecordingDisplay display;
};

}  // namespace

TEST_F(UpdaterFlows, BadBuildTextOrSerialFailsBeforeAnyRequest) {
  Updater updater = MakeUpdater();
  for (const char* text : {"12abc", "-1", " 7", "4294967296", "0x10"}) {
    display.errors.clear();
    EXPECT_EQ(updater.Download_Firmware(kSerial, text, false, false), 0u) << text;
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Build number '" + std::string(text) + "' must be an number"});
  }
  display.errors.clear();
  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UpdaterFlows, DownloadTurnsTheSpinnerUntilTheFileArrives) {
  server.Fault("bird", "slow=800");
  Updater updater = MakeUpdater();
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 102u);
  ASSERT_GE(display.spinner.size(), 4u);  // at once, then about every 100 ms
  EXPECT_TRUE(display.spinner.front());
  EXPECT_FALSE(display.spinner.back());
  EXPECT_EQ(std::count(display.spinner.begin(), display.spinner.end(), false), 1);
  EXPECT_EQ(ReadWholeFile(DeviceDir() + "/102.bird"), ReadWholeFile(server.catalog() + "/0000ABCD/102.bird"));
}

TEST_F(UpdaterFlows, BuildCheckMatchesNumbersOnly) {
  LogCapture log;
  Log::ActivatePackage(DEBUG_Updater);
  server.Canned("builds", 200, "ok\n100;1.0.0\n101;1.0.1\nx;9.9.9\n");
  const char* url = server.url().c_str();
  EXPECT_TRUE(_valid_build(kSerial, 101, url));
  EXPECT_FALSE(_valid_build(kSerial, 102, url));
  EXPECT_FALSE(_valid_build(kSerial, 0, url));  // "x" is no build, not build 0
  Log::DeactivatePackage(DEBUG_Updater);
  EXPECT_NE(log.text().find("Error: Could not convert x to int.\n"), std::string::npos) << log.text();
  server.Fault("builds", "status=500");
  EXPECT_FALSE(_valid_build(kSerial, 101, url));
}

TEST_F(UpdaterFlows, FailedWriteStoresNothing) {
  // A directory where the download is staged makes the write fail.
  fs::create_directories(DeviceDir() + "/.102.bird.download/blocker");
  Updater updater = MakeUpdater();
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
  EXPECT_FALSE(fs::exists(DeviceDir() + "/102.bird"));
  const std::string settings =
      fs::exists(DeviceDir() + "/.settings") ? ReadWholeFile(DeviceDir() + "/.settings") : "";
  EXPECT_EQ(settings.find("LATEST_DOWNLOAD"), std::string::npos) << settings;
}

TEST_F(UpdaterFlows, DownloadByChipIdentifier) {
  server.WriteFile("recovery", "00000001 00000002 00000003 00000004 0000ABCD 101\n");
  Updater updater = MakeUpdater();
  Fingerprint chip;
  chip.word[0] = 1, chip.word[1] = 2, chip.word[2] = 3, chip.word[3] = 4;
  EXPECT_EQ(updater.Download_Firmware(chip, "", false), 101u);  // the recovery build
  EXPECT_TRUE(fs::exists(DeviceDir() + "/101.bird"));
  EXPECT_EQ(updater.Download_Firmware(chip, "100", false), 100u);  // a build given wins
  EXPECT_TRUE(fs::exists(DeviceDir() + "/100.bird"));

  chip.word[3] = 5;
  EXPECT_EQ(updater.Download_Firmware(chip, "", false), 0u);
  EXPECT_EQ(display.errors.back(), "Failed to retrieve recovery information from Vorantix update server");
}
