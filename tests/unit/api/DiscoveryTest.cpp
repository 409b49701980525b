// Discovery of the virtual module over TCP/IP inside a private network
// namespace.
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

}  // namespace
}  // namespace apitest
