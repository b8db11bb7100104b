// Start-up, the main window, its tabs and pages, the layouts, and shutdown.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include "i18n/language_file.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui_harness.h"

namespace {

bool ClassRegistered(const wchar_t* name) {
  WNDCLASSW info;
  return GetClassInfoW(GetModuleHandleW(nullptr), name, &info) != 0;
}

// The layout's size is the client area's; the caption and borders of a desktop come on top.
SIZE ClientSize(HWND window) {
  RECT r = {};
  GetClientRect(window, &r);
  return {r.right - r.left, r.bottom - r.top};
}

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

bool PageVisible(int index) { return IsWindowVisible(PageWindows[index]) != 0; }

}  // namespace

TEST(UiLayout, ScreenHeightPicksTheVariant) {
  EXPECT_EQ(LayoutVariantForScreenHeight(295), 0);
  EXPECT_EQ(LayoutVariantForScreenHeight(294), 1);
  EXPECT_EQ(LayoutVariantForScreenHeight(1080), 0);
  EXPECT_EQ(LayoutVariantForScreenHeight(240), 1);
}

TEST(UiStartup, ApplicationDirectoryKeepsTheLastBackslash) {
  wchar_t out[kMaxPathChars];
  ApplicationDirectoryFromModulePath(L"C:\\Program Files\\Vostrel\\vostrel.exe", out);
  EXPECT_STREQ(out, L"C:\\Program Files\\Vostrel\\");
  ApplicationDirectoryFromModulePath(L"\\vostrel.exe", out);
  EXPECT_STREQ(out, L"\\");
  ApplicationDirectoryFromModulePath(L"vostrel.exe", out);
  EXPECT_STREQ(out, L"\\");
}

TEST(UiLayout, PortraitWindowAndControls) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(295), 0);

  EXPECT_EQ(LayoutVariant, 0);
  EXPECT_EQ(WindowText(MainWindow), L"Vostrel/Corvinet v2.04");
  const SIZE size = ClientSize(MainWindow);
  EXPECT_EQ(size.cx, 240);
  EXPECT_EQ(size.cy, 295);
  // The criteria rows of the built-in schema: labels 4 pixels below their boxes.
  const int tops[] = {52, 74, 96, 118, 140};
  for (int j = 0; j < 5; ++j) {
    const RECT edit = ChildRect(SearchControl(CriterionEditId(j)));
    const RECT label = ChildRect(SearchControl(CriterionLabelId(j)));
    EXPECT_EQ(edit.top, tops[j]) << j;
    EXPECT_EQ(edit.left, 65) << j;
    EXPECT_EQ(label.top, tops[j] + 4) << j;
  }
  EXPECT_EQ(boxes.Count(), 0u);
}

TEST(UiLayout, LandscapeWindowAndControls) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(294), 0);

  EXPECT_EQ(LayoutVariant, 1);
  const SIZE size = ClientSize(MainWindow);
  EXPECT_EQ(size.cx, 640);
  EXPECT_EQ(size.cy, 240);
}

