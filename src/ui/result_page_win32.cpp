// The Result page: the list's texts come from the rows, a header click sorts, activating a row
// shows its details.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <array>
#include <cwchar>

#include "i18n/ui_strings.h"
#include "search/result_row.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/message_box_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/result_list_win32.h"

namespace {

wchar_t kEmptyText[] = L"";

const wchar_t* CellText(ResultRow row, int column) {
  if (!row || column < 0 || column >= TheFieldTable.displayCount || !row[column]) return nullptr;
  return row[column];
}

// The list holds no items: it asks for the texts of the rows it paints by their index, and
// shows the row's string itself.
void OnGetDisplayInfo(NMLVDISPINFOW* info) {
  // Asked only while Ctrl+A's selection of a long list is the program's to keep.
  if ((info->item.mask & LVIF_STATE) && (info->item.stateMask & LVIS_SELECTED)) {
    const bool selected = info->item.iItem >= 0 && info->item.iItem < WholeSelectionRows();
    info->item.state = (info->item.state & ~LVIS_SELECTED) | (selected ? LVIS_SELECTED : 0);
  }
  if (!(info->item.mask & LVIF_TEXT)) return;
  const wchar_t* text = CellText(ResultRowAt(info->item.iItem), info->item.iSubItem);
  info->item.pszText = text ? const_cast<wchar_t*>(text) : kEmptyText;
}

// Appends text to MessageBuffer; what does not fit is cut off at the buffer's end.
void AppendToMessageBuffer(const wchar_t* text) {
  size_t length = wcslen(MessageBuffer);
  for (; *text && length + 1 < static_cast<size_t>(kMessageBufferCapacity); ++text) {
    MessageBuffer[length++] = *text;
  }
  MessageBuffer[length] = L'\0';
}

WNDPROC ListViewProc = nullptr;

bool IsNavigationKey(WPARAM key) {
  return key == VK_UP || key == VK_DOWN || key == VK_LEFT || key == VK_RIGHT || key == VK_PRIOR ||
         key == VK_NEXT || key == VK_HOME || key == VK_END;
}

// What a click or key does to the selection around the row it acts on: selects afresh (a plain
// click, a plain or Shift navigation key, a typed letter finding a row: all other rows are
// deselected), changes or keeps it (Ctrl+click and Space toggle one row, a right click keeps a
// selection it falls in), or leaves it alone.
enum class SelectionEffect { None, SelectsAfresh, ChangesIt };
SelectionEffect EffectOnSelection(UINT message, WPARAM wParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
      return (wParam & MK_CONTROL) ? SelectionEffect::ChangesIt : SelectionEffect::SelectsAfresh;
    case WM_RBUTTONDOWN:
      return SelectionEffect::ChangesIt;
    case WM_CHAR:
      return wParam >= L' ' ? SelectionEffect::SelectsAfresh : SelectionEffect::None;
    case WM_KEYDOWN:
      if (wParam == VK_SPACE) return SelectionEffect::ChangesIt;
      if (!IsNavigationKey(wParam)) return SelectionEffect::None;
      // Ctrl alone moves the focus and keeps the selection.
      if (GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_SHIFT) >= 0) return SelectionEffect::None;
      return SelectionEffect::SelectsAfresh;
    default:
      return SelectionEffect::None;
  }
}

// Before the list takes input that selects afresh, a long selection is dropped at once: the
// platform's list deselects item by item, repainting each, which after Ctrl+A on two million
// rows takes minutes. Ctrl+A's selection of a long list, which the program keeps itself, is
// dropped, or handed to the list for input that changes it.
LRESULT CALLBACK ResultListInputProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  const SelectionEffect effect = EffectOnSelection(message, wParam);
  if (effect != SelectionEffect::None) {
    if (WholeSelectionRows() > 0) {
      EndWholeSelection(effect == SelectionEffect::ChangesIt);
    } else if (effect == SelectionEffect::SelectsAfresh) {
      const int selected = static_cast<int>(SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0));
      if (selected >= kLongListRows) {
        const ListWork work = BeginListWork(selected);
        DropListSelection(list);
        EndListWork(work);
      }
    }
  }
  return CallWindowProcW(ListViewProc, list, message, wParam, lParam);
}

