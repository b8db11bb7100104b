// The settings values in the real (Wine) registry: what is stored, and the message of every
// failure with its exact text, caption and owner.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>

#include "i18n/ui_strings.h"
#include "ui/app_globals_win32.h"
#include "ui/registry_win32.h"
#include "win32_test_support.h"

namespace {

const wchar_t kCreateFailed[] = L"RegCreateKeyEx 'SOFTWARE\\Halvane\\Vostrel' - 6";

std::wstring WideOf(const std::string& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
  return text;
}

class RegistrySettingsTest : public testing::Test {
 protected:
  void SetUp() override { ResetUiStrings(); }
  void TearDown() override { ResetUiStrings(); }

  MessageBoxRecorder boxes_;
  TestWindow owner_;
};

TEST_F(RegistrySettingsTest, LastDatabaseIsStoredAsA512ByteStringOnTheFirstWrite) {
  ScratchSettingsRoot registry;
  ASSERT_FALSE(registry.SettingsKeyExists());
  // "C:\Базы\Москва.db" in Windows-1251.
  EXPECT_EQ(WriteLastDatabase(owner_.Handle(), "C:\\\xC1\xE0\xE7\xFB\\\xCC\xEE\xF1\xEA\xE2\xE0.db"),
            0);
  EXPECT_EQ(boxes_.Count(), 0u);

  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(registry.GetRaw(L"Last db", &type, &data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(data.size(), 512u);
  std::wstring stored = WideOf(data);
  const std::wstring expected =
      L"C:\\\u0411\u0430\u0437\u044B\\\u041C\u043E\u0441\u043A\u0432\u0430.db";
  EXPECT_EQ(stored.substr(0, expected.size()), expected);
  EXPECT_EQ(stored.find_first_not_of(L'\0', expected.size()), std::wstring::npos)
      << "the rest of the 512 bytes must be zero";

  wchar_t back[1040];
  ReadLastDatabase(owner_.Handle(), back);
  EXPECT_EQ(std::wstring(back), expected);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(RegistrySettingsTest, LastDatabaseKeepsAPathOfUpTo259Characters) {
  ScratchSettingsRoot registry;
  std::string path = "C:\\" + std::string(256, 'p');
  ASSERT_EQ(WriteLastDatabase(owner_.Handle(), path.c_str()), 0);
  std::wstring stored;
  ASSERT_TRUE(registry.GetString(L"Last db", &stored));
  EXPECT_EQ(stored, std::wstring(path.begin(), path.end()));
  wchar_t back[1040];
  ReadLastDatabase(owner_.Handle(), back);
  EXPECT_EQ(wcslen(back), 259u);
}

TEST_F(RegistrySettingsTest, ReadingLastDatabaseTellsWhyItFailed) {
  ScratchSettingsRoot registry;
  wchar_t out[1040] = L"stale";

  // First run: no key at all.
  ReadLastDatabase(owner_.Handle(), out);
  EXPECT_STREQ(out, L"");
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Error code - 2");
  EXPECT_EQ(boxes_.At(0).caption, L"RegOpenKeyEx:");
  EXPECT_EQ(boxes_.At(0).owner, owner_.Handle());
  EXPECT_FALSE(registry.SettingsKeyExists()) << "reading must not create the key";

  // The key exists, the value does not.
  boxes_.Clear();
  registry.CreateSettingsKey();
  wcscpy(out, L"stale");
  ReadLastDatabase(owner_.Handle(), out);
  EXPECT_STREQ(out, L"");
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Error code - 2");
  EXPECT_EQ(boxes_.At(0).caption, L"RegQueryValueEx:");
  EXPECT_EQ(boxes_.At(0).owner, owner_.Handle());

  // A value larger than the 2080-byte buffer.
  boxes_.Clear();
  registry.SetString(L"Last db", std::wstring(1500, L'x'));
  ReadLastDatabase(owner_.Handle(), out);
  EXPECT_STREQ(out, L"");
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Error code - 234");
  EXPECT_EQ(boxes_.At(0).caption, L"RegQueryValueEx:");
}

TEST_F(RegistrySettingsTest, LastDatabaseWithoutTerminatorIsReadTerminated) {
  ScratchSettingsRoot registry;
  registry.CreateSettingsKey();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(registry.Root(), kSettingsKeyPath, 0, KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  const wchar_t full[] = L"C:\\db.db";  // stored without its terminator
  ASSERT_EQ(RegSetValueExW(key, L"Last db", 0, REG_SZ, reinterpret_cast<const BYTE*>(full),
                           (sizeof full) - sizeof(wchar_t)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  wchar_t out[1040];
  wmemset(out, L'#', 1040);
  ReadLastDatabase(owner_.Handle(), out);
  EXPECT_STREQ(out, L"C:\\db.db");
}

TEST_F(RegistrySettingsTest, WritersReportAKeyThatCannotBeCreated) {
  FailingSettingsRoot failing;
  wcscpy(UiStringTable[0].text, L"Oshibka");  // the caption is the current text of key 900
  EXPECT_EQ(WriteLastDatabase(owner_.Handle(), "C:\\a.db"), -1);
  EXPECT_EQ(WriteLanguageSetting(owner_.Handle(), L"ENGLISH"), -1);
  HKEY key = nullptr;
  EXPECT_FALSE(OpenSettingsKeyForWrite(nullptr, &key));
  ASSERT_EQ(boxes_.Count(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes_.At(i).text, kCreateFailed);
    EXPECT_EQ(boxes_.At(i).caption, L"Oshibka");
    EXPECT_EQ(boxes_.At(i).type, static_cast<UINT>(MB_OK));
  }
  EXPECT_EQ(boxes_.At(0).owner, owner_.Handle());
  EXPECT_EQ(boxes_.At(2).owner, nullptr);
}

TEST_F(RegistrySettingsTest, LanguageIsStoredFromTheWhole32CharacterBuffer) {
  ScratchSettingsRoot registry;
  wchar_t buffer[32];
  wmemset(buffer, L'#', 32);  // whatever lies behind the name must not be stored
  wcscpy(buffer, L"ENGLISH");
  EXPECT_EQ(WriteLanguageSetting(owner_.Handle(), buffer), 0);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(registry.GetRaw(L"Language", &type, &data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(data.size(), 64u);
  std::wstring stored = WideOf(data);
  EXPECT_EQ(stored.substr(0, 8), std::wstring(L"ENGLISH\0", 8));
  EXPECT_EQ(stored.find_first_not_of(L'\0', 7), std::wstring::npos);

  wchar_t back[32];
  ReadLanguageSetting(back);
  EXPECT_STREQ(back, L"ENGLISH");
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(RegistrySettingsTest, ReadingTheLanguageFailsSilently) {
  wchar_t out[32];
  {
    FailingSettingsRoot failing;
    wcscpy(out, L"stale");
    ReadLanguageSetting(out);
    EXPECT_STREQ(out, L"");
  }
  ScratchSettingsRoot registry;
  wcscpy(out, L"stale");
  ReadLanguageSetting(out);  // no key
  EXPECT_STREQ(out, L"");
  registry.CreateSettingsKey();
  wcscpy(out, L"stale");
  ReadLanguageSetting(out);  // no value
  EXPECT_STREQ(out, L"");
  registry.SetString(L"Language", std::wstring(40, L'L'));  // more than 64 bytes
  wcscpy(out, L"stale");
  ReadLanguageSetting(out);
  EXPECT_STREQ(out, L"");
  registry.SetString(L"Language", std::wstring(31, L'L'));  // exactly 64 bytes with the NUL
  ReadLanguageSetting(out);
  EXPECT_EQ(std::wstring(out), std::wstring(31, L'L'));
  EXPECT_EQ(boxes_.Count(), 0u);
}

// A report list view with columns of the given widths.
HWND MakeListView(HWND parent, std::initializer_list<int> widths) {
  INITCOMMONCONTROLSEX init = {sizeof init, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&init);
  HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 239, 218, parent,
                              reinterpret_cast<HMENU>(1201), GetModuleHandleW(nullptr), nullptr);
  int index = 0;
  for (int width : widths) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = width;
    wchar_t title[] = L"Column";
    column.pszText = title;
    SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
    // Set the width again: some list views widen a narrow column on insertion.
    SendMessageW(list, LVM_SETCOLUMNWIDTH, index, width);
    ++index;
  }
  return list;
}

TEST_F(RegistrySettingsTest, ColumnWidthsAboveThreePixelsAreStored) {
  ScratchSettingsRoot registry;
  registry.SetDword(L"Col1Width", 77);
  registry.SetDword(L"Col4Width", 99);
  HWND list = MakeListView(owner_.Handle(), {55, 3, 110, 40});
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), 3);

  SaveColumnWidths(list);
  EXPECT_EQ(boxes_.Count(), 0u);
  DWORD width = 0;
  ASSERT_TRUE(registry.GetDword(L"Col0Width", &width));
  EXPECT_EQ(width, 55u);
  ASSERT_TRUE(registry.GetDword(L"Col1Width", &width));
  EXPECT_EQ(width, 77u) << "a 3-pixel column keeps its stored width";
  ASSERT_TRUE(registry.GetDword(L"Col2Width", &width));
  EXPECT_EQ(width, 110u);
  ASSERT_TRUE(registry.GetDword(L"Col3Width", &width));
  EXPECT_EQ(width, 40u);
  ASSERT_TRUE(registry.GetDword(L"Col4Width", &width));
  EXPECT_EQ(width, 99u) << "a column that does not exist keeps its stored width";
}

TEST_F(RegistrySettingsTest, ColumnWidthsWithoutKeyShowTheMessageOwnedByTheList) {
  HWND list = MakeListView(owner_.Handle(), {55});
  {
    FailingSettingsRoot failing;
    SaveColumnWidths(list);
  }
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, kCreateFailed);
  EXPECT_EQ(boxes_.At(0).caption, L"Error");
  EXPECT_EQ(boxes_.At(0).owner, list);
}

// The one test that uses the default root, HKEY_LOCAL_MACHINE, of the private Wine prefix the
// tests run in. It puts back whatever it found.
TEST_F(RegistrySettingsTest, DefaultRootIsTheMachineKey) {
  HKEY existing;
  bool keyExisted =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ, &existing) == ERROR_SUCCESS;
  std::string savedValue;
  DWORD savedType = 0;
  bool valueExisted = false;
  if (keyExisted) {
    DWORD size = 0;
    if (RegQueryValueExW(existing, L"Language", nullptr, &savedType, nullptr, &size) ==
        ERROR_SUCCESS) {
      savedValue.assign(size, '\0');
      valueExisted =
          RegQueryValueExW(existing, L"Language", nullptr, &savedType,
                           reinterpret_cast<BYTE*>(&savedValue[0]), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(existing);
  }
  bool halvaneExisted = false;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane", 0, KEY_READ, &existing) ==
      ERROR_SUCCESS) {
    halvaneExisted = true;
    RegCloseKey(existing);
  }

  SetSettingsRootForTests(nullptr);
  ASSERT_EQ(WriteLanguageSetting(owner_.Handle(), L"MACHINE"), 0);
  wchar_t back[32];
  ReadLanguageSetting(back);
  EXPECT_STREQ(back, L"MACHINE");
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  wchar_t direct[32] = {};
  DWORD size = sizeof direct;
  EXPECT_EQ(
      RegQueryValueExW(key, L"Language", nullptr, nullptr, reinterpret_cast<BYTE*>(direct), &size),
      ERROR_SUCCESS);
  EXPECT_STREQ(direct, L"MACHINE");

  if (valueExisted) {
    RegSetValueExW(key, L"Language", 0, savedType, reinterpret_cast<const BYTE*>(savedValue.data()),
                   static_cast<DWORD>(savedValue.size()));
  } else {
    RegDeleteValueW(key, L"Language");
  }
  RegCloseKey(key);
  if (!keyExisted) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
  if (!halvaneExisted) RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
  EXPECT_EQ(boxes_.Count(), 0u);
}

}  // namespace
