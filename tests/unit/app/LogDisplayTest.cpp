#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

class RecordingDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { lines.push_back("I:" + std::string(text)); }
  void error_message(const char* text) override { lines.push_back("E:" + std::string(text)); }
  std::vector<std::string> lines;
};

// Collects what the log writes while alive.
class LogCapture {
 public:
  LogCapture() : mem_(open_memstream(&data_, &size_)) {
    Log::SetOutput(mem_);
    Log::package_bitmask = 0;
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    fclose(mem_);
    free(data_);
  }
  std::string text() {
    fflush(mem_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* mem_;
};

}  // namespace

TEST(Display, RoutesMutesAndCuts) {
  RecordingDisplay d;
  d.message(UpdaterDisplayInterface::LEVEL_INFO, "a %d", 1);
  d.message(UpdaterDisplayInterface::LEVEL_ERROR, "b %s", "x");
  d.mute_messages(true);
  d.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
  d.mute_messages(false);
  d.message(UpdaterDisplayInterface::LEVEL_ERROR, "shown");
  d.message(static_cast<UpdaterDisplayInterface::Level>(7), "other levels are info");
  EXPECT_EQ(d.lines, (std::vector<std::string>{"I:a 1", "E:b x", "E:shown", "I:other levels are info"}));

  std::string long_text(3000, 'z');
  d.lines.clear();
  d.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", long_text.c_str());
  ASSERT_EQ(d.lines.size(), 1u);
  EXPECT_EQ(d.lines[0].size(), 2u + 2047u);
}

TEST(Log, PackagesGateLinesAndZeroAlwaysWrites) {
  LogCapture capture;
  Log::log(DEBUG_Updater, "off %d\n", 1);
  Log::log(0, "always\n");
  Log::ActivatePackage(DEBUG_Updater | DEBUG_APP);
  Log::log(DEBUG_Updater, "on %d\n", 2);
  Log::log(DEBUG_APP | DEBUG_BirdFile, "any shared bit\n");
  Log::DeactivatePackage(DEBUG_Updater);
  Log::log(DEBUG_Updater, "off again\n");
  Log::log(DEBUG_BirdFile, "other package\n");
  EXPECT_EQ(capture.text(), "always\non 2\nany shared bit\n");
}

TEST(Log, CutsAt2047AndWritesNothingWithoutOutput) {
  {
    LogCapture capture;
    std::string long_text(3000, 'q');
    Log::log(0, "%s", long_text.c_str());
    EXPECT_EQ(capture.text().size(), 2047u);
  }
  Log::log(0, "no output set: dropped\n");  // must not crash
}
