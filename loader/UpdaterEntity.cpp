#include "loader/UpdaterEntity.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Corvantis2/api/Link.h"
#include "Corvantis2/api/Module.h"
#include "Corvantis2/api/SystemClass.h"
#include "Corvantis2/common/aLinkSpec.h"
#include "Corvantis2/unix/aTime.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"

using Vorantix::Corvantis::Link;
using Vorantix::Corvantis::Module;
using Vorantix::Corvantis::SystemClass;

namespace {

constexpr uint8_t kUpgradeClass = cmdUPGRADE;
constexpr uint8_t kDataChunk = 26;
constexpr uint32_t kPooledPacketsBit = 0x80000000u;
constexpr unsigned kReconnectLog = DEBUG_Network;
constexpr unsigned kLog = DEBUG_Network_FIRM;
constexpr unsigned kAlways = 0;

uint32_t Big32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint32_t ByteSum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

}  // namespace

void UpdaterEntity::init(Module* target, uint8_t index, bool validateBlocks, bool viaLinkModule) {
  module = target;
  validate = validateBlocks;
  throughLinkModule = viaLinkModule;
  ueiDataSupported = false;
  EntityClass::init(target, kUpgradeClass, index);
}

aErr UpdaterEntity::_send(uint8_t option, const uint8_t* payload, uint8_t length) {
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = option;
  if (length) std::memcpy(data + 1, payload, length);
  return sendPacket(kUpgradeClass, static_cast<uint8_t>(length + 1), data);
}

aErr UpdaterEntity::_send_or_log(uint8_t option, const char* failureFormat, const uint8_t* payload,
                                 uint8_t length) {
  const aErr err = _send(option, payload, length);
  if (err != aErrNone) Log::log(kLog, failureFormat, err);
  return err;
}

