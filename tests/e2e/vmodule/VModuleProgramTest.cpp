// The vmodule program as scripts and the demo use it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Corvantis2/common/aLinkCreate.h"
#include "support/LoopbackPort.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace {

// A running vmodule with its standard output read up to "ready".
class Served {
 public:
  explicit Served(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv{const_cast<char*>(VMODULE_BIN)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(VMODULE_BIN, argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline && lines_.find("ready\n") == std::string::npos) {
      pollfd waiter{out_, POLLIN, 0};
      if (poll(&waiter, 1, 100) != 1) continue;
      char buffer[256];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      lines_.append(buffer, static_cast<size_t>(got));
    }
  }
  ~Served() {
    if (pid_ > 0 && status_ < 0) Terminate();
    if (out_ >= 0) close(out_);
  }
  bool ready() const { return lines_.find("ready\n") != std::string::npos; }
  const std::string& lines() const { return lines_; }
  // SIGTERM, then the exit status (-1 when it had to be killed).
  int Terminate() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_)
        return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    return status_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string lines_;
};

uint16_t FreePort() { return UnusedLoopbackPort(); }

uint32_t AskSerial(aLinkRef link, uint8_t address) {
  const uint8_t request[] = {3, 0x49, 0x20};
  aPacket* packet = aPacket_CreateWithData(address, sizeof request, request);
  aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  auto isSerial = [](const aPacket* p, void* ref) {
    return p->address == *static_cast<uint8_t*>(ref) && p->dataSize == 7 && p->data[0] == 3 &&
           p->data[1] == 9;
  };
  aPacket* reply = aLink_AwaitFirst(link, isSerial, &address, 1000);
  if (!reply) return 0;
  const uint32_t serial = uint32_t{reply->data[3]} << 24 | uint32_t{reply->data[4]} << 16 |
                          uint32_t{reply->data[5]} << 8 | reply->data[6];
  aPacket_Destroy(&reply);
  return serial;
}

TEST(VModuleProgram, ServesTcpUntilSigterm) {
  const uint16_t port = FreePort();
  Served vm({"--serial", "00C0FFEE", "--model", "13", "--address", "8", "--version", "2.15.1", "--build",
             "77", "--name", "probe", "--tcp", std::to_string(port), "--no-discovery"});
  ASSERT_TRUE(vm.ready()) << vm.lines();
  aLinkRef link = aLink_CreateTCPIP(0x00C0FFEE, htonl(INADDR_LOOPBACK), port);
  ASSERT_NE(link, 0u);
  EXPECT_EQ(AskSerial(link, 8), 0x00C0FFEEu);
  aLink_Destroy(&link);
  EXPECT_EQ(vm.Terminate(), 0);
}

TEST(VModuleProgram, ConfigFileServesARouterAndItsBusOverAPty) {
  TempDir dir;
  const std::string link = dir.file("ttyV");
  WriteWholeFile(dir.file("bus.json"), R"({
    "heartbeat_ms": 200,
    "pty_link": ")" + link + R"(",
    "modules": [
      {"serial": "00000100", "model": 13, "address": 2, "version": "2.15.0", "build": 5, "name": "router"},
      {"serial": 513, "model": 14, "address": 4, "version": "2.10.4", "build": 6, "name": "leaf"}
    ]})");
  Served vm({"--config", dir.file("bus.json")});
  ASSERT_TRUE(vm.ready()) << vm.lines();
  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  aLinkRef serial = aLink_CreateSerial(0x100, link.c_str(), 115200);
  ASSERT_NE(serial, 0u);
  EXPECT_EQ(AskSerial(serial, 2), 0x100u);
  EXPECT_EQ(AskSerial(serial, 4), 513u);  // behind the router
  aLink_Destroy(&serial);
  EXPECT_EQ(vm.Terminate(), 0);
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "the pty link is removed on exit";
}

TEST(VModuleProgram, BadArgumentsAreRefusedWithUsage) {
  TempDir dir;
  WriteWholeFile(dir.file("bad.json"), R"({"modules": [{"address": 3}]})");
  WriteWholeFile(dir.file("broken.json"), "{ not json");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--tcp", "70000"},
      {"--tcp", "0", "--address", "5"},
      {"--tcp", "0", "--version", "2.x"},
      {"--tcp", "0", "--serial", "XYZ"},
      {"--config", dir.file("bad.json"), "--tcp", "0"},
      {"--config", dir.file("broken.json")},
      {"--config", dir.file("missing.json")},
      {"--frobnicate", "1"},
  };
  RunOptions options;
  options.timeoutMs = 5000;
  for (const auto& args : cases) {
    const RunResult r = RunProgram(VMODULE_BIN, args, options);
    EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("vmodule: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("ready"), std::string::npos);
  }
}

}  // namespace
