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
PoolClaim Claim;  // the search's: what it reads, or fills
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

// A search that filled and never told how it ended (its file did not open) keeps nothing; the
// records the last search read go with it.
void LetGoOfClaim() {
  if (Pool != nullptr) FinishKeptRecords(Pool, &Claim, false);
  Claim = PoolClaim();
}

}  // namespace

bool OpenCachedRecords(const wchar_t* path, const DatabaseHeader& header, RecordReader* reader) {
  LetGoOfClaim();
  if (Pool == nullptr) Pool = NewRecordPool(CacheLimit());
  // An empty pool keeps nothing to read: the file is first opened for its records, and looked
  // at for the pool only then (CacheRecordsOfScan), so a file that cannot be opened is tried once.
  if (wcslen(path) >= static_cast<size_t>(kMaxPathChars) || RecordPoolBytes(Pool) == 0)
    return false;
  ClaimKeptRecords(Pool, path, header.headerSize, &Claim);
  if (Claim.kept == nullptr) return false;
  OpenRecordReaderOnCache(reader, &Claim.kept->cache);
  ++MemoryScans;
  return true;
}

void CacheRecordsOfScan(const wchar_t* path, const DatabaseHeader& header, RecordReader* reader) {
  ++FileScans;
  if (Claim.filling == nullptr && Pool != nullptr &&
      wcslen(path) < static_cast<size_t>(kMaxPathChars))
    ClaimKeptRecords(Pool, path, header.headerSize, &Claim);
  if (Claim.filling != nullptr) TeeRecordReader(reader, &Claim.filling->cache);
}

void KeepScannedRecords(ScanEnd end) {
  if (Claim.filling == nullptr) return;
  // An end in the record chain itself comes at the same byte for every search of these bytes;
  // the record count's end may come later for another search (its updates follow its rows), so
  // only a stream held to its own end stands for it. A stop, or a row without memory, keeps
  // nothing.
  const bool searchEnded = end == ScanStopped || end == ScanRowFailed;
  const bool readThrough = !searchEnded && (Claim.filling->cache.sourceEnded ||
                                            end == ScanEndMark || end == ScanBadLength);
  FinishKeptRecords(Pool, &Claim, readThrough);
}

void ReleaseScanCache() {
  LetGoOfClaim();
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
