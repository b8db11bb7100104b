// The vostrel.lng that ships with the program: both sections parse, the Russian one translates
// every text, and every translation fits its consumer.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "db/field_schema.h"
#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// The keys of the tab names, the message texts and the built-in fields' names, taken from where
// the program takes them, each with the most characters its consumer holds. The controls' keys
// come from the control tables, checked by the Windows test
// LanguageUiTest.EveryTranslatedControlOfTheTablesHasItsTextInBothLanguages. Key -1 is left to
// the defaults: it stands both for the version line and for the "Language:" label.
struct KeySet {
  std::vector<int> keys;
  size_t maxChars;
};
std::vector<KeySet> TranslatedKeys() {
  KeySet tabs{{}, kTabNameCapacity - 1};
  for (int i = 0; i < kTabNameCount; ++i) tabs.keys.push_back(kFirstTabNameKey + i);
  KeySet texts{{}, kUiStringCapacity - 1};
  for (const UiString& slot : UiStrings()) texts.keys.push_back(slot.key);
  KeySet fields{{}, kDisplayNameCapacity - 1};
  for (const FieldDescriptor& field : BuiltInSchema) fields.keys.push_back(field.languageKey);
  return {tabs, texts, fields};
}

class LanguagePackTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = RepositoryLanguageFile();
    bytes_ = ReadFileBytes(path_);
    ASSERT_FALSE(bytes_.empty()) << "vostrel.lng not found";
    ASSERT_TRUE(OpenLanguageFileAt(&lang_, path_.c_str()));
  }
  void TearDown() override { CloseLanguageFile(&lang_); }

  std::wstring Lookup(int key) {
    wchar_t out[kLanguageValueCapacity];
    return LookupLanguageString(&lang_, key, out) == 0 ? out : L"<none>";
  }

  std::wstring path_;
  std::string bytes_;
  LanguageFile lang_;
};

TEST_F(LanguagePackTest, FileIsWindows1251WithCrLfLines) {
  ASSERT_GE(bytes_.size(), 2u);
  EXPECT_EQ(bytes_.substr(bytes_.size() - 2), "\r\n");
  for (size_t i = 0; i < bytes_.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes_[i]);
    if (c == '\n') {
      EXPECT_TRUE(i > 0 && bytes_[i - 1] == '\r') << "bare LF at byte " << i;
    }
    if (c == '\r') {
      EXPECT_TRUE(i + 1 < bytes_.size() && bytes_[i + 1] == '\n') << "bare CR at " << i;
    }
    EXPECT_NE(c, 0x98) << "byte " << i << " is not Windows-1251";  // the one unassigned byte
    EXPECT_NE(c, 0) << "NUL at byte " << i;
  }
  // Every line fits the reading buffer with its line end.
  size_t start = 0;
  while (start < bytes_.size()) {
    size_t end = bytes_.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end + 1 - start, static_cast<size_t>(kLanguageLineBuffer - 1));
    start = end + 1;
  }
}

TEST_F(LanguagePackTest, ListsRussianAndEnglish) {
  std::vector<std::wstring> names;
  ForEachLanguageName(&lang_, [&](const wchar_t* name) { names.push_back(name); });
  EXPECT_EQ(names, (std::vector<std::wstring>{L"RUSSIAN", L"ENGLISH"}));
}

TEST_F(LanguagePackTest, RussianTranslatesEveryTextWithinItsLimit) {
  ASSERT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), 0);
  std::vector<int> keys;
  for (const KeySet& set : TranslatedKeys())
    keys.insert(keys.end(), set.keys.begin(), set.keys.end());
  for (int key : keys) {
    std::wstring text = Lookup(key);
    EXPECT_NE(text, L"<none>") << "no Russian text for key " << key;
    EXPECT_FALSE(text.empty()) << "empty Russian text for key " << key;
    // Russian texts are Cyrillic; digits, Latin names and punctuation alone would be a slip.
    bool cyrillic = false;
    for (wchar_t c : text) cyrillic = cyrillic || (c >= 0x0410 && c <= 0x044F);
    EXPECT_TRUE(cyrillic) << "key " << key << " is not Russian";
  }
  // Key -1 would replace the version line and the "Language:" label alike.
  EXPECT_EQ(Lookup(-1), L"<none>");
}

TEST_F(LanguagePackTest, EveryTranslationFitsItsConsumer) {
  for (const wchar_t* language : {L"RUSSIAN", L"ENGLISH"}) {
    ASSERT_EQ(SelectLanguageSection(&lang_, language), 0);
    for (const KeySet& set : TranslatedKeys()) {
      for (int key : set.keys) {
        std::wstring text = Lookup(key);
        if (text == L"<none>") continue;
        EXPECT_LE(text.size(), set.maxChars) << "key " << key;
        EXPECT_EQ(text.find(L'\n'), std::wstring::npos) << "key " << key;
      }
    }
    // Placeholders as in the defaults, checked against fresh defaults.
    UiStrings strings;
    for (const UiString& slot : strings) {
      std::wstring text = Lookup(slot.key);
      if (text == L"<none>") continue;
      EXPECT_TRUE(TranslationFitsFormat(slot.text, text.c_str()))
          << "key " << slot.key << " of " << WideToUtf8(language);
    }
    ApplyLanguageToUiStrings(&strings, &lang_);
    for (const UiString& slot : strings) {
      std::wstring text = Lookup(slot.key);
      if (text != L"<none>") {
        EXPECT_EQ(text, slot.text) << "key " << slot.key << " was refused";
      }
    }
  }
}

TEST_F(LanguagePackTest, EnglishRepeatsTheDefaultTextsButSpellsScanned) {
  ASSERT_EQ(SelectLanguageSection(&lang_, L"ENGLISH"), 0);
  for (const UiString& slot : UiStrings()) {
    std::wstring text = Lookup(slot.key);
    // 907 holds line breaks that a line of the file cannot: the default serves.
    if (slot.key == 907) {
      EXPECT_EQ(text, L"<none>");
      continue;
    }
    // The shipped English spells what the built-in default keeps as it always was.
    if (slot.key == 908) {
      EXPECT_EQ(text, L"Scanned: %i, results: %i");
      continue;
    }
    EXPECT_EQ(text, slot.text) << "key " << slot.key;
  }
  EXPECT_EQ(Lookup(kFirstTabNameKey), L"Search");
  EXPECT_EQ(Lookup(1504), L"Flat");
  EXPECT_EQ(Lookup(1306), L"Corvinet Options:");
}

}  // namespace
