#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/SimpleOpt.h"

namespace {

struct Seen {
  std::string text;  // matched option's table text, or the user's word on a lookup error
  ESOError error;
  std::string arg;  // "<none>" when no value
};

std::vector<Seen> Scan(std::vector<std::string> words, std::vector<std::string>* finalArgv = nullptr) {
  words.insert(words.begin(), "updater");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  CSimpleOpt opt(static_cast<int>(argv.size()), argv.data(), g_rgOptions);
  std::vector<Seen> seen;
  while (opt.Next())
    seen.push_back({opt.OptionText(), opt.LastError(), opt.OptionArg() ? opt.OptionArg() : "<none>"});
  if (finalArgv)
    for (char* a : argv) finalArgv->push_back(a);
  return seen;
}

}  // namespace

struct ScanCase {
  std::vector<std::string> words;
  std::vector<std::tuple<std::string, ESOError, std::string>> expected;
};

class OptionScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(OptionScan, MatchesTheRules) {
  auto seen = Scan(GetParam().words);
  ASSERT_EQ(seen.size(), GetParam().expected.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    auto [text, error, arg] = GetParam().expected[i];
    EXPECT_EQ(seen[i].text, text) << i;
    EXPECT_EQ(seen[i].error, error) << i;
    EXPECT_EQ(seen[i].arg, arg) << i;
  }
}

const std::string N = "<none>";

INSTANTIATE_TEST_SUITE_P(
    Rules, OptionScan,
    ::testing::Values(
        // Exact, prefix and ambiguous names; dashes must agree.
        ScanCase{{"-OVER"}, {{"-OVERRIDE", SO_SUCCESS, N}}}, ScanCase{{"--he"}, {{"--help", SO_SUCCESS, N}}},
        ScanCase{{"--h"}, {{"--h", SO_OPT_MULTIPLE, N}}},
        ScanCase{{"--htt"}, {{"--htt", SO_OPT_MULTIPLE, N}}},
        ScanCase{{"--http"}, {{"--http", SO_SUCCESS, N}}}, ScanCase{{"-DG"}, {{"-DG", SO_OPT_INVALID, N}}},
        ScanCase{{"-help"}, {{"-help", SO_OPT_INVALID, N}}}, ScanCase{{"--D"}, {{"--D", SO_OPT_INVALID, N}}},
        ScanCase{{"-"}, {{"-", SO_OPT_MULTIPLE, N}}}, ScanCase{{"-d"}, {{"-d", SO_ARG_MISSING, N}}},
        // Values: after "=", from the next word, never from an option word.
        ScanCase{{"-d=1A"}, {{"-d", SO_SUCCESS, "1A"}}}, ScanCase{{"-d", "1A"}, {{"-d", SO_SUCCESS, "1A"}}},
        ScanCase{{"-b="}, {{"-b", SO_SUCCESS, ""}}},
        ScanCase{{"-d", "-U"}, {{"-d", SO_ARG_MISSING, N}, {"-U", SO_SUCCESS, N}}},
        ScanCase{{"-D=1"}, {{"-D", SO_ARG_INVALID, N}}},
        ScanCase{{"-u=http://h/x?a=b"}, {{"-u", SO_SUCCESS, "http://h/x?a=b"}}},
        // Stray words are skipped.
        ScanCase{{"file.bird", "-U", "other"}, {{"-U", SO_SUCCESS, N}}}));

TEST(OptionScan, StrayWordsMoveToTheEndInOrder) {
  std::vector<std::string> finalArgv;
  Scan({"one", "-d", "1A", "two", "-U", "three"}, &finalArgv);
  EXPECT_EQ(finalArgv, (std::vector<std::string>{"updater", "-d", "1A", "-U", "one", "two", "three"}));
}

TEST(OptionScan, ManyArgumentsAreLinear) {
  std::vector<std::string> words;
  for (int i = 0; i < 10000; ++i) words.push_back(i % 2 ? "-D" : "stray");
  auto seen = Scan(words);
  EXPECT_EQ(seen.size(), 5000u);
}

struct NumberCase {
  const char* text;
  uint32_t hex;
  uint32_t dec;
};

TEST(NumberArguments, DigitsOnlyAndTruncatedTo32Bits) {
  for (const NumberCase& c :
       {NumberCase{"1A2B", 0x1A2B, 0}, NumberCase{"1a2b", 0x1A2B, 0}, NumberCase{"123", 0x123, 123},
        NumberCase{"", 0, 0}, NumberCase{"12XY", 0, 0}, NumberCase{"-5", 0, 0}, NumberCase{" 5", 0, 0},
        NumberCase{"0x10", 0, 0}, NumberCase{"123456789", 0x23456789, 123456789},
        NumberCase{"4294967296", 0x94967296, 0}}) {
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << c.text;
    end = nullptr;
    EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << c.text;
  }
  char text[] = "99";
  char* end = nullptr;
  EXPECT_EQ(_get_int_arg(text, &end), 99u);
  EXPECT_EQ(end, text + 2);
  char bad[] = "9z";
  end = nullptr;
  EXPECT_EQ(_get_int_arg(bad, &end), 0u);
  EXPECT_EQ(end, nullptr) << "end untouched when the text is refused";
  EXPECT_EQ(_get_hex_arg("FF", nullptr), 0u);
}
