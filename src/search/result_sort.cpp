// Calling the comparison for each comparison of a sort costs a million and a half calls for
// 100,000 rows (about a second for the platform's comparison under Wine), so the order comes
// from ranks instead: each distinct text of the column gets its rank among the distinct texts
// (equal ranks for texts that the comparison finds equal), and a stable counting sort by rank
// puts the rows in order in one pass. A city's two million rows hold far fewer distinct texts
// (surnames with initials, streets, house numbers repeat), so the texts are first gathered once
// each in a hash table.
//
// The ranks come from the collation's sort keys and are then checked against the comparison
// itself: walking the distinct texts in key order, each must compare no greater than the next
// (which, the comparison being an order, proves the whole walk sorted), and a rank goes up
// exactly where the comparison finds the next text greater. Should any pair disagree, or memory
// for the keys run short, the texts are sorted with the comparison directly.
#include "search/result_sort.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

const wchar_t kEmptyText[] = L"";

// The distinct texts and, for each text sorted, which of them it is.
struct DistinctTexts {
  const wchar_t** texts = nullptr;  // by distinct text
  uint32_t* hashes = nullptr;       // by distinct text
  int* ofText = nullptr;            // by text sorted: its distinct text
  int count = 0;
  int* slots = nullptr;  // the hash table: distinct texts, -1 where empty
  size_t slotMask = 0;

  ~DistinctTexts() {
    free(texts);
    free(hashes);
    free(ofText);
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

// Gathers the distinct texts; false when memory runs short.
bool GatherDistinctTexts(const wchar_t* const* texts, int count, DistinctTexts* distinct) {
  const size_t n = static_cast<size_t>(count);
  distinct->texts = static_cast<const wchar_t**>(malloc(n * sizeof(const wchar_t*)));
  distinct->hashes = static_cast<uint32_t*>(malloc(n * sizeof(uint32_t)));
  distinct->ofText = static_cast<int*>(malloc(n * sizeof(int)));
  if (!distinct->texts || !distinct->hashes || !distinct->ofText) return false;
  if (!GrowSlots(distinct, 1024)) return false;
  for (size_t i = 0; i < n; ++i) {
    const wchar_t* text = texts[i];
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
    distinct->ofText[i] = found;
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
bool AppendSortKey(const TextCollation& collation, SortKeys* keys, size_t* used,
                   const wchar_t* text) {
  for (;;) {
    const size_t room = keys->capacity - *used;
    const int capacity = room > INT32_MAX ? INT32_MAX : static_cast<int>(room);
    const int written =
        capacity > 0 ? collation.sortKey(collation.context, text, keys->bytes + *used, capacity)
                     : kSortKeyNeedsRoom;
    if (written > 0) {
      // A key longer than its room would mean bytes written past it: trust none of them.
      if (written > capacity) return false;
      *used += static_cast<size_t>(written);
      return true;
    }
    if (written != kSortKeyNeedsRoom) return false;
    const size_t grown = keys->capacity * 2 + 4096;
    if (grown > (static_cast<size_t>(1) << 31)) return false;
    unsigned char* bytes = static_cast<unsigned char*>(realloc(keys->bytes, grown));
    if (!bytes) return false;
    keys->bytes = bytes;
    keys->capacity = grown;
  }
}

// Fills rank[d] for each distinct text; returns the number of distinct ranks, or 0 when the
// ranks cannot be had and the comparison must sort.
int RankDistinctTexts(const DistinctTexts& distinct, const TextCollation& collation, int* rank) {
  if (!collation.sortKey) return 0;
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
    if (!AppendSortKey(collation, &keys, &used, distinct.texts[d])) {
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
      const int c = collation.compare(collation.context, distinct.texts[byKey[k - 1]],
                                      distinct.texts[byKey[k]]);
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

// Fills ranks[i] for text i, highest first when descending; returns the number of distinct
// ranks, or 0 when the ranks cannot be had and the comparison must sort.
int RankTexts(const wchar_t* const* texts, int count, bool descending,
              const TextCollation& collation, int* ranks) {
  DistinctTexts distinct;
  if (!GatherDistinctTexts(texts, count, &distinct)) return 0;
  int* rank = static_cast<int*>(malloc(static_cast<size_t>(distinct.count) * sizeof(int)));
  if (!rank) return 0;
  const int rankCount = RankDistinctTexts(distinct, collation, rank);
  if (rankCount > 0) {
    for (int i = 0; i < count; ++i) {
      const int r = rank[distinct.ofText[i]];
      ranks[i] = descending ? rankCount - 1 - r : r;
    }
  }
  free(rank);
  return rankCount;
}

// order[k] = the text that goes to place k: by rank, equal ranks in their present order.
bool OrderByRank(const int* ranks, int count, int rankCount, int* order) {
  int* next = static_cast<int*>(calloc(static_cast<size_t>(rankCount) + 1, sizeof(int)));
  if (!next) return false;
  for (int i = 0; i < count; ++i) ++next[ranks[i] + 1];
  for (int r = 0; r < rankCount; ++r) next[r + 1] += next[r];
  for (int i = 0; i < count; ++i) order[next[ranks[i]]++] = i;
  free(next);
  return true;
}

const wchar_t* SortText(ResultRow row, int column, int columns) {
  if (!row || column < 0 || column >= columns || !row[column]) return kEmptyText;
  return row[column];
}

}  // namespace

SortPath OrderTexts(const wchar_t* const* texts, int count, bool descending,
                    const TextCollation& collation, int* order) {
  if (count <= 0) return SortPath::ByRank;
  int* ranks = static_cast<int*>(malloc(static_cast<size_t>(count) * sizeof(int)));
  if (!ranks) return SortPath::NotSorted;
  const int rankCount = RankTexts(texts, count, descending, collation, ranks);
  const bool ranked = rankCount > 0 && OrderByRank(ranks, count, rankCount, order);
  free(ranks);
  if (ranked) return SortPath::ByRank;
  for (int i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order, order + count, [texts, descending, &collation](int a, int b) {
    const int c = collation.compare(collation.context, texts[a], texts[b]);
    return descending ? c > 0 : c < 0;
  });
  return SortPath::ByComparison;
}

SortPath SortResultRows(ResultStore* store, int count, int columns, const ResultOrder& from,
                        int column, bool descending, const TextCollation& collation,
                        ResultOrder* sorted) {
  // Rows an order showed stay readable: the store only grows until it is freed.
  if (count < from.count) count = from.count;
  const size_t n = static_cast<size_t>(count > 0 ? count : 0);
  const wchar_t** texts = static_cast<const wchar_t**>(malloc((n ? n : 1) * sizeof(wchar_t*)));
  int* byPlace = static_cast<int*>(malloc((n ? n : 1) * sizeof(int)));
  int* rows = static_cast<int*>(malloc((n ? n : 1) * sizeof(int)));
  SortPath path = SortPath::NotSorted;
  if (texts && byPlace && rows) {
    for (int k = 0; k < count; ++k)
      texts[k] = SortText(StoredRow(store, OrderedRow(from, k)), column, columns);
    path = OrderTexts(texts, count, descending, collation, byPlace);
  }
  if (path != SortPath::NotSorted) {
    for (int k = 0; k < count; ++k) rows[k] = OrderedRow(from, byPlace[k]);
    sorted->rows.reset(rows);
    rows = nullptr;
    sorted->count = count;
    sorted->column = column;
    sorted->descending = descending;
  }
  free(texts);
  free(byPlace);
  free(rows);
  return path;
}
