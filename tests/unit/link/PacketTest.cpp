#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Corvantis2/common/aPacket.h"

namespace {

struct PacketHolder {
  aPacket* packet = aPacket_Create();
  ~PacketHolder() {
    if (packet) aPacket_Destroy(&packet);
  }
};

std::vector<aErr> Feed(aPacket* packet, const std::vector<uint8_t>& bytes) {
  std::vector<aErr> results;
  for (uint8_t b : bytes) results.push_back(aPacket_AddByte(packet, b));
  return results;
}

TEST(PacketAssembly, FiveBytePacketRoundTrips) {
  PacketHolder p;
  const std::vector<uint8_t> wire{0x04, 0x03, 0x01, 0x02, 0x03};
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_FALSE(aPacket_IsComplete(p.packet)) << i;
    EXPECT_EQ(aErrNone, aPacket_AddByte(p.packet, wire[i])) << i;
  }
  EXPECT_TRUE(aPacket_IsComplete(p.packet));
  uint8_t out[30] = {};
  size_t written = 0;
  ASSERT_EQ(aErrNone, aPacket_GetBytes(p.packet, out, sizeof out, &written));
  EXPECT_EQ(std::vector<uint8_t>(out, out + written), wire);
  // A sixth byte is surplus.
  EXPECT_EQ(aErrPacket, aPacket_AddByte(p.packet, 0x09));
}

TEST(PacketAssembly, TableOfFailuresAndEdges) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    aErr last;
    bool complete;
    uint8_t byteCount;
  };
  const Case cases[] = {
      {"zero address", {0x00}, aErrPacket, false, 1},
      {"length 29", {0x04, 29}, aErrPacket, false, 2},
      {"length 28 accepted", {0x04, 28}, aErrNone, false, 2},
      {"zero length completes", {0x06, 0x00}, aErrNone, true, 2},
  };
  for (const Case& c : cases) {
    PacketHolder p;
    auto results = Feed(p.packet, c.bytes);
    EXPECT_EQ(c.last, results.back()) << c.name;
    EXPECT_EQ(c.complete, aPacket_IsComplete(p.packet)) << c.name;
    EXPECT_EQ(c.byteCount, p.packet->byteCount) << c.name;
  }
}

TEST(PacketAssembly, ThirtyFirstByteOverruns) {
  PacketHolder p;
  std::vector<uint8_t> wire{0x04, 28};
  for (int i = 0; i < 28; ++i) wire.push_back(static_cast<uint8_t>(i + 1));
  for (aErr e : Feed(p.packet, wire)) EXPECT_EQ(aErrNone, e);
  EXPECT_TRUE(aPacket_IsComplete(p.packet));
  EXPECT_EQ(aErrOverrun, aPacket_AddByte(p.packet, 0x55));  // the 31st wire byte
  // Reset and check the 31st of a broken packet is an overrun.
  PacketHolder q;
  Feed(q.packet, {0x04, 29});
  aErr last = aErrNone;
  for (int i = 0; i < 29; ++i) last = aPacket_AddByte(q.packet, 1);
  EXPECT_EQ(aErrOverrun, last);
  EXPECT_EQ(aErrNone, aPacket_Reset(q.packet));
  EXPECT_EQ(0, q.packet->byteCount);
  EXPECT_EQ(aErrNone, aPacket_AddByte(q.packet, 0x02));
}

TEST(PacketAssembly, OverrunWinsOverSurplus) {
  PacketHolder p;
  Feed(p.packet, {0x04, 0x01, 0x07});
  aErr last = aErrNone;
  for (int i = 0; i < 28; ++i) last = aPacket_AddByte(p.packet, 1);
  EXPECT_EQ(aErrOverrun, last);
  // Data beyond the packet's length was never stored.
  EXPECT_EQ(0, p.packet->data[1]);
}

TEST(PacketRecord, CreateWithDataLimits) {
  uint8_t bytes[29] = {};
  aPacket* ok = aPacket_CreateWithData(4, 28, bytes);
  ASSERT_NE(nullptr, ok);
  EXPECT_TRUE(aPacket_IsComplete(ok));
  EXPECT_EQ(30, ok->byteCount);
  aPacket_Destroy(&ok);
  EXPECT_EQ(nullptr, ok);
  EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 29, bytes));
  EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 0, nullptr));
}

TEST(PacketRecord, GetBytesTooSmallWritesNothing) {
  const uint8_t data[] = {1, 2, 3};
  aPacket* p = aPacket_CreateWithData(4, 3, data);
  uint8_t out[5];
  std::fill(out, out + 5, 0xEE);
  size_t written = 99;
  EXPECT_EQ(aErrOverrun, aPacket_GetBytes(p, out, 4, &written));
  EXPECT_EQ(99u, written);
  for (uint8_t b : out) EXPECT_EQ(0xEE, b);
  EXPECT_EQ(aErrParam, aPacket_GetBytes(p, nullptr, 5, &written));
  aPacket_Destroy(&p);
}