aErr UpdaterEntity::_await(uint8_t option, uint8_t* data, uint8_t& length) {
  data[0] = kUpgradeClass;
  data[1] = option;
  length = 2;
  return receivePacket(data, &length, data);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(kLog, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = _send_or_log(val_UPGRADE_INIT, "NETWORK: Error sending UPGRADE_INIT (%d)\n");
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = _await(val_UPGRADE_INIT, reply, length);
  if (err != aErrNone) return err;
  if (length <= 5) return aErrPacket;
  const uint32_t base = Big32(reply + 2);
  Log::log(kLog, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
  if (!block || length < 4) return aErrParam;
  Log::log(kLog, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags, blockSize);
  Log::log(kLog, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
           flags, block[0], block[1], block[2], block[3]);
  Log::log(kLog, "NETWORK: Address: %d\n", static_cast<int>(Big32(block)));
  const uint8_t request[5] = {flags, block[0], block[1], block[2], block[3]};
  aErr err = _send_or_log(val_UPGRADE_PREPARE, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", request,
                          sizeof request);
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  err = _await(val_UPGRADE_STATUS, reply, replyLength);
  if (err != aErrNone) return err;
  // A zero block size would make the firmware transfer send empty chunks
  // for ever; a short reply carries no block size at all.
  const uint16_t announced = replyLength >= 5 ? static_cast<uint16_t>((reply[3] << 8) | reply[4]) : 0;
  if (replyLength < 3 || reply[2] != 0 || announced == 0) {
    Log::log(kLog, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  blockSize = announced;
  Log::log(kLog, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
  if (!block || length < 4) return aErrParam;
  Log::log(kLog, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", Big32(block),
           static_cast<int>(length - 4));
  uint32_t count = 0;
  return _block_transfer(block + 4, length - 4, count);
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(kLog, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = _send_or_log(val_UPGRADE_LOAD, "NETWORK: Error sending UPGRADE_LOAD (%d)\n");
  if (err != aErrNone) return err;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (_await(val_UPGRADE_LOAD, reply, length) == aErrNone) {
    Log::log(kLog, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  err = _reconnect(500);
  if (err != aErrNone) {
    Log::log(kLog, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = _await(val_UPGRADE_LOAD, reply, length);
  if (err != aErrNone) {
    Log::log(kLog, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  Log::log(kLog, "NETWORK: Loader validated start (Reconnect)\n");
  return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (!module) return aErrResource;
  module->disconnect();
  aErr err = aErrConnection;
  for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(kReconnectLog, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             kReconnectAttempts);
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(kReconnectLog, "NETWORK: Reconnected to device\n");
      return err;
    }
    Log::log(kReconnectLog, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             static_cast<int>(delayMs));
    aTime_MSSleep(delayMs);
  }
  for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(kReconnectLog, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
             kReconnectAttempts);
    err = module->connect(USB, kDefaultSerialNumber);
    if (err == aErrNone) {
      Log::log(kReconnectLog, "NETWORK: Reconnected to device\n");
      return err;
    }
    Log::log(kReconnectLog, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
             static_cast<int>(delayMs));
    aTime_MSSleep(delayMs);
  }
  return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (!module) return aErrResource;
  const aErr err = module->hasUEI(kUpgradeClass, val_UPGRADE_DATA_UEI, 0, 0x80);
  Log::log(kLog, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
  if (err == aErrNone) ueiDataSupported = true;
  return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (!module) return aErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  const aErr err = system.getProtocolFeatures(&features);
  Log::log(kLog, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone || !(features & kPooledPacketsBit)) return err;
  Link* link = module->getLink();
  if (!link) return aErrConnection;
  return link->enablePooledPackets(true);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!block || length < 4) return aErrParam;
  if (blockSize == 0) return aErrInvalidOption;
  Log::log(kLog, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", Big32(block),
           static_cast<int>(length - 4));
  Log::timestamped = false;
  display.display_progress(true);
  uint32_t remaining = length - 4;
  const uint8_t* position = block + 4;
  uint32_t count = 0;
  aErr err = aErrNone;
  while (remaining != 0 && err == aErrNone) {
    const uint32_t chunk = std::min<uint32_t>(remaining, blockSize);
    err = _block_transfer(position, chunk, count);
    if (err == aErrNone) {
      remaining -= chunk;
      position += chunk;
      ++count;
      display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
      Log::log(kLog, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(chunk),
               static_cast<int>(remaining), static_cast<int>(length));
    }
    if (err == aErrNone) err = FirmwareWrite(chunk);
  }
  display.display_progress(false);
  Log::log(kLog, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != aErrNone) Log::log(kAlways, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(kLog, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", static_cast<int>(count));
  const uint8_t request[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aErr err = _send(val_UPGRADE_WRITE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(kLog, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  err = _await(val_UPGRADE_STATUS, reply, length);
  if (err != aErrNone || length < 3 || reply[2] != 0) {
    Log::log(kLog, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(kLog, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& count,
                                               uint32_t& hostSum) {
  Log::log(kLog, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  const aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
  if (err != aErrNone) {
    Log::log(kLog, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  hostSum += ByteSum(data, length);
  count = 1;
  Log::log(kLog, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& count) {
  Log::log(kLog, "\nNETWORK: Block Transfer\n");
  uint32_t hostSum = 0;
  uint32_t remaining = length;
  aErr err = aErrNone;
  if (ueiDataSupported) {
    err = _block_transfer_uei_helper(data, length, count, hostSum);
    if (err != aErrNone) return err;
    remaining = 0;
  } else {
    int resends = 0;
    while (remaining != 0 && err == aErrNone) {
      const uint8_t chunk = static_cast<uint8_t>(std::min<uint32_t>(remaining, kDataChunk));
      const uint8_t* position = data + (length - remaining);
      Log::log(kLog, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", chunk);
      err = _send(val_UPGRADE_DATA, position, chunk);
      if (err != aErrNone) {
        Log::log(kLog, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        return err;
      }
      uint8_t reply[aPACKET_MAX_DATA];
      uint8_t replyLength = 0;
      if (_await(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
        Log::log(kLog, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = aErrPacket;
        break;
      }
      const int accepted = replyLength >= 3 ? reply[2] : -1;
      if (accepted != chunk) {
        Log::log(kLog, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted, chunk);
        // A loader that keeps miscounting will not recover by itself.
        if (++resends > kMaxDataResends) err = aErrPacket;
        continue;
      }
      resends = 0;
      hostSum += ByteSum(position, chunk);
      remaining -= chunk;
      ++count;
      Log::log(kLog, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", chunk,
               static_cast<int>(remaining), static_cast<int>(length));
    }
  }
  Log::log(kLog, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != aErrNone || !validate) return err;

  Log::log(kLog, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  (void)_send(val_UPGRADE_SUM);  // a lost request shows as a missing reply
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  if (_await(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
    Log::log(kLog, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
  const bool hasSum = replyLength >= 7;
  const uint32_t deviceSum = hasSum ? Big32(reply + 3) : 0;
  if (status == 0 && hasSum && deviceSum == hostSum) {
    Log::log(kLog, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, hostSum,
             deviceSum, static_cast<int>(count));
    return aErrNone;
  }
  Log::log(kAlways, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, hostSum,
           deviceSum);
  return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(kLog, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const aErr err = _send(val_UPGRADE_REBOOT);
  if (err != aErrNone) Log::log(kLog, "NETWORK: Error sending Loader REBOOT\n");
  // The link engine notices a vanished device within a few heartbeats; a
  // device that keeps its link up (or a peer that closed gracefully) must
  // not hold the update for ever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRebootWaitMs);
  while (module && module->isConnected()) {
    aTime_MSSleep(250);
    display.update_spinner(true, "Verifying Update");
    Log::log(kLog, "Waiting for link to drop.\n");
    Log::log(kLog, "Rebooting Device\n");
    if (throughLinkModule) break;
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  display.update_spinner(false, "Verifying Update");
  return err;
}