// Every fixed control of every page, in both layouts, is the one its table describes: its class,
// its id, the style bits of its row and of its page, and its rectangle (a selector's height is
// its dropped list's, so only its place and width show). The handheld-only row is absent.
TEST(UiLayout, EveryControlIsTheOneItsTableDescribes) {
  struct PageTable {
    int page;
    const ControlSpec* rows;
    int count;
    DWORD baseStyle;
  };
  const PageTable tables[] = {
      {SearchPage, SearchControls, kSearchControlCount, WS_CHILD | WS_VISIBLE},
      {ResultPage, ResultControls, kResultControlCount, WS_CHILD},
      {SetupPage, SetupControls, kSetupControlCount, WS_CHILD | WS_VISIBLE},
      {AboutPage, AboutControls, kAboutControlCount, WS_CHILD | WS_VISIBLE},
  };
  for (int height : {480, 294}) {
    SCOPED_TRACE(height);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    ASSERT_EQ(app.Start(height), 0);
    for (const PageTable& table : tables) {
      HWND page = PageWindows[table.page];
      for (int i = 0; i < table.count; ++i) {
        const ControlSpec& row = table.rows[i];
        SCOPED_TRACE(std::to_wstring(table.page) + L"/" + std::to_wstring(i) + L" " +
                     row.className);
        const ControlRect& r = LayoutVariant == 1 ? row.landscapeRect : row.portraitRect;
        HWND control = nullptr;
        for (HWND child = GetWindow(page, GW_CHILD); child && !control;
             child = GetWindow(child, GW_HWNDNEXT)) {
          wchar_t className[64] = {};
          GetClassNameW(child, className, 64);
          const RECT at = ChildRect(child);
          if (lstrcmpiW(className, row.className) == 0 && GetDlgCtrlID(child) == row.id &&
              at.left == r.x && at.top == r.y)
            control = child;
        }
        if (lstrcmpiW(row.className, L"SIPPREF") == 0) {
          EXPECT_EQ(control, nullptr);
          continue;
        }
        ASSERT_NE(control, nullptr);
        // The controls keep their own scroll bar bits (shown only when there is something to
        // scroll), and a selector hands its border to its list.
        const bool list = lstrcmpiW(row.className, L"Listbox") == 0 ||
                          lstrcmpiW(row.className, L"SysListView32") == 0;
        const bool selector = lstrcmpiW(row.className, L"combobox") == 0;
        DWORD expected = row.style | table.baseStyle;
        if (list || selector) expected &= ~static_cast<DWORD>(WS_VSCROLL | WS_HSCROLL);
        if (selector) expected &= ~static_cast<DWORD>(WS_BORDER);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)) & expected, expected);
        const RECT at = ChildRect(control);
        EXPECT_EQ(at.right - at.left, r.width);
        // A list box keeps to whole lines, so its height may come out a little shorter.
        const int height = at.bottom - at.top;
        if (lstrcmpiW(row.className, L"Listbox") == 0) {
          EXPECT_LE(height, r.height);
          EXPECT_GT(height, r.height - 20);
        } else if (!selector) {
          EXPECT_EQ(height, r.height);
        }
      }
    }
  }
}

TEST(UiMainWindow, PagesAreChildrenOfTheTabControlByIdAndOnlySearchShows) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  ASSERT_NE(TabControl, nullptr);
  EXPECT_EQ(GetDlgCtrlID(TabControl), 200);
  const wchar_t* classes[] = {L"SearchWnd", L"ResultWnd", L"SetupWnd", L"AboutWnd", L"Exit"};
  for (int i = 0; i < kPageCount; ++i) {
    ASSERT_EQ(GetDlgItem(TabControl, 5 + i), PageWindows[i]) << i;
    wchar_t name[32] = {};
    GetClassNameW(PageWindows[i], name, 32);
    EXPECT_STREQ(name, classes[i]);
    EXPECT_EQ(PageVisible(i), i == SearchPage) << i;
  }
  EXPECT_EQ(CurrentPage, SearchPage);
  // The progress bar starts hidden, the list and the status line visible.
  EXPECT_FALSE(GetWindowLongW(ResultControl(IdProgressBar), GWL_STYLE) & WS_VISIBLE);
  EXPECT_TRUE(GetWindowLongW(ResultListView, GWL_STYLE) & WS_VISIBLE);
  EXPECT_TRUE(GetWindowLongW(ResultControl(IdStatusLine), GWL_STYLE) & WS_VISIBLE);
}

TEST(UiMainWindow, TabsReadTheDefaultNamesWithoutTranslations) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  EXPECT_EQ(TabTexts(),
            (std::vector<std::wstring>{L"Search", L"Result", L"Setup", L"About", L"Exit"}));
}

TEST(UiMainWindow, TranslatedTabNamesAreCutAt127Characters) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  const std::string longName(200, 'X');
  app.Directory().WriteFile(
      L"vostrel.lng",
      LanguageFileWithDefaults("700=" + longName + "\r\n701=\xC8\xF2\xEE\xE3\xE8\r\n"));
  ASSERT_EQ(app.Start(), 0);
  const std::vector<std::wstring> tabs = TabTexts();
  ASSERT_EQ(tabs.size(), 5u);
  EXPECT_EQ(tabs[0], std::wstring(127, L'X'));
  EXPECT_EQ(tabs[1], L"\u0418\u0442\u043e\u0433\u0438");
  EXPECT_EQ(tabs[2], L"Setup");
}

