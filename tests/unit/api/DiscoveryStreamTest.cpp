// Discovery of the virtual module over TCP/IP inside a private network
// namespace, and the module's stream values seen from the host.
#include <unistd.h>

#include "Corvantis2/api/SystemClass.h"
#include "tests/unit/api/ApiFixture.h"
#include "tests/unit/transport/NetNamespace.h"

namespace apitest {
namespace {

// Runs in the namespace's child: "" on success.
std::string DiscoverAndAsk(uint8_t model, uint32_t serial, uint32_t expectSerial) {
  vmodule::Options options = DeviceOptions();
  options.discovery = true;
  options.discoveryInterfaces = {kNamespaceModuleAddress};
  vmodule::VirtualModule device(options);
  if (!device.Start()) return "the virtual module did not start";
  Module module(0, model);
  const aErr connected = serial ? module.connect(TCPIP, serial) : module.discoverAndConnect(TCPIP, 0);
  if (connected != aErrNone) return "connect gave " + std::to_string(connected);
  SystemClass system;
  system.init(&module, 0);
  uint32_t found = 0;
  if (system.getSerialNumber(&found) != aErrNone || found != expectSerial) return "wrong serial number";
  if (module.getModuleAddress() != kAddress) return "address not learned";
  return "";
}

TEST(ModuleDiscovery, ConnectsBySerialNumberAndByModel) {
  RUN_IN_PRIVATE_NETWORK([] { return DiscoverAndAsk(0, kSerial, kSerial); });
  RUN_IN_PRIVATE_NETWORK([] { return DiscoverAndAsk(5, 0, kSerial); });
}

TEST(ModuleDiscovery, AnAbsentSerialNumberIsNotFoundWithoutFallback) {
  RUN_IN_PRIVATE_NETWORK([]() -> std::string {
    vmodule::Options options = DeviceOptions();
    options.discovery = true;
    options.discoveryInterfaces = {kNamespaceModuleAddress};
    vmodule::VirtualModule device(options);
    if (!device.Start()) return "the virtual module did not start";
    Module module(0, static_cast<uint8_t>(0));
    PendarConfig config;
    config.fallback = false;
    module.setConfig(config);
    const aErr result = module.connect(TCPIP, 0x77);
    return result == aErrNotFound ? "" : "connect gave " + std::to_string(result);
  });
}

using StreamDeviceTest = ApiTest;

TEST_F(StreamDeviceTest, AnEnabledStreamSendsTimestampedSamples) {
  // Tell the device directly (class 93 set), not through the stream table.
  uei enable{};
  enable.module = kAddress;
  enable.command = cmdSTREAM;
  enable.option = 0x81;
  enable.index = kUEI_REQUEST;
  enable.type = typeInt;
  enable.value.intValue = uint32_t{kAddress} << 24 | 3u << 16 | 9u << 8 | 0;
  ASSERT_EQ(link().sendUEI(enable), aErrNone);
  uei ack{};
  ack.module = kAddress;
  ack.command = cmdSTREAM;
  ack.option = 0xC1;
  ASSERT_EQ(link().receiveUEI(kAddress, cmdSTREAM, 0xC1, 0, &ack), aErrNone);
  EXPECT_EQ(ack.index, 0);
  uint8_t state = 0;
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 1);

  // Samples of the serial number: 3, 9, 0x40, type 3, timestamp, value, 0.
  const uint8_t prefix[] = {3, 9, 0x40, 3};
  uint8_t sample[28];
  uint8_t length = sizeof prefix;
  ASSERT_EQ(link().receivePacket(kAddress, prefix, &length, sample), aErrNone);
  ASSERT_EQ(length, 17);
  EXPECT_EQ(aUEI_RetrieveInt(sample + 12), kSerial);
  EXPECT_EQ(sample[16], 0);
  const uint64_t first = uint64_t{aUEI_RetrieveInt(sample + 4)} << 32 | aUEI_RetrieveInt(sample + 8);
  length = sizeof prefix;
  ASSERT_EQ(link().receivePacket(kAddress, prefix, &length, sample), aErrNone);
  const uint64_t second = uint64_t{aUEI_RetrieveInt(sample + 4)} << 32 | aUEI_RetrieveInt(sample + 8);
  EXPECT_GT(second, first);

  enable.option = 0x82;
  ASSERT_EQ(link().sendUEI(enable), aErrNone);
  ack.option = 0xC2;
  ASSERT_EQ(link().receiveUEI(kAddress, cmdSTREAM, 0xC2, 0, &ack), aErrNone);
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
}

}  // namespace
}  // namespace apitest
