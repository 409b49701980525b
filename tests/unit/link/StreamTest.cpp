#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Corvantis2/common/aStream.h"
#include "FakeTransport.h"
#include "support/TempDir.h"

namespace {

class Stream : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(nullptr, stream = transport.MakeStream()); }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
  }
  FakeTransport transport;
  aStream* stream = nullptr;
};

TEST_F(Stream, ShortReadIsPushedBackUntilComplete) {
  transport.Bytes({1, 2, 3});
  uint8_t buffer[5] = {};
  EXPECT_EQ(aErrNotReady, aStream_Read(stream, buffer, 5));
  EXPECT_EQ(3u, stream->pushBackCount);
  transport.Bytes({4, 5});
  ASSERT_EQ(aErrNone, aStream_Read(stream, buffer, 5));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5}), std::vector<uint8_t>(buffer, buffer + 5));
  EXPECT_EQ(0u, stream->pushBackCount);
}

TEST_F(Stream, OtherErrorsDropTheBytes) {
  transport.Bytes({1, 2});
  transport.Error(aErrIO);
  transport.Bytes({3});
  uint8_t buffer[4];
  EXPECT_EQ(aErrIO, aStream_Read(stream, buffer, 4));
  EXPECT_EQ(0u, stream->pushBackCount);
  EXPECT_EQ(aErrNone, aStream_Read(stream, buffer, 1));
  EXPECT_EQ(3, buffer[0]);
}

TEST_F(Stream, RingGrowsPastItsFirstSizeInOrder) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 1500; ++i) bytes.push_back(static_cast<uint8_t>(i * 7));
  transport.Bytes(bytes);
  std::vector<uint8_t> buffer(1600);
  EXPECT_EQ(aErrNotReady, aStream_Read(stream, buffer.data(), buffer.size()));
  EXPECT_EQ(1500u, stream->pushBackCount);
  EXPECT_EQ(1536u, stream->pushBackSize);
  // Interleave partial reads: take some, push back a short read again.
  ASSERT_EQ(aErrNone, aStream_Read(stream, buffer.data(), 700));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 700),
            std::vector<uint8_t>(buffer.begin(), buffer.begin() + 700));
  EXPECT_EQ(aErrNotReady, aStream_Read(stream, buffer.data(), 900));
  transport.Bytes({0xAA});
  ASSERT_EQ(aErrNone, aStream_Read(stream, buffer.data(), 801));
  std::vector<uint8_t> expected(bytes.begin() + 700, bytes.end());
  expected.push_back(0xAA);
  EXPECT_EQ(expected, std::vector<uint8_t>(buffer.begin(), buffer.begin() + 801));
}

TEST_F(Stream, RingGrowsAt512) {
  std::vector<uint8_t> bytes(511, 1);
  transport.Bytes(bytes);
  uint8_t buffer[600];
  aStream_Read(stream, buffer, 600);
  EXPECT_EQ(512u, stream->pushBackSize);
  aStream_Destroy(&stream);
  stream = transport.MakeStream();
  transport.Bytes(std::vector<uint8_t>(512, 2));
  aStream_Read(stream, buffer, 600);
  EXPECT_EQ(1024u, stream->pushBackSize);
  EXPECT_EQ(512u, stream->pushBackCount);
}

TEST_F(Stream, WriteChoosesPutOrWrite) {
  const uint8_t bytes[] = {1, 2};
  EXPECT_EQ(aErrNone, aStream_Write(stream, bytes, 1));
  EXPECT_EQ(1, transport.putCalls);
  EXPECT_EQ(0, transport.writeCalls);
  EXPECT_EQ(aErrNone, aStream_Write(stream, bytes, 2));
  EXPECT_EQ(1, transport.writeCalls);
  EXPECT_EQ(aErrNone, aStream_Write(stream, bytes, 0));
  EXPECT_EQ(2u, transport.writes.size());
  EXPECT_EQ(aErrParam, aStream_Write(stream, nullptr, 1));
  aStream* readOnly = aStream_Create(FakeTransport::Get, nullptr, nullptr, nullptr, &transport);
  EXPECT_EQ(aErrMode, aStream_Write(readOnly, bytes, 2));
  aStream_Destroy(&readOnly);
  uint8_t b;
  aStream* writeOnly = aStream_Create(nullptr, FakeTransport::Put, nullptr, nullptr, &transport);
  EXPECT_EQ(aErrMode, aStream_Read(writeOnly, &b, 1));
  aStream_Destroy(&writeOnly);
}

