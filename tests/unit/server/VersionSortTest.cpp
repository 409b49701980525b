#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "server/UpdateServerRequest.h"

using Entry = UpdateServerRequest::BuildEntry;

namespace {

std::vector<std::string> Keys(const std::vector<Entry>& list) {
  std::vector<std::string> keys;
  for (const auto& e : list) keys.push_back(e.first);
  return keys;
}

}  // namespace

TEST(SplitCorvantisVersion, ThreePartsOrNone) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"2.10.5", {"2", "10", "5"}},
      {"1..2", {"1", "", "2"}},
      {"a.b.c", {"a", "b", "c"}},
      {"2.10", {}},
      {"2.10.5.1", {}},
      {"", {}},
      {"..", {"", "", ""}},
      {"...", {}},
      {"2", {}},
  };
  for (const auto& [text, parts] : cases)
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion(text), parts) << text;
}

TEST(SortBuildsByVersion, NewestFirstComparingNumbers) {
  EXPECT_EQ(
      Keys(UpdateServerRequest::SortBuildsByVersion({{"100", "2.0.9"}, {"101", "2.1.0"}, {"102", "2.10.0"}})),
      (std::vector<std::string>{"102", "101", "100"}));
  EXPECT_EQ(Keys(UpdateServerRequest::SortBuildsByVersion({{"1", "2.9.0"}, {"2", "2.10.1"}})),
            (std::vector<std::string>{"2", "1"}));
  // Major before minor before patch; leading blanks and signs as the reader
  // allows; each part keeps its low 8 bits (256 reads as 0).
  EXPECT_EQ(Keys(UpdateServerRequest::SortBuildsByVersion(
                {{"a", "1.9.9"}, {"b", "2.0.0"}, {"c", "1.10.0"}, {"d", " 3.+0.0"}, {"e", "1.256.0"}})),
            (std::vector<std::string>{"d", "b", "c", "a", "e"}));
}

TEST(SortBuildsByVersion, UnreadableVersionsGoLastInKeyOrder) {
  const UpdateServerRequest::BuildList builds = {
      {"100", "x.y.z"}, {"101", "1.0.0"}, {"102", ""},      {"103", "2.10"},
      {"104", "3.0.0"}, {"105", "1..0"},  {"106", "2.0.0"}, {"107", "99999999999.0.0"},
  };
  EXPECT_EQ(Keys(UpdateServerRequest::SortBuildsByVersion(builds)),
            (std::vector<std::string>{"104", "106", "101", "100", "102", "103", "105", "107"}));
}

TEST(SortBuildsByVersion, OrderingIsAStrictWeakOrder) {
  const std::vector<std::string> versions = {"1.0.0", "1.0.1", "x",     "1.0.0", "2.10",   "0.0.0",
                                             "9.9.9", "",      "1.a.0", "a.1.0", "1.0.1a", "255.255.255"};
  std::vector<Entry> entries;
  for (size_t i = 0; i < versions.size(); ++i) entries.emplace_back(std::to_string(i), versions[i]);
  auto less = UpdateServerRequest::_sortVersion;
  for (const auto& a : entries) {
    EXPECT_FALSE(less(a, a)) << a.second;
    for (const auto& b : entries) {
      if (less(a, b)) {
        EXPECT_FALSE(less(b, a)) << a.second << " " << b.second;
      }
      for (const auto& c : entries) {
        if (less(a, b) && less(b, c)) {
          EXPECT_TRUE(less(a, c)) << a.second << " " << b.second << " " << c.second;
        }
        // Incomparability is transitive too.
        const bool ab = !less(a, b) && !less(b, a);
        const bool bc = !less(b, c) && !less(c, b);
        if (ab && bc) {
          EXPECT_TRUE(!less(a, c) && !less(c, a)) << a.second << " " << b.second << " " << c.second;
        }
      }
    }
  }
  // "1.0.1a" reads as 1.0.1 (reading stops at the first non-digit).
  EXPECT_FALSE(less({"a", "1.0.1a"}, {"b", "1.0.1"}));
  EXPECT_FALSE(less({"b", "1.0.1"}, {"a", "1.0.1a"}));
}

TEST(SortBuildsByVersion, SameResultWhateverTheInputOrder) {
  // The map fixes the input order, so shuffle the keys' names instead.
  std::mt19937 rng(3);
  const std::vector<std::string> versions = {"1.2.3", "bad", "1.2.3", "0.9.9", "", "4.0.0", "2.2", "1.10.0"};
  for (int round = 0; round < 20; ++round) {
    std::vector<int> names(versions.size());
    for (size_t i = 0; i < names.size(); ++i) names[i] = static_cast<int>(10 + i);
    std::shuffle(names.begin(), names.end(), rng);
    UpdateServerRequest::BuildList builds;
    for (size_t i = 0; i < versions.size(); ++i) builds[std::to_string(names[i])] = versions[i];
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), versions.size());
    // Readable first, newest to oldest; then the unreadable ones in key order.
    std::vector<std::string> readable;
    for (size_t i = 0; i < 5; ++i) readable.push_back(sorted[i].second);
    EXPECT_EQ(readable, (std::vector<std::string>{"4.0.0", "1.10.0", "1.2.3", "1.2.3", "0.9.9"}));
    std::vector<std::string> rest;
    for (size_t i = 5; i < sorted.size(); ++i) {
      rest.push_back(sorted[i].second);
      if (i > 5) {
        EXPECT_LT(sorted[i - 1].first, sorted[i].first);
      }
    }
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"", "2.2", "bad"}));
  }
}
