#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Corvantis2/common/aDiscovery.h"
#include "Corvantis2/common/aLinkCreate.h"
#include "Corvantis2/unix/aStreamUSB.h"
#include "Corvantis2/unix/cvusb.h"
#include "sim/vusb/UsbBus.h"

namespace {

using vusb::DeviceSpec;

DeviceSpec Spec(const char* serial, uint16_t product = 0x0005, uint16_t vendor = vusb::kCorvantisVendor,
                uint16_t maxPacket = 512) {
  DeviceSpec spec;
  spec.serial = serial;
  spec.product = product;
  spec.vendor = vendor;
  spec.maxPacket = maxPacket;
  return spec;
}

vmodule::Options ModuleOptions(uint32_t serial, uint8_t model = 5, bool silent = false) {
  vmodule::Options options;
  options.modules[0].serial = serial;
  options.modules[0].model = model;
  options.heartbeatMs = silent ? 0 : 200;
  return options;
}

// Every test starts and ends without a libusb context, so that each
// enumerates the bus it made.
class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override { Corvantis_libusb_exit(); }
  void TearDown() override { Corvantis_libusb_exit(); }

  // Opens a raw cvusb device through libusb.
  cvusb_device* Open(const char* serial, aErr expected = aErrNone) {
    cvusb_device* device = cvusb_create_usb(true);
    EXPECT_NE(device, nullptr);
    EXPECT_EQ(cvusb_open_corvantis_device(device, serial), expected);
    return device;
  }

  vusb::UsbBus bus;
};

struct Seen {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never
};

bool Collect(const linkSpec* spec, bool* success, void* ref) {
  auto* seen = static_cast<Seen*>(ref);
  seen->specs.push_back(*spec);
  *success = true;
  return seen->stopAfter == 0 || seen->specs.size() < seen->stopAfter;
}

TEST_F(UsbTest, EnumerationTakesOnlyFamilyDevicesWithEightDigitSerials) {
  bus.Add(Spec("0000002A", 0x0013), nullptr);
  bus.Add(Spec("00000B0B", 0x8001), nullptr);          // product bit 15
  bus.Add(Spec("00000C0C", 0x0013, 0x1234), nullptr);  // another vendor
  bus.Add(Spec("1234567", 0x0013), nullptr);           // 7 characters
  bus.Add(Spec("00abcdef", 0x0107), nullptr);          // lower-case digits
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &seen, 0), 2u);
  ASSERT_EQ(seen.specs.size(), 2u);
  std::sort(seen.specs.begin(), seen.specs.end(),
            [](const linkSpec& a, const linkSpec& b) { return a.serialNumber < b.serialNumber; });
  EXPECT_EQ(seen.specs[0].serialNumber, 0x2Au);
  EXPECT_EQ(seen.specs[0].usbSerial, 0x2Au);
  EXPECT_EQ(seen.specs[0].model, 0x13u);
  EXPECT_EQ(seen.specs[0].type, static_cast<uint32_t>(USB));
  EXPECT_EQ(seen.specs[0].moduleAddress, 0u);
  EXPECT_EQ(seen.specs[1].serialNumber, 0x00ABCDEFu);
  EXPECT_EQ(seen.specs[1].model, 0x07u);

  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collect, &first, 0), 1u);
  EXPECT_EQ(first.specs.size(), 1u);

  linkSpec* found = aDiscovery_FindModule(USB, 0x00ABCDEF, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->usbSerial, 0x00ABCDEFu);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x00000B0B, 0), nullptr);
}

TEST_F(UsbTest, OpenComparesTheSerialStringExactly) {
  bus.Add(Spec("1234abcd"), nullptr);
  bus.Add(Spec("00000010", 0x8001), nullptr);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x1234ABCD, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0x10, &stream), aErrNotFound);  // bit 15: never opened
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0x10, nullptr), aErrParam);
  cvusb_device* device = Open("1234abcd");
  EXPECT_EQ(device->state, cvusbStateReady);
  EXPECT_EQ(device->inEndpoint, 0x81);
  EXPECT_EQ(device->outEndpoint, 0x02);
  EXPECT_EQ(device->outMaxPacket, 512);
  EXPECT_EQ(cvusb_destroy(&device), aErrNone);
  EXPECT_EQ(device, nullptr);
}

