#include "search/result_store.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "db/thread_wait.h"

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

constexpr size_t kBlockCapacity = kRowBlockBytes - kBlockHeaderBytes;
// Blocks a supply keeps ready: at two the appending thread found one waiting at every block of
// a listing of every record, so more would only hold memory.
constexpr int kSuppliedAhead = 2;
// Touching one byte of each page of this size or smaller faults every page in.
constexpr size_t kTouchStride = 4096;

RowBlock* NewRowBlock(size_t capacity) {
  RowBlock* block = static_cast<RowBlock*>(malloc(kBlockHeaderBytes + capacity));
  if (block == nullptr) return nullptr;
  block->next = nullptr;
  block->used = 0;
  block->capacity = capacity;
  return block;
}

}  // namespace

struct RowBlockSupply {
  WaitLock lock;
  WakeUp wake;
  RowBlock* ready[kSuppliedAhead] = {};
  int readyCount = 0;
  bool stop = false;
  std::thread thread;
};

namespace {

void SupplyBlocks(RowBlockSupply* supply) {
  for (;;) {
    {
      std::unique_lock<WaitLock> held(supply->lock);
      supply->wake.wait(held,
                        [supply] { return supply->stop || supply->readyCount < kSuppliedAhead; });
      if (supply->stop) return;
    }
    RowBlock* block = NewRowBlock(kBlockCapacity);
    // Out of memory: the appending thread allocates, and finds out, on its own.
    if (block == nullptr) return;
    volatile char* bytes = reinterpret_cast<char*>(block);
    for (size_t at = kBlockHeaderBytes; at < kRowBlockBytes; at += kTouchStride) bytes[at] = 0;
    std::lock_guard<WaitLock> held(supply->lock);
    supply->ready[supply->readyCount++] = block;
  }
}

// A block made ahead by the store's supply, or nullptr when none is ready.
RowBlock* SuppliedBlock(RowBlockSupply* supply) {
  if (supply == nullptr) return nullptr;
  std::lock_guard<WaitLock> held(supply->lock);
  if (supply->readyCount == 0) return nullptr;
  RowBlock* block = supply->ready[--supply->readyCount];
  supply->wake.notify_all();
  return block;
}

// Room for bytes in the newest block, or in a new one; nullptr when memory runs out.
void* RowSpace(ResultStore* store, size_t bytes) {
  bytes = (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  RowBlock* block = store->blocks;
  if (block == nullptr || block->capacity - block->used < bytes) {
    block = bytes > kBlockCapacity ? nullptr : SuppliedBlock(store->supply);
    if (block == nullptr) block = NewRowBlock(bytes > kBlockCapacity ? bytes : kBlockCapacity);
    if (block == nullptr) return nullptr;
    block->next = store->blocks;
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

bool StartRowBlockSupply(ResultStore* store) {
  if (store->supply != nullptr) return true;
  RowBlockSupply* supply = new (std::nothrow) RowBlockSupply();
  if (supply == nullptr) return false;
  try {
    supply->thread = std::thread(SupplyBlocks, supply);
  } catch (const std::system_error&) {
    delete supply;
    return false;
  }
  store->supply = supply;
  return true;
}

void StopRowBlockSupply(ResultStore* store) {
  RowBlockSupply* supply = store->supply;
  if (supply == nullptr) return;
  {
    std::lock_guard<WaitLock> held(supply->lock);
    supply->stop = true;
    supply->wake.notify_all();
  }
  supply->thread.join();
  for (int k = 0; k < supply->readyCount; ++k) free(supply->ready[k]);
  delete supply;
  store->supply = nullptr;
}

int StoredRowBlocks(const ResultStore* store) {
  int blocks = 0;
  for (const RowBlock* block = store->blocks; block != nullptr; block = block->next) ++blocks;
  return blocks;
}
