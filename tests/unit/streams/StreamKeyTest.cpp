// Stream keys, wildcard masks and the decoding of stream packets.
#include <gtest/gtest.h>

#include <vector>

#include "Corvantis2/api/LinkStreams.h"

namespace {

using Vorantix::Corvantis::LinkStreams;
using namespace Vorantix::Corvantis;
using Bytes = std::vector<uint8_t>;

struct PacketHolder {
  explicit PacketHolder(const Bytes& data, uint8_t address = 4)
      : packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data())) {}
  ~PacketHolder() { aPacket_Destroy(&packet); }
  aPacket* packet;
};

// Data bytes of a sample: class 3, option 5, index 2.
Bytes Sample(uint8_t type, uint64_t timestamp, uint32_t value, uint8_t subindex = 0) {
  Bytes data{3, 5, 0x40 | 2, type};
  if (type >= 5) data.push_back(subindex);
  for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(timestamp >> shift));
  const int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
  for (int i = width - 1; i >= 0; --i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  data.push_back(0);
  return data;
}

TEST(StreamKey, PacksFiveElements) {
  const uint64_t key = LinkStreams::createStreamKey(2, 3, 4, 5, 6);
  EXPECT_EQ(0x0602030405ull, key);
  const uint8_t expected[] = {2, 3, 4, 5, 6};
  for (uint8_t element = 0; element < 5; ++element)
    EXPECT_EQ(expected[element], LinkStreams::getStreamKeyElement(key, element)) << int(element);
  EXPECT_EQ(0, LinkStreams::getStreamKeyElement(key, 5));
  EXPECT_EQ(0, LinkStreams::getStreamKeyElement(~0ull, 200));
  EXPECT_EQ(0xFFFFFFFFFFull, LinkStreams::createStreamKey(0xFF, 0xFF, 0xFF, 0xFF, 0xFF));
}

TEST(StreamKey, GenericMasksInOrder) {
  const uint64_t expected[15] = {
      0xFF,         0xFF00,       0xFFFF,       0xFF0000,     0xFF00FF,
      0xFFFF00,     0xFFFFFF,     0xFF00000000, 0xFF000000FF, 0xFF0000FF00,
      0xFF0000FFFF, 0xFF00FF0000, 0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF,
  };
  for (uint8_t n = 0; n < 15; ++n) EXPECT_EQ(expected[n], LinkStreams::_getGenericStreamKeyMask(n)) << int(n);
  EXPECT_EQ(0u, LinkStreams::_getGenericStreamKeyMask(15));
}

TEST(StreamSample, EveryTypeAtItsExactLength) {
  struct Case {
    uint8_t type;
    size_t length;
    uint32_t value;
    uint8_t subindex;
  };
  const Case cases[] = {
      {1, 14, 0xAB, 0}, {2, 15, 0xBEEF, 0},    {3, 17, 0x89ABCDEF, 0},
      {5, 15, 0x7F, 9}, {6, 16, 0x1234, 0xFF}, {7, 18, 0xFFFFFFFF, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    const Bytes data = Sample(c.type, 0x0102030405060708ull, c.value, c.subindex);
    ASSERT_EQ(c.length, data.size());
    PacketHolder p(data);
    STREAM_PACKET type = streamNone;
    EXPECT_TRUE(LinkStreams::getStreamPacketType(p.packet, &type));
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.type >= 5, LinkStreams::isSubindexType(type));
    EXPECT_TRUE(LinkStreams::isStreamSample(p.packet));
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    ASSERT_EQ(aErrNone, LinkStreams::getStreamSample(p.packet, &timestamp, &value, &subindex));
    EXPECT_EQ(0x0102030405060708ull, timestamp);
    EXPECT_EQ(c.value, value);
    EXPECT_EQ(c.subindex, subindex);
    // Null outputs are skipped.
    EXPECT_EQ(aErrNone, LinkStreams::getStreamSample(p.packet, nullptr, nullptr, nullptr));

    // One byte short or long is not a sample (the sequence byte stays 0).
    Bytes shorter = data;
    shorter.erase(shorter.end() - 2);
    Bytes longer = data;
    longer.insert(longer.end() - 1, 0x11);
    for (const Bytes& wrong : {shorter, longer}) {
      PacketHolder w(wrong);
      EXPECT_FALSE(LinkStreams::isStreamSample(w.packet));
      EXPECT_EQ(aErrPacket, LinkStreams::getStreamSample(w.packet, &timestamp, &value, &subindex));
    }
  }
}

