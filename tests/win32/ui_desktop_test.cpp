// The program on a desktop: its close box, the message font on every control, and the keyboard
// (Tab, Enter, Esc, the result list's keys and the clipboard), driven through the program's own
// message loop.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/result_list_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

// A key pressed on the focused control and handled by the message loop, with the modifiers
// held in this thread's keyboard state meanwhile.
void PressKey(UINT key, bool control = false, bool shift = false) {
  BYTE state[256] = {};
  GetKeyboardState(state);
  BYTE pressed[256];
  memcpy(pressed, state, sizeof pressed);
  pressed[VK_CONTROL] = control ? 0x80 : 0;
  pressed[VK_SHIFT] = shift ? 0x80 : 0;
  SetKeyboardState(pressed);
  HWND target = GetFocus() ? GetFocus() : MainWindow;
  PostMessageW(target, WM_KEYDOWN, key, 0);
  PumpOnce();
  SetKeyboardState(state);
}

int FocusedId() { return GetFocus() ? GetDlgCtrlID(GetFocus()) : 0; }

std::wstring ClipboardText() {
  std::wstring text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// The lines of a text, each with its line feed.
std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
    lines.push_back(text.substr(start, end + 1 - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void StartWith(AppUnderTest& app, const std::vector<DatabaseRecord>& records) {
  app.WriteDatabase(L"city.db", records);
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  SetForegroundWindow(MainWindow);
  SetFocus(FirstFocusableControl(PageWindows[SearchPage]));
}

}  // namespace

TEST(UiDesktop, TheCloseBoxClosesAsTheExitTabDoes) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWith(app, NumberedRecords(3));
  EXPECT_TRUE(GetWindowLongW(MainWindow, GWL_STYLE) & WS_SYSMENU);
  SendMessageW(MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(TheLanguageFile.file, nullptr);
  DWORD width = 0;
  EXPECT_TRUE(app.Registry().GetDword(L"Col1Width", &width));
  EXPECT_EQ(boxes.Count(), 0u);
}

std::string ShippedLanguageFile() {
  std::string shipped;
  FILE* file = fopen(VOSTREL_SOURCE_DIR "/vostrel.lng", "rb");
  if (!file) return shipped;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) shipped.append(buffer, n);
  fclose(file);
  return shipped;
}

// The room a control's text needs in the control's own font: a static's wrapped as it draws
// it (within its width), a button's or a selector's on one line.
SIZE TextExtent(HWND control, const std::wstring& text, bool wraps) {
  HDC dc = GetDC(control);
  HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT box = {};
  GetClientRect(control, &box);
  if (!wraps) box.right = 0;
  DrawTextW(dc, text.c_str(), -1, &box,
            DT_CALCRECT | DT_EXPANDTABS | (wraps ? DT_WORDBREAK : DT_SINGLELINE));
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  return {box.right - box.left, box.bottom - box.top};
}

// Every text of every page inside its control, and the five tabs inside the strip.
void ExpectNothingCut() {
  RECT client = {};
  GetClientRect(MainWindow, &client);
  RECT exitTab = {};
  ASSERT_TRUE(
      SendMessageW(TabControl, TCM_GETITEMRECT, ExitPage, reinterpret_cast<LPARAM>(&exitTab)));
  // The strip starts 2 pixels left of the window: the Exit tab ends inside the window.
  EXPECT_LE(exitTab.right - 2, client.right);
  EXPECT_EQ(SendMessageW(TabControl, TCM_GETROWCOUNT, 0, 0), 1);
  for (int page = SearchPage; page <= AboutPage; ++page) {
    for (HWND child = GetWindow(PageWindows[page], GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
      const std::wstring text = WindowText(child);
      wchar_t className[64] = {};
      GetClassNameW(child, className, 64);
      const bool isStatic = lstrcmpiW(className, L"static") == 0;
      const bool button = lstrcmpiW(className, L"button") == 0;
      const bool selector = lstrcmpiW(className, L"combobox") == 0;
      if (text.empty() || !(isStatic || button || selector)) continue;
      if (isStatic && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
      SCOPED_TRACE(std::to_wstring(page) + L" " + className + L" '" + text + L"'");
      const SIZE need = TextExtent(child, text, isStatic);
      const RECT room = ChildRect(child);
      // A button's frame and a selector's arrow take room of their own.
      const int frame = button ? 4 : selector ? GetSystemMetrics(SM_CXVSCROLL) + 4 : 0;
      EXPECT_LE(need.cx + frame, room.right - room.left);
      if (!selector) {
        EXPECT_LE(need.cy, room.bottom - room.top);
      }
    }
  }
}

// At the DPIs of today's screens, in both layouts and both shipped languages: the window is
// the layout's size at that DPI, every rectangle of the control tables is scaled, and no text
// is cut.
TEST(UiDesktop, AtEveryDpiTheLayoutScalesAndNoTextIsCut) {
  const std::string shipped = ShippedLanguageFile();
  ASSERT_FALSE(shipped.empty());
  for (int dpi : {96, 120, 144, 192}) {
    for (int height : {480, 294}) {
      for (const wchar_t* language : {L"RUSSIAN", L"ENGLISH"}) {
        SCOPED_TRACE(std::to_wstring(dpi) + L" dpi, " + std::to_wstring(height) + L", " + language);
        MessageBoxRecorder boxes;
        AppUnderTest app;
        app.Directory().WriteFile(L"vostrel.lng", shipped);
        app.WriteDatabase(L"city.db", NumberedRecords(3));
        app.InstallDatabases({{L"city.db", "City"}});
        app.Registry().CreateSettingsKey();
        app.Registry().SetString(L"Language", language);
        SetDpiForTests(dpi);
        // The screen's height in pixels at that DPI picks the same layout as at 96.
        ASSERT_EQ(app.Start(MulDiv(height, dpi, 96)), 0);
        EXPECT_EQ(LayoutVariant, height == 480 ? 0 : 1);
        RECT client = {};
        GetClientRect(MainWindow, &client);
        EXPECT_EQ(client.right, MulDiv(LayoutVariant == 1 ? 640 : 240, dpi, 96));
        EXPECT_EQ(client.bottom, MulDiv(LayoutVariant == 1 ? 240 : 295, dpi, 96));
        const RECT start = ChildRect(SearchControl(IdStartButton));
        const ControlSpec* startRow =
            ControlRowById(SearchControls, kSearchControlCount, IdStartButton);
        ASSERT_NE(startRow, nullptr);
        const ControlRect& table =
            LayoutVariant == 1 ? startRow->landscapeRect : startRow->portraitRect;
        EXPECT_EQ(start.left, MulDiv(table.x, dpi, 96));
        EXPECT_EQ(start.right, MulDiv(table.x + table.width, dpi, 96));
        ExpectNothingCut();
        EXPECT_EQ(boxes.Count(), 0u);
      }
    }
  }
}

// Moved to a screen of another DPI (Windows tells the window with WM_DPICHANGED and a suggested
// rectangle): the window takes that rectangle, every control is scaled, the font follows, and
// nothing is cut.
TEST(UiDesktop, ADpiChangeScalesTheWindowItsControlsAndItsFont) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(480), 0);
  const RECT start = ChildRect(SearchControl(IdStartButton));
  const RECT edit = ChildRect(SearchControl(IdFirstCriterionEdit));
  const int columnWidth = static_cast<int>(SendMessageW(ResultListView, LVM_GETCOLUMNWIDTH, 1, 0));
  const HFONT before = MessageFont();
  const SIZE outer =
      OuterSizeForClient(360, 443, static_cast<DWORD>(GetWindowLongW(MainWindow, GWL_STYLE)), 0);
  RECT suggested = {10, 10, 10 + outer.cx, 10 + outer.cy};
  SendMessageW(MainWindow, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(144, 144),
               reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(WindowDpi, 144);
  RECT client = {};
  GetClientRect(MainWindow, &client);
  EXPECT_EQ(client.right, 360);
  EXPECT_EQ(client.bottom, 443);
  const RECT scaled = ChildRect(SearchControl(IdStartButton));
  EXPECT_EQ(scaled.left, MulDiv(start.left, 144, 96));
  EXPECT_EQ(scaled.right, MulDiv(start.right, 144, 96));
  EXPECT_EQ(ChildRect(SearchControl(IdFirstCriterionEdit)).top, MulDiv(edit.top, 144, 96));
  EXPECT_EQ(SendMessageW(ResultListView, LVM_GETCOLUMNWIDTH, 1, 0), MulDiv(columnWidth, 144, 96));
  EXPECT_NE(MessageFont(), before);
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(SearchControl(IdStartButton), WM_GETFONT, 0, 0)),
            MessageFont());
  ExpectNothingCut();
}