TEST_F(Stream, RecordReads) {
  struct Case {
    const char* name;
    std::string input;
    std::string terminator;
    size_t maximum;
    aErr err;
    std::string record;
    std::string left;
  };
  const Case cases[] = {
      {"crlf split", "a\rb\nz", "\r\n", 10, aErrNone, "ab", "z"},
      {"maximum", "abcd", std::string(1, '\0'), 3, aErrNone, "abc", "d"},
      {"eof ends record", "xy", "\n", 10, aErrNone, "xy", ""},
      {"eof on empty", "", "\n", 10, aErrEOF, "", ""},
  };
  for (const Case& c : cases) {
    FakeTransport t;
    t.whenEmpty = aErrEOF;
    t.Text(c.input);
    aStream* s = t.MakeStream();
    uint8_t buffer[16] = {};
    size_t length = 99;
    EXPECT_EQ(c.err,
              aStream_ReadRecord(s, buffer, &length, c.maximum,
                                 reinterpret_cast<const uint8_t*>(c.terminator.data()), c.terminator.size()))
        << c.name;
    EXPECT_EQ(c.record, std::string(reinterpret_cast<char*>(buffer), length)) << c.name;
    std::string left;
    uint8_t b;
    while (aStream_Read(s, &b, 1) == aErrNone) left.push_back(static_cast<char>(b));
    EXPECT_EQ(c.left, left) << c.name;
    aStream_Destroy(&s);
  }
}

TEST_F(Stream, RecordCutShortIsReadAgainWhole) {
  // The terminator's first byte arrived before the pause: nothing is lost.
  transport.Text("ab\r");
  const uint8_t crlf[] = {'\r', '\n'};
  uint8_t buffer[16];
  size_t length = 0;
  EXPECT_EQ(aErrNotReady, aStream_ReadRecord(stream, buffer, &length, 16, crlf, 2));
  transport.Text("\nnext");
  ASSERT_EQ(aErrNone, aStream_ReadRecord(stream, buffer, &length, 16, crlf, 2));
  EXPECT_EQ("ab", std::string(reinterpret_cast<char*>(buffer), length));
}

TEST_F(Stream, CStrings) {
  transport.Bytes({'a', 'b', 'c', 'd', 0});
  char text[4];
  ASSERT_EQ(aErrNone, aStream_ReadCString(stream, text, sizeof text));
  EXPECT_STREQ("abc", text);
  uint8_t rest[2];
  ASSERT_EQ(aErrNone, aStream_Read(stream, rest, 2));
  EXPECT_EQ('d', rest[0]);
  EXPECT_EQ(0, rest[1]);
  EXPECT_EQ(aErrParam, aStream_ReadCString(stream, text, 1));

  transport.Text("OK\r\n");
  char line[16];
  ASSERT_EQ(aErrNone, aStream_ReadCStringRecord(stream, line, sizeof line, "\r\n"));
  EXPECT_STREQ("OK", line);

  ASSERT_EQ(aErrNone, aStream_WriteCString(stream, "hi"));
  ASSERT_EQ(aErrNone, aStream_WriteCStringRecord(stream, "go", "\r\n"));
  EXPECT_EQ((std::vector<uint8_t>{'h', 'i', 0, 'g', 'o', '\r', '\n', 0}), transport.Written());
}

TEST_F(Stream, FlushCopiesUntilEnd) {
  FakeTransport source;
  source.whenEmpty = aErrEOF;
  source.Text("copy me");
  aStream* from = source.MakeStream();
  ASSERT_EQ(aErrNone, aStream_Flush(from, stream));
  const auto written = transport.Written();
  EXPECT_EQ("copy me", std::string(written.begin(), written.end()));
  source.Text("x");
  source.Error(aErrIO);
  EXPECT_EQ(aErrIO, aStream_Flush(from, stream));
  aStream_Destroy(&from);
}

TEST(StreamLifetime, DestroyCallsDeleteOnce) {
  FakeTransport t;
  bool deleted = false;
  t.deleted = &deleted;
  aStream* s = t.MakeStream();
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
  EXPECT_TRUE(deleted);
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrParam, aStream_Destroy(&s));
  EXPECT_EQ(aErrParam, aStream_Destroy(nullptr));
}

TEST(FileStream, ShortFileEndsWithEOF) {
  TempDir dir;
  WriteWholeFile(dir.file("three"), "xyz");
  aStream* s = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateFileInput(dir.file("three").c_str(), &s));
  uint8_t buffer[5] = {};
  EXPECT_EQ(aErrEOF, aStream_Read(s, buffer, 5));
  EXPECT_EQ("xyz", std::string(reinterpret_cast<char*>(buffer), 3));
  EXPECT_EQ(aErrEOF, aStream_Read(s, buffer, 5));
  EXPECT_EQ(aErrMode, aStream_Write(s, buffer, 2));
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
}

TEST(FileStream, OutputAndFailures) {
  TempDir dir;
  aStream* s = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateFileOutput(dir.file("out").c_str(), &s));
  const uint8_t bytes[] = {'h', 'e', 'y'};
  EXPECT_EQ(aErrNone, aStream_Write(s, bytes, 3));
  EXPECT_EQ(aErrNone, aStream_Write(s, bytes, 1));
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
  EXPECT_EQ("heyh", ReadWholeFile(dir.file("out")));

  EXPECT_EQ(aErrResource, aStream_CreateFileOutput(dir.file("no/such/dir").c_str(), &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrResource, aStream_CreateFileInput(dir.file("missing").c_str(), &s));
  EXPECT_EQ(aErrResource, aStream_CreateFileInput(nullptr, &s));
  EXPECT_EQ(aErrResource, aStream_CreateFileInput(dir.file("out").c_str(), nullptr));
}

}  // namespace
