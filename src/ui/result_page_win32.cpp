// The Result page: the list's texts come from the rows, a header click sorts, activating a row
// shows its details.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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

// Sorting a long list. LVM_SORTITEMS with CompareResultRows calls lstrcmpiW for every one of the
// sort's comparisons, a million and a half for 100,000 rows, and under Wine that alone takes
// about a second. The same order comes from ranks: each row's text gets its rank among the
// texts (equal ranks for texts that lstrcmpiW finds equal), and the list sorts by comparing
// ranks. The list's own sort then makes exactly the comparisons it would make with
// CompareResultRows and gets the same answers, so it leaves the rows, equal ones included, in
// exactly the order it would have left them.
//
// The ranks come from the platform's sort keys, whose byte order is that of the comparison they
// are built for, and are then checked against lstrcmpiW itself: walking the texts in key order,
// each must compare no greater than the next (which, the comparison being an order, proves the
// whole walk sorted), and a rank goes up exactly where lstrcmpiW finds the next text greater.
// Should any pair disagree, or memory run short, the list is sorted the plain way instead.

SortKeyBuilder KeyBuilder = nullptr;

// The sort key of lstrcmpiW's comparison: case ignored, in the user's locale.
int PlatformSortKey(const wchar_t* text, unsigned char* key, int capacity) {
  return LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text, -1,
                      reinterpret_cast<LPWSTR>(key), capacity);
}

// Row -> rank, by open addressing; built once per sort and read by every comparison.
struct RankTable {
  LPARAM* rows = nullptr;
  int* ranks = nullptr;
  size_t mask = 0;
  int nullRank = 0;  // the rank of an item without a row (it shows empty texts)
};

size_t RankSlot(const RankTable* table, LPARAM row) {
  // Rows are heap blocks: their lowest bits hardly vary, the multiplication spreads the rest.
  const uint64_t bits = static_cast<uint64_t>(row) >> 4;
  return static_cast<size_t>(bits * 0x9E3779B97F4A7C15ull >> 32) & table->mask;
}

int RankOf(const RankTable* table, LPARAM row) {
  if (!row) return table->nullRank;
  for (size_t i = RankSlot(table, row);; i = (i + 1) & table->mask) {
    if (table->rows[i] == row) return table->ranks[i];
    if (table->rows[i] == 0) return table->nullRank;  // not in the list when it was ranked
  }
}

int CALLBACK CompareRanks(LPARAM rowA, LPARAM rowB, LPARAM rankTable) {
  const RankTable* table = reinterpret_cast<const RankTable*>(rankTable);
  const int a = RankOf(table, rowA);
  const int b = RankOf(table, rowB);
  return a < b ? -1 : (a > b ? 1 : 0);
}

// The sort's working memory, all of it released when the sort is done.
struct SortScratch {
  LPARAM* rows = nullptr;           // by item
  const wchar_t** texts = nullptr;  // by item
  size_t* keyStart = nullptr;       // by item, into keys
  int* order = nullptr;             // items in key order
  unsigned char* keys = nullptr;
  size_t keysCapacity = 0;
  RankTable table;

  ~SortScratch() {
    free(rows);
    free(texts);
    free(keyStart);
    free(order);
    free(keys);
    free(table.rows);
    free(table.ranks);
  }
};

