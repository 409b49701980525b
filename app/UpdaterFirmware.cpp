// The firmware update of a running device: choose the BIRD file, connect
// (directly or through a router), check the file fits, send and start the
// loader, wait for the device to come back, send the firmware, reboot, and
// record the transfer in the device's settings.
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Corvantis2/api/Module.h"
#include "Corvantis2/api/SystemClass.h"
#include "Corvantis2/common/aDefs.h"
#include "Corvantis2/unix/aTime.h"
#include "Corvantis2/unix/cvusb.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "app/UpdaterDevices.h"
#include "loader/UpdaterEntity.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"

using Vorantix::Corvantis::Module;
using Vorantix::Corvantis::SystemClass;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr int kFirmwareAttempts = 5;
constexpr int kReenumerationAttempts = 15;
constexpr int kReenumerationPauseMs = 1000;

std::string BirdName(uint32_t build) { return std::to_string(build) + ".bird"; }

const char* ErrorText(aErr err) { return aError_GetErrorText(err); }

// Connects the module by USB, then by TCP/IP when USB does not know it.
aErr ConnectDirect(Module& module, uint32_t serial) {
  aErr err = module.connect(USB, serial);
  if (err == aErrNotFound) err = module.connect(TCPIP, serial);
  return err;
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module, uint32_t serial) {
  if (file.blockCount == 0 || file.blocks.empty()) return false;
  if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serial)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (err != aErrNone || deviceSerial != serial) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (err != aErrNone || !file.ValidateModel(name)) {
    display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
  UpdaterEntity loader;
  loader.init(&module, 0, true, false);
  aErr err = loader.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, ErrorText(err));
    return err;
  }
  display.message(INFO, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_TYPE_LOADER);
  display.display_progress(true);
  int k = 1;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", k, static_cast<int>(blocks.size()),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = loader.TransferPrepare(block.data, block.length, block.flags, blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, ErrorText(err));
      break;
    }
    err = loader.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      // A loader with a block missing must never be started.
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, ErrorText(err));
      break;
    }
    total += block.length;
    ++k;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", k - 1, static_cast<int>(total));
  display.display_progress(false);
  if (err == aErrNone) {
    display.message(INFO, "Starting Load on Device");
    err = loader.LoaderStart();
    if (err == aErrTimeout) {
      Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
      err = aErrNone;
    } else if (err != aErrNone) {
      display.message(ERROR, "Error starting loader [%d, %s]", err, ErrorText(err));
    }
  }
  return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                        bool throughLinkModule, bool useUEIBytes) {
  UpdaterEntity loader;
  loader.init(&module, 0, true, throughLinkModule);
  if (useUEIBytes && loader.CheckUEIDataSupport() == aErrNone) loader.CheckPooledPacketsSupport();
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
  const std::vector<BirdBlock> blocks = file.FindBlocks(BLOCK_TYPE_FIRMWARE);
  aErr err = aErrNone;
  unsigned k = 1;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    for (int attempt = 0; attempt < kFirmwareAttempts; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", k,
                      static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = loader.TransferPrepare(block.data, block.length, block.flags, blockSize);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, ErrorText(err));
        break;
      }
      err = loader.FirmwareTransfer(block.data, block.length, blockSize, display);
      if (err == aErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, ErrorText(err));
    }
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++k;
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(k - 1),
                  static_cast<int>(total));
  if (err == aErrNone) err = loader.LoaderReboot(display);
  return err;
}

