// The replaceable message texts: their defaults, and how a language section replaces them.
#include <gtest/gtest.h>

#include <string>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "test_support.h"

namespace {

class UiStringsTest : public testing::Test {
 protected:
  void SetUp() override { ResetUiStrings(); }
  void TearDown() override {
    CloseLanguageFile(&lang_);
    ResetUiStrings();
  }

  // Opens a file holding the section [T] with these lines and applies it.
  void Apply(const std::string& lines) {
    std::wstring path = temp_.File(L"vostrel.lng");
    ASSERT_TRUE(WriteFileBytes(path, "[OTHER]\r\n900=other\r\n[T]\r\n" + lines + "[NEXT]\r\n"));
    ASSERT_TRUE(OpenLanguageFileAt(&lang_, path.c_str()));
    ASSERT_EQ(SelectLanguageSection(&lang_, L"T"), 0);
    ApplyLanguageToUiStrings(&lang_);
  }

  TempDir temp_;
  LanguageFile lang_;
};

TEST_F(UiStringsTest, DefaultsAreTheProgramsOwnTexts) {
  // The texts whose blanks and line breaks matter.
  EXPECT_STREQ(UiText(904), L"Bad db file  - %s");
  EXPECT_STREQ(UiText(907), L"Found: %i wrong db files\r\n\r\nBad entrances deleted.");
  EXPECT_STREQ(UiText(908), L"Scaned: %i, results: %i");
  EXPECT_STREQ(UiText(909), L"Query: ");
  // Ascending keys, the order in which start-up replaces them.
  for (size_t i = 1; i < sizeof UiStringTable / sizeof UiStringTable[0]; ++i) {
    EXPECT_LT(UiStringTable[i - 1].key, UiStringTable[i].key);
  }
  EXPECT_STREQ(UiText(902), L"");
  EXPECT_STREQ(UiText(700), L"");
}

TEST_F(UiStringsTest, NonEmptyTranslationsReplaceTheDefaults) {
  Apply("900=Oshibka\r\n901=\r\n905=Ne bolee %i baz\r\n909=Zapros: \r\n916=Stoj\r\n");
  EXPECT_STREQ(UiText(900), L"Oshibka");
  EXPECT_STREQ(UiText(901), L"Info");  // empty value: the default stays
  EXPECT_STREQ(UiText(905), L"Ne bolee %i baz");
  EXPECT_STREQ(UiText(909), L"Zapros: ");
  EXPECT_STREQ(UiText(916), L"Stoj");
  EXPECT_STREQ(UiText(915), L"Start");  // no entry

  ResetUiStrings();
  EXPECT_STREQ(UiText(900), L"Error");
  EXPECT_STREQ(UiText(916), L"Stop");
}

TEST_F(UiStringsTest, MissingSectionKeepsEveryDefault) {
  std::wstring path = temp_.File(L"vostrel.lng");
  ASSERT_TRUE(WriteFileBytes(path, "[ENGLISH]\r\n900=Mistake\r\n"));
  ASSERT_TRUE(OpenLanguageFileAt(&lang_, path.c_str()));
  EXPECT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), -1);
  ApplyLanguageToUiStrings(&lang_);
  EXPECT_STREQ(UiText(900), L"Error");
}

TEST_F(UiStringsTest, LongTranslationsAreCutTo79Characters) {
  std::string long906(120, 'o');
  long906[78] = 'E';
  Apply("906=" + long906 + "\r\n");
  std::wstring got = UiText(906);
  ASSERT_EQ(got.size(), 79u);
  EXPECT_EQ(got.back(), L'E');
}

TEST_F(UiStringsTest, TranslationsWithOtherPlaceholdersAreRefused) {
  std::string cutPlaceholder = std::string(78, 'x') + "%s";  // "%" survives, "s" is cut off
  Apply(
      "903=Net fajla %i\r\n"  // an integer where a path is given
      "904=" +
      cutPlaceholder +
      "\r\n"
      "905=%i %i\r\n"                     // one argument too many
      "907=Found %d bad, 100%% sure\r\n"  // %d is %i, %% is no placeholder
      "908=%i results of %i\r\n"          // same conversions, other words
      "909=Query %s: \r\n");              // a placeholder where none is expected
  EXPECT_STREQ(UiText(903), L"Could not open ini file for save - %s");
  EXPECT_STREQ(UiText(904), L"Bad db file  - %s");
  EXPECT_STREQ(UiText(905), L"Max db file = %i");
  EXPECT_STREQ(UiText(907), L"Found %d bad, 100%% sure");
  EXPECT_STREQ(UiText(908), L"%i results of %i");
  EXPECT_STREQ(UiText(909), L"Query: ");
}

TEST(TranslationFitsFormatTest, ComparesConversionsInOrder) {
  EXPECT_TRUE(TranslationFitsFormat(L"Scaned: %i, results: %i", L"%d / %i"));
  EXPECT_TRUE(TranslationFitsFormat(L"Query: ", L"100%% ok"));
  EXPECT_FALSE(TranslationFitsFormat(L"Bad db file  - %s", L"%s %i"));
  EXPECT_FALSE(TranslationFitsFormat(L"Bad db file  - %s", L"%ls"));
  EXPECT_FALSE(TranslationFitsFormat(L"Max db file = %i", L"%5i"));
  EXPECT_FALSE(TranslationFitsFormat(L"Max db file = %i", L"%*i"));
  EXPECT_FALSE(TranslationFitsFormat(L"Info", L"oops %"));
  EXPECT_FALSE(TranslationFitsFormat(L"Info", L"%n"));
}

}  // namespace