TEST_F(UsbTest, BusyClaimAndMissingInterface) {
  const int busy = bus.Add(Spec("000000B5"), nullptr);
  bus.knobs(busy).claimBusy = true;
  DeviceSpec other = Spec("000000C0");
  other.dataInterface = false;
  bus.Add(other, nullptr);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0xB5, &stream), aErrBusy);
  EXPECT_EQ(bus.counters(busy).claims, 1u);
  cvusb_device* device = Open("000000C0", aErrConfiguration);
  EXPECT_EQ(device->state, cvusbStateClosed);
  EXPECT_EQ(device->handle, nullptr);
  cvusb_destroy(&device);
}

TEST_F(UsbTest, WritesAreChunkedBelowFiveHundredTwelve) {
  const int high = bus.Add(Spec("00000512"), nullptr);
  const int full = bus.Add(Spec("00000064", 5, vusb::kCorvantisVendor, 64), nullptr);
  std::vector<uint8_t> bytes(1000, 0x5A);
  cvusb_device* device = Open("00000512");
  EXPECT_EQ(cvusb_write_to_device(device, bytes.data(), 1000), aErrNone);
  EXPECT_EQ(bus.OutTransfers(high), (std::vector<size_t>{511, 489}));
  cvusb_destroy(&device);

  device = Open("00000064");
  EXPECT_EQ(device->outMaxPacket, 64);
  EXPECT_EQ(cvusb_write_to_device(device, bytes.data(), 64), aErrNone);
  EXPECT_EQ(bus.OutTransfers(full), (std::vector<size_t>{64}));
  cvusb_destroy(&device);
}

TEST_F(UsbTest, WriteRetriesAfterStallsAndNeverRepeatsTakenBytes) {
  const int id = bus.Add(Spec("0000057A"), nullptr);
  std::vector<uint8_t> bytes(100, 1);
  cvusb_device* device = Open("0000057A");
  bus.knobs(id).stallOut = 2;
  EXPECT_EQ(cvusb_write_to_device(device, bytes.data(), 100), aErrNone);
  EXPECT_EQ(bus.counters(id).clearHalts, 2u);
  EXPECT_EQ(bus.OutTransfers(id), (std::vector<size_t>{100}));

  bus.ClearOutTransfers(id);
  bus.knobs(id).partialOut = 40;
  EXPECT_EQ(cvusb_write_to_device(device, bytes.data(), 100), aErrNone);
  EXPECT_EQ(bus.OutTransfers(id), (std::vector<size_t>{40, 60}));

  // Ten failures in one call: the bytes are not sent.
  bus.ClearOutTransfers(id);
  bus.knobs(id).stallOut = 10;
  EXPECT_EQ(cvusb_write_to_device(device, bytes.data(), 100), aErrWrite);
  EXPECT_TRUE(bus.OutTransfers(id).empty());
  cvusb_destroy(&device);
}

TEST_F(UsbTest, FourIOErrorsAreAbsorbedAndTheFifthIsFinal) {
  const int id = bus.Add(Spec("000000E5"), nullptr);
  cvusb_device* device = Open("000000E5");
  bus.knobs(id).ioErrorsIn = 5;
  uint8_t byte = 0;
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(cvusb_get_from_device(device, &byte), aErrNotReady) << i;
    EXPECT_EQ(device->errorCount, i);
    EXPECT_EQ(device->state, cvusbStateReady);
  }
  EXPECT_EQ(cvusb_get_from_device(device, &byte), aErrIO);
  EXPECT_EQ(device->state, cvusbStateFailed);
  const uint32_t transfers = bus.counters(id).inTransfers;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(cvusb_get_from_device(device, &byte), aErrIO);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(cvusb_write_to_device(device, bytes, sizeof bytes), aErrIO);
  EXPECT_EQ(bus.counters(id).inTransfers, transfers);  // a failed device is not asked again
  cvusb_destroy(&device);
}

TEST_F(UsbTest, ReadTimeoutAndStallAreNotReadyWithoutErrors) {
  const int id = bus.Add(Spec("000000A1"), nullptr);
  cvusb_device* device = Open("000000A1");
  uint8_t byte = 0x77;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cvusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(device->errorCount, 0);
  bus.knobs(id).stallIn = 1;
  EXPECT_EQ(cvusb_get_from_device(device, &byte), aErrNotReady);
  EXPECT_EQ(bus.counters(id).clearHalts, 1u);
  EXPECT_EQ(device->errorCount, 0);
  cvusb_destroy(&device);
}

struct Match {
  uint8_t command, option;
};

bool MatchReply(const aPacket* packet, void* ref) {
  const auto* m = static_cast<const Match*>(ref);
  return packet->dataSize >= 2 && packet->data[0] == m->command && packet->data[1] == m->option;
}

