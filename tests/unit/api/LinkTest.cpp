// The Link's exchanges against the virtual module over a loopback TCP link.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "Corvantis2/common/aLinkCreate.h"
#include "support/TempDir.h"
#include "tests/unit/api/ApiFixture.h"
#include "tests/unit/transport/LocalPeer.h"

namespace apitest {
namespace {

using LinkTest = ApiTest;

uei GetRequest(uint8_t command, uint8_t option) {
  uei u{};
  u.module = kAddress;
  u.command = command;
  u.option = static_cast<uint8_t>(option | kUEI_GET);
  u.index = kUEI_REQUEST;
  u.type = typeVoid;
  return u;
}

uei ReplyMatch(uint8_t command, uint8_t option) {
  uei u{};
  u.module = kAddress;
  u.command = command;
  u.option = option;
  u.index = 0;
  return u;
}

struct GetCase {
  const char* name;
  Bytes reply;
  aErr result;
  ueiType type;
  uint8_t index;
  uint32_t value;  // shortValue, or the error code in byteValue
};

TEST_F(LinkTest, GetOfOptionFiveSendsItsBytesAndReadsEachReplyShape) {
  const GetCase cases[] = {
      {"short", {3, 0x05, 0x00, 0x12, 0x34}, aErrNone, typeShort, 0x00, 0x1234},
      {"error", {3, 0x05, 0x80, 0x0C}, aErrNone, typeVoid, 0x80, 12},
      // The option byte still carries the get bit: not a reply to this get.
      {"get bit", {3, 0x45, 0x00, 1}, aErrTimeout, typeVoid, 0x00, 0},
  };
  for (const GetCase& c : cases) {
    SCOPED_TRACE(c.name);
    device_->ClearRequests();
    device_->SetInterceptor(Answer({3, 0x45}, {c.reply}));
    ASSERT_EQ(link().sendUEI(GetRequest(3, 5)), aErrNone);
    uei reply = ReplyMatch(3, 5);
    EXPECT_EQ(link().receiveUEI(kAddress, 3, 5, 0, &reply), c.result);
    EXPECT_EQ(RequestsTo(*device_, kAddress), (std::vector<Bytes>{{3, 0x45, 0x20}}));
    if (c.result != aErrNone) continue;
    EXPECT_EQ(reply.type, c.type);
    EXPECT_EQ(reply.index, c.index);
    if (c.index & kUEI_ERROR) {
      EXPECT_EQ(reply.value.byteValue, c.value);
    } else {
      EXPECT_EQ(reply.value.shortValue, c.value);
    }
    link().dropMatchingUEIPackets(kAddress, 3, 0x45, 0);
  }
}

struct SequenceCase {
  size_t length;
  std::vector<std::pair<size_t, uint8_t>> packets;  // data length, sequence byte
};

TEST_F(LinkTest, ByteSequencesAreCutIntoPacketsOfTwentyFourWithSequenceBytes) {
  const SequenceCase cases[] = {
      {0, {{4, 0x00}}},
      {24, {{28, 0x00}}},
      {25, {{28, 0x80}, {5, 0x01}}},
      {50, {{28, 0x80}, {28, 0x81}, {6, 0x02}}},
  };
  for (const SequenceCase& c : cases) {
    SCOPED_TRACE(c.length);
    device_->ClearRequests();
    Bytes name(c.length);
    for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<uint8_t>('a' + i % 26);
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = 32 | kUEI_SET;
    request.index = kUEI_REQUEST;
    request.type = typeBytes;
    request.value.data = name.data();
    request.value.length = name.size();
    ASSERT_EQ(link().sendUEI(request), aErrNone);
    uei ack = ReplyMatch(3, 32 | kUEI_ACK);
    ASSERT_EQ(link().receiveUEI(kAddress, 3, ack.option, 0, &ack), aErrNone);
    EXPECT_EQ(ack.index, 0) << "the device refused the sequence";
    const std::vector<Bytes> sent = RequestsTo(*device_, kAddress);
    ASSERT_EQ(sent.size(), c.packets.size());
    size_t at = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].size(), c.packets[i].first);
      EXPECT_EQ(sent[i].back(), c.packets[i].second);
      EXPECT_TRUE(std::equal(sent[i].begin() + 3, sent[i].end() - 1, name.begin() + static_cast<long>(at)));
      at += sent[i].size() - 4;
    }
    EXPECT_EQ(at, c.length);
  }
}

