#include "search/result_store.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "db/file_system.h"
#include "db/thread_wait.h"

struct RowBlock {
  RowBlock* next;
  size_t used;
  size_t capacity;
  size_t brought;  // bytes of the room whose pages are in (PopulateAsFilled)
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
// Blocks the appending thread lays on memory of its own before a supply makes any: a listing
// that needs no more leaves no block made ahead, in full, behind its last row.
constexpr int kOwnBlocksFirst = 4;
// The appending thread brings its own memory in this far ahead of its rows.
constexpr size_t kBringStep = static_cast<size_t>(256) << 10;
constexpr size_t kChunkBringStep = static_cast<size_t>(64) << 10;

RowBlock* StartRowBlock(void* memory, size_t capacity, size_t brought) {
  RowBlock* block = static_cast<RowBlock*>(memory);
  if (block == nullptr) return nullptr;
  block->next = nullptr;
  block->used = 0;
  block->capacity = capacity;
  block->brought = brought;
  return block;
}

RowBlock* NewRowBlock(size_t capacity) {
  return StartRowBlock(malloc(kBlockHeaderBytes + capacity), capacity, 0);
}

}  // namespace

struct RowBlockSupply {
  WaitLock lock;
  WakeUp wake;
  void* ready[kSuppliedAhead] = {};  // kRowBlockBytes each, every page touched
  int readyCount = 0;
  int ownBlocks = 0;   // taken by the appending thread before the supply began
  bool begun = false;  // making blocks: after kOwnBlocksFirst of its own
  bool stop = false;
  std::thread thread;
};

namespace {

void SupplyBlocks(RowBlockSupply* supply) {
  for (;;) {
    {
      std::unique_lock<WaitLock> held(supply->lock);
      supply->wake.wait(held, [supply] {
        return supply->stop || (supply->begun && supply->readyCount < kSuppliedAhead);
      });
      if (supply->stop) return;
    }
    void* block = malloc(kRowBlockBytes);
    // Out of memory: the appending thread allocates, and finds out, on its own.
    if (block == nullptr) return;
    PopulateMemory(block, kRowBlockBytes);
    // And written once: in a virtual machine the first write to a page the system has just
    // brought in was measured to cost far more than the next (the host backing it, we take it),
    // and it is the appending thread's time that the listing waits for (bench/README.md).
    memset(block, 0, kRowBlockBytes);
    std::lock_guard<WaitLock> held(supply->lock);
    supply->ready[supply->readyCount++] = block;
  }
}

// Memory made ahead by the store's supply, or nullptr when none is ready.
void* SuppliedBlock(RowBlockSupply* supply) {
  if (supply == nullptr) return nullptr;
  std::lock_guard<WaitLock> held(supply->lock);
  if (!supply->begun) {
    if (++supply->ownBlocks < kOwnBlocksFirst) return nullptr;
    supply->begun = true;
    supply->wake.notify_all();
  }
  if (supply->readyCount == 0) return nullptr;
  void* block = supply->ready[--supply->readyCount];
  supply->wake.notify_all();
  return block;
}

// Room for bytes in the newest block, or in a new one; nullptr when memory runs out.
void* RowSpace(ResultStore* store, size_t bytes) {
  bytes = (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  RowBlock* block = store->blocks;
  if (block == nullptr || block->capacity - block->used < bytes) {
    block = bytes > kBlockCapacity
                ? nullptr
                : StartRowBlock(SuppliedBlock(store->supply), kBlockCapacity, kBlockCapacity);
    if (block == nullptr) block = NewRowBlock(bytes > kBlockCapacity ? bytes : kBlockCapacity);
    if (block == nullptr) return nullptr;
    block->next = store->blocks;
    store->blocks = block;
  }
  char* room = reinterpret_cast<char*>(block) + kBlockHeaderBytes;
  void* space = room + block->used;
  block->used += bytes;
  PopulateAsFilled(room, block->capacity, block->used, kBringStep, &block->brought);
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
    store->chunkBrought = 0;
  }
  const size_t slot = index & (kStoreChunkRows - 1);
  PopulateAsFilled(chunk, kStoreChunkRows * sizeof(ResultRow), (slot + 1) * sizeof(ResultRow),
                   kChunkBringStep, &store->chunkBrought);
  ResultRowLayout layout;
  MeasureResultRow(table, &layout);
  void* space = RowSpace(store, layout.bytes);
  if (space == nullptr) return false;
  chunk[slot] = LayOutResultRow(layout, space);
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

void* TakeSuppliedMemory(void* store) {
  return SuppliedBlock(static_cast<ResultStore*>(store)->supply);
}

int StoredRowBlocks(const ResultStore* store) {
  int blocks = 0;
  for (const RowBlock* block = store->blocks; block != nullptr; block = block->next) ++blocks;
  return blocks;
}
