// Entities (system, I2C, store commands, byte sequences) against the virtual
// module, over TCP and over a serial link on a pseudo-terminal.
#include <unistd.h>

#include "Corvantis2/api/I2CClass.h"
#include "Corvantis2/api/SystemClass.h"
#include "support/TempDir.h"
#include "tests/unit/api/ApiFixture.h"

namespace apitest {
namespace {

class EntityTest : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    system_.init(module_.get(), 0);
    i2c_.init(module_.get(), 0);
  }
  SystemClass system_;
  I2CClass i2c_;
};

struct RequestCase {
  const char* name;
  std::function<aErr(SystemClass&)> call;
  Bytes sent;
};

TEST_F(EntityTest, RequestsCarryTheirBytes) {
  const RequestCase cases[] = {
      {"getSerialNumber",
       [](SystemClass& s) {
         uint32_t v;
         return s.getSerialNumber(&v);
       },
       {3, 0x49, 0x20}},
      {"save", [](SystemClass& s) { return s.save(); }, {3, 0x8A, 0x20}},
      {"setUEI8(2, 6)", [](SystemClass& s) { return s.setUEI8(2, 6); }, {3, 0x82, 0x20, 6}},
      {"setUEI32(34)",
       [](SystemClass& s) { return s.setPowerLimitMax(0x01020304); },
       {3, 0xA2, 0x20, 1, 2, 3, 4}},
      {"getUEI8 with subindex",
       [](SystemClass& s) {
         uint8_t v;
         return s.getUEI8(4, 9, &v);
       },
       {3, 0x44, 0x20, 9}},
      {"setUEI16 with subindex",
       [](SystemClass& s) { return s.setUEI16(3, 2, 0xBEEF); },
       {3, 0x83, 0x20, 2, 0xBE, 0xEF}},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    device_->ClearRequests();
    c.call(system_);
    const auto sent = RequestsTo(*device_, kAddress);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], c.sent);
  }
  uint32_t serial = 0;
  ASSERT_EQ(system_.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);
}

TEST_F(EntityTest, SetErrorRepliesAndMissingModulesGiveTheirCodes) {
  device_->SetInterceptor(Answer({3, 0x82}, {{3, 0xC2, 0x80, 5}}));
  EXPECT_EQ(system_.setRouter(6), aErrBusy);
  device_->SetInterceptor({});
  EXPECT_EQ(system_.setUEI8(44, 1), aErrInvalidOption);
  EXPECT_EQ(system_.setUEI32(9, 1), aErrPermission) << "the serial number is read-only";
  uint8_t value = 0;
  EXPECT_EQ(system_.getUEI8(1, nullptr), aErrParam);
  SystemClass detached;
  EXPECT_EQ(detached.getModule(&value), aErrResource);
  EXPECT_EQ(detached.save(), aErrResource);
  EXPECT_EQ(detached.saveEntityToStore(), aErrResource);
}