TEST_F(LinkTest, RecordsWithoutAnEncodingAreRefusedBeforeSending) {
  uei bad = GetRequest(3, 9);
  bad.type = static_cast<ueiType>(3);
  EXPECT_EQ(link().sendUEI(bad), aErrParam);
  uei bytes = GetRequest(3, 32);
  bytes.type = typeBytes;
  EXPECT_EQ(link().sendUEI(bytes, 1), aErrParam);
  uei odd = GetRequest(3, 9);
  odd.module = 3;
  EXPECT_EQ(link().sendUEI(odd), aErrPacket);
  odd.module = 0;
  EXPECT_EQ(link().sendUEI(odd), aErrPacket);
  EXPECT_EQ(link().sendPacket(7, 23, 0, nullptr), aErrPacket);
  usleep(50000);
  EXPECT_TRUE(device_->Requests().empty());
}

TEST_F(LinkTest, ReplyWaitIsLongerOnlyForSequencesAboveAThousandBytes) {
  device_->knobs().silent = true;
  uei small = ReplyMatch(3, 32);
  small.type = typeBytes;
  small.value.length = 1000;
  uei large = small;
  large.value.length = 1001;
  const double shortWait =
      SecondsOf([&] { EXPECT_EQ(link().receiveUEI(kAddress, 3, 32, 0, &small), aErrTimeout); });
  const double longWait =
      SecondsOf([&] { EXPECT_EQ(link().receiveUEI(kAddress, 3, 32, 0, &large), aErrTimeout); });
  EXPECT_GE(shortWait, 0.95);
  EXPECT_LT(shortWait, 2.0);
  EXPECT_GE(longWait, 3.95);
  EXPECT_LT(longWait, 5.5);
}

TEST_F(LinkTest, PlainPacketsCarryAtMostTwentySevenBytesAfterTheCommand) {
  Bytes data(28, 0x5A);
  EXPECT_EQ(link().sendPacket(kAddress, 23, 28, data.data()), aErrParam);
  ASSERT_EQ(link().sendPacket(kAddress, 23, 27, data.data()), aErrNone);
  uint8_t buffer[28] = {23};
  uint8_t length = 1;
  ASSERT_EQ(link().receivePacket(kAddress, buffer, &length, buffer), aErrNone);
  EXPECT_EQ(length, 28);
  EXPECT_EQ(buffer[27], 0x5A);
  const auto sent = RequestsTo(*device_, kAddress);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), 28u);
}

TEST_F(LinkTest, ReceivePacketMatchesItsFilterBytesFromAnyModule) {
  device_->SetInterceptor(Answer({23}, {{23, 7, 1}, {23, 7, 9}}, 40));
  const uint8_t probe[] = {1};
  ASSERT_EQ(link().sendPacket(kAddress, 23, 1, probe), aErrNone);
  uint8_t buffer[28] = {23, 7};
  uint8_t length = 2;
  ASSERT_EQ(link().receivePacket(kAddress, buffer, &length, buffer), aErrNone);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(buffer[2], 1);
  uint8_t wrong[28] = {23, 8};
  length = 2;
  EXPECT_EQ(link().receivePacket(kAddress, wrong, &length, wrong), aErrTimeout);
}