LRESULT OnCreate(HWND page, UINT, WPARAM, LPARAM) {
  BuildPageControls(page, ResultControls, kResultControlCount, WS_CHILD, true);
  ResultListView = GetDlgItem(page, IdResultList);
  HoldStatusTextsDuringScans(GetDlgItem(page, IdStatusLine));
  if (ResultListView) {
    ListViewProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        ResultListView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ResultListInputProc)));
  }
  return 0;
}

LRESULT OnNotify(HWND, UINT, WPARAM wParam, LPARAM lParam) {
  if (wParam != IdResultList || !lParam) return 0;
  NMHDR* header = reinterpret_cast<NMHDR*>(lParam);
  switch (header->code) {
    case LVN_GETDISPINFOW:
      OnGetDisplayInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
      break;
    case LVN_COLUMNCLICK: {
      const NMLISTVIEW* click = reinterpret_cast<const NMLISTVIEW*>(lParam);
      SortResultList(header->hwndFrom, click->iSubItem);
      break;
    }
    case LVN_ITEMACTIVATE:
      ShowRowDetails();
      break;
    default:
      break;
  }
  return 0;
}

// A search worker's messages, carried out here on the UI thread.
LRESULT OnScanStart(HWND, UINT, WPARAM, LPARAM) {
  StartScanView();
  return 0;
}

LRESULT OnScanProgress(HWND, UINT, WPARAM, LPARAM) {
  DrainStatusUpdates();
  return 0;
}

LRESULT OnScanEnd(HWND, UINT, WPARAM, LPARAM) {
  FinishScanView();
  return 0;
}

LRESULT OnCtlColorStatic(HWND, UINT, WPARAM wParam, LPARAM) {
  return WhiteStaticColors(reinterpret_cast<HDC>(wParam));
}

LRESULT OnTimer(HWND, UINT, WPARAM wParam, LPARAM) {
  if (wParam == kScanRefreshTimer) RefreshScanView();
  return 0;
}

// No control of the page sends a command yet.
const std::array<CommandMapEntry, 0> kResultCommands = {};

LRESULT OnCommand(HWND page, UINT, WPARAM wParam, LPARAM lParam) {
  return DispatchCommandMap(kResultCommands, page, wParam, lParam);
}

// clang-format off
const MessageMapEntry kResultMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_COMMAND, OnCommand},
    {WM_NOTIFY, OnNotify},
    {kScanStartMessage, OnScanStart},
    {kScanProgressMessage, OnScanProgress},
    {kScanDrainMessage, OnScanProgress},
    {kScanEndMessage, OnScanEnd},
    {WM_TIMER, OnTimer},
    {WM_CTLCOLORSTATIC, OnCtlColorStatic},
};
// clang-format on

}  // namespace

LRESULT CALLBACK ResultPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kResultMessages, window, message, wParam, lParam);
}

void ShowRowDetails() {
  const int focused = static_cast<int>(
      SendMessageW(ResultListView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  ResultRow row = ResultRowAt(focused);
  if (!row) return;

  MessageBuffer[0] = L'\0';
  const int displayCount = TheFieldTable.displayCount;
  for (int position = 1; position <= displayCount; ++position) {
    int column = -1;
    for (int j = 0; j < displayCount; ++j) {
      if (TheFieldTable.displayMap[j]->detailIndex == position) {
        column = j;
        break;
      }
    }
    const wchar_t* value = CellText(row, column);
    if (!value) continue;
    if (MessageBuffer[0] != L'\0' && value[0] != L'\0') AppendToMessageBuffer(L",\r\n");
    AppendToMessageBuffer(value);
  }
  ShowMessageBox(ResultListView, MessageBuffer, UiText(TextInfo), MB_OK);
}
