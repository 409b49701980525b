#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "server/UpdateServerRequest.h"

namespace {

std::optional<std::string> Decode(const std::string& text) {
  size_t length = 12345;
  auto bytes = UpdateServerRequest::base64_decode(text.data(), text.size(), &length);
  if (!bytes) return std::nullopt;
  EXPECT_EQ(bytes[length], 0) << "decoded bytes are followed by a zero byte";
  return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

std::string Encode(const std::string& bytes) {
  size_t length = 12345;
  auto text = UpdateServerRequest::base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                 bytes.size(), &length);
  EXPECT_NE(text, nullptr);
  if (!text) return "";
  EXPECT_EQ(text[length], '\0');
  EXPECT_EQ(strlen(text.get()), length);
  return std::string(text.get(), length);
}

}  // namespace

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"ABC", "QUJD"},
      {"AB", "QUI="},
      {std::string("\xff\xfe\x00\x3e\x3f", 5), "//4APj8="},
  };
  for (const auto& [plain, text] : vectors) {
    EXPECT_EQ(Encode(plain), text) << plain;
    EXPECT_EQ(Decode(text), plain) << text;
  }
}

TEST(Base64, RefusesMalformedText) {
  const char* bad[] = {
      "QUJ",       // length not a multiple of 4
      "QUJDQ",     //
      "QU*D",      // outside the alphabet
      "QUJD\n",    // line break
      "QUJ\r",     // carriage return
      "QU=D",      // padding before the end
      "Q===",      // three padding characters
      "====",      //
      "QU=I",      // padding followed by data
      "Zg==Zm8=",  // padding inside the text
      "QUJD QUJD",
      "-_-_",  // base64url alphabet is not this one
  };
  for (const char* text : bad) EXPECT_EQ(Decode(text), std::nullopt) << text;
  size_t length = 7;
  EXPECT_EQ(UpdateServerRequest::base64_decode(nullptr, 4, &length), nullptr);
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::mt19937 rng(7);
  for (size_t n = 0; n < 200; ++n) {
    std::string bytes(n, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    const std::string text = Encode(bytes);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(Decode(text), bytes) << n;
  }
}
