#include "ui/window_layout_win32.h"

#include <commctrl.h>

#include "ui/app_globals_win32.h"

namespace {

constexpr wchar_t kRowProperty[] = L"VostrelControlRow";

struct PageTable {
  const ControlSpec* rows;
  int count;
  int growingId;  // the control that takes the window's growth, or 0
};

PageTable TableOf(int page) {
  switch (page) {
    case SearchPage:
      return {SearchControls, kSearchControlCount, 0};
    case ResultPage:
      return {ResultControls, kResultControlCount, IdResultList};
    case SetupPage:
      return {SetupControls, kSetupControlCount, IdFoundList};
    case AboutPage:
      return {AboutControls, kAboutControlCount, 0};
    default:
      return {nullptr, 0, 0};
  }
}

// The page whose table holds the row (-1 for none).
int PageOfRow(const ControlSpec* row) {
  for (int page = 0; page < kPageCount; ++page) {
    const PageTable table = TableOf(page);
    if (table.rows && row >= table.rows && row < table.rows + table.count) return page;
  }
  return -1;
}

const ControlRect& TableRect(const ControlSpec& row) {
  return LayoutVariant == 1 ? row.landscapeRect : row.portraitRect;
}

// How much larger than the layout's the client area is (never less than nothing).
SIZE Growth() {
  RECT client = {};
  if (MainWindow) GetClientRect(MainWindow, &client);
  const SIZE layout = LayoutClientSize();
  const LONG width = client.right - layout.cx;
  const LONG height = client.bottom - layout.cy;
  return {width > 0 ? width : 0, height > 0 ? height : 0};
}

}  // namespace

SIZE LayoutClientSize() {
  return LayoutVariant == 1 ? SIZE{ScaleToDpi(640), ScaleToDpi(240)}
                            : SIZE{ScaleToDpi(240), ScaleToDpi(295)};
}

void RememberControlRow(HWND control, const ControlSpec* row) {
  if (control) SetPropW(control, kRowProperty, const_cast<ControlSpec*>(row));
}

ControlRect RectForLayout(const ControlSpec& row) {
  const ControlRect& at96 = TableRect(row);
  // Edges are scaled, not sizes, so that neighbours that touch at 96 DPI still touch.
  const int left = ScaleToDpi(at96.x), top = ScaleToDpi(at96.y);
  ControlRect r = {left, top, ScaleToDpi(at96.x + at96.width) - left,
                   ScaleToDpi(at96.y + at96.height) - top};
  const PageTable table = TableOf(PageOfRow(&row));
  const ControlSpec* growing = nullptr;
  for (int i = 0; i < table.count; ++i)
    if (table.rows[i].id == table.growingId) growing = &table.rows[i];
  if (!growing) return r;
  const SIZE growth = Growth();
  if (&row == growing) {
    r.width += growth.cx;
    r.height += growth.cy;
  } else if (at96.y >= TableRect(*growing).y + TableRect(*growing).height) {
    r.y += growth.cy;
  }
  return r;
}

void LayOutMainWindow() {
  if (!MainWindow || !TabControl) return;
  RECT client = {};
  GetClientRect(MainWindow, &client);
  MoveWindow(TabControl, -2, 0, client.right + 4, client.bottom, TRUE);
  RECT tabClient = {};
  GetClientRect(TabControl, &tabClient);
  const int top = ScaleToDpi(kPageTop);
  for (int page = 0; page < kPageCount; ++page) {
    if (!PageWindows[page]) continue;
    MoveWindow(PageWindows[page], 0, top, tabClient.right, tabClient.bottom - top, TRUE);
    for (HWND child = GetWindow(PageWindows[page], GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
      const auto* row = static_cast<const ControlSpec*>(GetPropW(child, kRowProperty));
      if (!row) continue;
      const ControlRect to = RectForLayout(*row);
      RECT at = {};
      GetWindowRect(child, &at);
      MapWindowPoints(nullptr, PageWindows[page], reinterpret_cast<POINT*>(&at), 2);
      // Only the growing control changes its size. The others keep theirs (the status line may
      // have widened for its text) and move down with what lies above them.
      if (row->id == TableOf(page).growingId) {
        MoveWindow(child, to.x, to.y, to.width, to.height, TRUE);
      } else if (at.top != to.y) {
        MoveWindow(child, at.left, to.y, at.right - at.left, at.bottom - at.top, TRUE);
      }
    }
  }
}

void RescalePageControls(int oldDpi, HFONT font) {
  auto scale = [oldDpi](LONG value) { return MulDiv(value, WindowDpi, oldDpi); };
  for (HWND page : PageWindows) {
    if (!page) continue;
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      RECT at = {};
      GetWindowRect(child, &at);
      MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&at), 2);
      const LONG left = scale(at.left), topEdge = scale(at.top);
      MoveWindow(child, left, topEdge, scale(at.right) - left, scale(at.bottom) - topEdge, FALSE);
      if (font) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
  }
  if (TabControl && font)
    SendMessageW(TabControl, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (!ResultListView) return;
  for (int column = 0; column < TheFieldTable.displayCount; ++column) {
    const int width = static_cast<int>(SendMessageW(ResultListView, LVM_GETCOLUMNWIDTH, column, 0));
    SendMessageW(ResultListView, LVM_SETCOLUMNWIDTH, column, MAKELPARAM(scale(width), 0));
  }
}
