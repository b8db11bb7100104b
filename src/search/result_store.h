// The rows of a search in list order: what a virtual list shows by index.
#pragma once
#include <atomic>

#include "search/result_row.h"

// One thread appends (the search worker) while another reads (the UI thread): rows 0 .. count-1
// are complete and never move in memory, because the index grows by whole chunks that stay
// where they are. Appending is a pointer store and, once per chunk, an allocation; a list of
// millions of rows costs one pointer per row beyond the rows themselves.
constexpr int kStoreChunkBits = 16;
constexpr int kStoreChunkRows = 1 << kStoreChunkBits;
constexpr int kStoreChunks = (1 << (31 - kStoreChunkBits));

struct ResultStore {
  ResultRow* chunks[kStoreChunks] = {};
  std::atomic<int> count{0};
};

// The appending thread: takes ownership of row as row number count. False when there is no
// room (memory runs out, or the test limit is reached): the row then stays the caller's.
bool AppendStoredRow(ResultStore* store, ResultRow row);
// Row i; i must lie below a count read beforehand.
inline ResultRow& StoredRow(ResultStore* store, int index) {
  return store->chunks[index >> kStoreChunkBits][index & (kStoreChunkRows - 1)];
}
// Frees every row and the chunks; the store is empty afterwards. Nobody may append meanwhile.
void FreeStoredRows(ResultStore* store);

// Test seam: the store refuses rows beyond this many, as if memory had run out (a negative
// limit restores the real one).
void SetStoredRowLimitForTests(int rows);