// Appends the sort key of text to the scratch's keys; false when it cannot be built.
bool AppendSortKey(SortScratch* scratch, size_t* used, const wchar_t* text) {
  SortKeyBuilder build = KeyBuilder ? KeyBuilder : PlatformSortKey;
  for (;;) {
    const size_t room = scratch->keysCapacity - *used;
    const int capacity = room > INT32_MAX ? INT32_MAX : static_cast<int>(room);
    SetLastError(0);
    const int written = capacity > 0 ? build(text, scratch->keys + *used, capacity) : 0;
    if (written > 0) {
      *used += static_cast<size_t>(written);
      return true;
    }
    if (capacity > 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    const size_t grown = scratch->keysCapacity * 2 + 4096;
    if (grown > (static_cast<size_t>(1) << 31)) return false;
    unsigned char* keys = static_cast<unsigned char*>(realloc(scratch->keys, grown));
    if (!keys) return false;
    scratch->keys = keys;
    scratch->keysCapacity = grown;
  }
}

// Fills the rank table for the rows of the list; false when the plain sort must do.
bool RankRows(SortScratch* scratch, int count, int column) {
  const size_t n = static_cast<size_t>(count);
  scratch->texts = static_cast<const wchar_t**>(malloc(n * sizeof(const wchar_t*)));
  scratch->keyStart = static_cast<size_t*>(malloc((n + 1) * sizeof(size_t)));
  scratch->order = static_cast<int*>(malloc(n * sizeof(int)));
  if (!scratch->texts || !scratch->keyStart || !scratch->order) return false;
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    const wchar_t* text = CellText(reinterpret_cast<ResultRow>(scratch->rows[i]), column);
    scratch->texts[i] = text ? text : kEmptyText;
    scratch->keyStart[i] = used;
    if (!AppendSortKey(scratch, &used, scratch->texts[i])) return false;
    scratch->order[i] = static_cast<int>(i);
  }
  scratch->keyStart[n] = used;

  const unsigned char* keys = scratch->keys;
  const size_t* start = scratch->keyStart;
  std::sort(scratch->order, scratch->order + n, [keys, start](int a, int b) {
    const size_t lengthA = start[a + 1] - start[a];
    const size_t lengthB = start[b + 1] - start[b];
    const int c = memcmp(keys + start[a], keys + start[b], std::min(lengthA, lengthB));
    return c != 0 ? c < 0 : lengthA < lengthB;
  });

  size_t capacity = 16;
  while (capacity < 2 * n) capacity *= 2;
  RankTable& table = scratch->table;
  table.rows = static_cast<LPARAM*>(calloc(capacity, sizeof(LPARAM)));
  table.ranks = static_cast<int*>(malloc(capacity * sizeof(int)));
  if (!table.rows || !table.ranks) return false;
  table.mask = capacity - 1;
  int rank = 0;
  for (size_t k = 0; k < n; ++k) {
    const int item = scratch->order[k];
    if (k > 0) {
      const wchar_t* before = scratch->texts[scratch->order[k - 1]];
      const wchar_t* text = scratch->texts[item];
      const int c = wcscmp(before, text) == 0 ? 0 : lstrcmpiW(before, text);
      if (c > 0) return false;
      if (c < 0) ++rank;
    }
    const LPARAM row = scratch->rows[item];
    if (!row) {
      table.nullRank = rank;
      continue;
    }
    size_t slot = RankSlot(&table, row);
    while (table.rows[slot] != 0 && table.rows[slot] != row) slot = (slot + 1) & table.mask;
    table.rows[slot] = row;
    table.ranks[slot] = rank;
  }
  return true;
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

void SortResultList(HWND listView, int column) {
  const int count = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
  if (count > 1) {
    SortScratch scratch;
    scratch.rows = static_cast<LPARAM*>(malloc(static_cast<size_t>(count) * sizeof(LPARAM)));
    bool ranked = scratch.rows != nullptr;
    for (int i = 0; ranked && i < count; ++i)
      scratch.rows[i] = reinterpret_cast<LPARAM>(RowOfItem(listView, i));
    ranked = ranked && RankRows(&scratch, count, column);
    if (ranked) {
      SendMessageW(listView, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&scratch.table),
                   reinterpret_cast<LPARAM>(CompareRanks));
      return;
    }
  }
  SendMessageW(listView, LVM_SORTITEMS, static_cast<WPARAM>(column),
               reinterpret_cast<LPARAM>(CompareResultRows));
}

void SetSortKeyBuilderForTests(SortKeyBuilder builder) { KeyBuilder = builder; }

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
