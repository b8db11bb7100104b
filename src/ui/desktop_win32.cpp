#include "ui/desktop_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <system_error>
#include <thread>
#include <vector>

#include "db/file_system.h"
#include "search/tsv_escape.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/result_list_win32.h"
#include "ui/search_worker_win32.h"

namespace {

HFONT Font = nullptr;

bool ClassIs(HWND window, const wchar_t* name) {
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  return _wcsicmp(className, name) == 0;
}

// The controls a user types into or presses: edit boxes, selectors, buttons and lists.
bool TakesKeyboard(HWND control) {
  if (!IsWindowVisible(control) || !IsWindowEnabled(control)) return false;
  if (ClassIs(control, L"Button")) {
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    return type != BS_GROUPBOX;
  }
  return ClassIs(control, L"Edit") || ClassIs(control, L"ComboBox") ||
         ClassIs(control, L"ListBox") || ClassIs(control, WC_LISTVIEWW);
}

// The page's controls that take the keyboard, top to bottom and left to right.
std::vector<HWND> KeyboardControls(HWND page) {
  std::vector<HWND> controls;
  for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (TakesKeyboard(child)) controls.push_back(child);
  std::stable_sort(controls.begin(), controls.end(), [](HWND a, HWND b) {
    RECT ra, rb;
    GetWindowRect(a, &ra);
    GetWindowRect(b, &rb);
    return ra.top != rb.top ? ra.top < rb.top : ra.left < rb.left;
  });
  return controls;
}

// The page's own child that holds the focus (a selector's inner edit box counts as the selector).
HWND FocusedChildOf(HWND page) {
  for (HWND window = GetFocus(); window; window = GetParent(window))
    if (GetParent(window) == page) return window;
  return nullptr;
}

bool InMainWindow(HWND window) {
  return MainWindow && window && (window == MainWindow || IsChild(MainWindow, window));
}

void PressStartStop() {
  HWND page = PageWindows[SearchPage];
  HWND button = GetDlgItem(page, IdStartButton);
  if (!button || !IsWindowEnabled(button)) return;
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(IdStartButton, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}

bool IsCriterionBox(HWND control) {
  if (GetParent(control) != PageWindows[SearchPage]) return false;
  const int id = GetDlgCtrlID(control);
  for (int j = 0; j < TheFieldTable.searchCount; ++j)
    if (id == CriterionEditId(j)) return true;
  return false;
}

bool MoveFocus(bool backwards) {
  if (CurrentPage < 0 || CurrentPage >= kPageCount) return false;
  HWND page = PageWindows[CurrentPage];
  const std::vector<HWND> controls = KeyboardControls(page);
  if (controls.empty()) return false;
  const auto at = std::find(controls.begin(), controls.end(), FocusedChildOf(page));
  size_t next;
  if (at == controls.end()) {
    next = backwards ? controls.size() - 1 : 0;
  } else {
    const size_t here = static_cast<size_t>(at - controls.begin());
    next =
        backwards ? (here + controls.size() - 1) % controls.size() : (here + 1) % controls.size();
  }
  SetFocus(controls[next]);
  if (ClassIs(controls[next], L"Edit")) SendMessageW(controls[next], EM_SETSEL, 0, -1);
  return true;
}

bool HandleReturn(HWND focused) {
  if (!focused) return false;
  if (focused == ResultListView) {
    ShowRowDetails();
    return true;
  }
  HWND control = FocusedChildOf(PageWindows[CurrentPage]);
  if (control && IsCriterionBox(control)) {
    PressStartStop();
    return true;
  }
  if (control && ClassIs(control, L"Button")) {
    SendMessageW(control, BM_CLICK, 0, 0);
    return true;
  }
  return false;
}

// The clipboard's text is written in two passes over the same rows, the first counting what
// the second writes, so that two million rows go straight into one block of the right size.
// Each pass takes a writer: a counter, or a cursor into the block.
struct TextWriter {
  wchar_t* at = nullptr;  // nullptr: only count
  size_t length = 0;

  void Put(wchar_t c) {
    if (at) *at++ = c;
    ++length;
  }
  void PutRun(const wchar_t* from, size_t count) {
    if (at) {
      memcpy(at, from, count * sizeof(wchar_t));
      at += count;
    }
    length += count;
  }
};

// A cell as the command line's TSV writes it: backslash, tab, line feed and carriage return
// escaped. A copy of every row of a city is a hundred million letters, two passes over each, so
// the letters between two escapes go as one run rather than one at a time.
void PutEscaped(TextWriter* out, const wchar_t* text) {
  if (!text) return;
  const wchar_t* run = text;
  for (const wchar_t* p = text;; ++p) {
    const wchar_t c = *p;
    // The end and every letter that needs an escape but the backslash lie at or below the
    // carriage return.
    if (c > L'\r' && c != L'\\') continue;
    const wchar_t escaped = TsvEscapeLetter(c);
    if (c != L'\0' && !escaped) continue;
    out->PutRun(run, static_cast<size_t>(p - run));
    if (c == L'\0') return;
    out->Put(L'\\');
    out->Put(escaped);
    run = p + 1;
  }
}

void PutRowLine(TextWriter* out, ResultRow row) {
  for (int j = 0; j < TheFieldTable.displayCount; ++j) {
    if (j > 0) out->Put(L'\t');
    PutEscaped(out, row ? row[j] : nullptr);
  }
  out->Put(L'\n');
}

// Rows in a sorted order lie all over the store, so each row's first read waits for memory.
// Asking for the rows some way ahead lets those waits overlap. A row's pointer array and its
// texts lie together: its first lines hold most rows whole.
constexpr size_t kFetchAhead = 16;
constexpr int kFetchLines = 3;

void FetchRow(ResultRow row) {
  for (int line = 0; row && line < kFetchLines; ++line)
    __builtin_prefetch(reinterpret_cast<const char*>(row) + 64 * line);
}

// The selection to copy: every listed row, or those listed in rows.
struct CopiedRows {
  const std::vector<int>* rows = nullptr;
  size_t count = 0;

  int At(size_t k) const { return rows ? (*rows)[k] : static_cast<int>(k); }
};

void PutHeaderLine(TextWriter* out) {
  for (int j = 0; j < TheFieldTable.displayCount; ++j) {
    if (j > 0) out->Put(L'\t');
    PutEscaped(out, TheFieldTable.displayMap[j]->displayName);
  }
  out->Put(L'\n');
}

// The lines of the selection's rows from .. to - 1.
void PutRowLines(TextWriter* out, const CopiedRows& copied, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) {
    if (k + kFetchAhead < to) FetchRow(ResultRowAt(copied.At(k + kFetchAhead)));
    PutRowLine(out, ResultRowAt(copied.At(k)));
  }
}

// Runs both; the second on a thread of its own when asked and one can be had.
template <typename First, typename Second>
void SideBySide(bool together, First first, Second second) {
  std::thread other;
  try {
    if (together) other = std::thread(second);
  } catch (const std::system_error&) {
  }
  first();
  if (other.joinable())
    other.join();
  else
    second();
}

// The selected rows' indices, asked of the list once each; nullptr in *all when every row is
// selected (Ctrl+A), which needs no asking. False when nothing is selected.
bool FindSelectedRows(std::vector<int>* selected, bool* all, int* listed) {
  if (!ResultListView) return false;
  *listed = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  const int count = SelectedRowCount();
  if (count <= 0) return false;
  *all = count >= *listed;
  if (*all) return true;
  selected->reserve(static_cast<size_t>(count));
  if (WholeSelectionRows() > 0) {
    for (int i = 0; i < count; ++i) selected->push_back(i);
    return true;
  }
  for (int i = -1;;) {
    i = static_cast<int>(
        SendMessageW(ResultListView, LVM_GETNEXTITEM, static_cast<WPARAM>(i), LVNI_SELECTED));
    if (i < 0) break;
    selected->push_back(i);
  }
  return true;
}

// The clipboard block holding the selected rows' text, or nullptr.
HGLOBAL SelectedRowsBlock() {
  std::vector<int> selected;
  bool all = false;
  int listed = 0;
  if (!FindSelectedRows(&selected, &all, &listed)) return nullptr;
  CopiedRows copied;
  copied.rows = all ? nullptr : &selected;
  copied.count = all ? static_cast<size_t>(listed) : selected.size();
  // A city's rows are a few hundred megabytes of text; most of the time goes to waiting for the
  // rows' memory and to the first touch of each page of the block. Two threads count, then
  // write, half of the rows each, the second half's text right behind the first's.
  const size_t half = copied.count >= static_cast<size_t>(kLongListRows) ? copied.count / 2 : 0;
  TextWriter parts[3];
  PutHeaderLine(&parts[0]);
  const auto firstHalf = [&parts, &copied, half] { PutRowLines(&parts[1], copied, 0, half); };
  const auto secondHalf = [&parts, &copied, half] {
    PutRowLines(&parts[2], copied, half, copied.count);
  };
  SideBySide(half > 0, firstHalf, secondHalf);
  const size_t length = parts[0].length + parts[1].length + parts[2].length;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (length + 1) * sizeof(wchar_t));
  if (!block) return nullptr;
  wchar_t* memory = static_cast<wchar_t*>(GlobalLock(block));
  if (!memory) {
    GlobalFree(block);
    return nullptr;
  }
  wchar_t* at = memory;
  for (TextWriter& part : parts) {
    const size_t counted = part.length;
    part = TextWriter();
    part.at = at;
    at += counted;
  }
  *at = L'\0';
  PutHeaderLine(&parts[0]);
  // Each thread brings in the pages of its own part of the block before it writes there.
  SideBySide(
      half > 0,
      [&parts, &firstHalf] {
        PopulateMemory(parts[1].at, (parts[2].at - parts[1].at) * sizeof(wchar_t));
        firstHalf();
      },
      [&parts, &secondHalf, at] {
        PopulateMemory(parts[2].at, (at - parts[2].at) * sizeof(wchar_t));
        secondHalf();
      });
  GlobalUnlock(block);
  return block;
}

