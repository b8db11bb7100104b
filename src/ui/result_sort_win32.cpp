// Sorting the result rows by a clicked column, case-insensitive in the user's locale
// (lstrcmpiW), rows with equal texts keeping the order they had, so that a click leaves the rows
// exactly where a list view's own sort with CompareResultRows would leave them (that sort is a
// stable merge sort). The first click on a column sorts it ascending; a second click on the
// same column sorts it in reverse, equal texts again keeping their order; the header's arrow
// shows which.
//
// The rows are sorted in the store itself; the list, which holds no items, then shows them in
// their new order. Calling lstrcmpiW for each comparison of a sort costs a million and a half
// calls for 100,000 rows, about a second under Wine, so the order comes from ranks instead:
// each distinct text of the column gets its rank among the distinct texts (equal ranks for texts
// that lstrcmpiW finds equal), and a stable counting sort by rank puts the rows in order in one
// pass. A city's two million rows hold far fewer distinct texts (surnames with initials,
// streets, house numbers repeat), so the texts are first gathered once each in a hash table.
//
// The ranks come from the platform's sort keys, whose byte order is that of the comparison they
// are built for, and are then checked against lstrcmpiW itself: walking the distinct texts in
// key order, each must compare no greater than the next (which, the comparison being an order,
// proves the whole walk sorted), and a rank goes up exactly where lstrcmpiW finds the next text
// greater. Should any pair disagree, or memory for the keys run short, the rows are sorted with
// lstrcmpiW directly.
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

// The distinct texts of a column and, for each row, which of them it holds.
struct DistinctTexts {
  const wchar_t** texts = nullptr;  // by distinct text
  uint32_t* hashes = nullptr;       // by distinct text
  int* ofRow = nullptr;             // by row: its distinct text
  int count = 0;
  int* slots = nullptr;  // the hash table: distinct texts, -1 where empty
  size_t slotMask = 0;

  ~DistinctTexts() {
    free(texts);
    free(hashes);
    free(ofRow);
    free(slots);
  }
};

uint32_t HashText(const wchar_t* text) {
  uint32_t hash = 2166136261u;
  for (; *text; ++text) hash = (hash ^ static_cast<uint32_t>(*text)) * 16777619u;
  return hash;
}

// A table twice the size of what it holds, so that probes stay short; it starts small and
// grows with the distinct texts, so that it stays in the cache when they are few.
bool GrowSlots(DistinctTexts* distinct, size_t size) {
  int* slots = static_cast<int*>(malloc(size * sizeof(int)));
  if (!slots) return false;
  memset(slots, 0xFF, size * sizeof(int));
  const size_t mask = size - 1;
  for (int d = 0; d < distinct->count; ++d) {
    size_t at = distinct->hashes[d] & mask;
    while (slots[at] >= 0) at = (at + 1) & mask;
    slots[at] = d;
  }
  free(distinct->slots);
  distinct->slots = slots;
  distinct->slotMask = mask;
  return true;
}

// Gathers the distinct texts of the rows' column; false when memory runs short.
bool GatherDistinctTexts(ResultRow* rows, int count, int column, DistinctTexts* distinct) {
  const size_t n = static_cast<size_t>(count);
  distinct->texts = static_cast<const wchar_t**>(malloc(n * sizeof(const wchar_t*)));
  distinct->hashes = static_cast<uint32_t*>(malloc(n * sizeof(uint32_t)));
  distinct->ofRow = static_cast<int*>(malloc(n * sizeof(int)));
  if (!distinct->texts || !distinct->hashes || !distinct->ofRow) return false;
  if (!GrowSlots(distinct, 1024)) return false;
  for (size_t i = 0; i < n; ++i) {
    const wchar_t* text = SortText(rows[i], column);
    const uint32_t hash = HashText(text);
    size_t at = hash & distinct->slotMask;
    int found = -1;
    for (; distinct->slots[at] >= 0; at = (at + 1) & distinct->slotMask) {
      const int d = distinct->slots[at];
      if (distinct->hashes[d] == hash && wcscmp(distinct->texts[d], text) == 0) {
        found = d;
        break;
      }
    }
    if (found < 0) {
      found = distinct->count++;
      distinct->texts[found] = text;
      distinct->hashes[found] = hash;
      distinct->slots[at] = found;
      const size_t size = distinct->slotMask + 1;
      if (static_cast<size_t>(distinct->count) * 2 > size && !GrowSlots(distinct, size * 2))
        return false;
    }
    distinct->ofRow[i] = found;
  }
  return true;
}

// The sort keys of the distinct texts, one after another.
struct SortKeys {
  size_t* start = nullptr;  // by distinct text, into bytes; one more for the end
  unsigned char* bytes = nullptr;
  size_t capacity = 0;

  ~SortKeys() {
    free(start);
    free(bytes);
  }
};