// The program's own icon in the caption, the task bar and Alt+Tab, in both sizes (the tests
// carry the program's resources).
TEST(UiDesktop, TheMainWindowShowsTheProgramsIcon) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  EXPECT_NE(SendMessageW(MainWindow, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(MainWindow, WM_GETICON, ICON_SMALL, 0), 0);
}

TEST(UiDesktop, EveryControlHasTheMessageFont) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWith(app, NumberedRecords(3));
  ASSERT_NE(MessageFont(), nullptr);
  EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(TabControl, WM_GETFONT, 0, 0)), MessageFont());
  int controls = 0;
  for (int page = SearchPage; page <= AboutPage; ++page) {
    for (HWND child = GetWindow(PageWindows[page], GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
      wchar_t className[64] = {};
      GetClassNameW(child, className, 64);
      SCOPED_TRACE(std::to_wstring(GetDlgCtrlID(child)) + L" " + className);
      // A picture has no text to draw.
      if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
          lstrcmpiW(className, L"Static") == 0)
        continue;
      EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), MessageFont());
      ++controls;
    }
  }
  // Every control the tables create (all but the handheld-only one and the icon) and the
  // criteria rows' labels and boxes were among them.
  const int created = (kSearchControlCount - 1) + kResultControlCount + kSetupControlCount +
                      (kAboutControlCount - 1) + 2 * TheFieldTable.searchCount;
  EXPECT_EQ(controls, created);
}

