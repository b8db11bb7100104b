// The kept records of the compressed database searched last, in a pool of the program's own
// (db/record_pool.h). See scan_cache_win32.h for what is kept, when it is used and which thread
// may do what.
#include "ui/scan_cache_win32.h"

#include <windows.h>

#include <cstdint>

#include "db/record_pool.h"

namespace {

constexpr size_t kLargestCache = size_t{1} << 30;

// The worker's, while it runs; the UI thread's only with no worker alive.
RecordPool* Pool = nullptr;
size_t LimitOverride = 0;
int FileScans = 0;
int MemoryScans = 0;

// 1 GiB, or a quarter of the physical memory when that is less.
size_t CacheLimit() {
  if (LimitOverride != 0) return LimitOverride;
  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  if (!GlobalMemoryStatusEx(&memory)) return 0;
  const uint64_t quarter = memory.ullTotalPhys / 4;
  return quarter < kLargestCache ? static_cast<size_t>(quarter) : kLargestCache;
}

}  // namespace

RecordPool* ScanCachePool() {
  if (Pool == nullptr) Pool = NewRecordPool(CacheLimit());
  return Pool;
}

void CountCompressedScan(bool fromPool) { ++(fromPool ? MemoryScans : FileScans); }

void ReleaseScanCache() {
  if (Pool != nullptr) ClearRecordPool(Pool);
}

int CompressedFileScansForTests() { return FileScans; }

int CachedScansForTests() { return MemoryScans; }

size_t ScanCacheBytesForTests() { return Pool != nullptr ? RecordPoolBytes(Pool) : 0; }

void SetScanCacheLimitForTests(size_t bytes) {
  ReleaseScanCache();
  FreeRecordPool(Pool);
  Pool = nullptr;
  LimitOverride = bytes;
}

void ResetScanCacheForTests() {
  SetScanCacheLimitForTests(0);
  FileScans = 0;
  MemoryScans = 0;
}
