// The language file at start-up, the Setup page's language selector and its Save button, with
// real controls and the real registry (a scratch root).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "ui/app_globals_win32.h"
#include "ui/language_ui_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "win32_test_support.h"

namespace {

const wchar_t kRestart[] = L"You need to restart program in order to apply changes.";

class LanguageUiTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetUiStrings();
    lstrcpynW(savedLanguage_, CurrentLanguage, kLanguageNameCapacity);
    list_ = page_.AddComboBox(1308);
  }
  void TearDown() override {
    CloseLanguageFile(&lang_);
    lstrcpynW(CurrentLanguage, savedLanguage_, kLanguageNameCapacity);
    ResetUiStrings();
  }

  void OpenFile(const std::string& bytes) {
    app_.WriteFile(L"vostrel.lng", bytes);
    ASSERT_TRUE(OpenLanguageFile(&lang_, app_.Path().c_str(), L"vostrel.lng"));
  }

  MessageBoxRecorder boxes_;
  ScratchAppDirectory app_;
  ScratchSettingsRoot registry_;
  TestWindow page_;
  HWND list_ = nullptr;
  LanguageFile lang_;
  wchar_t savedLanguage_[kLanguageNameCapacity];
};

TEST_F(LanguageUiTest, MissingLanguageFileIsReportedWithoutOwnerAndWithTheBuiltInCaption) {
  wcscpy(UiStringTable[0].text, L"Oshibka");  // not used: nothing is translated this early
  EXPECT_FALSE(OpenLanguageFile(&lang_, app_.Path().c_str(), L"vostrel.lng"));
  EXPECT_EQ(lang_.file, nullptr);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Could not open Language file - " + app_.Path() + L"vostrel.lng");
  EXPECT_EQ(boxes_.At(0).caption, L"Error");
  EXPECT_EQ(boxes_.At(0).owner, nullptr);
}

TEST_F(LanguageUiTest, ShippedFileTranslatesTheMessagesIntoRussianByDefault) {
  app_.CopyRepositoryLanguageFile();
  ASSERT_TRUE(OpenLanguageFile(&lang_, app_.Path().c_str(), L"vostrel.lng"));
  // The start-up's language steps: no stored language means Russian.
  ReadLanguageSetting(CurrentLanguage);
  EXPECT_STREQ(CurrentLanguage, L"");
  lstrcpynW(CurrentLanguage, L"RUSSIAN", kLanguageNameCapacity);
  ASSERT_EQ(SelectLanguageSection(&lang_, CurrentLanguage), 0);
  ApplyLanguageToUiStrings(&UiStringTable, &lang_);
  EXPECT_STREQ(UiText(900), L"\u041E\u0448\u0438\u0431\u043A\u0430");  // "Ошибка"
  EXPECT_STREQ(UiText(916), L"\u0421\u0442\u043E\u043F");              // "Стоп"
  FillLanguageList(&lang_, page_.Handle());
  EXPECT_EQ(ComboBoxItems(list_), (std::vector<std::wstring>{L"RUSSIAN", L"ENGLISH"}));
  EXPECT_EQ(ComboBoxSelection(list_), 0);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(LanguageUiTest, ListShowsEveryLanguageAndSelectsTheCurrentOneIgnoringCase) {
  OpenFile("[RUSSIAN]\r\n900=a\r\n[English]\r\n900=b\r\n[GERMAN] remark\r\n");
  lstrcpynW(CurrentLanguage, L"ENGLISH", kLanguageNameCapacity);
  FillLanguageList(&lang_, page_.Handle());
  EXPECT_EQ(ComboBoxItems(list_), (std::vector<std::wstring>{L"RUSSIAN", L"English", L"GERMAN"}));
  EXPECT_EQ(ComboBoxSelection(list_), 1);
  // The section itself is found case-sensitively only: the texts stay at their defaults.
  EXPECT_EQ(SelectLanguageSection(&lang_, CurrentLanguage), -1);
}

TEST_F(LanguageUiTest, LastMatchingNameStaysSelectedAndNoMatchSelectsNothing) {
  OpenFile("[ENGLISH]\r\n[RUSSIAN]\r\n[english]\r\n");
  lstrcpynW(CurrentLanguage, L"English", kLanguageNameCapacity);
  FillLanguageList(&lang_, page_.Handle());
  EXPECT_EQ(ComboBoxSelection(list_), 2);

  TestWindow other;
  HWND otherList = other.AddComboBox(1308);
  lstrcpynW(CurrentLanguage, L"FRENCH", kLanguageNameCapacity);
  FillLanguageList(&lang_, other.Handle());
  EXPECT_EQ(ComboBoxItems(otherList).size(), 3u);
  EXPECT_EQ(ComboBoxSelection(otherList), CB_ERR);
}

TEST_F(LanguageUiTest, SaveStoresTheChoiceAndAsksForARestart) {
  OpenFile("[RUSSIAN]\r\n900=Oshibka\r\n[ENGLISH]\r\n900=Error\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), 0);
  ApplyLanguageToUiStrings(&UiStringTable, &lang_);
  lstrcpynW(UiStringTable[1].text, L"Svedeniya", kUiStringCapacity);  // the caption, key 901
  lstrcpynW(CurrentLanguage, L"RUSSIAN", kLanguageNameCapacity);
  FillLanguageList(&lang_, page_.Handle());
  SendMessageW(list_, CB_SETCURSEL, 1, 0);

  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), 0), 0);
  EXPECT_STREQ(CurrentLanguage, L"ENGLISH");
  std::wstring stored;
  ASSERT_TRUE(registry_.GetString(L"Language", &stored));
  EXPECT_EQ(stored, L"ENGLISH");
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, kRestart);
  EXPECT_EQ(boxes_.At(0).caption, L"Svedeniya");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
  // The running program keeps its language.
  EXPECT_STREQ(UiText(900), L"Oshibka");
}