TEST(UiMainWindow, TabsAndMenuCommandsSwitchPages) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);

  TapTab(AboutPage);
  EXPECT_EQ(CurrentPage, AboutPage);
  EXPECT_TRUE(PageVisible(AboutPage));
  EXPECT_FALSE(PageVisible(SearchPage));

  // Menu commands act whatever their notification code; they move the tab selection too.
  SendMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(501, 1), 0);
  EXPECT_EQ(CurrentPage, SetupPage);
  EXPECT_EQ(SendMessageW(TabControl, TCM_GETCURSEL, 0, 0), SetupPage);
  EXPECT_TRUE(PageVisible(SetupPage));
  EXPECT_FALSE(PageVisible(AboutPage));

  SendMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(502, 0), 0);
  EXPECT_EQ(CurrentPage, AboutPage);
  EXPECT_EQ(SendMessageW(TabControl, TCM_GETCURSEL, 0, 0), AboutPage);

  // The tab already current changes nothing; an unknown command is ignored.
  TapTab(AboutPage);
  SendMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(503, 0), 0);
  EXPECT_EQ(CurrentPage, AboutPage);
  EXPECT_TRUE(PageVisible(AboutPage));
  EXPECT_FALSE(QuitPosted());

  // A TCN_SELCHANGE from another sender is not the tab control's.
  NMHDR foreign = {TabControl, 201, static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageW(TabControl, TCM_SETCURSEL, ResultPage, 0);
  SendMessageW(MainWindow, WM_NOTIFY, 201, reinterpret_cast<LPARAM>(&foreign));
  EXPECT_EQ(CurrentPage, AboutPage);
}

TEST(UiShutdown, ExitTabClosesWithoutShowingTheExitPageAndSavesWidthsOnce) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_NE(TheLanguageFile.file, nullptr);

  TapTab(ExitPage);
  EXPECT_TRUE(QuitPosted());
  EXPECT_FALSE(PageVisible(ExitPage));
  EXPECT_EQ(TheLanguageFile.file, nullptr);
  EXPECT_EQ(TheFieldTable.fieldCount, 0);
  DWORD width = 0;
  ASSERT_TRUE(app.Registry().GetDword(L"Col1Width", &width));
  EXPECT_EQ(width, 100u);

  // WM_CLOSE leaves the window up; its destruction runs the shutdown handler again, which must
  // not repeat its work.
  ASSERT_TRUE(IsWindow(MainWindow));
  app.Registry().SetDword(L"Col1Width", 7);
  DestroyWindow(MainWindow);
  ASSERT_TRUE(app.Registry().GetDword(L"Col1Width", &width));
  EXPECT_EQ(width, 7u);
  EXPECT_EQ(boxes.Count(), 0u);
}

TEST(UiShutdown, MenuExitCommandCloses) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  SendMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(500, 0), 0);
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(TheLanguageFile.file, nullptr);
}

TEST(UiStartupFailure, MissingLanguageFileEndsWithCode1AndAMessage) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  DeleteFileW(app.FilePath(L"vostrel.lng").c_str());
  EXPECT_EQ(app.Start(), 1);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).owner, nullptr);
  EXPECT_EQ(boxes.At(0).caption, L"Error");
  EXPECT_EQ(boxes.At(0).text, L"Could not open Language file - " + app.FilePath(L"vostrel.lng"));
  EXPECT_EQ(MainWindow, nullptr);
}

TEST(UiStartupFailure, MainClassRegistrationFailureEndsWithCode1Silently) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  WNDCLASSW taken = {};
  taken.lpfnWndProc = DefWindowProcW;
  taken.hInstance = GetModuleHandleW(nullptr);
  taken.lpszClassName = L"Vostrel";
  ASSERT_NE(RegisterClassW(&taken), 0);
  EXPECT_EQ(app.Start(), 1);
  EXPECT_EQ(boxes.Count(), 0u);
  EXPECT_FALSE(ClassRegistered(L"SearchWnd"));
}

TEST(UiStartupFailure, PageClassRegistrationFailureEndsWithCode2AndStops) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  WNDCLASSW taken = {};
  taken.lpfnWndProc = DefWindowProcW;
  taken.hInstance = GetModuleHandleW(nullptr);
  taken.lpszClassName = L"ResultWnd";
  ASSERT_NE(RegisterClassW(&taken), 0);
  EXPECT_EQ(app.Start(), 2);
  EXPECT_EQ(boxes.Count(), 0u);
  EXPECT_TRUE(ClassRegistered(L"SearchWnd"));
  EXPECT_FALSE(ClassRegistered(L"SetupWnd"));
  EXPECT_FALSE(ClassRegistered(L"Exit"));
}