TEST_F(LinkTest, SpecifierAndConfigChangeOnlyWhileDisconnected) {
  PendarConfig config;
  ASSERT_EQ(link().getConfig(&config), aErrNone);
  EXPECT_TRUE(config.enabled);
  EXPECT_TRUE(config.fallback);
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
  config.fallback = false;
  linkSpec spec{};
  ASSERT_EQ(link().getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(link().setConfig(config), aErrMode);
  EXPECT_EQ(link().setLinkSpecifier(spec), aErrBusy);
  EXPECT_EQ(link().connect(), aErrConnection);
  EXPECT_EQ(module_->connectFromSpec(spec), aErrBusy);
  ASSERT_EQ(module_->disconnect(), aErrNone);
  EXPECT_FALSE(module_->isConnected());
  EXPECT_EQ(module_->getStatus(), 8);
  EXPECT_EQ(link().setConfig(config), aErrNone);
  EXPECT_EQ(link().setLinkSpecifier(spec), aErrNone);
  uint8_t address = 9;
  EXPECT_EQ(link().getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(link().sendPacket(kAddress, 23, 0, nullptr), aErrConnection);
  ASSERT_EQ(module_->reconnect(), aErrNone);
  EXPECT_TRUE(module_->isConnected());
}

TEST(LinkWait, ALinkThatNeverLeavesSyncingIsNotConnected) {
  LocalPeer peer;
  Link link(TcpSpec(peer.port(), 0x5EED), "Link");
  std::thread accept([&] { ASSERT_TRUE(peer.Accept()); });
  ASSERT_EQ(link.connect(), aErrNone);
  accept.join();
  // An odd address byte throws the link out of step; the peer never answers
  // the address queries that follow.
  const uint8_t odd = 0x05;
  peer.Send(&odd, 1);
  for (int i = 0; i < 200 && link.getStatus() != linkStatusSyncing; ++i) usleep(5000);
  ASSERT_EQ(link.getStatus(), linkStatusSyncing);
  aErr result = aErrNone;
  const double waited = SecondsOf([&] { result = link.waitForLink(200); });
  EXPECT_EQ(result, aErrConnection);
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 4.0);
  EXPECT_FALSE(link.isConnected());
}

TEST(LinkConnect, MissingSpecifierAndNetworkedTypesAreConfigurationErrors) {
  Link bare("Link");
  linkSpec spec{};
  EXPECT_EQ(bare.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(bare.connect(), aErrConfiguration);
  const linkType networked[] = {PENDAR, PENDAR_USB, PENDAR_TCPIP, PENDAR_SERIAL};
  for (linkType type : networked) {
    spec.type = type;
    ASSERT_EQ(bare.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(bare.connect(), aErrConfiguration) << type;
  }
  spec.type = 9;
  ASSERT_EQ(bare.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(bare.connect(), aErrMode);
  EXPECT_EQ(bare.enablePacketLog("/dev/null"), aErrConfiguration);
  EXPECT_STREQ(bare.getName(), "Link");
}

// Discovery stand-ins that record the types asked for and find nothing.
std::vector<linkType> gAsked;
linkSpec* FindNothing(linkType type, uint32_t, uint32_t) {
  gAsked.push_back(type);
  return nullptr;
}
uint32_t EnumerateNothing(linkType type, bool (*)(const linkSpec*, bool*, void*), void*, uint32_t) {
  gAsked.push_back(type);
  return 0;
}

struct FallbackCase {
  linkType type;
  bool fallback;
  uint32_t serial;
  std::vector<linkType> asked;
};

TEST(LinkDiscoveryFallback, TriesTheOtherFamilyOnceWhenAllowed) {
  const LinkDiscovery previous = Link_SetDiscovery({FindNothing, EnumerateNothing});
  const FallbackCase cases[] = {
      {USB, true, 0x2A, {USB, PENDAR}},  {USB, false, 0x2A, {USB}},
      {TCPIP, true, 0, {TCPIP, PENDAR}}, {PENDAR_TCPIP, true, 0x2A, {PENDAR_TCPIP, USB}},
      {SERIAL, true, 0x2A, {SERIAL}},
  };
  for (const FallbackCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " fallback " << c.fallback);
    gAsked.clear();
    Link link("Link");
    PendarConfig config;
    config.fallback = c.fallback;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(c.type, c.serial, 0), aErrNotFound);
    EXPECT_EQ(gAsked, c.asked);
  }
  Link_SetDiscovery(previous);
  Module module(0, static_cast<uint8_t>(0));
  EXPECT_EQ(module.connect(USB, 0), aErrParam);
}

TEST_F(LinkTest, PacketLogRecordsTheStartMarkerAndTraffic) {
  TempDir dir;
  const std::string path = dir.path() + "/packets.log";
  ASSERT_EQ(module_->enablePacketLog(path.c_str()), aErrNone);
  uint32_t build = 0;
  ASSERT_EQ(module_->getBuild(&build), aErrNone);
  usleep(100000);
  ASSERT_EQ(module_->disablePacketLog(), aErrNone);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("6 < START"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("4 > 0x2 0x2 0x49 0xFF \r\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("8 < 0x2 0x6 0x49 0xFF 0x0 0x0 0x12 0x67 \r\n"), std::string::npos) << text.str();

  // After a reconnect the log follows the new engine link.
  ASSERT_EQ(module_->disconnect(), aErrNone);
  ASSERT_EQ(module_->reconnect(), aErrNone);
  const std::string again = dir.path() + "/again.log";
  ASSERT_EQ(module_->enablePacketLog(again.c_str()), aErrNone);
  ASSERT_EQ(module_->getBuild(&build), aErrNone);
  usleep(100000);
  ASSERT_EQ(module_->disablePacketLog(), aErrNone);
  std::ifstream second(again);
  std::stringstream more;
  more << second.rdbuf();
  EXPECT_NE(more.str().find("4 > 0x2 0x2 0x49 0xFF \r\n"), std::string::npos) << more.str();
}

}  // namespace
}  // namespace apitest
