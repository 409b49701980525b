#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Corvantis2/common/aDefs.h"
#include "Corvantis2/common/aError.h"
#include "Corvantis2/common/aVersion.h"

TEST(ErrorText, NamesAndDescriptionsWithCatchAll) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorText(18), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorDescription(18), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(27), "Corvantis command to short");
  EXPECT_STREQ(aError_GetErrorDescription(34), "Unknown error");
  for (unsigned code : {35u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
  }
  // Every code has its own name: a shifted row would repeat or skip one.
  for (unsigned a = 0; a <= 34; ++a)
    for (unsigned b = a + 1; b <= 34; ++b) EXPECT_STRNE(aError_GetErrorText(a), aError_GetErrorText(b));
}

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t packed;
  const char* text;
  bool legacy;
};

class VersionPack : public ::testing::TestWithParam<PackCase> {};

TEST_P(VersionPack, PacksParsesAndPrints) {
  const PackCase& c = GetParam();
  EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
  EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
  char text[32];
  aVersion_ParseString(c.packed, text, sizeof text);
  EXPECT_STREQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Layouts, VersionPack,
                         ::testing::Values(PackCase{2, 14, 7, 0x2E000007, "2.14.7", true},
                                           PackCase{2, 15, 7, 0x2F020F07, "2.15.7", false},
                                           PackCase{3, 0, 1, 0x2F030001, "3.0.1", false},
                                           PackCase{1, 2, 3, 0x12000003, "1.2.3", true}));

TEST(VersionParse, LegacyWidePatchAndHighTopByte) {
  char text[32];
  aVersion_ParseString(0x10012345, text, sizeof text);
  EXPECT_STREQ(text, "1.0.74565");
  // A top byte above 0x2F is read in the current layout.
  aVersion_ParseString(0x31020304, text, sizeof text);
  EXPECT_STREQ(text, "2.3.4");
  EXPECT_EQ(aVersion_ParsePatch(0x10012345), 0x012345u);
  // Truncated to the caller's buffer, always terminated.
  char small[4];
  aVersion_ParseString(0x2F020F07, small, sizeof small);
  EXPECT_STREQ(small, "2.1");
}

TEST(VersionLibrary, OwnVersionAndComparisons) {
  EXPECT_STREQ(aVersion_GetString(), "2.12.4");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 4));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 5));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(VersionFeatures, ListAndLookup) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  EXPECT_EQ(strlen(list), 27u);
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}

TEST(ModelNames, NamedAndUnknown) {
  int named = 0;
  for (unsigned model = 0; model < 64; ++model) {
    std::string name = aDefs_GetModelName(model);
    bool shouldHaveName = model == 4 || model == 5 || (model >= 13 && model <= 27);
    EXPECT_EQ(name != "Unknown", shouldHaveName) << model;
    if (shouldHaveName) {
      ++named;
      EXPECT_EQ(name.find(' '), std::string::npos) << "single word: " << name;
    }
  }
  EXPECT_EQ(named, 17);
  EXPECT_STREQ(aDefs_GetModelName(6), "Unknown");
  EXPECT_STREQ(aDefs_GetModelName(28), "Unknown");
}
