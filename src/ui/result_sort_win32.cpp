// Sorting the result rows by a clicked column, case-insensitive in the user's locale
// (lstrcmpiW), rows with equal texts keeping the order they had, so that a click leaves the rows
// exactly where a list view's own sort with CompareResultRows would leave them (that sort is a
// stable merge sort). The first click on a column sorts it ascending; a second click on the
// same column sorts it in reverse, equal texts again keeping their order; the header's arrow
// shows which.
//
// The portable sort (search/result_sort.cpp) makes the order, from ranks that the platform's
// sort keys give and lstrcmpiW checks; the list shows the rows through it, the store itself
// stays in file order.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <cstdlib>

#include "search/result_row.h"
#include "search/result_sort.h"
#include "ui/app_globals_win32.h"
#include "ui/pages_win32.h"
#include "ui/result_list_win32.h"

namespace {

wchar_t kEmptyText[] = L"";

SortKeyBuilder KeyBuilder = nullptr;

const wchar_t* SortText(ResultRow row, int column) {
  if (!row || column < 0 || column >= TheFieldTable.displayCount || !row[column]) return kEmptyText;
  return row[column];
}

// The sort key of lstrcmpiW's comparison: case ignored, in the user's locale.
int PlatformSortKey(const wchar_t* text, unsigned char* key, int capacity) {
  return LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text, -1,
                      reinterpret_cast<LPWSTR>(key), capacity);
}

int CompareLikeTheList(void*, const wchar_t* a, const wchar_t* b) { return lstrcmpiW(a, b); }

int ListSortKey(void*, const wchar_t* text, unsigned char* key, int capacity) {
  SortKeyBuilder build = KeyBuilder ? KeyBuilder : PlatformSortKey;
  SetLastError(0);
  const int written = build(text, key, capacity);
  if (written > 0) return written;
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? kSortKeyNeedsRoom : 0;
}

TextCollation ListCollation() {
  TextCollation collation;
  collation.compare = CompareLikeTheList;
  collation.sortKey = ListSortKey;
  return collation;
}

// The list keeps selection and focus by index: they follow their rows to their new places, as
// they would in a list of items.
void MoveSelection(HWND listView, const ResultOrder& was, const ResultOrder& now) {
  const int count = now.count;
  const int listed = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
  // Ctrl+A's selection of a long list covers every row sorted: it stays as it is.
  const int selected = WholeSelectionRows() > 0 ? listed : SelectedRowCount();
  const int focused = static_cast<int>(
      SendMessageW(listView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  if ((selected <= 0 || selected >= listed) && focused < 0) return;
  // place[r]: where row r goes; the rows sorted are 0 .. count-1, whatever their order before.
  int* place = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  if (!place) return;
  for (int k = 0; k < count; ++k) place[now.rows[k]] = k;
  if (selected > 0 && selected < listed) {
    int* picked = static_cast<int*>(malloc(static_cast<size_t>(selected) * sizeof(int)));
    if (picked) {
      int found = 0;
      for (int i = -1; found < selected;) {
        i = static_cast<int>(
            SendMessageW(listView, LVM_GETNEXTITEM, static_cast<WPARAM>(i), LVNI_SELECTED));
        if (i < 0) break;
        picked[found++] = i;
      }
      LVITEMW clear = {};
      clear.stateMask = LVIS_SELECTED;
      SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&clear));
      for (int s = 0; s < found; ++s) {
        if (picked[s] >= count) continue;
        LVITEMW set = {};
        set.stateMask = LVIS_SELECTED;
        set.state = LVIS_SELECTED;
        SendMessageW(listView, LVM_SETITEMSTATE,
                     static_cast<WPARAM>(place[OrderedRow(was, picked[s])]),
                     reinterpret_cast<LPARAM>(&set));
      }
      free(picked);
    }
  }
  if (focused >= 0 && focused < count) {
    LVITEMW focus = {};
    focus.stateMask = LVIS_FOCUSED;
    focus.state = LVIS_FOCUSED;
    SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(place[OrderedRow(was, focused)]),
                 reinterpret_cast<LPARAM>(&focus));
  }
  free(place);
}

// The header's arrow shows the sorted column and its direction; no other column has one.
void ShowSortArrow(HWND listView) {
  HWND header =
      listView ? reinterpret_cast<HWND>(SendMessageW(listView, LVM_GETHEADER, 0, 0)) : nullptr;
  if (!header) return;
  const ResultOrder& order = ShownResultOrder();
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < columns; ++i) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    if (!SendMessageW(header, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item))) continue;
    int format = item.fmt & ~(HDF_SORTUP | HDF_SORTDOWN);
    if (i == order.column) format |= order.descending ? HDF_SORTDOWN : HDF_SORTUP;
    if (format == item.fmt) continue;
    item.fmt = format;
    SendMessageW(header, HDM_SETITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
}

}  // namespace

int CALLBACK CompareResultRows(LPARAM rowA, LPARAM rowB, LPARAM column) {
  const int c = static_cast<int>(column);
  return lstrcmpiW(SortText(reinterpret_cast<ResultRow>(rowA), c),
                   SortText(reinterpret_cast<ResultRow>(rowB), c));
}

void SortResultList(HWND listView, int column) {
  const ResultOrder& shown = ShownResultOrder();
  const bool descending = column == shown.column && !shown.descending;
  const int count = SortableRowCount();
  // Rows listed after Ctrl+A are not in its selection; the list keeps it while they are sorted.
  if (WholeSelectionRows() > 0 && WholeSelectionRows() != count) EndWholeSelection(true);
  const ListWork work = BeginListWork(count);
  ResultOrder sorted;
  if (SortResultRows(ResultRowStore(), count, TheFieldTable.displayCount, shown, column, descending,
                     ListCollation(), &sorted) != SortPath::NotSorted) {
    if (listView) MoveSelection(listView, shown, sorted);
    ShowSortedRows(&sorted);
  } else {
    // Without room for the sort's bookkeeping the rows stay as they are.
    MarkShownOrder(column, descending);
    ShowSortedRows(nullptr);
  }
  ShowSortArrow(listView);
  EndListWork(work);
}

void ForgetResultSort() { ShowSortArrow(ResultListView); }

void SetSortKeyBuilderForTests(SortKeyBuilder builder) { KeyBuilder = builder; }