uint32_t AskSerial(aLinkRef link) {
  const uint8_t request[] = {3, 0x49, 0x20};
  aPacket* packet = aPacket_CreateWithData(6, sizeof request, request);
  EXPECT_EQ(aLink_PutPacket(link, packet), aErrNone);
  aPacket_Destroy(&packet);
  Match match{3, 9};
  aPacket* reply = aLink_AwaitFirst(link, MatchReply, &match, 1000);
  if (!reply) return 0;
  uint32_t serial = 0;
  if (reply->dataSize == 7)
    serial = uint32_t{reply->data[3]} << 24 | uint32_t{reply->data[4]} << 16 | uint32_t{reply->data[5]} << 8 |
             reply->data[6];
  aPacket_Destroy(&reply);
  return serial;
}

TEST_F(UsbTest, LinkTalksToTheModuleAndIsSharedByUseCount) {
  bus.AddModule(Spec("0000002A"), ModuleOptions(0x2A));
  aLinkRef link = aLink_CreateUSB(0x2A);
  ASSERT_NE(link, 0u);
  aLinkRef again = aLink_CreateUSB(0x2A);
  EXPECT_EQ(again, link);
  EXPECT_EQ(AskSerial(link), 0x2Au);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(AskSerial(link), 0x2Au);  // still running
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  aLinkRef gone = link;
  EXPECT_EQ(aLink_Destroy(&gone), aErrParam);
}

TEST_F(UsbTest, ModuleWithoutHandshakeGetsNoLink) {
  vmodule::Options options = ModuleOptions(0x5E);
  const int id = bus.AddModule(Spec("0000005E"), options);
  bus.module(id)->knobs().silent = true;
  EXPECT_EQ(aLink_CreateUSB(0x5E), 0u);
  EXPECT_EQ(aLink_CreateUSB(0x77), 0u);  // not on the bus at all
}

TEST_F(UsbTest, ReplugAfterRestartIsFoundWithAFreshContext) {
  const int id = bus.AddModule(Spec("000000F1"), ModuleOptions(0xF1));
  aLinkRef link = aLink_CreateUSB(0xF1);
  ASSERT_NE(link, 0u);
  // The module asks its transport for a restart, as its loader does.
  ASSERT_TRUE(bus.module(id)->Restart(150));
  for (int i = 0; i < 100 && bus.Present(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(bus.Present(id));
  // The old handle is dead: the link reports the failure.
  EXPECT_EQ(AskSerial(link), 0u);
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);

  for (int i = 0; i < 200 && !bus.Present(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(bus.Present(id));
  EXPECT_EQ(bus.counters(id).plugs, 2u);
  Corvantis_libusb_exit();  // what the flows do before every third attempt
  linkSpec* found = aDiscovery_FindModule(USB, 0xF1, 0);
  ASSERT_NE(found, nullptr);
  aLinkSpec_Destroy(&found);
  link = aLink_CreateUSB(0xF1);
  ASSERT_NE(link, 0u);
  EXPECT_EQ(AskSerial(link), 0xF1u);
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(UsbTest, KernelNodeIsUsedWhenPresentWithoutLibusb) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char name[64];
  ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
  // Raw, and a read with nothing there returns 0 bytes at once, as the
  // driver's node does.
  const int keep = open(name, O_RDWR | O_NOCTTY);
  termios raw{};
  tcgetattr(keep, &raw);
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(keep, TCSANOW, &raw);
  ASSERT_TRUE(bus.AddNodeLink("corvantis.0000BEEF", name));
  const int id = bus.Add(Spec("0000BEEF"), nullptr);

  ASSERT_TRUE(cvusb_is_kernel_driver_installed(0xBEEF));
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0xBEEF, &stream), aErrNone);
  EXPECT_FALSE(Corvantis_libusb_context_exists());
  EXPECT_EQ(bus.counters(id).ioctls, 0u);

  const uint8_t out[] = {0xAD, 0x00};
  EXPECT_EQ(aStream_Write(stream, out, sizeof out), aErrNone);
  uint8_t got[2] = {};
  ASSERT_EQ(read(master, got, sizeof got), 2);
  EXPECT_EQ(std::memcmp(got, out, 2), 0);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  const uint8_t in[] = {0x06, 0x00};
  ASSERT_EQ(write(master, in, sizeof in), 2);
  uint8_t back[2] = {};
  for (int i = 0; i < 100 && aStream_Read(stream, back, 2) != aErrNone; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(std::memcmp(back, in, 2), 0);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  close(keep);
  close(master);
}

}  // namespace

int main(int argc, char** argv) {
  if (!vusb::RunUnderPreload(argv)) return 1;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