TEST(UiDesktop, TabMovesThroughTheSearchPageInReadingOrder) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWith(app, NumberedRecords(3));
  ASSERT_EQ(FocusedId(), IdDatabaseSelector);
  const std::vector<int> forward = {CriterionEditId(0), CriterionEditId(1), CriterionEditId(2),
                                    CriterionEditId(3), CriterionEditId(4)};
  for (int id : forward) {
    PressKey(VK_TAB);
    EXPECT_EQ(FocusedId(), id);
  }
  // The buttons come after the boxes, then the selector again.
  std::vector<int> buttons;
  for (int i = 0; i < 3 && FocusedId() != IdDatabaseSelector; ++i) {
    PressKey(VK_TAB);
    buttons.push_back(FocusedId());
  }
  EXPECT_NE(std::find(buttons.begin(), buttons.end(), IdStartButton), buttons.end());
  EXPECT_NE(std::find(buttons.begin(), buttons.end(), IdResetButton), buttons.end());
  EXPECT_EQ(buttons.back(), IdDatabaseSelector);
  PressKey(VK_TAB, false, true);
  EXPECT_EQ(FocusedId(), buttons[buttons.size() - 2]);

  // Ctrl+Tab turns the pages, Ctrl+Shift+Tab back, never onto Exit.
  for (int page : {ResultPage, SetupPage, AboutPage, SearchPage}) {
    PressKey(VK_TAB, true);
    EXPECT_EQ(CurrentPage, page);
  }
  PressKey(VK_TAB, true, true);
  EXPECT_EQ(CurrentPage, AboutPage);
  EXPECT_FALSE(QuitPosted());
}

