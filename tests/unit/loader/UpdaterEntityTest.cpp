// The loader entity through the device API against the virtual module's
// loader over TCP loopback; afterwards the module's flash is compared with
// the images byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/unit/loader/LoaderFixture.h"

namespace loadertest {
namespace {

enum class Mode { kPlain, kUei, kUeiPooled };

struct FullCase {
  const char* name;
  Mode mode;
  uint16_t blockSize;
  size_t firmwareSize;
};

class FullUpdate : public LoaderTest, public ::testing::WithParamInterface<FullCase> {};

// The WRITE counts a block of `size` bytes takes at this block size.
std::vector<size_t> Chunks(size_t size, size_t blockSize) {
  std::vector<size_t> chunks;
  for (size_t at = 0; at < size; at += blockSize) chunks.push_back(std::min(blockSize, size - at));
  return chunks;
}

TEST_P(FullUpdate, FlashHoldsTheImageAndTheModuleRunsIt) {
  const FullCase& c = GetParam();
  StartDevice(DeviceOptions(c.blockSize));
  const Bytes loaderImage = Pattern(1000, 3);
  const Bytes loaderBlock = Block(kLoaderAddress, loaderImage);
  // Before LOAD the running firmware keeps the loader in RAM.
  ASSERT_EQ(entity_.LoaderInit(), aErrNone);
  uint16_t ignored = 0;
  ASSERT_EQ(entity_.TransferPrepare(loaderBlock.data(), 1004, 1, ignored), aErrNone);
  ASSERT_EQ(entity_.LoaderTransfer(loaderBlock.data(), 1004), aErrNone);
  EXPECT_EQ(loader().Ram(), (vmodule::MemoryMap{{kLoaderAddress, loaderImage}}));
  const uint32_t connectionsBefore = device_->counters().connections;
  ASSERT_EQ(entity_.LoaderStart(), aErrNone);
  EXPECT_GT(device_->counters().connections, connectionsBefore);  // reconnected after the restart
  ASSERT_TRUE(loader().InLoader());
  if (c.mode != Mode::kPlain) {
    ASSERT_EQ(entity_.CheckUEIDataSupport(), aErrNone);
  }
  if (c.mode == Mode::kUeiPooled) {
    ASSERT_EQ(entity_.CheckPooledPacketsSupport(), aErrNone);
  }

  const Bytes image = FirmwareImage(c.firmwareSize);
  device_->ClearRequests();
  uint16_t blockSize = 0;
  ASSERT_EQ(SendFirmware(Block(kFirmwareAddress, image), &blockSize), aErrNone);
  EXPECT_EQ(blockSize, c.blockSize);
  EXPECT_DOUBLE_EQ(display_.lastProgress, 1.0);
  std::vector<size_t> writes;
  size_t sums = 0;
  for (const Bytes& r : LoaderRequests(*device_)) {
    if (r.size() == 4 && r[1] == 5) writes.push_back(size_t{r[2]} << 8 | r[3]);
    sums += r.size() == 2 && r[1] == 4;
  }
  EXPECT_EQ(writes, Chunks(image.size(), c.blockSize));
  EXPECT_EQ(sums, writes.size());  // every chunk's sum was checked
  EXPECT_EQ(loader().counters().sequenceErrors, 0u);

  ASSERT_EQ(entity_.LoaderReboot(display_), aErrNone);
  EXPECT_FALSE(module_->isConnected());  // it waited for the link to drop
  EXPECT_EQ(loader().Flash(), (vmodule::MemoryMap{{kFirmwareAddress, image}}));
  EXPECT_TRUE(loader().Ram().empty());

  // Back up, running the new image.
  module_->disconnect();
  Module again(0, static_cast<uint8_t>(0));
  aErr connected = aErrConnection;
  for (int i = 0; i < 50 && connected != aErrNone; ++i) {
    connected = again.connectFromSpec(TcpSpec(device_->TcpPort()));
    if (connected != aErrNone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(connected, aErrNone);
  uint32_t build = 0;
  ASSERT_EQ(again.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 202u);
  again.disconnect();
}

INSTANTIATE_TEST_SUITE_P(Modes, FullUpdate,
                         ::testing::Values(FullCase{"Plain512", Mode::kPlain, 512, 1000},
                                           FullCase{"Plain4096", Mode::kPlain, 4096, 5000},
                                           FullCase{"Uei512", Mode::kUei, 512, 1000},
                                           FullCase{"UeiPooled512", Mode::kUeiPooled, 512, 3000},
                                           FullCase{"UeiPooled4096", Mode::kUeiPooled, 4096, 9000},
                                           FullCase{"UeiOddBlock", Mode::kUei, 100, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, AnEmptyLoaderBlockStillStartsTheLoader) {
  StartDevice(DeviceOptions());
  StartLoader(Block(kLoaderAddress, {}));
  EXPECT_EQ(loader().counters().dataPackets, 0u);
  EXPECT_EQ(loader().counters().sums, 1u);
}

TEST_F(LoaderTest, AWrongCountIsResentAndTheImageArrivesWhole) {
  StartDevice(DeviceOptions());
  StartLoader(Block(kLoaderAddress, Pattern(30, 1)));
  const Bytes image = Pattern(60, 9);
  // The second firmware packet is answered one byte short (and dropped).
  loader().knobs().wrongCountNth = loader().counters().dataPackets + 2;
  device_->ClearRequests();
  ASSERT_EQ(SendFirmware(Block(kFirmwareAddress, image)), aErrNone);
  std::vector<size_t> lengths;
  for (const Bytes& r : LoaderRequests(*device_))
    if (r[1] == 1) lengths.push_back(r.size() - 2);
  EXPECT_EQ(lengths, (std::vector<size_t>{26, 26, 26, 8}));
  EXPECT_EQ(loader().Flash(), (vmodule::MemoryMap{{kFirmwareAddress, image}}));
}

TEST_F(LoaderTest, ResendsAreBoundedAtFive) {
  for (uint32_t wrong : {5u, 6u}) {
    SCOPED_TRACE(wrong);
    StartDevice(DeviceOptions());
    StartLoader(Block(kLoaderAddress, Pattern(8, 1)));
    loader().knobs().wrongCountRepeat = wrong;
    loader().knobs().wrongCountNth = loader().counters().dataPackets + 1;
    const Bytes image = Pattern(40, 2);
    const aErr err = SendFirmware(Block(kFirmwareAddress, image));
    if (wrong == 5) {
      EXPECT_EQ(err, aErrNone);
      EXPECT_EQ(loader().Flash(), (vmodule::MemoryMap{{kFirmwareAddress, image}}));
    } else {
      EXPECT_EQ(err, aErrPacket);
      EXPECT_EQ(loader().counters().dataPackets, 7u);  // 1 loader packet, the first chunk 6 times, no more
      EXPECT_TRUE(loader().Flash().empty());
    }
    TearDown();
  }
}

TEST_F(LoaderTest, RefusalsAndWrongSumsFailTheBlock) {
  StartDevice(DeviceOptions());
  StartLoader(Block(kLoaderAddress, Pattern(8, 1)));
  const Bytes block = Block(kFirmwareAddress, Pattern(100, 4));
  uint16_t blockSize = 77;

  loader().knobs().refusePrepares = 1;
  EXPECT_EQ(entity_.TransferPrepare(block.data(), 104, 0, blockSize), aErrInvalidOption);
  EXPECT_EQ(blockSize, 77);

  loader().knobs().wrongSums = 1;
  EXPECT_EQ(SendFirmware(block), aErrInvalidOption);
  EXPECT_EQ(loader().counters().writes, 0u);  // a chunk with a bad sum is never written
  EXPECT_EQ(entity_.FirmwareTransfer(block.data(), 104, 0, display_), aErrInvalidOption);

  // After the failures the same block goes through.
  ASSERT_EQ(SendFirmware(block), aErrNone);
  EXPECT_EQ(loader().Flash().at(kFirmwareAddress), Bytes(block.begin() + 4, block.end()));
}

TEST_F(LoaderTest, BlockSizeZeroIsRefused) {
  StartDevice(DeviceOptions(0));
  const Bytes block = Block(kFirmwareAddress, Pattern(100, 4));
  uint16_t blockSize = 33;
  EXPECT_EQ(entity_.TransferPrepare(block.data(), 104, 0, blockSize), aErrInvalidOption);
  EXPECT_EQ(blockSize, 33);
  EXPECT_EQ(entity_.FirmwareTransfer(block.data(), 104, 0, display_), aErrInvalidOption);
  EXPECT_EQ(loader().counters().dataPackets, 0u);  // nothing sent after the refusal
}

TEST_F(LoaderTest, UeiSequenceErrorFailsTheChunk) {
  StartDevice(DeviceOptions(512));
  StartLoader(Block(kLoaderAddress, Pattern(8, 1)));
  ASSERT_EQ(entity_.CheckUEIDataSupport(), aErrNone);
  ASSERT_EQ(entity_.CheckPooledPacketsSupport(), aErrNone);
  // The third packet of the first byte sequence never arrives.
  const uint32_t before = loader().counters().dataPackets;
  auto seen = std::make_shared<std::atomic<int>>(0);  // the interceptor is copied for every request
  device_->SetInterceptor([seen](const vmodule::Packet& p, std::vector<vmodule::Packet>&) {
    return p.data.size() > 2 && p.data[0] == 0x5F && p.data[1] == 0x8A && ++*seen == 3;
  });
  EXPECT_NE(SendFirmware(Block(kFirmwareAddress, Pattern(500, 5))), aErrNone);
  device_->SetInterceptor({});

  EXPECT_GE(loader().counters().sequenceErrors, 1u);
  EXPECT_GT(loader().counters().dataPackets, before);
  EXPECT_TRUE(loader().Flash().empty());
}

TEST_F(LoaderTest, RebootWritesTheFlashFileAndStopWritesItAgain) {
  char path[] = "/tmp/vloader-flash-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  vmodule::Options options = DeviceOptions();
  options.flashOut = path;
  StartDevice(options);
  StartLoader(Block(kLoaderAddress, Pattern(8, 1)));
  const Bytes image = FirmwareImage(700);
  ASSERT_EQ(SendFirmware(Block(kFirmwareAddress, image)), aErrNone);
  ASSERT_EQ(entity_.LoaderReboot(display_), aErrNone);
  EXPECT_GE(display_.spinner, 0);
  std::string error;
  auto flash = vmodule::ReadFlashFile(path, &error);
  ASSERT_TRUE(flash) << error;
  EXPECT_EQ(*flash, (vmodule::MemoryMap{{kFirmwareAddress, image}}));
  std::remove(path);
  device_->Stop();
  flash = vmodule::ReadFlashFile(path, &error);
  ASSERT_TRUE(flash) << error;
  EXPECT_EQ(flash->size(), 1u);
  std::remove(path);
}

TEST_F(LoaderTest, ALoaderThatNeverComesBackFailsTheStart) {
  vmodule::Options options = DeviceOptions();
  options.loaderKnobs = {{"never-back-after-load", 1}};
  StartDevice(options);
  const Bytes block = Block(kLoaderAddress, Pattern(8, 1));
  ASSERT_EQ(entity_.LoaderInit(), aErrNone);
  uint16_t ignored = 0;
  ASSERT_EQ(entity_.TransferPrepare(block.data(), 12, 1, ignored), aErrNone);
  ASSERT_EQ(entity_.LoaderTransfer(block.data(), 12), aErrNone);
  EXPECT_EQ(entity_.LoaderStart(), aErrTimeout);
  EXPECT_FALSE(module_->isConnected());
}

TEST(LoaderKnobs, NamesMapToKnobsAndSettings) {
  vmodule::LoaderSettings settings;
  vmodule::LoaderKnobs knobs;
  EXPECT_TRUE(vmodule::ApplyLoaderKnob("wrong-count", 7, &settings, &knobs));
  EXPECT_TRUE(vmodule::ApplyLoaderKnob("uei-data", 0, &settings, &knobs));
  EXPECT_TRUE(vmodule::ApplyLoaderKnob("never-back-after-reboot", 1, &settings, &knobs));
  EXPECT_FALSE(vmodule::ApplyLoaderKnob("no-such-knob", 1, &settings, &knobs));
  EXPECT_EQ(knobs.wrongCountNth, 7u);
  EXPECT_FALSE(settings.ueiData);
  EXPECT_TRUE(knobs.neverBackAfterReboot);
}

}  // namespace
}  // namespace loadertest
