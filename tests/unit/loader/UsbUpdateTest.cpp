// The loader entity over the USB test double: LOAD makes the device leave
// the bus and come back, the entity finds it again, and the firmware lands
// in flash byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Corvantis2/unix/cvusb.h"
#include "sim/vusb/UsbBus.h"
#include "tests/unit/loader/LoaderFixture.h"

namespace loadertest {
namespace {

TEST(UsbUpdate, LoadReenumeratesAndTheFirmwareArrives) {
  Corvantis_libusb_exit();
  vusb::UsbBus bus;
  vusb::DeviceSpec spec;
  spec.serial = "0000002A";
  spec.product = 0x0005;
  spec.vendor = vusb::kCorvantisVendor;
  spec.maxPacket = 512;
  vmodule::Options options = DeviceOptions(4096);
  options.tcpPort = -1;
  options.heartbeatMs = 200;
  options.loaderRestartMs = 100;
  const int id = bus.AddModule(spec, options);
  vmodule::LoaderModel& loader = bus.module(id)->loader(0);

  Module module(0, static_cast<uint8_t>(0));
  ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  QuietDisplay display;
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  const Bytes loaderBlock = Block(kLoaderAddress, Pattern(300, 1));
  uint16_t blockSize = 0;
  ASSERT_EQ(entity.TransferPrepare(loaderBlock.data(), 304, 1, blockSize), aErrNone);
  ASSERT_EQ(entity.LoaderTransfer(loaderBlock.data(), 304), aErrNone);
  ASSERT_EQ(entity.LoaderStart(), aErrNone);
  EXPECT_EQ(bus.counters(id).plugs, 2u);  // it left the bus and came back
  ASSERT_TRUE(loader.InLoader());
  ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
  ASSERT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);

  const Bytes image = FirmwareImage(10000);
  const Bytes block = Block(kFirmwareAddress, image);
  ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize),
            aErrNone);
  EXPECT_EQ(blockSize, 4096);
  ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display),
            aErrNone);
  ASSERT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(loader.Flash(), (vmodule::MemoryMap{{kFirmwareAddress, image}}));
  module.disconnect();
  for (int i = 0; i < 200 && bus.counters(id).plugs < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(bus.counters(id).plugs, 3u);  // back after the reboot
  Corvantis_libusb_exit();
}

}  // namespace
}  // namespace loadertest

int main(int argc, char** argv) {
  if (!vusb::RunUnderPreload(argv)) return 1;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