TEST(UiDesktop, EnterInACriteriaBoxStartsAndEscStops) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWith(app, NumberedRecords(20000));
  PressKey(VK_TAB);
  PressKey(VK_TAB);
  ASSERT_EQ(FocusedId(), CriterionEditId(1));
  SetWindowTextW(GetFocus(), L"NAME1");
  // The worker holds after a few rows until it is asked to stop, so Esc finds it running.
  SetWorkerHoldForTests(5);
  PressKey(VK_RETURN);
  ASSERT_TRUE(SearchWorkerActive());
  EXPECT_EQ(CurrentPage, ResultPage);
  PressKey(VK_ESCAPE);
  EXPECT_NE(SearchStopFlag.load(), 0);
  ASSERT_TRUE(WaitForWorker());
  const int rows = ListItemCount();
  EXPECT_LT(rows, 11111);  // NAME1, NAME10..19, NAME100..199, ...
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)).rfind(L"Scaned: ", 0), 0u);
  // Esc with no scan running does nothing.
  PressKey(VK_ESCAPE);
  EXPECT_FALSE(SearchWorkerActive());
}

TEST(UiDesktop, TheResultListTakesArrowsEnterAndCopiesWhatTheCommandLineWrites) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  std::vector<DatabaseRecord> records = SampleRecords();
  records.push_back({"3000003", "BACK\\SLASH", Cp1251(L"ЁЛКИНА"), "1", "2"});
  StartWith(app, records);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 4);
  ASSERT_EQ(GetFocus(), ResultListView);

  // Arrows move the focus through the rows; Enter shows the focused row's details.
  PressKey(VK_DOWN);
  PressKey(VK_DOWN);
  PressKey(VK_RETURN);
  ASSERT_EQ(boxes.Count(), 1u);
  const int focused =
      static_cast<int>(SendMessageW(ResultListView, LVM_GETNEXTITEM, -1, LVNI_FOCUSED));
  EXPECT_EQ(boxes.At(0).text, ResultRowAt(focused)[0]);
  // The keyboard is back on the list, with the row still focused and selected.
  EXPECT_EQ(GetFocus(), ResultListView);
  EXPECT_EQ(SendMessageW(ResultListView, LVM_GETITEMSTATE, focused, LVIS_SELECTED | LVIS_FOCUSED),
            LVIS_SELECTED | LVIS_FOCUSED);

  const CliResult cli = RunCli({"search", PathToNative(app.FilePath(L"city.db").c_str())});
  ASSERT_EQ(cli.exitCode, 0) << cli.err;
  const std::wstring expected = Utf8ToWide(cli.out);
  PressKey('A', true);
  PressKey('C', true);
  EXPECT_EQ(ClipboardText(), expected);

  // Only the selected rows, in list order, under the header.
  LVITEMW none = {};
  none.stateMask = LVIS_SELECTED;
  SendMessageW(ResultListView, LVM_SETITEMSTATE, -1, reinterpret_cast<LPARAM>(&none));
  for (int index : {3, 1}) {
    LVITEMW one = {};
    one.stateMask = LVIS_SELECTED;
    one.state = LVIS_SELECTED;
    SendMessageW(ResultListView, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&one));
  }
  PressKey('C', true);
  const std::vector<std::wstring> all = Lines(expected);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(ClipboardText(), all[0] + all[2] + all[4]);

  // After a sort the selection has followed its rows, and a copy takes them in the new order.
  ClickHeader(1);
  std::wstring sorted = all[0];
  for (int i = 0; i < ListItemCount(); ++i) {
    if (SendMessageW(ResultListView, LVM_GETITEMSTATE, i, LVIS_SELECTED) == 0) continue;
    for (size_t line = 1; line < all.size(); ++line)
      if (all[line].rfind(ListCell(i, 0) + L"\t", 0) == 0) sorted += all[line];
  }
  PressKey('C', true);
  EXPECT_EQ(ClipboardText(), sorted);
  EXPECT_NE(sorted, all[0] + all[2] + all[4]) << "the sort should have moved the rows";
}

