#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Corvantis2/common/aCOBS.h"
#include "FakeTransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Crc(const Bytes& bytes) { return crc8_create(bytes.data(), bytes.size()); }

// Frame as a device would send it, built from the published algorithm by hand.
Bytes Frame(const Bytes& wire) {
  Bytes body = wire;
  body.push_back(Crc(wire));
  Bytes out(body.size() + 2);
  size_t n = cobs_encode(body.data(), body.size(), out.data());
  out.resize(n);
  out.push_back(0);
  return out;
}

TEST(Crc8, PublishedVectors) {
  const std::string digits = "123456789";
  EXPECT_EQ(0xA1, Crc(Bytes(digits.begin(), digits.end())));
  EXPECT_EQ(0x42, Crc(Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(0x00, Crc(Bytes{}));
  EXPECT_TRUE(crc8_check(reinterpret_cast<const uint8_t*>("abc"), 3, 0x42));
  EXPECT_FALSE(crc8_check(reinterpret_cast<const uint8_t*>("abc"), 3, 0x43));
}

TEST(Cobs, PublishedVectors) {
  struct Case {
    Bytes plain, encoded;
  };
  std::vector<Case> cases = {
      {{0x00}, {0x01, 0x01}},
      {{0x00, 0x00}, {0x01, 0x01, 0x01}},
      {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {{0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
      {{0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
  };
  Case block;  // 254 non-zero bytes: one full block
  for (int i = 1; i <= 254; ++i) block.plain.push_back(static_cast<uint8_t>(i));
  block.encoded.push_back(0xFF);
  block.encoded.insert(block.encoded.end(), block.plain.begin(), block.plain.end());
  cases.push_back(block);
  Case blockAndZero = block;  // the zero after a full block needs its own code byte
  blockAndZero.plain.push_back(0);
  blockAndZero.encoded.push_back(0x01);
  blockAndZero.encoded.push_back(0x01);
  cases.push_back(blockAndZero);
  for (const Case& c : cases) {
    Bytes out(c.plain.size() + c.plain.size() / 254 + 2);
    out.resize(cobs_encode(c.plain.data(), c.plain.size(), out.data()));
    EXPECT_EQ(c.encoded, out);
    Bytes inplace = c.plain;
    inplace.resize(c.encoded.size() + 1);
    inplace.resize(cobs_encode_inplace(inplace.data(), c.plain.size()));
    EXPECT_EQ(c.encoded, inplace);
    Bytes decoded(c.encoded.size());
    decoded.resize(cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data()));
    EXPECT_EQ(c.plain, decoded);
  }
}

TEST(Cobs, DecodeRefusesCodesPastTheEnd) {
  const Bytes shortRun{0x05, 0x11, 0x22};
  Bytes out(8);
  EXPECT_EQ(0u, cobs_decode(shortRun.data(), shortRun.size(), out.data()));
  const Bytes zeroCode{0x02, 0x11, 0x00, 0x01};
  EXPECT_EQ(0u, cobs_decode(zeroCode.data(), zeroCode.size(), out.data()));
  const Bytes trailingOne{0x02, 0x11, 0x01};
  EXPECT_EQ(2u, cobs_decode(trailingOne.data(), trailingOne.size(), out.data()));
}

class CobsStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aErrNone,
              aStream_CreateCobsEncoding(FakeTransport::Get, FakeTransport::Put, FakeTransport::Write,
                                         FakeTransport::Delete, &transport, &stream));
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
  }
  // Calls get until it yields bytes or reports an error other than "not ready"
  // once the input is used up; returns every result in order.
  std::vector<std::pair<aErr, int>> Drain() {
    std::vector<std::pair<aErr, int>> results;
    int quiet = 0;  // "not ready" answers since the input ran dry
    for (int guard = 0; guard < 200 && quiet < 2; ++guard) {
      uint8_t b = 0;
      aErr err = stream->getProc(&b, stream->procRef);
      quiet = err == aErrNotReady && transport.input.empty() ? quiet + 1 : 0;
      results.push_back({err, err == aErrNone ? b : -1});
    }
    return results;
  }
  Bytes Delivered(const std::vector<std::pair<aErr, int>>& results) {
    Bytes out;
    for (auto& r : results)
      if (r.first == aErrNone) out.push_back(static_cast<uint8_t>(r.second));
    return out;
  }
  FakeTransport transport;
  aStream* stream = nullptr;
};

TEST_F(CobsStream, WritesOneFramePerPacket) {
  const Bytes wire{0x04, 0x01, 0x05};
  ASSERT_EQ(aErrNone, aStream_Write(stream, wire.data(), wire.size()));
  ASSERT_EQ(1u, transport.writes.size());
  EXPECT_EQ(Frame(wire), transport.writes[0]);
}

TEST_F(CobsStream, TwoPacketsInOneWriteAndOneSplitAcrossWrites) {
  const Bytes a{0x04, 0x02, 0x00, 0x00}, b{0x06, 0x00}, c{0x08, 0x03, 1, 0, 3};
  Bytes block = a;
  block.insert(block.end(), b.begin(), b.end());
  block.insert(block.end(), c.begin(), c.begin() + 2);
  ASSERT_EQ(aErrNone, aStream_Write(stream, block.data(), block.size()));
  ASSERT_EQ(2u, transport.writes.size());
  ASSERT_EQ(aErrNone, aStream_Write(stream, c.data() + 2, 3));
  ASSERT_EQ(3u, transport.writes.size());
  EXPECT_EQ(Frame(a), transport.writes[0]);
  EXPECT_EQ(Frame(b), transport.writes[1]);
  EXPECT_EQ(Frame(c), transport.writes[2]);
}

TEST_F(CobsStream, LargestPacketCrossesWhole) {
  Bytes wire{0x04, 28};
  for (int i = 0; i < 28; ++i) wire.push_back(static_cast<uint8_t>(i % 3));  // zeros inside
  ASSERT_EQ(aErrNone, aStream_Write(stream, wire.data(), wire.size()));
  ASSERT_EQ(1u, transport.writes.size());
  EXPECT_EQ(Frame(wire), transport.writes[0]);
  EXPECT_EQ(33u, transport.writes[0].size());
  transport.Bytes(transport.writes[0]);
  EXPECT_EQ(wire, Delivered(Drain()));
}

TEST_F(CobsStream, BadLengthByteIsSkippedWithoutWedgingTheWriter) {
  const Bytes junk{0x04, 29};
  const Bytes good{0x06, 0x01, 0x09};
  aStream_Write(stream, junk.data(), junk.size());
  aStream_Write(stream, good.data(), good.size());
  ASSERT_EQ(1u, transport.writes.size());
  EXPECT_EQ(Frame(good), transport.writes[0]);
}

TEST_F(CobsStream, ReadsFrameBytesOneByOne) {
  transport.Bytes(Frame({0x04, 0x01, 0x05}));
  auto results = Drain();
  // Encoded bytes and the delimiter each answer "not ready", then three bytes come out.
  ASSERT_GE(results.size(), 4u);
  EXPECT_EQ(Bytes({0x04, 0x01, 0x05}), Delivered(results));
  size_t firstByte = 0;
  while (results[firstByte].first != aErrNone) ++firstByte;
  EXPECT_EQ(aErrNotReady, results[firstByte - 1].first);  // the delimiter
}

TEST_F(CobsStream, RejectsBadFrames) {
  Bytes badCrc = Frame({0x04, 0x01, 0x05});
  badCrc[badCrc.size() - 2] ^= 0x01;
  // Decoded length byte says 2 but one data byte follows.
  Bytes badBody{0x04, 0x02, 0x05};
  badBody.push_back(Crc(badBody));
  Bytes badLength(8);
  badLength.resize(cobs_encode(badBody.data(), badBody.size(), badLength.data()));
  badLength.push_back(0);
  Bytes overlong(40, 0x11);
  overlong.push_back(0);
  for (const Bytes& frame : {badCrc, badLength, overlong}) {
    transport.Bytes(frame);
    auto results = Drain();
    EXPECT_TRUE(Delivered(results).empty());
    bool sawPacketError = false;
    for (auto& r : results) sawPacketError |= r.first == aErrPacket;
    EXPECT_TRUE(sawPacketError);
  }
  // The reader recovers for the next good frame.
  transport.Bytes(Frame({0x06, 0x00}));
  EXPECT_EQ(Bytes({0x06, 0x00}), Delivered(Drain()));
}

TEST_F(CobsStream, DelimitersInARowAreQuiet) {
  transport.Bytes({0, 0});
  uint8_t b;
  EXPECT_EQ(aErrNotReady, stream->getProc(&b, stream->procRef));
  EXPECT_EQ(aErrNotReady, stream->getProc(&b, stream->procRef));
  EXPECT_TRUE(transport.input.empty());
}

TEST_F(CobsStream, PutIsRawAndInnerFailuresReadAsNotReady) {
  ASSERT_EQ(aErrNone, stream->putProc(0x42, stream->procRef));
  EXPECT_EQ(Bytes({0x42}), transport.Written());
  transport.Error(aErrIO);
  uint8_t b;
  EXPECT_EQ(aErrNotReady, stream->getProc(&b, stream->procRef));
}

TEST(CobsStreamLifetime, DeleteReleasesInnerState) {
  FakeTransport t;
  bool deleted = false;
  t.deleted = &deleted;
  aStream* s = nullptr;
  EXPECT_EQ(aErrParam,
            aStream_CreateCobsEncoding(FakeTransport::Get, nullptr, nullptr, nullptr, &t, nullptr));
  ASSERT_EQ(aErrNone, aStream_CreateCobsEncoding(FakeTransport::Get, FakeTransport::Put, nullptr,
                                                 FakeTransport::Delete, &t, &s));
  // Without an inner write procedure, frames go out through put.
  const Bytes wire{0x04, 0x00};
  aStream_Write(s, wire.data(), wire.size());
  EXPECT_EQ(Frame(wire), t.Written());
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
  EXPECT_TRUE(deleted);
}

}  // namespace
