// The Result page: the list's texts come from the rows, a header click sorts, activating a row
// shows its details.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include "i18n/ui_strings.h"
#include "search/result_row.h"
#include "ui/app_globals_win32.h"
#include "ui/message_box_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/search_worker_win32.h"

namespace {

wchar_t kEmptyText[] = L"";

ResultRow RowOfItem(HWND listView, int index) {
  LVITEMW item = {};
  item.mask = LVIF_PARAM | LVIF_STATE;
  item.iItem = index;
  item.iSubItem = 0;
  if (!SendMessageW(listView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
  return reinterpret_cast<ResultRow>(item.lParam);
}

const wchar_t* CellText(ResultRow row, int column) {
  if (!row || column < 0 || column >= TheFieldTable.displayCount || !row[column]) return nullptr;
  return row[column];
}

void OnGetDisplayInfo(NMLVDISPINFOW* info) {
  if (!(info->item.mask & LVIF_TEXT)) return;
  ResultRow row = reinterpret_cast<ResultRow>(info->item.lParam);
  if (!row) row = RowOfItem(info->hdr.hwndFrom, info->item.iItem);
  const wchar_t* text = CellText(row, info->item.iSubItem);
  // The list keeps no text of its own: it shows the row's string itself.
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

LRESULT OnCreate(HWND page, UINT, WPARAM, LPARAM) {
  BuildPageControls(page, ResultControls, kResultControlCount, WS_CHILD, true);
  ResultListView = GetDlgItem(page, IdResultList);
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
      SendMessageW(header->hwndFrom, LVM_SORTITEMS, static_cast<WPARAM>(click->iSubItem),
                   reinterpret_cast<LPARAM>(CompareResultRows));
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

// A search worker's rows and status update, carried out here on the UI thread.
LRESULT OnRowBatch(HWND, UINT, WPARAM, LPARAM lParam) {
  if (!lParam) return 0;
  return InsertResultRowBatch(reinterpret_cast<ResultRowBatch*>(lParam));
}

const MessageMapEntry kResultMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_NOTIFY, OnNotify},
    {kRowBatchMessage, OnRowBatch},
};

}  // namespace

LRESULT CALLBACK ResultPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kResultMessages, window, message, wParam, lParam);
}

int CALLBACK CompareResultRows(LPARAM rowA, LPARAM rowB, LPARAM column) {
  const wchar_t* a = CellText(reinterpret_cast<ResultRow>(rowA), static_cast<int>(column));
  const wchar_t* b = CellText(reinterpret_cast<ResultRow>(rowB), static_cast<int>(column));
  return lstrcmpiW(a ? a : L"", b ? b : L"");
}

void ShowRowDetails() {
  const int focused = static_cast<int>(
      SendMessageW(ResultListView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  if (focused < 0) return;
  ResultRow row = RowOfItem(ResultListView, focused);
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
  ShowMessageBox(ResultListView, MessageBuffer, UiText(901), MB_OK);
}
