#include <gtest/gtest.h>

#include <chrono>

#include "Corvantis2/unix/aStreamSerial.h"
#include "PtyPair.h"
#include "sim/vmodule/WireCodec.h"

namespace {

aErr ReadWithin(aStream* stream, uint8_t* buffer, size_t length, int timeoutMs = 1000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  aErr err = aErrNotReady;
  while (std::chrono::steady_clock::now() < deadline) {
    err = aStream_Read(stream, buffer, length);
    if (err != aErrNotReady) return err;
    usleep(1000);
  }
  return err;
}

TEST(SerialStream, SpeedCodesSelectTheirRates) {
  const speed_t expected[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  PtyPair pty;
  for (int32_t code = 0; code < 8; ++code) {
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), code, 0, 0, 0, &stream), aErrNone) << code;
    const termios t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), expected[code]) << code;
    EXPECT_EQ(cfgetispeed(&t), expected[code]) << code;
    aStream_Destroy(&stream);
  }
  EXPECT_EQ(aSerial_SpeedCodeForBaud(115200), 6);
  EXPECT_EQ(aSerial_SpeedCodeForBaud(1200), -1);
}

// A pseudo-terminal forces 8 data bits without parity, so only the stop
// bits and the raw mode can be seen on one.
TEST(SerialStream, LineSettingsFollowTheArguments) {
  struct Case {
    int parity, dataBits, stopBits;
    tcflag_t size;
    bool parenb, cstopb;
  };
  const Case cases[] = {
      {0, 0, 0, CS8, false, false},
      {0, 0, 1, CS8, false, true},
  };
  PtyPair pty;
  for (const Case& c : cases) {
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, c.parity, c.dataBits, c.stopBits, &stream),
              aErrNone);
    const termios t = pty.Settings();
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parenb);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    aStream_Destroy(&stream);
  }
}

TEST(SerialStream, DestroyPutsThePreviousSettingsBack) {
  PtyPair pty;
  termios before = pty.Settings();
  before.c_lflag |= ICANON | ECHO;
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  pty.Apply(before);
  before = pty.Settings();
  for (auto create : {aStream_CreateSerial, aStream_CreateSerial_Packetized}) {
    aStream* stream = nullptr;
    ASSERT_EQ(create(pty.path().c_str(), 6, 0, 0, 0, &stream), aErrNone);
    const termios during = pty.Settings();
    EXPECT_EQ(cfgetospeed(&during), B115200);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
    aStream_Destroy(&stream);
    const termios after = pty.Settings();
    EXPECT_EQ(cfgetospeed(&after), B9600);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
  }
}

TEST(SerialStream, BadArgumentsAndMissingPorts) {
  PtyPair pty;
  for (auto create : {aStream_CreateSerial, aStream_CreateSerial_Packetized}) {
    aStream* stream = nullptr;
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 2, 0, &stream), aErrResource);
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 0, 2, &stream), aErrResource);
    EXPECT_EQ(create(nullptr, 6, 0, 0, 0, &stream), aErrResource);
    EXPECT_EQ(create(pty.path().c_str(), 6, 0, 0, 0, nullptr), aErrResource);
    stream = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(create("/dev/no-such-serial-port", 6, 0, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
  }
}

TEST(SerialStream, RawBytesBothWays) {
  PtyPair pty;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, 0, 0, 0, &stream), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);  // nothing yet, at once
  pty.Send({0x00, 0x11, 0x0D, 0x0A});
  uint8_t got[4] = {};
  ASSERT_EQ(ReadWithin(stream, got, 4), aErrNone);
  EXPECT_EQ(got[0], 0x00);
  EXPECT_EQ(got[2], 0x0D);  // no CR/LF translation
  EXPECT_EQ(got[3], 0x0A);
  const uint8_t out[] = {0x0A, 0x00, 0xFF};
  EXPECT_EQ(aStream_Write(stream, out, sizeof out), aErrNone);
  EXPECT_EQ(pty.Receive(3), std::vector<uint8_t>(out, out + 3));
  aStream_Destroy(&stream);
}

// The framing read and written by the virtual module's own codec.
TEST(SerialStream, PacketizedStreamSpeaksTheFrameFormat) {
  PtyPair pty;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path().c_str(), 6, 0, 0, 0, &stream), aErrNone);
  vmodule::Packet full{0x06, vmodule::Bytes(28)};
  for (size_t i = 0; i < full.data.size(); ++i) full.data[i] = static_cast<uint8_t>(i);  // zeros inside too
  const vmodule::Packet small{0x06, {0x03, 0x09, 0x00, 0x00, 0x00, 0x00, 0x2A}};
  for (const vmodule::Packet& packet : {small, full}) {
    SCOPED_TRACE(packet.data.size());
    pty.Send(vmodule::EncodeFrame(packet));
    const vmodule::Bytes wire = vmodule::EncodePacket(packet);
    std::vector<uint8_t> got(wire.size());
    ASSERT_EQ(ReadWithin(stream, got.data(), got.size()), aErrNone);
    EXPECT_EQ(got, wire);

    ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
    const vmodule::Bytes frame = pty.Receive(vmodule::EncodeFrame(packet).size());
    vmodule::FrameReader reader;
    std::optional<vmodule::Packet> back;
    for (uint8_t b : frame) back = back ? back : reader.Feed(b);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->address, packet.address);
    EXPECT_EQ(back->data, packet.data);
  }
  // A frame with a bad CRC is refused; the next good one still comes through.
  vmodule::Bytes bad = vmodule::EncodeFrame(small);
  bad[2] ^= 0x01;
  pty.Send(bad);
  pty.Send(vmodule::EncodeFrame(small));
  uint8_t got[9] = {};
  aErr err = aErrNotReady;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  bool sawPacketError = false;
  while (std::chrono::steady_clock::now() < deadline) {
    err = aStream_Read(stream, got, sizeof got);
    if (err == aErrPacket) sawPacketError = true;
    if (err == aErrNone) break;
    usleep(1000);
  }
  EXPECT_TRUE(sawPacketError);
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(got[6], 0x00);
  EXPECT_EQ(got[8], 0x2A);
  aStream_Destroy(&stream);
}

}  // namespace
