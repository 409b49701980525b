// Listing devices reachable by USB and TCP/IP, and scanning the I2C bus
// behind a router module. Discovery only reads: every module it connects is
// disconnected again, and nothing is recorded in the store.
#include <cstring>
#include <memory>

#include "Corvantis2/api/I2CClass.h"
#include "Corvantis2/api/Link.h"
#include "Corvantis2/api/Module.h"
#include "Corvantis2/api/SystemClass.h"
#include "Corvantis2/common/aDefs.h"
#include "Corvantis2/common/aDiscovery.h"
#include "Corvantis2/common/aVersion.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "app/UpdaterDevices.h"

using Vorantix::Corvantis::I2CClass;
using Vorantix::Corvantis::Module;
using Vorantix::Corvantis::PendarConfig;
using Vorantix::Corvantis::SystemClass;

namespace {

constexpr uint32_t kLoopbackInterface = 0x0100007F;  // 127.0.0.1, network byte order
constexpr uint8_t kFirstBusAddress = 2;
constexpr uint8_t kLastBusAddress = 252;
constexpr uint8_t kBusSpeedCode = 3;
constexpr size_t kNameCapacity = 32;

bool _discovered_device(const linkSpec* spec, bool* success, void* ref) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(ref);
  if (success) *success = true;
  // A device reached through two of the host's interfaces answers both
  // requests with the same specifier: list it once.
  for (const DeviceInfo& known : *list)
    if (std::memcmp(&known.spec, spec, sizeof known.spec) == 0) return true;
  DeviceInfo entry;
  std::memcpy(&entry.spec, spec, sizeof entry.spec);
  list->push_back(entry);
  return true;
}

struct LinkTypeSearch {
  uint32_t serial = 0;
  uint32_t seen = 0;
  linkType found = INVALID;
};

bool _discovered_link(const linkSpec* spec, bool* success, void* ref) {
  auto* search = static_cast<LinkTypeSearch*>(ref);
  ++search->seen;
  if (spec->serialNumber != search->serial) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->found = static_cast<linkType>(spec->type);
  if (success) *success = true;
  return false;
}

linkType _discover_link_type(uint32_t serial) {
  LinkTypeSearch search;
  search.serial = serial;
  aDiscovery_EnumerateModules(USB, _discovered_link, &search, kLoopbackInterface);
  if (search.found == INVALID)
    aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kLoopbackInterface);
  return search.found;
}

// Reads the firmware version and the addresses the device reports.
aErr _get_version(Module& module, DeviceInfo& entry) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t packed = 0;
  aErr err = system.getVersion(&packed);
  if (err != aErrNone) return err;
  entry.version_major = aVersion_ParseMajor(packed);
  entry.version_minor = aVersion_ParseMinor(packed);
  entry.version_patch = aVersion_ParsePatch(packed);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  entry.spec.moduleAddress = address;
  err = system.getRouter(&address);
  if (err == aErrNone) entry.spec.routerAddress = address;
  return err;
}

// Firmware before 2.10.4 keeps no name.
aErr _get_device_name(Module& module, DeviceInfo& entry) {
  if (!aVersion_IsAtLeastCompare(entry.version_major, entry.version_minor,
                                 static_cast<uint8_t>(entry.version_patch % 256), 2, 10, 4))
    return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[kNameCapacity];
  size_t received = sizeof name;
  const aErr err = system.getName(name, &received);
  if (err == aErrNone) entry.device_name.assign(reinterpret_cast<const char*>(name), received);
  return err;
}

}  // namespace

aErr _disableNetworkSharing(Module& module, UpdaterDisplayInterface& display) {
  PendarConfig config;
  config.enabled = false;
  config.fallback = false;
  config.localOnly = true;
  const aErr err = module.setConfig(config);
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return err;
}

uint32_t _get_build_number(Module& module) {
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> list;
  const std::vector<linkType> types = type == INVALID ? std::vector<linkType>{USB, TCPIP} : std::vector{type};
  for (linkType each : types)
    aDiscovery_EnumerateModules(each, _discovered_device, &list, kLoopbackInterface);

  for (DeviceInfo& entry : list) {
    entry.model_name = aDefs_GetModelName(entry.spec.model);
    Module module(2, 0);
    if (_disableNetworkSharing(module, display) != aErrNone) continue;
    entry.error = module.connectFromSpec(entry.spec);
    if (entry.error == aErrNone) {
      entry.build = _get_build_number(module);
      entry.error = _get_version(module, entry);
      if (entry.error == aErrNone) entry.error = _get_device_name(module, entry);
    }
    module.disconnect();
  }
  return list;
}

std::vector<DeviceInfo> Updater::Discover_CorvantisNetwork_Devices(uint32_t routerSerial, linkType type) {
  std::vector<DeviceInfo> list;
  if (type == INVALID) type = _discover_link_type(routerSerial);
  std::unique_ptr<linkSpec, void (*)(linkSpec*)> found(
      aDiscovery_FindModule(type, routerSerial, kLoopbackInterface),
      [](linkSpec* spec) { aLinkSpec_Destroy(&spec); });
  if (!found) return list;

  Log::log(DEBUG_Updater, "Found Link Module");
  Module router(2, 0);
  if (_disableNetworkSharing(router, display) != aErrNone) return list;
  aErr err = router.connectFromSpec(*found);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", err);
    return list;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
    router.disconnect();
    return list;
  }
  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kBusSpeedCode);

  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
    if (address == routerAddress) continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0, 0};
    if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone) continue;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(static_cast<uint8_t>(address), false, 0);
    _disableNetworkSharing(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone) continue;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
      module.disconnect();
      continue;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    DeviceInfo entry;
    std::memcpy(entry.spec.raw, found->raw, sizeof entry.spec.raw);
    entry.spec.type = type;
    entry.spec.serialNumber = serial;
    entry.spec.routerAddress = routerAddress;
    entry.spec.routerSerialNumber = routerSerial;
    entry.network_address = static_cast<uint16_t>(address);
    entry.build = _get_build_number(module);
    entry.error = _get_version(module, entry);
    uint8_t model = 0;
    const aErr modelErr = system.getModel(&model);
    if (modelErr == aErrNone) {
      entry.spec.model = model;
      entry.model_name = aDefs_GetModelName(model);
    } else {
      entry.error = modelErr;
    }
    module.disconnect();
    list.push_back(entry);
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return list;
}
