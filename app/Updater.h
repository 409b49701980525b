// One Updater per run carries out every device and server command. Each
// method builds what it needs, reports through the display and releases
// everything before it returns.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aLinkSpec.h"
#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

struct DeviceInfo {
  linkSpec spec{};
  uint16_t network_address = 0;
  uint32_t build = 0;
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  uint32_t version_patch = 0;
  std::string model_name;
  std::string device_name;
  aErr error = aErrNone;
};

// A chip's identifier, word 0 first.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};

// Build number text -> version text, in ascending key order.
using BuildList = std::map<std::string, std::string>;

// Commands whose flows this build does not carry yet. The entry point refuses
// them with an error and exit status 1 rather than calling a stub. The
// recovery form of -U (-t RECOVER) is refused the same way.
inline constexpr uint32_t UPDATER_PENDING_COMMANDS = CMD_FINGERPRINT;

class BirdFile;
class UpdaterStore;

// A new store on root, or null after printing why (name: the calling flow's
// name, for the message).
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* name);

// True when the server lists the build for the device.
bool _valid_build(uint32_t serial, uint32_t build, const char* url);

// Prints that the command (its option text, "-D") is not available yet.
void _flow_not_available(UpdaterDisplayInterface& display, const char* option);

class Updater {
 public:
  Updater(const char* url, const char* root, UpdaterDisplayInterface& display);
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Set_UEIBytes_Load(bool enable) { use_uei_bytes = enable; }

  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_CorvantisNetwork_Devices(uint32_t routerSerial, linkType type);

  bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile, uint8_t moduleAddress,
                       uint32_t routerSerial, bool override);
  // The BIRD file to update or recover with: the path when given, else the
  // store's file of that build (downloaded first when allowed and missing).
  // Throws std::runtime_error when the file cannot be had.
  BirdFile load_bird(const char* action, const std::string& birdFile, uint32_t serial, uint32_t build,
                     bool downloadWhenMissing);

  // The build number stored, 0 on failure.
  uint32_t Download_Firmware(uint32_t serial, const std::string& buildText, bool override,
                             bool noCalibration);
  uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText, bool override);
  BuildList Get_BuildList(uint32_t serial);
  BuildList Get_BuildListLocal(uint32_t serial);
  std::string Get_JWT(uint32_t serial);

  bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                        const std::string& birdFile, bool override);
  bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serial,
                       const std::string& birdFile, uint32_t baud, bool reset);

  const std::string& ServerUrl() const { return server_url; }
  const std::string& StoreRoot() const { return store_root; }
  uint8_t RecoveryChip() const { return recovery_chip; }
  bool UsesUEIBytes() const { return use_uei_bytes; }

 private:
  std::string server_url;
  std::string store_root;
  UpdaterDisplayInterface& display;
  uint8_t recovery_chip = 0;  // 0 until a fingerprint; 2 LPC, 1 i.MX
  bool use_uei_bytes = false;
};
