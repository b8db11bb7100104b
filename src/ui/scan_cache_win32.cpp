// The kept records of the compressed database searched last. See scan_cache_win32.h for what is
// kept, when it is used and which thread may do what.
#include "ui/scan_cache_win32.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "db/file_system.h"

namespace {

constexpr size_t kLargestCache = size_t{1} << 30;
constexpr DWORD kIdentityBytes = 4096;

// What tells the file that was read from another one at the same path, or from itself edited:
// its stamp (the change time shows an edit that put the last-write time back), and its first
// and last bytes besides, for file systems whose times say little.
struct FileIdentity {
  FileStamp stamp;
  size_t headLength = 0;
  size_t tailLength = 0;
  unsigned char head[kIdentityBytes] = {};
  unsigned char tail[kIdentityBytes] = {};
};

enum CacheState { CacheEmpty, CacheFilling, CacheHeld };

CacheState State = CacheEmpty;
RecordCache Cache;
wchar_t CachedPath[kMaxPathChars] = {};
uint16_t CachedHeaderSize = 0;
FileIdentity CachedIdentity;
size_t LimitOverride = 0;
int FileScans = 0;
int MemoryScans = 0;

bool ReadIdentity(const wchar_t* path, FileIdentity* identity) {
  if (!StampFileAt(path, &identity->stamp)) return false;
  ExclusiveFile file;
  if (!OpenForReading(path, ShareWithAll, &file)) return false;
  identity->headLength = ExclusiveRead(&file, identity->head, kIdentityBytes);
  identity->tailLength = 0;
  const uint64_t size = identity->stamp.size;
  if (size > kIdentityBytes && ExclusiveSeek(&file, size - kIdentityBytes))
    identity->tailLength = ExclusiveRead(&file, identity->tail, kIdentityBytes);
  ExclusiveClose(&file);
  return true;
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
  return SameStamp(a.stamp, b.stamp) && a.headLength == b.headLength &&
         a.tailLength == b.tailLength && memcmp(a.head, b.head, a.headLength) == 0 &&
         memcmp(a.tail, b.tail, a.tailLength) == 0;
}

bool StillTheFileRead(const wchar_t* path) {
  static FileIdentity now;  // worker only; too large for its stack's comfort
  return ReadIdentity(path, &now) && SameIdentity(now, CachedIdentity);
}

// 1 GiB, or a quarter of the physical memory when that is less.
size_t CacheLimit() {
  if (LimitOverride != 0) return LimitOverride;
  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  if (!GlobalMemoryStatusEx(&memory)) return 0;
  const uint64_t quarter = memory.ullTotalPhys / 4;
  return quarter < kLargestCache ? static_cast<size_t>(quarter) : kLargestCache;
}

void FreeKept() {
  FreeRecordCache(&Cache);
  State = CacheEmpty;
  CachedPath[0] = L'\0';
}

}  // namespace

bool OpenCachedRecords(const wchar_t* path, const DatabaseHeader& header, RecordReader* reader) {
  if (State != CacheHeld) return false;
  if (wcscmp(path, CachedPath) != 0 || header.headerSize != CachedHeaderSize ||
      !StillTheFileRead(path)) {
    FreeKept();
    return false;
  }
  OpenRecordReaderOnCache(reader, &Cache);
  ++MemoryScans;
  return true;
}

void CacheRecordsOfScan(const wchar_t* path, const DatabaseHeader& header, RecordReader* reader) {
  ++FileScans;
  FreeKept();
  if (wcslen(path) >= static_cast<size_t>(kMaxPathChars) || !ReadIdentity(path, &CachedIdentity))
    return;
  BeginRecordCache(&Cache, CacheLimit());
  lstrcpynW(CachedPath, path, kMaxPathChars);
  CachedHeaderSize = header.headerSize;
  State = CacheFilling;
  TeeRecordReader(reader, &Cache);
}

void KeepScannedRecords(ScanEnd end) {
  if (State != CacheFilling) return;
  // An end in the record chain itself comes at the same byte for every search of these bytes;
  // the record count's end may come later for another search (its updates follow its rows), so
  // only a stream held to its own end stands for it. A stop, or a row without memory, keeps
  // nothing.
  const bool searchEnded = end == ScanStopped || end == ScanRowFailed;
  const bool readThrough =
      !searchEnded && (Cache.sourceEnded || end == ScanEndMark || end == ScanBadLength);
  if (readThrough && FinishRecordCache(&Cache) && StillTheFileRead(CachedPath)) {
    State = CacheHeld;
    return;
  }
  FreeKept();
}

void ReleaseScanCache() { FreeKept(); }

int CompressedFileScansForTests() { return FileScans; }

int CachedScansForTests() { return MemoryScans; }

size_t ScanCacheBytesForTests() { return State == CacheHeld ? Cache.size : 0; }

void SetScanCacheLimitForTests(size_t bytes) { LimitOverride = bytes; }

void ResetScanCacheForTests() {
  FreeKept();
  LimitOverride = 0;
  FileScans = 0;
  MemoryScans = 0;
}