void SelectAllRows() {
  const int listed = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  if (listed >= kLongListRows) {
    SelectWholeList();
    return;
  }
  LVITEMW all = {};
  all.stateMask = LVIS_SELECTED;
  all.state = LVIS_SELECTED;
  SendMessageW(ResultListView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(&all));
}

}  // namespace

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

HFONT MessageFont() {
  if (!Font) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
      // The metrics are the system DPI's; a window on a screen of another DPI scales them.
      metrics.lfMessageFont.lfHeight =
          MulDiv(metrics.lfMessageFont.lfHeight, WindowDpi, SystemDpi());
      Font = CreateFontIndirectW(&metrics.lfMessageFont);
    }
  }
  return Font;
}

HFONT RenewMessageFont() {
  HFONT old = Font;
  Font = nullptr;
  MessageFont();
  return old;
}

void UseMessageFont(HWND control) {
  HFONT font = MessageFont();
  if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

void ReleaseMessageFont() {
  if (Font) DeleteObject(Font);
  Font = nullptr;
}

LRESULT WhiteStaticColors(HDC dc) {
  SetBkColor(dc, RGB(255, 255, 255));
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
}

SIZE OuterSizeForClient(int width, int height, DWORD style, DWORD exStyle) {
  RECT rect = {0, 0, width, height};
  AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

bool HandleDesktopKey(const MSG& message) {
  if (message.message != WM_KEYDOWN || !InMainWindow(message.hwnd)) return false;
  const bool control = GetKeyState(VK_CONTROL) < 0;
  const bool alt = GetKeyState(VK_MENU) < 0;
  if (alt) return false;
  switch (message.wParam) {
    case VK_TAB:
      if (control) {
        // Ctrl+Tab turns the pages as a desktop's tabbed dialogs do, but never onto Exit:
        // passing through the tabs must not close the program.
        const int step = GetKeyState(VK_SHIFT) < 0 ? ExitPage - 1 : 1;
        SelectPage((CurrentPage + step) % ExitPage);
        return true;
      }
      return MoveFocus(GetKeyState(VK_SHIFT) < 0);
    case VK_RETURN:
      if (control) return false;
      return HandleReturn(GetFocus());
    case VK_ESCAPE:
      if (SearchWorkerActive() && SearchStopFlag.load() == 0) {
        PressStartStop();
        return true;
      }
      if (DatabaseSearchRunning()) {
        CancelDatabaseSearch();
        return true;
      }
      return false;
    case 'A':
      if (!control || GetFocus() != ResultListView) return false;
      SelectAllRows();
      return true;
    case 'C':
      if (!control || GetFocus() != ResultListView) return false;
      CopySelectedRows(MainWindow);
      return true;
    default:
      return false;
  }
}

HWND FirstFocusableControl(HWND page) {
  const std::vector<HWND> controls = KeyboardControls(page);
  return controls.empty() ? nullptr : controls.front();
}

bool CopySelectedRows(HWND owner) {
  const int listed =
      ResultListView ? static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0)) : 0;
  // Only the pointer shows the work: the list's items do not change.
  const HCURSOR previous =
      listed >= kLongListRows ? SetCursor(LoadCursorW(nullptr, IDC_WAIT)) : nullptr;
  HGLOBAL block = SelectedRowsBlock();
  bool placed = false;
  if (block && OpenClipboard(owner)) {
    EmptyClipboard();
    placed = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    CloseClipboard();
  }
  if (block && !placed) GlobalFree(block);
  if (listed >= kLongListRows) SetCursor(previous);
  return placed;
}
