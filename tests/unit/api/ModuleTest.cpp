// Module connection forms and direct queries against the virtual module.
#include <unistd.h>

#include "tests/unit/api/ApiFixture.h"

namespace apitest {
namespace {

using ModuleTest = ApiTest;

TEST_F(ModuleTest, AutoNetworkingLearnsTheAddressOnlyWhenOn) {
  Module learning(0, static_cast<uint8_t>(0));
  ASSERT_EQ(learning.connectFromSpec(TcpSpec(device_->TcpPort())), aErrNone);
  EXPECT_EQ(learning.getModuleAddress(), kAddress);
  Module fixed(0, false, 0);
  ASSERT_EQ(fixed.connectFromSpec(TcpSpec(device_->TcpPort())), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 0);
}

TEST(ModuleAutoNetwork, ADeviceThatNeverAnswersFailsAfterFourTries) {
  vmodule::VirtualModule device(DeviceOptions());
  ASSERT_TRUE(device.Start());
  // Address queries go unanswered; everything else is served.
  device.SetInterceptor(
      [](const vmodule::Packet& p, std::vector<vmodule::Packet>&) { return p.address == 0xAD; });
  Module module(0, static_cast<uint8_t>(0));
  EXPECT_EQ(module.connectFromSpec(TcpSpec(device.TcpPort())), aErrNotReady);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 0);
  size_t queries = 0;
  for (const vmodule::Packet& p : device.Requests()) queries += p.address == 0xAD;
  EXPECT_EQ(queries, 4u);
}

TEST_F(ModuleTest, HasUEIChecksItsFlagsAndSendsTheQuery) {
  EXPECT_EQ(module_->hasUEI(95, 10, 0, 0xC0), aErrParam);
  EXPECT_EQ(module_->hasUEI(95, 10, 0, 0x01), aErrParam);
  EXPECT_EQ(module_->hasUEI(95, 10, 0, 0x80), aErrNone);
  EXPECT_EQ(RequestsTo(*device_, kAddress), (std::vector<Bytes>{{0x49, 1, 95, 10, 0, 0x80}}));
  EXPECT_EQ(module_->hasUEI(95, 11, 0, 0x80), aErrUnimplemented);
  EXPECT_EQ(module_->hasUEI(96, 1, 0, 0), aErrInvalidEntity);
  EXPECT_EQ(module_->hasUEI(3, 9, 0, 0x40), aErrNone);
  EXPECT_EQ(module_->hasUEI(3, 9, 0, 0x80), aErrPermission);
  EXPECT_EQ(module_->hasUEI(3, 44, 0, 0), aErrInvalidOption);
  // A reply about another UEI is a mismatch.
  device_->SetInterceptor(Answer({0x49, 1}, {{0x49, 1, 3, 8, 0, 0}}));
  EXPECT_EQ(module_->hasUEI(3, 9, 0, 0), aErrUnknown);
}

TEST_F(ModuleTest, BuildAndEntityCountQueries) {
  uint32_t build = 0;
  ASSERT_EQ(module_->getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);
  EXPECT_EQ(module_->getBuild(nullptr), aErrParam);
  uint8_t count = 9, group = 9;
  ASSERT_EQ(module_->classQuantity(3, &count), aErrNone);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(module_->classQuantity(50, &count), aErrNone);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(module_->subClassQuantity(3, 0, &count), aErrNone);
  EXPECT_GT(count, 30);
  ASSERT_EQ(module_->entityGroup(8, 0, &group), aErrNone);
  EXPECT_EQ(group, 2);
  // A reply of another sub-command arriving first ends the query.
  device_->SetInterceptor(Answer({0x49, 4}, {{0x49, 5, 3, 0, 1}}));
  count = 9;
  EXPECT_EQ(module_->classQuantity(3, &count), aErrUnknown);
  EXPECT_EQ(count, 0);
  device_->SetInterceptor(Answer({0x49, 0xFF}, {{0x49, 0xFF, 0, 0, 1}}));
  EXPECT_EQ(module_->getBuild(&build), aErrSize);
}

TEST_F(ModuleTest, DebugSucceedsOnlyOnAnExactEcho) {
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(module_->debug(bytes, 3), aErrNone);
  device_->SetInterceptor(Answer({23}, {{23, 1, 2}}));
  EXPECT_EQ(module_->debug(bytes, 3), aErrIO);
  device_->SetInterceptor(Answer({23}, {{23, 1, 2, 4}}));
  EXPECT_EQ(module_->debug(bytes, 3), aErrIO);
}

TEST(ModuleQueries, NeedAConnection) {
  Module module(2, static_cast<uint8_t>(0));
  uint32_t build = 0;
  uint8_t count = 7;
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(module.debug(nullptr, 0), aErrConnection);
  EXPECT_EQ(module.getStatus(), 8);
  EXPECT_EQ(module.reconnect(), aErrConfiguration);
}

TEST(ModuleRouter, AModuleOnTheBusSharesTheRouterLink) {
  vmodule::Options options = DeviceOptions();
  vmodule::ModuleIdentity leaf;
  leaf.serial = 0x513;
  leaf.address = 4;
  leaf.model = 14;
  options.modules.push_back(leaf);
  vmodule::VirtualModule device(options);
  ASSERT_TRUE(device.Start());
  Module router(0, static_cast<uint8_t>(0));
  ASSERT_EQ(router.connectFromSpec(TcpSpec(device.TcpPort())), aErrNone);
  Module behind(0, static_cast<uint8_t>(0));
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(behind.getLink()->getLinkId(), router.getLink()->getLinkId());
  EXPECT_EQ(behind.getModuleAddress(), 0) << "the caller sets the address";
  behind.setModuleAddress(4);
  // Connected already: nothing changes.
  EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  uint32_t build = 0;
  EXPECT_EQ(behind.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 1u);
  EXPECT_EQ(device.counters().connections, 1u);
  // Either module letting go leaves the other connected.
  ASSERT_EQ(behind.disconnect(), aErrNone);
  EXPECT_TRUE(router.isConnected());
  EXPECT_EQ(router.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);
  Module unconnected(0, static_cast<uint8_t>(0));
  Module orphan(0, static_cast<uint8_t>(0));
  EXPECT_EQ(orphan.connectThroughLinkModule(&unconnected), aErrNotFound);
}

}  // namespace
}  // namespace apitest