TEST_F(EntityTest, EveryReadableSystemOptionAnswersAndWritableOnesKeepTheirValue) {
  // Getters of every option of the system entity, by kind.
  const std::vector<std::pair<const char*, std::function<aErr(SystemClass&)>>> getters = {
#define U8(f)                                         \
  {                                                   \
#f, [](SystemClass& s) { uint8_t v; return s.f(&v); } \
  }
#define U32(f)                                         \
  {                                                    \
#f, [](SystemClass& s) { uint32_t v; return s.f(&v); } \
  }
#define I32(f)                                        \
  {                                                   \
#f, [](SystemClass& s) { int32_t v; return s.f(&v); } \
  }
      U8(getModule),
      U8(getRouter),
      U8(getHBInterval),
      U8(getLED),
      U8(getBootSlot),
      U32(getVersion),
      U8(getModel),
      U32(getSerialNumber),
      U32(getInputVoltage),
      U8(getModuleHardwareOffset),
      U8(getModuleBaseAddress),
      U8(getModuleSoftwareOffset),
      U8(getRouterAddressSetting),
      U32(getInputCurrent),
      U32(getUptime),
      I32(getMaximumTemperature),
      I32(getUnregulatedVoltage),
      I32(getUnregulatedCurrent),
      I32(getTemperature),
      I32(getMinimumTemperature),
      U8(getInputPowerSource),
      U8(getInputPowerBehavior),
      U32(getPowerLimit),
      U32(getPowerLimitMax),
      U32(getPowerLimitState),
      U8(getLinkInterface),
      U32(getHardwareVersion),
      U32(getErrors),
      U8(getLEDMaxBrightness),
      U32(getBuild),
      U32(getProtocolFeatures),
#undef U8
#undef U32
#undef I32
  };
  for (const auto& [name, get] : getters) EXPECT_EQ(get(system_), aErrNone) << name;

  uint32_t version = 0, features = 0, build = 0;
  uint8_t model = 0;
  int32_t minimum = 0;
  ASSERT_EQ(system_.getVersion(&version), aErrNone);
  EXPECT_NE(version, 0u);
  ASSERT_EQ(system_.getModel(&model), aErrNone);
  EXPECT_EQ(model, 5);
  ASSERT_EQ(system_.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4711u);
  ASSERT_EQ(system_.getProtocolFeatures(&features), aErrNone);
  EXPECT_TRUE(features & kPROTOCOL_FEATURE_POOLED);
  ASSERT_EQ(system_.getMinimumTemperature(&minimum), aErrNone);
  EXPECT_LT(minimum, 0);

  struct Write {
    const char* name;
    std::function<aErr(SystemClass&)> set;
    std::function<aErr(SystemClass&, uint32_t*)> get;
    uint32_t value;
  };
  const Write writes[] = {
      {"LED", [](SystemClass& s) { return s.setLED(1); },
       [](SystemClass& s, uint32_t* v) {
         uint8_t b = 0;
         aErr e = s.getLED(&b);
         *v = b;
         return e;
       },
       1},
      {"boot slot", [](SystemClass& s) { return s.setBootSlot(2); },
       [](SystemClass& s, uint32_t* v) {
         uint8_t b = 0;
         aErr e = s.getBootSlot(&b);
         *v = b;
         return e;
       },
       2},
      {"software offset", [](SystemClass& s) { return s.setModuleSoftwareOffset(8); },
       [](SystemClass& s, uint32_t* v) {
         uint8_t b = 0;
         aErr e = s.getModuleSoftwareOffset(&b);
         *v = b;
         return e;
       },
       8},
      {"power limit", [](SystemClass& s) { return s.setPowerLimitMax(777); },
       [](SystemClass& s, uint32_t* v) { return s.getPowerLimitMax(v); }, 777},
      {"brightness", [](SystemClass& s) { return s.setLEDMaxBrightness(9); },
       [](SystemClass& s, uint32_t* v) {
         uint8_t b = 0;
         aErr e = s.getLEDMaxBrightness(&b);
         *v = b;
         return e;
       },
       9},
  };
  for (const Write& w : writes) {
    SCOPED_TRACE(w.name);
    ASSERT_EQ(w.set(system_), aErrNone);
    uint32_t back = 0;
    ASSERT_EQ(w.get(system_, &back), aErrNone);
    EXPECT_EQ(back, w.value);
  }
  EXPECT_EQ(system_.routeToMe(1), aErrNone);
  EXPECT_EQ(system_.logEvents(), aErrNone);
  EXPECT_EQ(system_.resetDeviceToFactoryDefaults(), aErrNone);
  uint8_t led = 9;
  ASSERT_EQ(system_.getLED(&led), aErrNone);
  EXPECT_EQ(led, 0);
}