TEST_F(LanguageUiTest, SaveIgnoresOtherNotificationsAndAnEmptySelection) {
  OpenFile("[RUSSIAN]\r\n[ENGLISH]\r\n");
  lstrcpynW(CurrentLanguage, L"RUSSIAN", kLanguageNameCapacity);
  FillLanguageList(&lang_, page_.Handle());
  SendMessageW(list_, CB_SETCURSEL, 1, 0);
  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), BN_SETFOCUS), 0);
  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), BN_KILLFOCUS), 0);
  EXPECT_STREQ(CurrentLanguage, L"RUSSIAN");
  EXPECT_FALSE(registry_.SettingsKeyExists());

  SendMessageW(list_, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), 0), 0);
  EXPECT_STREQ(CurrentLanguage, L"RUSSIAN");
  EXPECT_FALSE(registry_.SettingsKeyExists());
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(LanguageUiTest, SaveThatCannotCreateTheKeyShowsNoRestartMessage) {
  OpenFile("[RUSSIAN]\r\n[ENGLISH]\r\n");
  lstrcpynW(CurrentLanguage, L"RUSSIAN", kLanguageNameCapacity);
  FillLanguageList(&lang_, page_.Handle());
  SendMessageW(list_, CB_SETCURSEL, 1, 0);
  FailingSettingsRoot failing;
  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), 0), -1);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"RegCreateKeyEx 'SOFTWARE\\Halvane\\Vostrel' - 6");
  EXPECT_EQ(boxes_.At(0).caption, L"Error");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
}

TEST_F(LanguageUiTest, SaveCutsAnOverlongSelectorTextToTheLanguageBuffer) {
  std::wstring longText(40, L'W');
  SendMessageW(list_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(longText.c_str()));
  SendMessageW(list_, CB_SETCURSEL, 0, 0);
  EXPECT_EQ(SaveLanguageChoice(page_.Handle(), 0), 0);
  EXPECT_EQ(std::wstring(CurrentLanguage), std::wstring(31, L'W'));
  std::wstring stored;
  ASSERT_TRUE(registry_.GetString(L"Language", &stored));
  EXPECT_EQ(stored, std::wstring(31, L'W'));
}

}  // namespace

// Every control that the pages' tables translate (a row with an id and a text of its own) has
// its text in both shipped languages, the Russian one in Cyrillic. The keys come from the
// tables, so a control added to them cannot be left untranslated.
TEST_F(LanguageUiTest, EveryTranslatedControlOfTheTablesHasItsTextInBothLanguages) {
  app_.CopyRepositoryLanguageFile();
  ASSERT_TRUE(OpenLanguageFile(&lang_, app_.Path().c_str(), L"vostrel.lng"));
  struct Table {
    const ControlSpec* rows;
    int count;
  };
  // The About page's texts are never translated.
  const Table tables[] = {{SearchControls, kSearchControlCount},
                          {ResultControls, kResultControlCount},
                          {SetupControls, kSetupControlCount}};
  int translated = 0;
  for (const wchar_t* language : {L"RUSSIAN", L"ENGLISH"}) {
    ASSERT_EQ(SelectLanguageSection(&lang_, language), 0);
    for (const Table& table : tables) {
      for (int i = 0; i < table.count; ++i) {
        const ControlSpec& row = table.rows[i];
        if (row.id == -1 || row.defaultText[0] == L'\0') continue;
        SCOPED_TRACE(std::wstring(language) + L" " + std::to_wstring(row.id));
        wchar_t text[kLanguageValueCapacity] = {};
        ASSERT_EQ(LookupLanguageString(&lang_, row.id, text), 0);
        EXPECT_NE(text[0], L'\0');
        EXPECT_EQ(wcschr(text, L'\n'), nullptr) << "a control's text is one line";
        bool cyrillic = false;
        for (const wchar_t* c = text; *c; ++c)
          cyrillic = cyrillic || (*c >= 0x0410 && *c <= 0x044F);
        if (lstrcmpW(language, L"RUSSIAN") == 0) {
          EXPECT_TRUE(cyrillic) << "not Russian";
        }
        ++translated;
      }
    }
  }
  EXPECT_GT(translated, 0);
}
