// Formatting of the replaceable texts, whose patterns come from the language file.
#include <gtest/gtest.h>

#include <string>

#include "i18n/format_text.h"

TEST(FormatText, FillsIntegersAndStringsInOrder) {
  wchar_t out[256];
  EXPECT_EQ(FormatText(out, 256, L"Scaned: %i, results: %i", {12, 3}), 22u);
  EXPECT_STREQ(out, L"Scaned: 12, results: 3");
  FormatText(out, 256, L"Bad db file  - %s", {L"V:\\a.db"});
  EXPECT_STREQ(out, L"Bad db file  - V:\\a.db");
  FormatText(out, 256, L"%d%% of %i", {-5, 2147483647});
  EXPECT_STREQ(out, L"-5% of 2147483647");
}

TEST(FormatText, WrongPlaceholdersOfATranslationAreLeftAsText) {
  wchar_t out[256];
  // A string placeholder where a number is given, a missing argument and an unknown conversion
  // must not read anything that was not passed.
  FormatText(out, 256, L"%s/%i/%i/%x", {1, 2});
  EXPECT_STREQ(out, L"%s/1/2/%x");
  FormatText(out, 256, L"%i: %s", {L"text"});
  EXPECT_STREQ(out, L"%i: text");
  FormatText(out, 256, L"ends in %", {1});
  EXPECT_STREQ(out, L"ends in %");
}

TEST(FormatText, CutsAtTheCapacity) {
  wchar_t out[8];
  EXPECT_EQ(FormatText(out, 8, L"%i/%i", {123456, 789}), 7u);
  EXPECT_STREQ(out, L"123456/");
  wchar_t one[1];
  EXPECT_EQ(FormatText(one, 1, L"abc", {}), 0u);
  EXPECT_STREQ(one, L"");
}
