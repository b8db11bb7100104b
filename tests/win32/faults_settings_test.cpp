// Start-up with a language file that lacks the chosen section or holds broken lines, and with
// registry values of another type than the program writes. The whole application is started
// in-process on a scratch directory and a scratch registry root.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "ui_harness.h"

namespace {

std::vector<std::wstring> TabTexts() {
  std::vector<std::wstring> texts;
  const int count = static_cast<int>(SendMessageW(TabControl, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[300] = {};
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 300;
    SendMessageW(TabControl, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
    texts.push_back(text);
  }
  return texts;
}

// A RUSSIAN and an ENGLISH section that translate everything the tests look at, so that a text
// at its English default can only mean that no section was used.
std::string TranslatingLanguageFile() {
  std::string russian =
      "[RUSSIAN]\r\n700=Poisk\r\n701=Itogi\r\n702=Nastroika\r\n703=O programme\r\n704=Vyhod\r\n"
      "900=Oshibka\r\n901=Svedeniya\r\n903=Ne sohranit %s\r\n904=Plohoi fail %s\r\n"
      "905=Maksimum %i\r\n906=Vse v poryadke\r\n907=Naideno %i plohih\r\n908=Prochteno %i, "
      "naideno %i\r\n909=Zapros: \r\n915=Pusk\r\n916=Stoi\r\n1106=Sbros\r\n1107=Pusk\r\n"
      "1109=BD\r\n1303=Naiti\r\n1304=Ustanovit\r\n1305=Proverit\r\n1309=Zapisat\r\n"
      "1500=Telefon\r\n1501=Familiya\r\n";
  std::string english = "[ENGLISH]\r\n700=Find\r\n900=Failure\r\n1107=Go\r\n1501=Surname\r\n";
  return russian + english;
}

struct DefaultText {
  int key;
  const wchar_t* text;
};
const DefaultText kUiDefaults[] = {
    {900, L"Error"},
    {901, L"Info"},
    {903, L"Could not open ini file for save - %s"},
    {904, L"Bad db file  - %s"},
    {905, L"Max db file = %i"},
    {906, L"All installed db files - ok!"},
    {907, L"Found: %i wrong db files\r\n\r\nBad entrances deleted."},
    {908, L"Scaned: %i, results: %i"},
    {909, L"Query: "},
    {911, L"No such db file - %s"},
    {912, L"Could not open db file - %s"},
    {913, L"Not a Vostrel db file - %s"},
    {914, L"Unusable field schema in db file - %s"},
    {915, L"Start"},
    {916, L"Stop"},
    {917, L"Db file %s has other fields now: select it again"},
    {918, L"%s: the records end without their end mark after record %i"},
    {919, L"%s: a record length of 0 after record %i ends the scan"},
    {920, L"Looking in %s"},
};

void ExpectEveryTextAtItsDefault() {
  EXPECT_EQ(TabTexts(),
            (std::vector<std::wstring>{L"Search", L"Result", L"Setup", L"About", L"Exit"}));
  for (const DefaultText& text : kUiDefaults) EXPECT_STREQ(UiText(text.key), text.text) << text.key;
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_EQ(WindowText(SearchControl(IdResetButton)), L"Reset");
  EXPECT_EQ(WindowText(SearchControl(IdDatabaseLabel)), L"DB");
  EXPECT_EQ(WindowText(SetupControl(IdFindButton)), L"Find DB");
  EXPECT_EQ(WindowText(SetupControl(IdInstallButton)), L"Install");
  EXPECT_EQ(WindowText(SetupControl(IdCheckButton)), L"Check");
  EXPECT_EQ(WindowText(SetupControl(IdSaveLanguageButton)), L"Save");
  EXPECT_EQ(WindowText(SearchControl(IdFirstCriterionLabel)), L"Phone");
  EXPECT_EQ(WindowText(SearchControl(CriterionLabelId(1))), L"Name");
  EXPECT_EQ(ListHeaders(),
            (std::vector<std::wstring>{L"Phone", L"Name", L"Street", L"House", L"Flat"}));
}

// Stores a value of any type and bytes under the settings key of the scratch root.
void SetRawSetting(const ScratchSettingsRoot& registry, const wchar_t* name, DWORD type,
                   const std::string& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(registry.Root(), kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string DwordBytes(DWORD value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// The UTF-16 bytes of a text without its terminator.
std::string WideBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The language file

TEST(FaultsLanguage, FileWithoutTheChosenSectionLeavesEveryTextAtItsDefault) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.Directory().WriteFile(L"vostrel.lng", TranslatingLanguageFile());
  app.Registry().SetString(L"Language", L"GERMAN");
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);

  EXPECT_STREQ(CurrentLanguage, L"GERMAN");
  ExpectEveryTextAtItsDefault();
  // The selector lists the file's languages and selects none of them.
  HWND languages = SetupControl(IdLanguageSelector);
  EXPECT_EQ(ComboBoxItems(languages), (std::vector<std::wstring>{L"RUSSIAN", L"ENGLISH"}));
  EXPECT_EQ(ComboBoxSelection(languages), CB_ERR);

  // A search runs with the default captions and status text.
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"Scaned: 3, results: 3");
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_EQ(boxes.Count(), 0u);
}

TEST(FaultsLanguage, BrokenAndOverlongLinesAreCutNeverOverrun) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  // Lines are read 511 bytes at a time. The first two entries fill that exactly, and what
  // follows on their lines looks like a header and like an entry: neither may count as a line.
  std::string lines = "[RUSSIAN]\r\n";
  lines += "1309=" + std::string(506, 'x') + "[ENGLISH]\r\n";
  lines += "1106=" + std::string(506, 'R') + "909=Hijack\r\n";
  lines += "this line has no equals sign\r\n1109 DBX\r\n=value without a key\r\n1303\r\n";
  lines += "700=" + std::string(200, 'T') + "\r\n";
  lines += "900=" + std::string(100, 'E') + "\r\n";
  lines += "1107=" + std::string(300, 'S') + "\r\n";
  lines += "1501=SurnameLongerThan15\r\n";
  lines += "908=Read %i, found %i " + std::string(80, 'z') + "\r\n";
  // A placeholder that the cut to 79 characters separates from its letter.
  lines += "904=" + std::string(78, 'b') + "%s\r\n";
  lines += "[ENGLISH]\r\n909=English query\r\n";
  app.Directory().WriteFile(L"vostrel.lng", lines);
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);

  EXPECT_STREQ(CurrentLanguage, L"RUSSIAN");
  // Values are cut to 259 characters, then to each consumer's own limit.
  EXPECT_EQ(WindowText(SetupControl(IdSaveLanguageButton)), std::wstring(259, L'x'));
  EXPECT_EQ(WindowText(SearchControl(IdResetButton)), std::wstring(259, L'R'));
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), std::wstring(259, L'S'));
  const std::vector<std::wstring> tabs = TabTexts();
  ASSERT_EQ(tabs.size(), 5u);
  EXPECT_EQ(tabs[0], std::wstring(127, L'T'));
  EXPECT_EQ(tabs[1], L"Result");
  EXPECT_STREQ(UiText(900), std::wstring(79, L'E').c_str());
  EXPECT_EQ(WindowText(SearchControl(CriterionLabelId(1))), L"SurnameLongerTh");
  EXPECT_EQ(ListHeaders()[1], L"SurnameLongerTh");
  // Lines that are no entries change nothing; the rest of an overlong line is no entry, and
  // the section did not end inside it.
  EXPECT_EQ(WindowText(SearchControl(IdDatabaseLabel)), L"DB");
  EXPECT_EQ(WindowText(SetupControl(IdFindButton)), L"Find DB");
  EXPECT_STREQ(UiText(909), L"Query: ");
  // Cut to 79 characters, "%s" lost its "s": the translation no longer fits its message and
  // the default stays.
  EXPECT_STREQ(UiText(904), L"Bad db file  - %s");

  // The final status is formatted from the cut translation.
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)),
            L"Read 3, found 3 " + std::wstring(79 - 18, L'z'));
  EXPECT_EQ(boxes.Count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Registry values of another type

TEST(FaultsRegistry, LanguageOfAnotherTypeIsReadAsTextAndNamesNoSection) {
  struct Case {
    const char* what;
    DWORD type;
    std::string bytes;
    bool russian;  // read as empty: the default language, whose section translates
  };
  const Case cases[] = {
      {"a number that reads as \"XX\"", REG_DWORD, DwordBytes(0x00580058), false},
      {"64 bytes of binary data without a terminator", REG_BINARY, std::string(64, 'Q'), false},
      {"three bytes of binary data", REG_BINARY, std::string("\x41\x00\x42", 3), false},
      {"the number 0, an empty text", REG_DWORD, DwordBytes(0), true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.Directory().WriteFile(L"vostrel.lng", TranslatingLanguageFile());
    SetRawSetting(app.Registry(), L"Language", test.type, test.bytes);
    app.WriteDatabase(L"city.db", SampleRecords());
    app.InstallDatabases({{L"city.db", "City"}});
    ASSERT_EQ(app.Start(), 0);

    EXPECT_LE(wcslen(CurrentLanguage), static_cast<size_t>(kLanguageNameCapacity - 1));
    if (test.russian) {
      EXPECT_STREQ(CurrentLanguage, L"RUSSIAN");
      EXPECT_STREQ(UiText(900), L"Oshibka");
      EXPECT_EQ(TabTexts()[0], L"Poisk");
      EXPECT_EQ(WindowText(SearchControl(CriterionLabelId(1))), L"Familiya");
    } else {
      EXPECT_STRNE(CurrentLanguage, L"RUSSIAN");
      ExpectEveryTextAtItsDefault();
    }
    EXPECT_EQ(boxes.Count(), 0u);
  }
}

TEST(FaultsRegistry, LastDatabaseOfAnotherTypeIsReadAsText) {
  struct Built {
    const char* what;
    DWORD type;
    bool spellsSecondPath;
    std::string bytes;
  };
  const Built cases[] = {
      {"a number", REG_DWORD, false, DwordBytes(1234)},
      {"binary data filling the whole buffer without a terminator", REG_BINARY, false,
       std::string(2080, 'A')},
      {"seven bytes of binary data", REG_BINARY, false,
       std::string("\x01\x02\x03\x04\x05\x06\x07", 7)},
      {"binary data that spells the second entry's path without a terminator", REG_BINARY, true,
       ""},
  };
  for (const Built& test : cases) {
    SCOPED_TRACE(test.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(L"city.db", SampleRecords());
    app.WriteDatabase(
        L"two.fdb", {{"AB", "CD"}}, VariantFdb,
        {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)});
    app.InstallDatabases({{L"city.db", "City"}, {L"two.fdb", "Two"}});
    SetRawSetting(app.Registry(), L"Last db", test.type,
                  test.spellsSecondPath ? WideBytes(app.FilePath(L"two.fdb")) : test.bytes);
    ASSERT_EQ(app.Start(), 0);

    HWND selector = SearchControl(IdDatabaseSelector);
    EXPECT_EQ(ComboBoxItems(selector), (std::vector<std::wstring>{L"City", L"Two"}));
    if (test.spellsSecondPath) {
      EXPECT_EQ(ComboBoxSelection(selector), 1);
      EXPECT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));
    } else {
      EXPECT_EQ(ComboBoxSelection(selector), 0);
      EXPECT_EQ(ListHeaders(),
                (std::vector<std::wstring>{L"Phone", L"Name", L"Street", L"House", L"Flat"}));
    }
    EXPECT_EQ(boxes.Count(), 0u);

    // The entry shown is the one searched.
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(ListItemCount(), test.spellsSecondPath ? 1 : 3);
  }
}