TEST(UiStartup, EmptyInstalledListLoadsNoSchema) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.InstallDatabases({});
  ASSERT_EQ(app.Start(), 0);
  EXPECT_EQ(SendMessageW(SearchControl(IdDatabaseSelector), CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(TheFieldTable.fieldCount, 0);
  EXPECT_EQ(SearchControl(IdFirstCriterionEdit), nullptr);
  EXPECT_TRUE(ListHeaders().empty());
}

TEST(UiStartup, SelectedDatabaseSchemaGivesCriteriaAndColumns) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  EXPECT_EQ(ListHeaders(),
            (std::vector<std::wstring>{L"Phone", L"Name", L"Street", L"House", L"Flat"}));
  const int widths[] = {55, 100, 110, 40, 40};
  for (int j = 0; j < 5; ++j) {
    EXPECT_EQ(SendMessageW(ResultListView, LVM_GETCOLUMNWIDTH, j, 0), widths[j]) << j;
    HWND edit = SearchControl(CriterionEditId(j));
    ASSERT_NE(edit, nullptr) << j;
    EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_UPPERCASE) << j;
  }
  EXPECT_EQ(WindowText(SearchControl(CriterionLabelId(1))), L"Name");
  // The Phone box takes at most 7 characters.
  EXPECT_EQ(SendMessageW(SearchControl(IdFirstCriterionEdit), EM_GETLIMITTEXT, 0, 0), 7);
}

TEST(UiPages, TranslationRulesOfTheControlTables) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3));
  app.InstallDatabases({{L"city.db", "City"}});
  // Key -1 replaces every id-less text; an empty translation keeps the default; the About page
  // is never translated; built-in field names take their keys.
  app.Directory().WriteFile(
      L"vostrel.lng",
      LanguageFileWithDefaults("-1=Shared\r\n1106=\r\n1107=Go\r\n1402=Other\r\n1501=Surname\r\n"
                               "1203=Bar\r\n"));
  ASSERT_EQ(app.Start(), 0);

  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Go");
  EXPECT_EQ(WindowText(SearchControl(IdResetButton)), L"Reset");
  EXPECT_EQ(WindowText(ResultControl(IdProgressBar)), L"Bar");
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"");
  EXPECT_EQ(WindowText(AboutControl(IdAboutText)), std::wstring(kAboutText));
  EXPECT_EQ(WindowText(SearchControl(CriterionLabelId(1))), L"Surname");
  EXPECT_EQ(ListHeaders()[1], L"Surname");

  // The id-less statics: rules stay empty, the version line and "Language:" share key -1.
  int shared = 0, empty = 0;
  for (HWND page : {PageWindows[SearchPage], PageWindows[SetupPage]}) {
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if (GetDlgCtrlID(child) != 0xFFFF && GetDlgCtrlID(child) != -1) continue;
      const std::wstring text = WindowText(child);
      if (text == L"Shared") ++shared;
      if (text.empty()) ++empty;
    }
  }
  EXPECT_EQ(shared, 2);
  EXPECT_EQ(empty, 2);
}

TEST(UiPages, SearchPagePaintsStaticsOnWhite) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  HDC dc = GetDC(SearchControl(IdDatabaseLabel));
  const LRESULT brush =
      SendMessageW(PageWindows[SearchPage], WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(SearchControl(IdDatabaseLabel)));
  ReleaseDC(SearchControl(IdDatabaseLabel), dc);
  EXPECT_EQ(reinterpret_cast<HGDIOBJ>(brush), GetStockObject(WHITE_BRUSH));
}