BirdFile Updater::load_bird(const char* action, const std::string& birdFile, uint32_t serial, uint32_t build,
                            bool downloadWhenMissing) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_root, "load_bird");
  if (!store) return BirdFile();
  if (!birdFile.empty()) {
    display.message(INFO, "%s from Birdfile: %s", action, birdFile.c_str());
    return BirdFile(birdFile);
  }
  UpdaterStoreItem item = store->AddDevice(serial);
  display.message(INFO, "%s firmware with build: %u", action, build);
  try {
    return item.ReadBirdFile(BirdName(build));
  } catch (const std::runtime_error&) {
    if (!downloadWhenMissing) throw std::runtime_error("Error reading birdfile");
  }
  display.message(INFO, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return item.ReadBirdFile(BirdName(build));
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override) {
  if (serial == 0) {
    display.message(ERROR, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_root, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem device;
  store->FindDevice(serial, &device);
  const auto start = std::chrono::steady_clock::now();

  if (birdFile.empty()) {
    if (build == 0) {
      std::string buildText, versionText;
      UpdateServerRequest::QueryBuild(serial, buildText, versionText, server_url.c_str());
      build = ParseServerBuild(buildText).value_or(0);
      if (build != 0) {
        try {
          (void)device.ReadBirdFile(BirdName(build));
        } catch (const std::runtime_error&) {
          display.message(
              INFO, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
          build = 0;
        }
      }
    }
    if (build == 0) {
      build = static_cast<uint32_t>(device.settings.GetInt("LATEST_DOWNLOAD", 0));
      if (build != 0) display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
      build = static_cast<uint32_t>(device.settings.GetInt("LATEST_TRANSFER", 0));
      if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
    }
    if (build == 0) {
      display.message(ERROR, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile file;
  try {
    file = load_bird("Updating", birdFile, serial, build, false);
  } catch (const std::runtime_error&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  if (file.blocks.empty() && file.path.empty()) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  if (file.hasSerialOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serial)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module target(moduleAddress, 0);
  aErr err = _disableNetworkSharing(target, display);
  if (err == aErrNone) {
    if (routerSerial == 0) {
      err = ConnectDirect(target, serial);
      if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
    } else {
      if (moduleAddress == 0) {
        const std::vector<DeviceInfo> bus = Discover_CorvantisNetwork_Devices(routerSerial, INVALID);
        if (bus.empty()) {
          display.message(ERROR, "Unable to find modules on Network");
          return false;
        }
        uint16_t address = 0;
        for (const DeviceInfo& entry : bus)
          if (entry.spec.serialNumber == serial) address = entry.network_address;
        if (address == 0) {
          display.message(
              ERROR,
              "Module address required for indirect firmware update, could not find serial number "
              "[0x%08X] on network",
              serial);
          return false;
        }
        target.setModuleAddress(static_cast<uint8_t>(address));
      }
      {
        Module router(0, 0);
        err = _disableNetworkSharing(router, display);
        if (err == aErrNone) err = ConnectDirect(router, routerSerial);
        if (err != aErrNone) {
          display.message(ERROR, "Failed to connect to link module [%08X]", routerSerial);
          return false;
        }
        err = target.connectThroughLinkModule(&router);
        if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
      }
    }
  }

  if (err == aErrNone && !override && !_validate_birdfile(display, file, target, serial)) {
    display.message(ERROR, "Birdfile failed validation");
    return false;
  }
  if (err == aErrNone) err = _transfer_loader(display, target, file);
  if (err == aErrNone && !target.isConnected()) {
    target.disconnect();
    for (int attempt = 1; attempt <= kReenumerationAttempts; ++attempt) {
      if (attempt % 3 == 0) {
        Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
        Corvantis_libusb_exit();
      }
      if (target.discoverAndConnect(USB, serial) == aErrNone && target.isConnected()) break;
      target.disconnect();
      std::this_thread::sleep_for(std::chrono::milliseconds(kReenumerationPauseMs));
    }
  }
  if (err == aErrNone) err = _transfer_firmware(display, target, file, routerSerial != 0, use_uei_bytes);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }

  // A device the store has never seen (an update from -f) gets its directory
  // now, so that the record lands in its own settings file.
  if (!device.IsValid()) {
    try {
      device = store->AddDevice(serial);
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
    }
  }
  const std::string recorded = birdFile.empty() ? BirdName(build) : birdFile;
  if (device.IsValid()) {
    device.settings.Add("LATEST_TRANSFER", recorded);
    device.settings.Add("LAST_TRANSFER_DATE", LocalTimeText());
    device.settings.Save();
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  display.message(INFO, "Update time: %.4f sec", seconds);
  return true;
}