// ---------------------------------------------------------------------------------------------
// Registry values that cannot be written

// In faults_import_patch.cpp.
void* ReplaceImportedFunction(const char* dllName, const char* functionName, void* replacement);

namespace {

// A registry whose hive lies on a full disk takes no value; one that is read-only (or whose key
// belongs to someone else) lets nobody create or open the key for writing. Wine keeps its
// registry in memory and can be made to do neither, so these stand in for its calls.
LONG WINAPI SetValueOnAFullDisk(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
  return ERROR_DISK_FULL;
}
LONG WINAPI CreateKeyReadOnly(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                              const LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD) {
  return ERROR_ACCESS_DENIED;
}

}  // namespace

// Each value the program writes ("Last db" at Start, "Language" at Save, the column widths at
// exit) that the registry refuses is told in a message box, the value stored before stays as it
// was, and the program goes on as it does when the key cannot be opened: the search runs, the
// restart message does not come (nothing was saved), the exit goes on.
TEST(FaultsRegistry, ValuesThatCannotBeWrittenAreToldAndTheOldOnesStay) {
  enum Action { StartSearch, SaveLanguage, Close };
  struct Case {
    const char* what;
    Action action;
    bool fullDisk;  // false: the key cannot be created
  };
  const Case cases[] = {
      {"Last db on a full disk", StartSearch, true},
      {"Last db, read-only key", StartSearch, false},
      {"Language on a full disk", SaveLanguage, true},
      {"Language, read-only key", SaveLanguage, false},
      {"column widths on a full disk", Close, true},
      {"column widths, read-only key", Close, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(L"city.db", SampleRecords());
    app.InstallDatabases({{L"city.db", "City"}});
    app.Registry().SetString(L"Last db", L"C:\\old.db");
    app.Registry().SetString(L"Language", L"RUSSIAN");
    app.Registry().SetDword(L"Col0Width", 77);
    ASSERT_EQ(app.Start(), 0);
    std::string lastBefore, languageBefore, widthBefore;
    DWORD type = 0;
    ASSERT_TRUE(app.Registry().GetRaw(L"Last db", &type, &lastBefore));
    ASSERT_TRUE(app.Registry().GetRaw(L"Language", &type, &languageBefore));
    ASSERT_TRUE(app.Registry().GetRaw(L"Col0Width", &type, &widthBefore));
    boxes.Clear();

    const char* call = c.fullDisk ? "RegSetValueExW" : "RegCreateKeyExW";
    void* stand = c.fullDisk ? reinterpret_cast<void*>(SetValueOnAFullDisk)
                             : reinterpret_cast<void*>(CreateKeyReadOnly);
    void* real = ReplaceImportedFunction("ADVAPI32.dll", call, stand);
    ASSERT_NE(real, nullptr) << call << " is not imported where expected";
    HWND owner = nullptr;
    if (c.action == StartSearch) {
      owner = PageWindows[SearchPage];
      ClickSearch(IdStartButton);
    } else if (c.action == SaveLanguage) {
      owner = PageWindows[SetupPage];
      SendCommand(owner, IdSaveLanguageButton);
    } else {
      owner = ResultListView;
      SendMessageW(MainWindow, WM_CLOSE, 0, 0);
    }
    ReplaceImportedFunction("ADVAPI32.dll", call, real);
    if (c.action == StartSearch) {
      ASSERT_TRUE(WaitForWorker());
      EXPECT_EQ(ListItemCount(), 3) << "the search runs";
    }

    ASSERT_EQ(boxes.Count(), 1u) << "one message, and no restart message after a failed save";
    if (c.fullDisk) {
      EXPECT_EQ(boxes.At(0).text, L"Error code - 112");
      EXPECT_EQ(boxes.At(0).caption, L"RegSetValueEx:");
    } else {
      EXPECT_EQ(boxes.At(0).text, L"RegCreateKeyEx 'SOFTWARE\\Halvane\\Vostrel' - 5");
      EXPECT_EQ(boxes.At(0).caption, L"Error");
    }
    EXPECT_EQ(boxes.At(0).owner, owner);
    std::string lastAfter, languageAfter, widthAfter;
    ASSERT_TRUE(app.Registry().GetRaw(L"Last db", &type, &lastAfter));
    ASSERT_TRUE(app.Registry().GetRaw(L"Language", &type, &languageAfter));
    ASSERT_TRUE(app.Registry().GetRaw(L"Col0Width", &type, &widthAfter));
    EXPECT_EQ(lastAfter, lastBefore);
    EXPECT_EQ(languageAfter, languageBefore);
    EXPECT_EQ(widthAfter, widthBefore);
  }
}