// The window can grow: the Result list and the Setup list take the growth, what lies under
// them follows, every other control keeps its place; the smallest size is the layout's; the
// size and the maximized state come back at the next start, a bad remembered value meaning
// the layout's size.
TEST(UiLayout, TheWindowGrowsWithItsListsAndRemembersItsSize) {
  MessageBoxRecorder boxes;
  {
    AppUnderTest app;
    app.WriteDatabase(L"city.db", NumberedRecords(3));
    app.InstallDatabases({{L"city.db", "City"}});
    ASSERT_EQ(app.Start(480), 0);
    RECT outer = {};
    GetWindowRect(MainWindow, &outer);
    MINMAXINFO limits = {};
    SendMessageW(MainWindow, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, outer.right - outer.left);
    EXPECT_EQ(limits.ptMinTrackSize.y, outer.bottom - outer.top);

    const int ids[][2] = {{ResultPage, IdResultList},  {ResultPage, IdStatusLine},
                          {ResultPage, IdProgressBar}, {SetupPage, IdFoundList},
                          {SetupPage, IdFindButton},   {SetupPage, IdLanguageSelector},
                          {SearchPage, IdStartButton}, {SearchPage, IdFirstCriterionEdit}};
    auto rectOf = [](const int* id) { return ChildRect(GetDlgItem(PageWindows[id[0]], id[1])); };
    RECT before[8];
    for (int i = 0; i < 8; ++i) before[i] = rectOf(ids[i]);
    SetWindowPos(MainWindow, nullptr, 0, 0, outer.right - outer.left + 200,
                 outer.bottom - outer.top + 100, SWP_NOMOVE | SWP_NOZORDER);
    // What each control does: grows by (200, 100), moves down by 100, or stays.
    const int grows[] = {1, 0, 0, 1, 0, 0, 0, 0};
    const int moves[] = {0, 1, 1, 0, 1, 0, 0, 0};
    for (int i = 0; i < 8; ++i) {
      SCOPED_TRACE(ids[i][1]);
      const RECT after = rectOf(ids[i]);
      EXPECT_EQ(after.left, before[i].left);
      EXPECT_EQ(after.top, before[i].top + 100 * moves[i]);
      EXPECT_EQ(after.right - after.left, before[i].right - before[i].left + 200 * grows[i]);
      const int height = before[i].bottom - before[i].top + 100 * grows[i];
      if (ids[i][1] == IdFoundList) {
        // A list box keeps to whole lines, so its height may come out a little shorter.
        EXPECT_LE(after.bottom - after.top, height);
        EXPECT_GT(after.bottom - after.top, height - 20);
      } else {
        EXPECT_EQ(after.bottom - after.top, height);
      }
    }
    SendMessageW(MainWindow, WM_CLOSE, 0, 0);
    DWORD size = 0, maximized = 1;
    ASSERT_TRUE(app.Registry().GetDword(L"Window size", &size));
    ASSERT_TRUE(app.Registry().GetDword(L"Window maximized", &maximized));
    EXPECT_EQ(size, static_cast<DWORD>(MAKELONG(440, 395)));
    EXPECT_EQ(maximized, 0u);
  }
  struct Remembered {
    const char* name;
    bool asText;
    DWORD size;
    DWORD maximized;
    SIZE client;
    bool zoomed;
  };
  const Remembered cases[] = {
      {"a larger size", false, MAKELONG(440, 395), 0, {440, 395}, false},
      {"maximized", false, MAKELONG(440, 395), 1, {0, 0}, true},
      {"smaller than the layout", false, MAKELONG(100, 100), 0, {240, 295}, false},
      {"absurdly large", false, MAKELONG(60000, 395), 0, {240, 295}, false},
      {"not a number", true, 0, 0, {240, 295}, false},
  };
  for (const Remembered& c : cases) {
    SCOPED_TRACE(c.name);
    AppUnderTest app;
    app.Registry().CreateSettingsKey();
    if (c.asText) {
      app.Registry().SetString(L"Window size", L"440x395");
    } else {
      app.Registry().SetDword(L"Window size", c.size);
    }
    app.Registry().SetDword(L"Window maximized", c.maximized);
    ASSERT_EQ(app.Start(480), 0);
    EXPECT_EQ(IsZoomed(MainWindow) != 0, c.zoomed);
    if (!c.zoomed) {
      EXPECT_EQ(ClientSize(MainWindow).cx, c.client.cx);
      EXPECT_EQ(ClientSize(MainWindow).cy, c.client.cy);
    }
  }
  EXPECT_EQ(boxes.Count(), 0u);
}

