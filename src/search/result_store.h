// The rows of a search in list order: what a virtual list shows by index.
#pragma once
#include <atomic>
#include <cstddef>

#include "search/result_row.h"

// One thread appends (the search worker) while another reads (the UI thread): rows 0 .. count-1
// are complete and never move in memory, because the index grows by whole chunks that stay
// where they are. Appending is a pointer store and, once per chunk, an allocation; a list of
// millions of rows costs one pointer per row beyond the rows themselves.
constexpr int kStoreChunkBits = 16;
constexpr int kStoreChunkRows = 1 << kStoreChunkBits;
constexpr int kStoreChunks = (1 << (31 - kStoreChunkBits));
// The rows themselves are laid side by side in blocks of this size (a row larger than a block
// gets one of its own): two million rows are a few dozen allocations, not two million, and
// freeing them is as many releases. The blocks never move, so a row stays where it was laid.
constexpr size_t kRowBlockBytes = static_cast<size_t>(4) << 20;

struct RowBlock;
struct RowBlockSupply;

struct ResultStore {
  ResultRow* chunks[kStoreChunks] = {};
  std::atomic<int> count{0};
  RowBlock* blocks = nullptr;  // the newest first; the appending thread's own until freed
  // A test's limit: the store refuses rows beyond this many, as if memory had run out
  // (negative: none but memory's).
  std::atomic<int> rowLimit{-1};
  RowBlockSupply* supply = nullptr;  // StartRowBlockSupply's, while it runs
  size_t chunkBrought = 0;           // bytes of the newest chunk whose pages are in
};

// The appending thread: lays out the row of the table's displayed values as row number count.
// False when there is no room (memory runs out, or the test limit is reached): nothing of the
// row stays then.
bool AppendStoredRow(ResultStore* store, const FieldTable* table);
// Row i; i must lie below a count read beforehand.
inline ResultRow& StoredRow(ResultStore* store, int index) {
  return store->chunks[index >> kStoreChunkBits][index & (kStoreChunkRows - 1)];
}
// Frees every row, their blocks and the chunks; the store is empty afterwards. Nobody may
// append meanwhile.
void FreeStoredRows(ResultStore* store);
// Fresh memory costs a page fault at the first touch of each of its pages: for a listing of a
// whole city the faults cost the appending thread as much as decoding and laying out the rows
// themselves (bench/README.md). While a supply runs, a thread of its own allocates the next
// blocks and touches their pages ahead of the appending thread, which takes them ready. Started
// and stopped by the appending thread; false (rows are laid as without it) when no thread can be
// had. Stopping frees the blocks made ahead and not taken.
bool StartRowBlockSupply(ResultStore* store);
void StopRowBlockSupply(ResultStore* store);
// A block of kRowBlockBytes made ahead by the store's running supply, for memory other than rows
// that the appending thread fills meanwhile (a ChunkSource's take, record_cache.h); nullptr when
// none is ready. free() releases it.
void* TakeSuppliedMemory(void* store);
// How many blocks hold the rows now (what freeing them costs).
int StoredRowBlocks(const ResultStore* store);