// Appends the sort key of text to the keys; false when it cannot be built.
bool AppendSortKey(SortKeys* keys, size_t* used, const wchar_t* text) {
  SortKeyBuilder build = KeyBuilder ? KeyBuilder : PlatformSortKey;
  for (;;) {
    const size_t room = keys->capacity - *used;
    const int capacity = room > INT32_MAX ? INT32_MAX : static_cast<int>(room);
    SetLastError(0);
    const int written = capacity > 0 ? build(text, keys->bytes + *used, capacity) : 0;
    if (written > 0) {
      *used += static_cast<size_t>(written);
      return true;
    }
    if (capacity > 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    const size_t grown = keys->capacity * 2 + 4096;
    if (grown > (static_cast<size_t>(1) << 31)) return false;
    unsigned char* bytes = static_cast<unsigned char*>(realloc(keys->bytes, grown));
    if (!bytes) return false;
    keys->bytes = bytes;
    keys->capacity = grown;
  }
}

// Fills rank[d] for each distinct text; returns the number of distinct ranks, or 0 when the
// ranks cannot be had and lstrcmpiW must sort.
int RankDistinctTexts(const DistinctTexts& distinct, int* rank) {
  const size_t n = static_cast<size_t>(distinct.count);
  SortKeys keys;
  keys.start = static_cast<size_t*>(malloc((n + 1) * sizeof(size_t)));
  int* byKey = static_cast<int*>(malloc(n * sizeof(int)));
  if (!keys.start || !byKey) {
    free(byKey);
    return 0;
  }
  size_t used = 0;
  for (size_t d = 0; d < n; ++d) {
    keys.start[d] = used;
    if (!AppendSortKey(&keys, &used, distinct.texts[d])) {
      free(byKey);
      return 0;
    }
    byKey[d] = static_cast<int>(d);
  }
  keys.start[n] = used;

  const unsigned char* bytes = keys.bytes;
  const size_t* start = keys.start;
  std::sort(byKey, byKey + n, [bytes, start](int a, int b) {
    const size_t lengthA = start[a + 1] - start[a];
    const size_t lengthB = start[b + 1] - start[b];
    const int c = memcmp(bytes + start[a], bytes + start[b], std::min(lengthA, lengthB));
    return c != 0 ? c < 0 : lengthA < lengthB;
  });

  int ranks = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k > 0) {
      const int c = lstrcmpiW(distinct.texts[byKey[k - 1]], distinct.texts[byKey[k]]);
      if (c > 0) {
        free(byKey);
        return 0;
      }
      if (c < 0) ++ranks;
    }
    rank[byKey[k]] = ranks;
  }
  free(byKey);
  return n > 0 ? ranks + 1 : 0;
}

// Fills ranks[i] for row i of rows, highest first when descending; returns the number of
// distinct ranks, or 0 when the ranks cannot be had and lstrcmpiW must sort.
int RankRows(ResultRow* rows, int count, int column, bool descending, int* ranks) {
  DistinctTexts distinct;
  if (!GatherDistinctTexts(rows, count, column, &distinct)) return 0;
  int* rank = static_cast<int*>(malloc(static_cast<size_t>(distinct.count) * sizeof(int)));
  if (!rank) return 0;
  const int rankCount = RankDistinctTexts(distinct, rank);
  if (rankCount > 0) {
    for (int i = 0; i < count; ++i) {
      const int r = rank[distinct.ofRow[i]];
      ranks[i] = descending ? rankCount - 1 - r : r;
    }
  }
  free(rank);
  return rankCount;
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
  // Ctrl+A's selection of a long list covers every row sorted: it stays as it is.
  const int selected = WholeSelectionRows() > 0 ? listed : SelectedRowCount();
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
void SortRows(HWND listView, ResultStore* store, int count, int column, bool descending) {
  ResultRow* rows = static_cast<ResultRow*>(malloc(static_cast<size_t>(count) * sizeof(ResultRow)));
  int* ranks = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  int* order = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  if (rows && ranks && order) {
    for (int i = 0; i < count; ++i) rows[i] = StoredRow(store, i);
    const int rankCount = RankRows(rows, count, column, descending, ranks);
    if (rankCount == 0 || !OrderByRank(ranks, count, rankCount, order)) {
      for (int i = 0; i < count; ++i) order[i] = i;
      std::stable_sort(order, order + count, [rows, column, descending](int a, int b) {
        const int c = lstrcmpiW(SortText(rows[a], column), SortText(rows[b], column));
        return descending ? c > 0 : c < 0;
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

// The column the rows are sorted by (-1: file order) and in which direction.
int SortedColumn = -1;
bool SortedDescending = false;

// The header's arrow shows the sorted column and its direction; no other column has one.
void ShowSortArrow(HWND listView) {
  HWND header =
      listView ? reinterpret_cast<HWND>(SendMessageW(listView, LVM_GETHEADER, 0, 0)) : nullptr;
  if (!header) return;
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < columns; ++i) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    if (!SendMessageW(header, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item))) continue;
    int format = item.fmt & ~(HDF_SORTUP | HDF_SORTDOWN);
    if (i == SortedColumn) format |= SortedDescending ? HDF_SORTDOWN : HDF_SORTUP;
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
  const bool descending = column == SortedColumn && !SortedDescending;
  const int count = SortableRowCount();
  // Rows listed after Ctrl+A are not in its selection; the list keeps it while they are sorted.
  if (WholeSelectionRows() > 0 && WholeSelectionRows() != count) EndWholeSelection(true);
  const ListWork work = BeginListWork(count);
  if (count > 1) SortRows(listView, ResultRowStore(), count, column, descending);
  SortedColumn = column;
  SortedDescending = descending;
  ShowSortArrow(listView);
  ShowSortedRows();
  EndListWork(work);
}

void ForgetResultSort() {
  SortedColumn = -1;
  SortedDescending = false;
  ShowSortArrow(ResultListView);
}

void SetSortKeyBuilderForTests(SortKeyBuilder builder) { KeyBuilder = builder; }
