#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/CommandLine.h"
#include "app/Log.h"

namespace {

struct Parsed {
  int result;
  Parameters params;
  std::string err;
};

Parsed Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/bin/updater");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  CLI_Display display;
  Parsed p;
  Log::package_bitmask = 0;
  testing::internal::CaptureStderr();
  p.result = _get_params(display, static_cast<int>(argv.size()), argv.data(), &p.params);
  p.err = testing::internal::GetCapturedStderr();
  Log::package_bitmask = 0;
  return p;
}

}  // namespace

TEST(GetParams, Defaults) {
  Parsed p = Parse({});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.commands.Mask(), 0u);
  EXPECT_EQ(p.params.transport, 1);
  EXPECT_EQ(p.params.baud_rate, 115200u);
  EXPECT_TRUE(p.params.uei_bytes);
  EXPECT_EQ(p.params.update_server, "http://update.vorantix.example/cgi/u");
  EXPECT_EQ(p.params.app_name, "updater");
  EXPECT_EQ(p.params.log_file, "Updater.log");
  EXPECT_EQ(p.params.log_mode, "a+");
  EXPECT_FALSE(p.params.home_dir.empty());
}

TEST(GetParams, SerialNumbersAndBuilds) {
  EXPECT_EQ(Parse({"-d", "0x1a2b"}).params.serial_num, 0x1A2Bu);
  EXPECT_EQ(Parse({"-d", "1A2B"}).params.serial_num, 0x1A2Bu);
  EXPECT_EQ(Parse({"-r", "0XD272031D"}).params.router_serial, 0xD272031Du);
  for (const char* bad : {"12XY", "0", "0x", "0x0"}) {
    Parsed p = Parse({"-d", bad});
    EXPECT_EQ(p.result, 1) << bad;
    std::string shown = std::string(bad).rfind("0x", 0) == 0 ? std::string(bad).substr(2) : bad;
    EXPECT_EQ(p.err, "Invalid serial number obtained from argument [" + shown + "]\n") << bad;
  }
  Parsed r = Parse({"-r", "zz"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "Invalid router serial number obtained from argument [zz]\n");
  EXPECT_EQ(Parse({"-b", "abc"}).params.build_num, "0");
  EXPECT_EQ(Parse({"-b", "0042"}).params.build_num, "42");
  EXPECT_EQ(Parse({"-b"}).params.build_num, "") << "a missing value is skipped";
  EXPECT_EQ(Parse({"-o", "9600"}).params.baud_rate, 9600u);
  EXPECT_EQ(Parse({"-o", "fast"}).params.baud_rate, 0u);
}

TEST(GetParams, Transports) {
  struct Case {
    const char* value;
    int transport;
    int result;
  };
  for (const Case& c : {Case{"USB", 1, 0}, Case{"TCP", 2, 0}, Case{"TCPIP", 2, 0}, Case{"RECOVER", 255, 0},
                        Case{"RECOVERY", 255, 0}, Case{"tcp", 0, 1}, Case{"serial", 0, 1}}) {
    Parsed p = Parse({"-t", c.value});
    EXPECT_EQ(p.params.transport, c.transport) << c.value;
    EXPECT_EQ(p.result, c.result) << c.value;
    EXPECT_TRUE(p.params.transport_given);
    if (c.result) {
      EXPECT_EQ(p.err, std::string("Invalid transport type:[") + c.value +
                           "]\nMust be one of the following: USB, TCPIP, RECOVER\n");
    }
  }
}

TEST(GetParams, ServerChoices) {
  EXPECT_EQ(Parse({"--https"}).params.update_server, "https://update.vorantix.example/cgi/u");
  EXPECT_EQ(Parse({"-u", "http://127.0.0.1:8080/cgi/u"}).params.update_server, "http://127.0.0.1:8080/cgi/u");
  const std::string multiple =
      "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n";
  for (auto words :
       {std::vector<std::string>{"--http", "--https"}, std::vector<std::string>{"--http", "--http"},
        std::vector<std::string>{"-u", "x", "--https"}}) {
    Parsed p = Parse(words);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.err, multiple);
  }
}

TEST(GetParams, HelpStopsParsing) {
  Parsed p = Parse({"-X", "1", "-h", "-d", "zz"});
  EXPECT_EQ(p.result, 0);
  EXPECT_TRUE(p.params.help);
  EXPECT_TRUE(p.params.debug_given);
  EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
  EXPECT_EQ(p.err, "") << "nothing after help is examined";
  EXPECT_FALSE(Parse({"-h", "-X", "1"}).params.debug_given);
}

TEST(GetParams, DebugMask) {
  Parsed hex = Parse({"-X", "0x10001"});
  EXPECT_EQ(hex.params.debug_mask, 0x10001u);
  EXPECT_EQ(Parse({"-X", "17"}).params.debug_mask, 17u);
  Parsed bad = Parse({"-X", "0x10q"});
  EXPECT_EQ(bad.result, 0) << "a bad mask does not fail the parse";
  EXPECT_EQ(bad.err, "Invalid format for \"-X\" parameter, unprocessed characters [q]\n");
  // The mask is switched on while parsing, so later options log under it.
  Parameters params;
  CLI_Display display;
  std::vector<std::string> words = {"updater", "-X", "1", "-d", "0x1a2b"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  char* logged = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&logged, &size);
  Log::SetOutput(mem);
  Log::package_bitmask = 0;
  _get_params(display, static_cast<int>(argv.size()), argv.data(), &params);
  Log::SetOutput(nullptr);
  Log::package_bitmask = 0;
  fclose(mem);
  EXPECT_NE(std::string(logged).find("Discarding '0x' serial number prefix\n"), std::string::npos);
  EXPECT_EQ(std::string(logged).find("Application parameters"), std::string::npos) << "DEBUG_APP is off";
  free(logged);
}

TEST(GetParams, CommandsAndFlags) {
  Parsed p =
      Parse({"-G", "-U", "-OVER", "-J", "-L", "-B",     "-I", "-C",         "-N", "-Z",  "v",  "-n", "-e",
             "-m", "0",  "-i",    "/x", "-f", "f.bird", "-s", "/dev/ttyS0", "-l", "msg", "-k", "log"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.commands.Mask(), 0x3FEu);
  EXPECT_TRUE(p.params.override);
  EXPECT_TRUE(p.params.flag_n);
  EXPECT_TRUE(p.params.echo);
  EXPECT_FALSE(p.params.uei_bytes);
  EXPECT_EQ(p.params.updater_dir, "/x");
  EXPECT_EQ(p.params.bird_file, "f.bird");
  EXPECT_EQ(p.params.serial_port, "/dev/ttyS0");
  EXPECT_EQ(p.params.log_message, "msg");
  EXPECT_EQ(p.params.log_file, "log");
  for (const char* yes : {"1", "true", "1x", "trueish"})
    EXPECT_TRUE(Parse({"-m", yes}).params.uei_bytes) << yes;
  for (const char* no : {"0", "yes", "TRUE", ""}) EXPECT_FALSE(Parse({"-m", no}).params.uei_bytes) << no;
  Parsed y = Parse({"-Y"});
  EXPECT_EQ(y.result, 1);
  EXPECT_EQ(y.err, "Unhandled command: [-Y]\n");
  EXPECT_EQ(Parse({"-f", "a", "-f", "b"}).params.bird_file, "b") << "later occurrences win";
}
