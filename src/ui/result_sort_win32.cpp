// Sorting the result rows by a clicked column: ascending, case-insensitive in the user's locale
// (lstrcmpiW), rows with equal texts keeping the order they had, so that a click leaves the rows
// exactly where a list view's own sort with CompareResultRows would leave them (that sort is a
// stable merge sort).
//
// The rows are sorted in the store itself; the list, which holds no items, then shows them in
// their new order. Calling lstrcmpiW for each comparison of a sort costs a million and a half
// calls for 100,000 rows, about a second under Wine, so the order comes from ranks instead:
// each row's text gets its rank among the texts (equal ranks for texts that lstrcmpiW finds
// equal), and a stable counting sort by rank puts the rows in order in one pass.
//
// The ranks come from the platform's sort keys, whose byte order is that of the comparison they
// are built for, and are then checked against lstrcmpiW itself: walking the texts in key order,
// each must compare no greater than the next (which, the comparison being an order, proves the
// whole walk sorted), and a rank goes up exactly where lstrcmpiW finds the next text greater.
// Should any pair disagree, or memory for the keys run short, the rows are sorted with lstrcmpiW
// directly.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "search/result_row.h"
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

// The ranking's working memory, all of it released when the sort is done.
struct RankScratch {
  const wchar_t** texts = nullptr;  // by row
  size_t* keyStart = nullptr;       // by row, into keys; one more for the end
  int* byKey = nullptr;             // rows in key order
  unsigned char* keys = nullptr;
  size_t keysCapacity = 0;

  ~RankScratch() {
    free(texts);
    free(keyStart);
    free(byKey);
    free(keys);
  }
};

// Appends the sort key of text to the scratch's keys; false when it cannot be built.
bool AppendSortKey(RankScratch* scratch, size_t* used, const wchar_t* text) {
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

// Fills ranks[i] for row i of rows; returns the number of distinct ranks, or 0 when the ranks
// cannot be had and lstrcmpiW must sort.
int RankRows(ResultRow* rows, int count, int column, int* ranks) {
  const size_t n = static_cast<size_t>(count);
  RankScratch scratch;
  scratch.texts = static_cast<const wchar_t**>(malloc(n * sizeof(const wchar_t*)));
  scratch.keyStart = static_cast<size_t*>(malloc((n + 1) * sizeof(size_t)));
  scratch.byKey = static_cast<int*>(malloc(n * sizeof(int)));
  if (!scratch.texts || !scratch.keyStart || !scratch.byKey) return 0;
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    scratch.texts[i] = SortText(rows[i], column);
    scratch.keyStart[i] = used;
    if (!AppendSortKey(&scratch, &used, scratch.texts[i])) return 0;
    scratch.byKey[i] = static_cast<int>(i);
  }
  scratch.keyStart[n] = used;

  const unsigned char* keys = scratch.keys;
  const size_t* start = scratch.keyStart;
  std::sort(scratch.byKey, scratch.byKey + n, [keys, start](int a, int b) {
    const size_t lengthA = start[a + 1] - start[a];
    const size_t lengthB = start[b + 1] - start[b];
    const int c = memcmp(keys + start[a], keys + start[b], std::min(lengthA, lengthB));
    return c != 0 ? c < 0 : lengthA < lengthB;
  });

  int rank = 0;
  for (size_t k = 0; k < n; ++k) {
    const int row = scratch.byKey[k];
    if (k > 0) {
      const wchar_t* before = scratch.texts[scratch.byKey[k - 1]];
      const wchar_t* text = scratch.texts[row];
      const int c = wcscmp(before, text) == 0 ? 0 : lstrcmpiW(before, text);
      if (c > 0) return 0;
      if (c < 0) ++rank;
    }
    ranks[row] = rank;
  }
  return rank + 1;
}

