#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "Corvantis2/common/aLinkCreate.h"
#include "Corvantis2/common/aLinkRegistry.h"
#include "sim/vmodule/VirtualModule.h"
#include "support/TempDir.h"

namespace {

constexpr uint32_t kSerial = 0x0000002A;
constexpr uint8_t kAddress = 6;

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

vmodule::Options TcpOptions(int port = 0) {
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.modules[0].address = kAddress;
  options.modules[0].model = 5;
  options.modules[0].build = 4711;
  options.modules[0].name = "bench-top";
  vmodule::ParseVersion("2.15.3", &options.modules[0]);
  options.heartbeatMs = 50;
  options.tcpPort = port;
  options.discovery = false;  // multicast only inside a private namespace
  return options;
}

struct Match {
  uint8_t command;
  uint8_t option;
};

bool MatchReply(const aPacket* packet, void* ref) {
  const auto* m = static_cast<const Match*>(ref);
  return packet->dataSize >= 2 && packet->data[0] == m->command && packet->data[1] == m->option;
}

// Sends a request to the module and returns the data of the first matching reply.
std::vector<uint8_t> Ask(aLinkRef link, std::vector<uint8_t> request, Match match,
                         uint32_t timeoutMs = 1000) {
  aPacket* packet = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(request.size()), request.data());
  EXPECT_EQ(aLink_PutPacket(link, packet), aErrNone);
  aPacket_Destroy(&packet);
  aPacket* reply = aLink_AwaitFirst(link, MatchReply, &match, timeoutMs);
  if (!reply) return {};
  std::vector<uint8_t> data(reply->data, reply->data + reply->dataSize);
  aPacket_Destroy(&reply);
  return data;
}

uint32_t Big32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | d[at + 3];
}

uint32_t AskSerial(aLinkRef link) {
  const auto reply = Ask(link, {3, 0x49, 0x20}, {3, 9});
  return reply.size() == 7 ? Big32(reply, 3) : 0;
}

template <typename Condition>
bool Eventually(Condition condition, int timeoutMs = 2000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

TEST(TcpLink, ModuleIdentifiesItselfThroughTheSystemEntity) {
  vmodule::VirtualModule module(TcpOptions());
  ASSERT_TRUE(module.Start());
  aLinkRef link = aLink_CreateTCPIP(kSerial, Loopback(), module.TcpPort());
  ASSERT_NE(link, 0u);
  EXPECT_EQ(AskSerial(link), kSerial);
  EXPECT_EQ(Ask(link, {3, 0x48, 0x20}, {3, 8}), (std::vector<uint8_t>{3, 8, 0, 5}));
  const auto version = Ask(link, {3, 0x47, 0x20}, {3, 7});
  ASSERT_EQ(version.size(), 7u);
  EXPECT_EQ(Big32(version, 3), 0x2F020F03u);
  const auto build = Ask(link, {0x49, 0xFF}, {0x49, 0xFF});
  ASSERT_EQ(build.size(), 6u);
  EXPECT_EQ(Big32(build, 2), 4711u);
  const auto name = Ask(link, {3, 0x60, 0x20}, {3, 32});
  ASSERT_EQ(name.size(), 3u + 9 + 1);
  EXPECT_EQ(std::string(name.begin() + 3, name.end() - 1), "bench-top");
  EXPECT_EQ(name.back(), 0x00);  // sequence 0, nothing more
  // An option the module does not have: an error reply naming it.
  EXPECT_EQ(Ask(link, {3, 0x7E, 0x20}, {3, 0x3E}), (std::vector<uint8_t>{3, 0x3E, 0x80, 29}));

  // The address query is answered with an empty packet from the module.
  uint8_t none = 0;
  aPacket* query = aPacket_CreateWithData(0xAD, 0, &none);
  ASSERT_EQ(aLink_PutPacket(link, query), aErrNone);
  aPacket_Destroy(&query);
  aPacket* answer = aLink_AwaitPacket(link, 1000);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->address, kAddress);
  EXPECT_EQ(answer->dataSize, 0);
  aPacket_Destroy(&answer);

  // Heartbeats are answered by the link and never reach the caller.
  EXPECT_TRUE(Eventually([&] { return module.counters().heartbeatAnswers >= 3; }));
  EXPECT_EQ(aLink_GetPacket(link), nullptr);
  EXPECT_EQ(module.counters().forceRoute, 1);
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  EXPECT_EQ(link, 0u);
  EXPECT_TRUE(Eventually([&] { return module.counters().forceRoute == 0; }));
}

TEST(TcpLink, SameDeviceTwiceSharesOneLinkUntilTheLastDestroy) {
  vmodule::VirtualModule module(TcpOptions());
  ASSERT_TRUE(module.Start());
  aLinkRef first = aLink_CreateTCPIP(kSerial, Loopback(), module.TcpPort());
  aLinkRef second = aLink_CreateTCPIP(kSerial, Loopback(), module.TcpPort());
  ASSERT_NE(first, 0u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(module.counters().connections, 1u);
  const aLinkRef id = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStatusRunning);
  EXPECT_EQ(AskSerial(second), kSerial);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStatusNoStream);  // unknown now
  aLinkRef gone = id;
  EXPECT_EQ(aLink_Destroy(&gone), aErrParam);
  EXPECT_EQ(gone, 0u);
}

