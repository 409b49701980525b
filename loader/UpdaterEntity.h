// The device loader's protocol (entity class 95, cmdUPGRADE): loader blocks
// are sent and started, then firmware blocks are prepared, sent in chunks,
// compared by byte sum, written, and the device is rebooted.
//
// Request and reply data bytes (option in data byte 1, numbers big-endian):
//   INIT     5F 00                    -> 5F 00 base(4)
//   DATA     5F 01 bytes(1..26)       -> 5F 01 accepted
//   LOAD     5F 02                    -> 5F 02
//   PREPARE  5F 03 flags address(4)   -> 5F 07 status blockSize(2)
//   SUM      5F 04                    -> 5F 07 status sum(4)
//   WRITE    5F 05 count(2)           -> 5F 07 status
//   REBOOT   5F 06                    -> (none)
//   DATA_UEI a byte-sequence set of option 10 (0x8A, 0x20) -> 5F CA 00
// A status of 0 means success. A block is a BIRD block's data: the load
// address (4 bytes) followed by the image.
#pragma once

#include <cstdint>

#include "Corvantis2/api/EntityClass.h"
#include "Corvantis2/common/aError.h"

class UpdaterDisplayInterface;

namespace Vorantix::Corvantis {
class Module;
}

enum UpgradeOption : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,
  val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public Vorantix::Corvantis::EntityClass {
 public:
  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  void init(Vorantix::Corvantis::Module* module, uint8_t index, bool validate, bool throughLinkModule);

  aErr LoaderInit();
  aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
  aErr LoaderTransfer(const uint8_t* block, uint32_t length);
  aErr LoaderStart();
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();
  aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  aErr FirmwareWrite(uint32_t count);
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  // A DATA chunk whose acknowledged count keeps differing is sent this many
  // times more before the transfer gives up.
  static constexpr int kMaxDataResends = 5;
  // Reconnect attempts by the stored specifier, then by the default serial.
  static constexpr int kReconnectAttempts = 5;
  static constexpr uint32_t kDefaultSerialNumber = 0xDEADDEAD;
  // The longest the reboot waits for the link to drop.
  static constexpr uint32_t kRebootWaitMs = 30000;

 private:
  aErr _reconnect(uint32_t delayMs);
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& count);
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& count, uint32_t& hostSum);
  aErr _send(uint8_t option, const uint8_t* payload = nullptr, uint8_t length = 0);
  // _send, logging failureFormat (one %d: the code) when it fails.
  aErr _send_or_log(uint8_t option, const char* failureFormat, const uint8_t* payload = nullptr,
                    uint8_t length = 0);
  // Awaits the first reply 5F <option>; data holds its data bytes.
  aErr _await(uint8_t option, uint8_t* data, uint8_t& length);

  Vorantix::Corvantis::Module* module = nullptr;
  bool validate = true;
  bool throughLinkModule = false;
  bool ueiDataSupported = false;
};
