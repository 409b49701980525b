// The loader entity against the virtual module's loader: a device on a
// loopback TCP port (no discovery), a Module connected to it, and the steps
// of an update with the blocks a BIRD file would hold.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Corvantis2/api/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "loader/UpdaterEntity.h"
#include "sim/birdwriter/BirdWriter.h"
#include "sim/birdwriter/VirtualImage.h"
#include "sim/vmodule/Loader.h"
#include "sim/vmodule/VirtualModule.h"
#include "support/LoopbackPort.h"

namespace loadertest {

using namespace Vorantix::Corvantis;
using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kSerial = 0x0000002A;
inline constexpr uint8_t kAddress = 2;
inline constexpr uint32_t kLoaderAddress = 0x20000000;
inline constexpr uint32_t kFirmwareAddress = 0x08000000;

// Counts what the flows would show; shows nothing.
class QuietDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double fraction, const char*) override { lastProgress = fraction; }
  void update_spinner(bool active, const char*) override { spinner += active; }
  void info_message(const char*) override {}
  void error_message(const char*) override {}
  double lastProgress = 0;
  int spinner = 0;
};

inline vmodule::Options DeviceOptions(uint16_t blockSize = 512) {
  vmodule::Options options;
  options.modules[0].serial = kSerial;
  options.modules[0].address = kAddress;
  options.modules[0].model = 5;
  options.modules[0].build = 100;
  options.heartbeatMs = 0;
  options.tcpPort = 0;
  options.discovery = false;  // multicast only inside a private namespace
  options.loaderBlockSize = blockSize;
  options.loaderRestartMs = 50;
  options.loaderRebootMs = 50;
  return options;
}

inline linkSpec TcpSpec(uint16_t port) { return LoopbackTcpSpec(port, kSerial); }

// A block as the BIRD file holds it: load address (big-endian), then the image.
inline Bytes Block(uint32_t address, const Bytes& image) {
  Bytes block(4 + image.size());
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  for (size_t i = 0; i < image.size(); ++i) block[4 + i] = image[i];
  return block;
}

inline Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return bytes;
}

// A virtual firmware image: after REBOOT the module reports this build.
inline Bytes FirmwareImage(size_t size, uint32_t build = 202) {
  birdwriter::Descriptor descriptor;
  descriptor.build = build;
  descriptor.version = "2.16.1";
  descriptor.serial = kSerial;
  descriptor.model = "Osprey";
  return birdwriter::VirtualFirmwareImage(descriptor, 7, size);
}

// The data bytes of loader requests (command 95) seen by the module.
inline std::vector<Bytes> LoaderRequests(const vmodule::VirtualModule& device) {
  std::vector<Bytes> found;
  for (const vmodule::Packet& p : device.Requests())
    if (p.address == kAddress && !p.data.empty() && p.data[0] == 0x5F) found.push_back(p.data);
  return found;
}

class LoaderTest : public ::testing::Test {
 protected:
  void StartDevice(vmodule::Options options) {
    device_ = std::make_unique<vmodule::VirtualModule>(std::move(options));
    ASSERT_TRUE(device_->Start());
    module_ = std::make_unique<Module>(0, static_cast<uint8_t>(0));
    ASSERT_EQ(module_->connectFromSpec(TcpSpec(device_->TcpPort())), aErrNone);
    ASSERT_EQ(module_->getModuleAddress(), kAddress);
    entity_.init(module_.get(), 0, true, false);
  }

  void TearDown() override {
    if (module_) module_->disconnect();
    module_.reset();
    if (device_) device_->Stop();
  }

  vmodule::LoaderModel& loader() { return device_->loader(0); }

  // INIT, the loader block into RAM, LOAD with its restart and reconnect.
  void StartLoader(const Bytes& loaderBlock) {
    ASSERT_EQ(entity_.LoaderInit(), aErrNone);
    uint16_t ignored = 0;
    ASSERT_EQ(
        entity_.TransferPrepare(loaderBlock.data(), static_cast<uint32_t>(loaderBlock.size()), 1, ignored),
        aErrNone);
    ASSERT_EQ(entity_.LoaderTransfer(loaderBlock.data(), static_cast<uint32_t>(loaderBlock.size())),
              aErrNone);
    ASSERT_EQ(entity_.LoaderStart(), aErrNone);
    ASSERT_TRUE(loader().InLoader());
  }

  // PREPARE, the chunks with their WRITEs, as the update flow sends a firmware block.
  aErr SendFirmware(const Bytes& block, uint16_t* blockSize = nullptr) {
    uint16_t size = 0;
    aErr err = entity_.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, size);
    if (blockSize) *blockSize = size;
    if (err != aErrNone) return err;
    return entity_.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), size, display_);
  }

  std::unique_ptr<vmodule::VirtualModule> device_;
  std::unique_ptr<Module> module_;
  UpdaterEntity entity_;
  QuietDisplay display_;
};

}  // namespace loadertest
