#include "search/result_store.h"

#include <climits>
#include <cstdlib>

namespace {

std::atomic<int> RowLimit{-1};

}  // namespace

bool AppendStoredRow(ResultStore* store, ResultRow row) {
  const int index = store->count.load(std::memory_order_relaxed);
  const int limit = RowLimit.load(std::memory_order_relaxed);
  if (index == INT_MAX || (limit >= 0 && index >= limit)) return false;
  ResultRow*& chunk = store->chunks[index >> kStoreChunkBits];
  if (chunk == nullptr) {
    chunk = static_cast<ResultRow*>(malloc(kStoreChunkRows * sizeof(ResultRow)));
    if (chunk == nullptr) return false;
  }
  chunk[index & (kStoreChunkRows - 1)] = row;
  // The row and its slot are complete before a reader can see the new count.
  store->count.store(index + 1, std::memory_order_release);
  return true;
}

void FreeStoredRows(ResultStore* store) {
  const int count = store->count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) FreeResultRow(StoredRow(store, i));
  for (ResultRow*& chunk : store->chunks) {
    free(chunk);
    chunk = nullptr;
  }
  store->count.store(0, std::memory_order_release);
}

void SetStoredRowLimitForTests(int rows) { RowLimit.store(rows); }
