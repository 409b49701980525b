// The virtual module's misbehaviour knobs, seen from a TCP link.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Corvantis2/common/aLinkCreate.h"
#include "sim/vmodule/VirtualModule.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;

class Knobs : public ::testing::Test {
 protected:
  void SetUp() override {
    vmodule::Options options;
    options.modules[0].serial = kSerial;
    options.heartbeatMs = 20;
    options.tcpPort = 0;
    options.discovery = false;
    module = std::make_unique<vmodule::VirtualModule>(options);
    ASSERT_TRUE(module->Start());
    link = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), module->TcpPort());
    ASSERT_NE(link, 0u);
  }
  void TearDown() override {
    if (link) aLink_Destroy(&link);
  }

  // The serial number, or 0 when no answer came in time.
  uint32_t Ask(uint32_t timeoutMs = 1000) {
    const uint8_t request[] = {3, 0x49, 0x20};
    aPacket* packet = aPacket_CreateWithData(6, sizeof request, request);
    aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    auto isSerial = [](const aPacket* p, void*) {
      return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
    };
    aPacket* reply = aLink_AwaitFirst(link, isSerial, nullptr, timeoutMs);
    if (!reply) return 0;
    const uint32_t serial = uint32_t{reply->data[3]} << 24 | uint32_t{reply->data[4]} << 16 |
                            uint32_t{reply->data[5]} << 8 | reply->data[6];
    aPacket_Destroy(&reply);
    return serial;
  }

  static void Wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  std::unique_ptr<vmodule::VirtualModule> module;
  aLinkRef link = 0;
};

TEST_F(Knobs, DropAndDelayReplies) {
  module->knobs().heartbeatsOff = true;
  Wait(50);
  module->knobs().dropNthReply = module->counters().packetsOut + 1;
  EXPECT_EQ(Ask(200), 0u);
  EXPECT_EQ(Ask(), kSerial);
  module->knobs().replyDelayMs = 300;
  EXPECT_EQ(Ask(100), 0u);
  Wait(400);
  aLink_DrainPackets(
      link, [](const aPacket*, void*) { return true; }, nullptr);
  EXPECT_EQ(Ask(1000), kSerial);
}

TEST_F(Knobs, SilenceAndHeartbeats) {
  Wait(100);
  EXPECT_GT(module->counters().heartbeatAnswers, 0u);
  module->knobs().heartbeatsOff = true;
  Wait(50);
  const uint32_t sent = module->counters().heartbeatsSent;
  Wait(100);
  EXPECT_EQ(module->counters().heartbeatsSent, sent);
  module->knobs().silent = true;
  EXPECT_EQ(Ask(200), 0u);
  module->knobs().silent = false;
  EXPECT_EQ(Ask(), kSerial);
}

// A connection reset by the module is reconnected by the socket stream on
// its own: the link keeps working without a reset.
TEST_F(Knobs, ResetConnectionsAreReconnectedTransparently) {
  EXPECT_EQ(Ask(), kSerial);
  module->ResetConnections();
  Wait(100);
  EXPECT_GE(module->counters().connections, 2u);
  EXPECT_EQ(Ask(), kSerial);
  module->knobs().closeAfterPackets = 1;
  Ask(200);  // answered, then the connection is reset
  module->knobs().closeAfterPackets = 0;
  Wait(100);
  EXPECT_GE(module->counters().connections, 3u);
  EXPECT_EQ(Ask(), kSerial);
}

}  // namespace