TEST(PacketRecord, FieldAccessorsMaskAndCheckLength) {
  const uint8_t data[] = {0x12, 0xC5, 0xA3};
  aPacket* p = aPacket_CreateWithData(4, 3, data);
  uint8_t v = 0;
  EXPECT_EQ(aErrNone, aPacket_GetCmd(p, &v));
  EXPECT_EQ(0x12, v);
  EXPECT_EQ(aErrNone, aPacket_GetOption(p, &v));
  EXPECT_EQ(5, v);
  EXPECT_EQ(aErrNone, aPacket_GetIndex(p, &v));
  EXPECT_EQ(3, v);
  EXPECT_EQ(aErrParam, aPacket_GetCmd(p, nullptr));
  aPacket* shortOne = aPacket_CreateWithData(4, 2, data);
  EXPECT_EQ(aErrNone, aPacket_GetOption(shortOne, &v));
  EXPECT_EQ(aErrPacket, aPacket_GetIndex(shortOne, &v));
  aPacket_Destroy(&shortOne);
  aPacket_Destroy(&p);
}

TEST(PacketRecord, InvalidRecordsRefused) {
  aPacket forged{};
  forged.check = 0x1234;
  uint8_t v;
  EXPECT_EQ(aErrParam, aPacket_AddByte(&forged, 1));
  EXPECT_EQ(aErrParam, aPacket_Reset(&forged));
  EXPECT_EQ(aErrPacket, aPacket_GetCmd(&forged, &v));
  EXPECT_EQ(nullptr, aPacket_Copy(&forged));
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  aPacket* none = nullptr;
  EXPECT_EQ(aErrParam, aPacket_Destroy(&none));
  EXPECT_EQ(aErrParam, aPacket_Destroy(nullptr));
}

TEST(PacketRecord, CopyIsDistinct) {
  const uint8_t data[] = {9, 8};
  aPacket* p = aPacket_CreateWithData(6, 2, data);
  aPacket* c = aPacket_Copy(p);
  ASSERT_NE(nullptr, c);
  EXPECT_NE(p, c);
  p->data[0] = 0;
  EXPECT_EQ(9, c->data[0]);
  aPacket_Destroy(&p);
  aPacket_Destroy(&c);
}

TEST(UEI, BigEndianValues) {
  const uint8_t in[] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(0x12345678u, aUEI_RetrieveInt(in));
  EXPECT_EQ(0x1234u, aUEI_RetrieveShort(in));
  uint8_t out[4] = {};
  aUEI_StoreShort(out, 0xBEEF);
  EXPECT_EQ(0xBE, out[0]);
  EXPECT_EQ(0xEF, out[1]);
  aUEI_StoreInt(out, 0xCAFEF00D);
  EXPECT_EQ(0xCAFEF00Du, aUEI_RetrieveInt(out));
  uint32_t words[2];
  std::memcpy(&words[0], in, 4);
  aUEI_StoreInt(reinterpret_cast<uint8_t*>(&words[1]), 7);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(0x12345678u, words[0]);
  EXPECT_EQ(7u, words[1]);
}

TEST(UEI, Classification) {
  struct Case {
    std::vector<uint8_t> data;
    bool ueiPayload;
    bool stream;
  };
  const Case cases[] = {
      {{0x12, 0x01, 0x45, 0x00, 0x00}, true, true},
      {{0x12, 0x41, 0x45, 0x00, 0x00}, true, false},  // get bit
      {{0x12, 0x81, 0x45, 0x00, 0x00}, true, false},  // set bit
      {{0x12, 0x01, 0x05, 0x00, 0x00}, true, false},  // no stream bit
      {{0x12, 0x01, 0x45, 0x00}, true, false},        // four data bytes
      {{95, 0x01, 0x45, 0x00, 0x00}, false, false},   // loader command
      {{0, 0x00}, false, false},                      // heartbeat
      {{173}, false, false},
  };
  for (const Case& c : cases) {
    aPacket* p = aPacket_CreateWithData(4, static_cast<uint8_t>(c.data.size()), c.data.data());
    EXPECT_EQ(c.ueiPayload, aUEI_isUEIPayload(p)) << int(c.data[0]);
    EXPECT_EQ(!c.ueiPayload, aUEI_isNotUEIPayload(p));
    EXPECT_EQ(c.stream, aUEI_isStreamPacket(p)) << int(c.data[1]);
    aPacket_Destroy(&p);
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEI, ByteSequenceHelpers) {
  uint8_t data[28] = {};
  data[27] = 0x85;
  aPacket* full = aPacket_CreateWithData(4, 28, data);
  EXPECT_EQ(5, aUEI_getBytesSequence(full));
  EXPECT_EQ(1, aUEI_getBytesContinue(full));
  EXPECT_TRUE(aUEI_getBytesFullPacket(full));
  aPacket* partial = aPacket_CreateWithData(4, 26, data);
  EXPECT_FALSE(aUEI_getBytesFullPacket(partial));
  EXPECT_EQ(0, aUEI_getBytesSequence(nullptr));
  EXPECT_EQ(0, aUEI_getBytesContinue(nullptr));
  // An empty packet has no sequence byte to read.
  aPacket* empty = aPacket_CreateWithData(4, 0, data);
  EXPECT_EQ(0, aUEI_getBytesSequence(empty));
  aPacket_Destroy(&full);
  aPacket_Destroy(&partial);
  aPacket_Destroy(&empty);
}

}  // namespace