TEST_F(EntityTest, NameAndPowerConfigTravelAsByteSequences) {
  const std::string name(50, 'n');
  ASSERT_EQ(system_.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
  uint8_t buffer[64] = {};
  size_t length = sizeof buffer;
  ASSERT_EQ(system_.getName(buffer, &length), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), name);

  const uint32_t words[] = {0x11223344, 7, 0xFFFFFFFF};
  ASSERT_EQ(system_.setInputPowerBehaviorConfig(words, 3), aErrNone);
  uint32_t back[8] = {};
  size_t count = 8;
  ASSERT_EQ(system_.getInputPowerBehaviorConfig(back, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::vector<uint32_t>(back, back + 3), std::vector<uint32_t>(words, words + 3));

  // Capacity 30 on a 50-byte reply: the second packet does not fit.
  size_t received = 99;
  EXPECT_EQ(system_.getUEIBytes(32, buffer, 30, &received), aErrMemory);
  EXPECT_EQ(received, 24u);
  usleep(50000);
  system_.drainUEI(32);
  EXPECT_EQ(system_.getUEIBytes(32, buffer, 0, &received), aErrParam);
}

TEST_F(EntityTest, SequenceNumbersWrapAfterOneHundredAndTwentyEightPackets) {
  // 130 packets of one byte each, numbered modulo 128.
  std::vector<Bytes> replies;
  for (int n = 0; n < 130; ++n)
    replies.push_back({3, 32, 0, static_cast<uint8_t>('a' + n % 26),
                       static_cast<uint8_t>((n < 129 ? 0x80 : 0) | (n & 0x7F))});
  device_->SetInterceptor(Answer({3, 0x60}, replies));
  uint8_t buffer[200] = {};
  size_t received = 0;
  ASSERT_EQ(system_.getUEIBytes(32, buffer, sizeof buffer, &received), aErrNone);
  EXPECT_EQ(received, 130u);
  EXPECT_EQ(buffer[129], 'a' + 129 % 26);
}

TEST_F(EntityTest, AwaitTakesAQueuedValueWithoutAsking) {
  // A get sent by hand; the entity only waits for its reply.
  const uint8_t get[] = {0x49, 0x20};
  ASSERT_EQ(system_.sendPacket(3, sizeof get, get), aErrNone);
  uint32_t value = 0;
  ASSERT_EQ(system_.awaitUEI32Val(9, &value, 0), aErrNone);
  EXPECT_EQ(value, kSerial);
  EXPECT_EQ(RequestsTo(*device_, kAddress).size(), 1u);
  EXPECT_EQ(system_.awaitUEI32Val(9, nullptr, 0), aErrParam);
  // Drained replies are gone.
  ASSERT_EQ(system_.sendPacket(3, sizeof get, get), aErrNone);
  usleep(100000);
  ASSERT_EQ(system_.drainUEI(9), aErrNone);
  EXPECT_EQ(system_.awaitUEI32Val(9, &value, 0), aErrTimeout);
}

TEST(EntityBytesCheck, CountsMustBeWholeUnits) {
  struct Case {
    size_t count, unit;
    aErr result;
    size_t after;
  };
  const Case cases[] = {
      {10, 4, aErrMemory, 10}, {12, 4, aErrNone, 3}, {0, 4, aErrNone, 0}, {5, 1, aErrNone, 5}};
  for (const Case& c : cases) {
    size_t count = c.count;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, c.unit), c.result);
    EXPECT_EQ(count, c.after);
  }
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST_F(EntityTest, StoreCommandsSetAnOptionOfClassNinetyTwo) {
  I2CClass second;
  second.init(module_.get(), 1);
  struct Case {
    const char* name;
    std::function<aErr()> call;
    Bytes sent;
    aErr result;
  };
  const Case cases[] = {
      {"save i2c 1",
       [&] { return second.saveEntityToStore(); },
       {0x5C, 0x80, 0x20, 0, 0, 8, 1},
       aErrInvalidEntity},
      {"reset system",
       [&] { return system_.resetEntityToFactoryDefaults(); },
       {0x5C, 0x81, 0x20, 0, 0, 3, 0},
       aErrNone},
      {"load system",
       [&] { return system_.loadEntityFromStore(); },
       {0x5C, 0x82, 0x20, 0, 0, 3, 0},
       aErrNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device_->ClearRequests();
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(RequestsTo(*device_, kAddress), (std::vector<Bytes>{c.sent}));
  }
  // Saved, changed, loaded: the saved value is back.
  ASSERT_EQ(system_.setLED(3), aErrNone);
  ASSERT_EQ(system_.saveEntityToStore(), aErrNone);
  ASSERT_EQ(system_.setLED(4), aErrNone);
  ASSERT_EQ(system_.loadEntityFromStore(), aErrNone);
  uint8_t led = 0;
  ASSERT_EQ(system_.getLED(&led), aErrNone);
  EXPECT_EQ(led, 3);
}

TEST_F(EntityTest, I2CTransfersAndTheirLimits) {
  uint8_t buffer[24] = {};
  EXPECT_EQ(i2c_.read(0xA0, 24, buffer), aErrSize);
  EXPECT_EQ(i2c_.write(0xA0, 24, buffer), aErrSize);
  EXPECT_EQ(i2c_.setSpeed(4), aErrParam);
  usleep(50000);
  EXPECT_TRUE(RequestsTo(*device_, kAddress).empty());

  ASSERT_EQ(i2c_.setSpeed(2), aErrNone);
  uint8_t speed = 0;
  ASSERT_EQ(i2c_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 2);
  const uint8_t write[] = {0x10, 'h', 'i', '!'};
  ASSERT_EQ(i2c_.write(0xA0, sizeof write, write), aErrNone);
  const uint8_t pointer[] = {0x10};
  ASSERT_EQ(i2c_.write(0xA0, 1, pointer), aErrNone);
  ASSERT_EQ(i2c_.read(0xA0, 3, buffer), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "hi!");
  const auto sent = RequestsTo(*device_, kAddress);
  EXPECT_EQ(sent.front(), (Bytes{8, 0, 0xA0, 4, 2, 0x10, 'h', 'i', '!'}));
  EXPECT_EQ(sent.back(), (Bytes{8, 0, 0xA1, 3, 2}));

  EXPECT_EQ(i2c_.read(0x40, 2, buffer), aErrNotFound) << "no device at that address";
  EXPECT_EQ(i2c_.setPullup(1), aErrNone);
  device_->SetInterceptor(Answer({8, 0, 0xA1}, {{8, 0, 0xA1, 0}}));
  EXPECT_EQ(i2c_.read(0xA0, 2, buffer), aErrPacket) << "a reply of four bytes";
  device_->SetInterceptor(Answer({8, 0, 0xA1}, {{8, 0, 0xA1, 9, 0, 1, 2}}));
  EXPECT_EQ(i2c_.read(0xA0, 2, buffer), aErrPacket) << "a count the reply does not hold";
}

TEST_F(EntityTest, GetsWorkWithoutStreamsAndStreamsAreOffOnTheDevice) {
  uint8_t state = 9;
  ASSERT_EQ(link().isLinkStreaming(kAddress, &state), aErrNone);
  EXPECT_EQ(state, 0);
  uint8_t address = 0;
  ASSERT_EQ(system_.getModule(&address), aErrNone);
  EXPECT_EQ(address, kAddress);
  // The stream operations reach the Link (whatever the table answers).
  Link::StreamStatusEntry entries[4];
  size_t count = 0;
  (void)system_.getStreamStatus(entries, 4, &count);
  EXPECT_EQ(Link::getStreamKeyElement(Link::createStreamKey(2, 3, 4, 5, 6), Link::keySubindex),
            LinkStreams::getStreamKeyElement(LinkStreams::createStreamKey(2, 3, 4, 5, 6), keySubindex));
  Module detached(2, static_cast<uint8_t>(0));
  EXPECT_EQ(detached.getLink()->getStreamStatus(2, 3, 0xFF, 0, 0xFF, entries, 4, &count), aErrConnection);
}

TEST(EntitySerial, TheSystemEntityAnswersOverAPseudoTerminal) {
  TempDir dir;
  vmodule::Options options = DeviceOptions();
  options.tcpPort = -1;
  options.ptyLink = dir.path() + "/ttyVM";
  vmodule::VirtualModule device(options);
  ASSERT_TRUE(device.Start());
  linkSpec spec{};
  spec.type = SERIAL;
  spec.serialNumber = kSerial;
  spec.baudRate = 115200;
  std::snprintf(spec.portName, sizeof spec.portName, "%s", options.ptyLink.c_str());
  Module module(0, static_cast<uint8_t>(0));
  ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), kAddress);
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);
  uint8_t name[64] = {};
  size_t length = sizeof name;
  ASSERT_EQ(system.getName(name, &length), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "bench-top");
  const uint8_t bytes[] = {9, 8, 7};
  EXPECT_EQ(module.debug(bytes, 3), aErrNone);
}

}  // namespace
}  // namespace apitest