// A relative path in vostrel.ini names a file below the application directory, wherever that
// is: the folder of the Windows zip starts with its demo installed that way. Its schema loads,
// a search lists its rows, Check keeps it, and the list is saved as it was written. Every other
// relative form is made absolute the same way, whatever the current folder is (here the root
// of another drive): ".", "..", a leading backslash (the program's drive), a drive without a
// backslash (the program's folder on its own drive, the root of another); the file Find DB
// meets is then the installed one. A path that comes out longer than 259 characters is refused
// whole, one whose ".." bring it back within them is not; a device's name is left as it is.
TEST(UiStartup, ARelativeInstalledPathIsTakenFromTheApplicationDirectory) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_TRUE(CreateDirectoryW(app.FilePath(L"demo").c_str(), nullptr));
  app.WriteDatabase(L"demo\\city.db", NumberedRecords(3));
  app.Directory().WriteFile(L"vostrel.ini", "demo\\city.db;City\r\n");
  ASSERT_EQ(app.Start(), 0);
  EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)), std::vector<std::wstring>{L"City"});
  EXPECT_EQ(TheFieldTable.searchCount, 5);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListColumn(1), (std::vector<std::wstring>{L"NAME0", L"NAME1", L"NAME2"}));
  SendCommand(PageWindows[SetupPage], IdCheckButton);
  std::string list;
  ASSERT_TRUE(app.Directory().ReadFile(L"vostrel.ini", &list));
  EXPECT_EQ(list, "demo\\city.db;City\r\n");
  EXPECT_EQ(boxes.Count(), 1u);  // "All installed db files - ok!"

  const std::wstring directory = ApplicationDirectory;  // "X:\...\name\"
  ASSERT_EQ(directory.substr(1, 2), L":\\");
  const std::wstring folderName =
      directory.substr(directory.rfind(L'\\', directory.size() - 2) + 1);  // "name\"
  const std::wstring city = directory + L"demo\\city.db";
  wchar_t otherDrive = L'Q';
  if (towupper(directory[0]) == L'Q') otherDrive = L'R';
  std::wstring backUp;  // ".." and back, as often as a path of 259 characters allows
  while (backUp.size() + 20 < 259 - 12) backUp += L"x\\..\\";
  struct Form {
    std::wstring written;
    std::wstring file;  // empty: refused
  };
  const Form forms[] = {
      {L"demo\\city.db", city},
      {L".\\demo\\.\\city.db", city},
      {L"demo\\..\\demo\\city.db", city},
      {L"..\\" + folderName + L"demo\\city.db", city},
      {L"demo/city.db", city},
      {directory.substr(2) + L"demo\\city.db", city},
      {directory.substr(0, 2) + L"demo\\city.db", city},
      {city, city},
      {std::wstring(1, otherDrive) + L":x.db", std::wstring(1, otherDrive) + L":\\x.db"},
      {backUp + L"demo\\city.db", city},
      {std::wstring(259 - 3, L'n') + L".db", L""},
      // Devices stay unresolved: every open takes them for missing files.
      {L"sub\\COM1.db", directory + L"sub\\COM1.db"},
      {L"x\\..\\nul.zdb", directory + L"x\\..\\nul.zdb"},
  };
  ASSERT_GT(directory.size() + backUp.size() + 12, 259u) << "the \"..\" form must pass the limit";
  // The current folder on another drive changes none of it.
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  SetCurrentDirectoryW(L"Z:\\");
  std::string lines;
  for (const Form& form : forms) {
    SCOPED_TRACE(Cp1251(form.written));
    wchar_t out[kMaxPathChars] = {};
    EXPECT_EQ(InstalledPathToWide(Cp1251(form.written).c_str(), out), !form.file.empty());
    EXPECT_EQ(std::wstring(out), form.file);
    if (form.file == city) lines += Cp1251(form.written) + ";City\r\n";
  }
  SetCurrentDirectoryW(current);

  // Each form that names the database opens it, and Find DB takes it for installed.
  app.Directory().WriteFile(L"vostrel.ini", lines);
  boxes.Clear();
  LoadInstalledDatabases(PageWindows[SearchPage]);
  const int count = static_cast<int>(ComboBoxItems(SearchControl(IdDatabaseSelector)).size());
  EXPECT_EQ(count, 9);
  for (int i = 0; i < count; ++i) {
    SelectDatabase(i);
    EXPECT_EQ(TheFieldTable.searchCount, 5) << i;
  }
  EXPECT_EQ(boxes.Count(), 0u);
  app.Directory().WriteFile(L"vostrel.ini",
                            Cp1251(L"..\\" + folderName + L"demo\\city.db;City\r\n"));
  LoadInstalledDatabases(PageWindows[SearchPage]);
  SetFinderRootForTests(directory.c_str());
  FindDatabases(PageWindows[SetupPage], 0);
  SetFinderRootForTests(nullptr);
  EXPECT_EQ(FoundDatabaseList.count, 0);
}
