// The replaceable message texts: their defaults, and how a language section replaces them.
#include <gtest/gtest.h>

#include <string>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "test_support.h"

namespace {

void ExpectSameTexts(const UiStrings& a, const UiStrings& b) {
  for (int i = 0; i < kUiStringCount; ++i) {
    EXPECT_EQ(a[i].key, b[i].key);
    EXPECT_STREQ(a[i].text, b[i].text) << a[i].key;
  }
}

class UiStringsTest : public testing::Test {
 protected:
  void TearDown() override { CloseLanguageFile(&lang_); }

  // The texts of the table this test owns.
  const wchar_t* UiText(int key) const { return ::UiText(strings_, key); }
  void ResetUiStrings() { ::ResetUiStrings(&strings_); }

  // Opens a file holding the section [T] with these lines and applies it. The same file read
  // once gives a second table the same texts.
  void Apply(const std::string& lines) {
    std::wstring path = temp_.File(L"vostrel.lng");
    ASSERT_TRUE(WriteFileBytes(path, "[OTHER]\r\n900=other\r\n[T]\r\n" + lines + "[NEXT]\r\n"));
    ASSERT_TRUE(OpenLanguageFileAt(&lang_, path.c_str()));
    ASSERT_EQ(SelectLanguageSection(&lang_, L"T"), 0);
    ApplyLanguageToUiStrings(&strings_, &lang_);
    LanguageTexts texts;
    ASSERT_TRUE(LoadLanguageTexts(path.c_str(), &texts));
    UiStrings fromLoaded;
    ApplyLanguageToUiStrings(&fromLoaded, FindLanguageSection(texts, L"T"));
    ExpectSameTexts(fromLoaded, strings_);
  }

  TempDir temp_;
  LanguageFile lang_;
  UiStrings strings_;
};

TEST_F(UiStringsTest, DefaultsAreTheProgramsOwnTexts) {
  // The texts whose blanks and line breaks matter.
  EXPECT_STREQ(UiText(904), L"Bad db file  - %s");
  EXPECT_STREQ(UiText(907), L"Found: %i wrong db files\r\n\r\nBad entrances deleted.");
  EXPECT_STREQ(UiText(908), L"Scaned: %i, results: %i");
  EXPECT_STREQ(UiText(909), L"Query: ");
  // Ascending keys, the order in which start-up replaces them.
  for (int i = 1; i < kUiStringCount; ++i) EXPECT_LT(strings_[i - 1].key, strings_[i].key);
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
  ApplyLanguageToUiStrings(&strings_, &lang_);
  EXPECT_STREQ(UiText(900), L"Error");
  LanguageTexts texts;
  ASSERT_TRUE(LoadLanguageTexts(path.c_str(), &texts));
  ApplyLanguageToUiStrings(&strings_, FindLanguageSection(texts, L"RUSSIAN"));
  EXPECT_STREQ(UiText(900), L"Error");
}

// Two users of two languages take their texts from one file read once, each into a table of
// their own: neither sees the other's language, and the loaded texts stay as they were.
TEST_F(UiStringsTest, TwoTablesTakeTwoLanguagesFromOneLoadedFile) {
  std::wstring path = temp_.File(L"vostrel.lng");
  ASSERT_TRUE(WriteFileBytes(path,
                             "[RUSSIAN]\r\n900=Oshibka\r\n909=Zapros: \r\n"
                             "[GERMAN]\r\n900=Fehler\r\n916=Halt\r\n"));
  LanguageTexts texts;
  ASSERT_TRUE(LoadLanguageTexts(path.c_str(), &texts));
  const LanguageTexts& shared = texts;
  UiStrings russian, german;
  ApplyLanguageToUiStrings(&russian, FindLanguageSection(shared, L"RUSSIAN"));
  ApplyLanguageToUiStrings(&german, FindLanguageSection(shared, L"GERMAN"));
  EXPECT_STREQ(::UiText(russian, 900), L"Oshibka");
  EXPECT_STREQ(::UiText(russian, 909), L"Zapros: ");
  EXPECT_STREQ(::UiText(russian, 916), L"Stop");
  EXPECT_STREQ(::UiText(german, 900), L"Fehler");
  EXPECT_STREQ(::UiText(german, 909), L"Query: ");
  EXPECT_STREQ(::UiText(german, 916), L"Halt");
  EXPECT_STREQ(UiText(900), L"Error");  // a third table was never given a language
  ASSERT_EQ(shared.sections.size(), 2u);
  EXPECT_EQ(shared.sections[0].texts.size(), 2u);
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