// order[k] = the row that goes to place k: by rank, equal ranks in their present order.
bool OrderByRank(const int* ranks, int count, int rankCount, int* order) {
  int* next = static_cast<int*>(calloc(static_cast<size_t>(rankCount) + 1, sizeof(int)));
  if (!next) return false;
  for (int i = 0; i < count; ++i) ++next[ranks[i] + 1];
  for (int r = 0; r < rankCount; ++r) next[r + 1] += next[r];
  for (int i = 0; i < count; ++i) order[next[ranks[i]]++] = i;
  free(next);
  return true;
}

// The list keeps selection and focus by index: they follow their rows to their new places, as
// they would in a list of items.
void MoveSelection(HWND listView, const int* order, int count) {
  const int listed = static_cast<int>(SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0));
  const int selected = static_cast<int>(SendMessageW(listView, LVM_GETSELECTEDCOUNT, 0, 0));
  const int focused = static_cast<int>(
      SendMessageW(listView, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  if ((selected <= 0 || selected >= listed) && focused < 0) return;
  int* place = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  if (!place) return;
  for (int k = 0; k < count; ++k) place[order[k]] = k;
  if (selected > 0 && selected < listed) {
    int* was = static_cast<int*>(malloc(static_cast<size_t>(selected) * sizeof(int)));
    if (was) {
      int found = 0;
      for (int i = -1; found < selected;) {
        i = static_cast<int>(
            SendMessageW(listView, LVM_GETNEXTITEM, static_cast<WPARAM>(i), LVNI_SELECTED));
        if (i < 0) break;
        was[found++] = i;
      }
      LVITEMW clear = {};
      clear.stateMask = LVIS_SELECTED;
      SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&clear));
      for (int s = 0; s < found; ++s) {
        if (was[s] >= count) continue;
        LVITEMW set = {};
        set.stateMask = LVIS_SELECTED;
        set.state = LVIS_SELECTED;
        SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(place[was[s]]),
                     reinterpret_cast<LPARAM>(&set));
      }
      free(was);
    }
  }
  if (focused >= 0 && focused < count) {
    LVITEMW focus = {};
    focus.stateMask = LVIS_FOCUSED;
    focus.state = LVIS_FOCUSED;
    SendMessageW(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(place[focused]),
                 reinterpret_cast<LPARAM>(&focus));
  }
  free(place);
}

// Puts rows 0 .. count-1 of the store in order, with the texts themselves when no ranks could
// be had.
void SortRows(HWND listView, ResultStore* store, int count, int column) {
  ResultRow* rows = static_cast<ResultRow*>(malloc(static_cast<size_t>(count) * sizeof(ResultRow)));
  int* ranks = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  int* order = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  if (rows && ranks && order) {
    for (int i = 0; i < count; ++i) rows[i] = StoredRow(store, i);
    const int rankCount = RankRows(rows, count, column, ranks);
    if (rankCount == 0 || !OrderByRank(ranks, count, rankCount, order)) {
      for (int i = 0; i < count; ++i) order[i] = i;
      std::stable_sort(order, order + count, [rows, column](int a, int b) {
        return lstrcmpiW(SortText(rows[a], column), SortText(rows[b], column)) < 0;
      });
    }
    for (int k = 0; k < count; ++k) StoredRow(store, k) = rows[order[k]];
    if (listView) MoveSelection(listView, order, count);
  }
  // Without room for the sort's bookkeeping the rows stay as they are.
  free(rows);
  free(ranks);
  free(order);
}

}  // namespace

int CALLBACK CompareResultRows(LPARAM rowA, LPARAM rowB, LPARAM column) {
  const int c = static_cast<int>(column);
  return lstrcmpiW(SortText(reinterpret_cast<ResultRow>(rowA), c),
                   SortText(reinterpret_cast<ResultRow>(rowB), c));
}

void SortResultList(HWND listView, int column) {
  const int count = SortableRowCount();
  if (count > 1) SortRows(listView, ResultRowStore(), count, column);
  ShowSortedRows();
}

void SetSortKeyBuilderForTests(SortKeyBuilder builder) { KeyBuilder = builder; }