TEST(StreamSample, TypeOneOfThirteenAndFourteenBytes) {
  Bytes data = Sample(1, 0, 7);
  PacketHolder good(data);
  uint32_t value = 0;
  uint8_t subindex = 0xEE;
  ASSERT_EQ(aErrNone, LinkStreams::getStreamSample(good.packet, nullptr, &value, &subindex));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(0, subindex);
  data.erase(data.begin() + 4);  // 13 bytes
  PacketHolder shorter(data);
  value = 0;
  EXPECT_EQ(aErrPacket, LinkStreams::getStreamSample(shorter.packet, nullptr, &value, nullptr));
  EXPECT_EQ(0u, value);
}

TEST(StreamSample, PacketTypes) {
  struct Case {
    const char* name;
    Bytes data;
    bool stream;
    STREAM_PACKET type;
    aErr sample;
  };
  const Case cases[] = {
      {"get request", {3, 0x45, 0x42, 1, 0, 0}, false, streamNone, aErrPacket},
      {"set request", {3, 0x85, 0x42, 1, 0, 0}, false, streamNone, aErrPacket},
      {"no stream bit", {3, 0x05, 0x02, 1, 0, 0}, false, streamNone, aErrPacket},
      {"four data bytes", {3, 0x05, 0x42, 1}, false, streamNone, aErrPacket},
      {"not a UEI payload", {95, 0x05, 0x42, 1, 0, 0}, false, streamNone, aErrPacket},
      {"type 0", {3, 0x05, 0x42, 0, 0, 0}, false, streamNone, aErrPacket},
      {"type 8", {3, 0x05, 0x42, 8, 0, 0}, false, streamNone, aErrPacket},
      {"type 4 byte sequence", {3, 0x05, 0x42, 4, 1, 2, 0}, true, streamBytes, aErrSize},
      {"continuation bit", {3, 0x05, 0x42, 1, 9, 0x80}, true, streamBytes, aErrSize},
      {"sequence number", {3, 0x05, 0x42, 0, 9, 0x03}, true, streamBytes, aErrSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketHolder p(c.data);
    STREAM_PACKET type = streamShort;
    EXPECT_EQ(c.stream, LinkStreams::getStreamPacketType(p.packet, &type));
    EXPECT_EQ(c.type, type);
    EXPECT_FALSE(LinkStreams::isStreamSample(p.packet));
    EXPECT_EQ(c.sample, LinkStreams::getStreamSample(p.packet, nullptr, nullptr, nullptr));
  }
  STREAM_PACKET type = streamShort;
  EXPECT_FALSE(LinkStreams::getStreamPacketType(nullptr, &type));
  EXPECT_EQ(streamNone, type);
  EXPECT_FALSE(LinkStreams::isStreamPacket(nullptr));
  EXPECT_EQ(aErrPacket, LinkStreams::getStreamSample(nullptr, nullptr, nullptr, nullptr));
}

TEST(StreamSample, TimestampParts) {
  uint32_t high = 0, low = 0;
  LinkStreams::getTimestampParts(0x0102030405060708ull, &high, &low);
  EXPECT_EQ(0x01020304u, high);
  EXPECT_EQ(0x05060708u, low);
  high = 0;
  LinkStreams::getTimestampParts(0xAABBCCDD00000000ull, &high, nullptr);
  EXPECT_EQ(0xAABBCCDDu, high);
  LinkStreams::getTimestampParts(1, nullptr, &low);
  EXPECT_EQ(1u, low);
}

}  // namespace
