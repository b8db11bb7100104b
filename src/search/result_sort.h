// Sorting a result set by a column: an order of its rows for one reader, the rows themselves
// untouched, so that any number of readers see orders of their own of one store while its
// writer appends.
#pragma once
#include <cstdlib>
#include <memory>

#include "search/result_store.h"

// How texts compare: the comparison itself, and optionally its sort keys, whose byte order
// (memcmp, a key that is the start of a longer one first) is the comparison's. The GUI plugs in
// the platform's case-insensitive comparison in the user's locale; a server, its own.
constexpr int kSortKeyNeedsRoom = -1;
struct TextCollation {
  void* context = nullptr;
  // Below, at or above 0 as a comes before, with or after b. Must be an order.
  int (*compare)(void* context, const wchar_t* a, const wchar_t* b) = nullptr;
  // Writes text's sort key into at most capacity bytes and returns how many it wrote;
  // kSortKeyNeedsRoom when more room would do, 0 when there is no key. Null: no keys.
  int (*sortKey)(void* context, const wchar_t* text, unsigned char* key, int capacity) = nullptr;
};

// One reader's order of a result set: place k shows row rows[k] for k below count; the places
// from count on show their own rows (rows appended after the sort, in the order they came).
struct FreeOrderRows {
  void operator()(int* rows) const { free(rows); }
};
struct ResultOrder {
  std::unique_ptr<int[], FreeOrderRows> rows;
  int count = 0;
  int column = -1;  // -1: not sorted
  bool descending = false;
};

// The row an order shows at place (which must lie below a row count read beforehand).
inline int OrderedRow(const ResultOrder& order, int place) {
  return place < order.count ? order.rows[place] : place;
}

// Which way a sort went: by ranks from the sort keys (checked against the comparison), by the
// comparison alone (no keys, keys that disagree with it, or no memory for them), or not at all
// (no memory for its bookkeeping).
enum class SortPath { ByRank, ByComparison, NotSorted };

// order[k] = which of texts 0 .. count-1 goes to place k: ascending or descending by the
// collation, equal texts keeping their order.
SortPath OrderTexts(const wchar_t* const* texts, int count, bool descending,
                    const TextCollation& collation, int* order);

// Sorts the first count rows of the store (count read beforehand, and at least from.count) as
// from shows them, by the column's texts (a row has `columns` texts; a missing one sorts as
// empty): *sorted gets the new order. NotSorted leaves *sorted as it was.
SortPath SortResultRows(ResultStore* store, int count, int columns, const ResultOrder& from,
                        int column, bool descending, const TextCollation& collation,
                        ResultOrder* sorted);