TEST(TcpLink, NothingListeningCreatesNothing) {
  vmodule::VirtualModule module(TcpOptions());
  ASSERT_TRUE(module.Start());
  const uint16_t port = module.TcpPort();
  module.Stop();
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, Loopback(), port), 0u);
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, Loopback(), 70000), 0u);
  // Nothing was left registered: a module that comes later gets a new link.
  vmodule::VirtualModule later(TcpOptions(port));
  ASSERT_TRUE(later.Start());
  aLinkRef link = aLink_CreateTCPIP(kSerial, Loopback(), port);
  ASSERT_NE(link, 0u);
  EXPECT_EQ(AskSerial(link), kSerial);
  aLink_Destroy(&link);
}

bool AcceptAll(const aPacket*, void*) { return false; }

TEST(TcpLink, ResetAfterTheModuleRestartsReconnects) {
  auto module = std::make_unique<vmodule::VirtualModule>(TcpOptions());
  ASSERT_TRUE(module->Start());
  const uint16_t port = module->TcpPort();
  aLinkRef link = aLink_CreateTCPIP(kSerial, Loopback(), port);
  ASSERT_NE(link, 0u);
  ASSERT_EQ(aLink_InstallUserPacketFilter(link, AcceptAll, nullptr), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);

  // The module reboots: its connection is reset and it is gone for a while.
  module.reset();
  std::thread comeBack([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    module = std::make_unique<vmodule::VirtualModule>(TcpOptions(port));
    module->Start();
  });
  EXPECT_EQ(aLink_Reset(link), aErrNone);
  comeBack.join();
  ASSERT_TRUE(module);
  EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
  EXPECT_EQ(AskSerial(link), kSerial);
  aLinkHandle record = sGetLink(link);
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->pooled);
  {
    aMutex_Lock(record->userFilterLock);
    EXPECT_EQ(record->userFilter, nullptr);
    aMutex_Unlock(record->userFilterLock);
  }
  record.reset();
  aLink_Destroy(&link);
}

TEST(TcpLink, ResetOfUnknownLinkIsRefused) { EXPECT_EQ(aLink_Reset(987654), aErrParam); }

class SerialLink : public ::testing::Test {
 protected:
  void SetUp() override {
    vmodule::Options options = TcpOptions(-1);
    options.ptyLink = dir.path() + "/ttyV0";
    module = std::make_unique<vmodule::VirtualModule>(options);
    ASSERT_TRUE(module->Start());
  }
  std::string port() const { return dir.path() + "/ttyV0"; }

  TempDir dir;
  std::unique_ptr<vmodule::VirtualModule> module;
};

TEST_F(SerialLink, UnsupportedRateIsRefused) {
  EXPECT_EQ(aLink_CreateSerial(kSerial, port().c_str(), 1200), 0u);
}

TEST_F(SerialLink, FramedLinkAt115200ReachesTheModule) {
  aLinkRef link = aLink_CreateSerial(kSerial, port().c_str(), 115200);
  ASSERT_NE(link, 0u);
  termios t{};
  const int fd = open(module->PtyPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  tcgetattr(fd, &t);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), B115200);  // speed code 6
  EXPECT_EQ(AskSerial(link), kSerial);
  const auto name = Ask(link, {3, 0x60, 0x20}, {3, 32});
  EXPECT_EQ(std::string(name.begin() + 3, name.end() - 1), "bench-top");
  EXPECT_TRUE(Eventually([&] { return module->counters().heartbeatAnswers >= 2; }));
  EXPECT_EQ(module->counters().badFrames, 0u);

  aLinkRef again = aLink_CreateSerial(kSerial, port().c_str(), 115200);
  EXPECT_EQ(again, link);
  aLink_Destroy(&again);
  // A serial link cannot be made again from the registry: it is left alone.
  EXPECT_EQ(aLink_Reset(link), aErrParam);
  EXPECT_EQ(AskSerial(link), kSerial);
  aLink_Destroy(&link);
}

TEST_F(SerialLink, CorruptedFrameIsLostNotMisread) {
  aLinkRef link = aLink_CreateSerial(kSerial, port().c_str(), 115200);
  ASSERT_NE(link, 0u);
  module->knobs().heartbeatsOff = true;
  const uint32_t next = module->counters().packetsOut + 1;
  module->knobs().corruptNthReply = next;
  EXPECT_TRUE(Ask(link, {3, 0x49, 0x20}, {3, 9}, 300).empty());
  EXPECT_EQ(AskSerial(link), kSerial);
  aLink_Destroy(&link);
}

}  // namespace
