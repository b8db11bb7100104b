#include "search/result_store.h"

#include <climits>
#include <cstdlib>

struct RowBlock {
  RowBlock* next;
  size_t used;
  size_t capacity;
};

namespace {

// Rows start at pointer alignment, and so does the room behind the block's own header.
constexpr size_t kRowAlignment = alignof(wchar_t*);
constexpr size_t kBlockHeaderBytes =
    (sizeof(RowBlock) + kRowAlignment - 1) / kRowAlignment * kRowAlignment;

// Room for bytes in the newest block, or in a new one; nullptr when memory runs out.
void* RowSpace(ResultStore* store, size_t bytes) {
  bytes = (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  RowBlock* block = store->blocks;
  if (block == nullptr || block->capacity - block->used < bytes) {
    const size_t capacity =
        bytes > kRowBlockBytes - kBlockHeaderBytes ? bytes : kRowBlockBytes - kBlockHeaderBytes;
    block = static_cast<RowBlock*>(malloc(kBlockHeaderBytes + capacity));
    if (block == nullptr) return nullptr;
    block->next = store->blocks;
    block->used = 0;
    block->capacity = capacity;
    store->blocks = block;
  }
  void* space = reinterpret_cast<char*>(block) + kBlockHeaderBytes + block->used;
  block->used += bytes;
  return space;
}

}  // namespace

bool AppendStoredRow(ResultStore* store, const FieldTable* table) {
  const int index = store->count.load(std::memory_order_relaxed);
  const int limit = store->rowLimit.load(std::memory_order_relaxed);
  if (index == INT_MAX || (limit >= 0 && index >= limit)) return false;
  ResultRow*& chunk = store->chunks[index >> kStoreChunkBits];
  if (chunk == nullptr) {
    chunk = static_cast<ResultRow*>(malloc(kStoreChunkRows * sizeof(ResultRow)));
    if (chunk == nullptr) return false;
  }
  ResultRowLayout layout;
  MeasureResultRow(table, &layout);
  void* space = RowSpace(store, layout.bytes);
  if (space == nullptr) return false;
  chunk[index & (kStoreChunkRows - 1)] = LayOutResultRow(layout, space);
  // The row and its slot are complete before a reader can see the new count.
  store->count.store(index + 1, std::memory_order_release);
  return true;
}

void FreeStoredRows(ResultStore* store) {
  while (store->blocks != nullptr) {
    RowBlock* next = store->blocks->next;
    free(store->blocks);
    store->blocks = next;
  }
  for (ResultRow*& chunk : store->chunks) {
    free(chunk);
    chunk = nullptr;
  }
  store->count.store(0, std::memory_order_release);
}

int StoredRowBlocks(const ResultStore* store) {
  int blocks = 0;
  for (const RowBlock* block = store->blocks; block != nullptr; block = block->next) ++blocks;
  return blocks;
}