// A long list selected whole (Ctrl+A), then one click or key: the selection ends as in a short
// list (one row after a plain click or arrow, all but one after Ctrl+click, all after a move of
// the focus or a sort), the view stays where it was scrolled, and a copy takes what is selected.
// Past 20,000 rows the program keeps Ctrl+A's selection itself; the list still reports it.
TEST(UiDesktop, OneClickOrKeyAfterSelectingALongListActsAsOnAShortOne) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  const int rows = kLongListRows + 5;
  StartWith(app, NumberedRecords(rows));
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), rows);
  SendMessageW(ResultListView, LVM_ENSUREVISIBLE, kLongListRows / 2, FALSE);
  const int top = static_cast<int>(SendMessageW(ResultListView, LVM_GETTOPINDEX, 0, 0));
  ASSERT_GT(top, 0);
  const auto clickRow = [top](int below, WPARAM keys) {
    RECT item = {};
    item.left = LVIR_BOUNDS;
    SendMessageW(ResultListView, LVM_GETITEMRECT, top + below, reinterpret_cast<LPARAM>(&item));
    const LPARAM at = MAKELPARAM(item.left + 5, (item.top + item.bottom) / 2);
    PostMessageW(ResultListView, WM_LBUTTONDOWN, MK_LBUTTON | keys, at);
    PostMessageW(ResultListView, WM_LBUTTONUP, keys, at);
    PumpOnce();
  };
  struct Way {
    const char* name;
    std::function<void()> act;
    int selected;    // rows selected afterwards
    int focused;     // the focused row, below the top one
    int unselected;  // a row below the top one that is not selected afterwards (-1: none)
    bool fileOrder;  // the rows are still in the order the command line writes them
  };
  const Way ways[] = {
      {"click on the third row shown", [&] { clickRow(2, 0); }, 1, 2, 3, true},
      {"down arrow from the clicked row", [] { PressKey(VK_DOWN); }, 1, 3, 2, true},
      {"ctrl+click on the third row shown", [&] { clickRow(2, MK_CONTROL); }, rows - 1, 2, 2, true},
      {"ctrl+down moves the focus only", [] { PressKey(VK_DOWN, true); }, rows, 3, -1, true},
      {"a sort keeps every row selected", [] { ClickHeader(1); }, rows, -1, -1, false},
  };
  // A copy of this many rows is made in two halves at once: the text must be the selected
  // rows' lines of the command line's output, in order, nothing doubled or left out.
  const CliResult cli = RunCli({"search", PathToNative(app.FilePath(L"city.db").c_str())});
  ASSERT_EQ(cli.exitCode, 0) << cli.err;
  const std::vector<std::wstring> cliLines = Lines(Utf8ToWide(cli.out));
  ASSERT_EQ(cliLines.size(), static_cast<size_t>(rows) + 1);
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    SetFocus(ResultListView);
    PressKey('A', true);
    ASSERT_EQ(SendMessageW(ResultListView, LVM_GETSELECTEDCOUNT, 0, 0), rows);
    way.act();
    EXPECT_EQ(SendMessageW(ResultListView, LVM_GETSELECTEDCOUNT, 0, 0), way.selected);
    if (way.selected == 1) {
      EXPECT_EQ(SendMessageW(ResultListView, LVM_GETNEXTITEM, -1, LVNI_SELECTED),
                top + way.focused);
    }
    // A sort shows the focused row at its new place; everything else keeps the view.
    if (way.focused >= 0) {
      EXPECT_EQ(SendMessageW(ResultListView, LVM_GETNEXTITEM, -1, LVNI_FOCUSED), top + way.focused);
      EXPECT_EQ(SendMessageW(ResultListView, LVM_GETTOPINDEX, 0, 0), top);
    }
    if (way.unselected >= 0) {
      EXPECT_EQ(SendMessageW(ResultListView, LVM_GETITEMSTATE, top + way.unselected, LVIS_SELECTED),
                0);
    }
    EXPECT_EQ(ListItemCount(), rows);
    PressKey('C', true);
    const std::wstring copied = ClipboardText();
    EXPECT_EQ(Lines(copied).size(), static_cast<size_t>(way.selected) + 1);
    if (way.fileOrder) {
      std::wstring expected = cliLines[0];
      for (int i = 0; i < rows; ++i)
        if (SendMessageW(ResultListView, LVM_GETITEMSTATE, i, LVIS_SELECTED) != 0)
          expected += cliLines[i + 1];
      EXPECT_TRUE(copied == expected);  // twenty thousand lines: no dump of both on failure
    }
  }
  EXPECT_EQ(boxes.Count(), 0u);
}
