// The inflated records of the compressed database searched last, kept in memory so that the next
// search of the same file scans them there instead of inflating the file again: the program's
// own pool of kept records (db/record_pool.h; the bytes and the reader on them:
// db/record_cache.h), emptied at every schema load, so it holds the selected database's.
//
// What is kept: the record bytes of a scan that read its stream through, to the end mark, to a
// record length of 0, or to the stream's end (a cut or damaged file included: then the bytes it
// delivered and that end). A scan that was stopped, that the record count or a row the store
// could not take ended early, or whose stream reached the bound keeps nothing. The bound is
// 1 GiB or a quarter of the physical memory, whichever is less.
//
// When it is used: only for the same path, and only while the file is the one that was read:
// the same size, last-write and change times, file number and first and last 4 KiB. A file that
// changed is read anew, and so is one that changed while it was being read.
//
// Threads: the search worker fills, checks and reads the cache, and only while it runs; the UI
// thread releases it, and only when no worker runs (ClearSchema, which every schema load and
// every other database selected go through, and the shutdown, after the worker is joined).
#pragma once
#include <cstddef>

#include "db/record_pool.h"

// Worker: the pool its search reads kept records from and keeps them in (Search does both: a
// file's records are kept when its scan read them through and the file is unchanged).
RecordPool* ScanCachePool();
// Worker: a search of a compressed file ended; fromPool: its records came from the pool.
void CountCompressedScan(bool fromPool);
// UI thread, no worker alive: frees the kept records.
void ReleaseScanCache();

// Test seams. Scans of a compressed file from the file, and from the kept records, since the
// last reset.
int CompressedFileScansForTests();
int CachedScansForTests();
// The bytes kept now (0 when nothing is).
size_t ScanCacheBytesForTests();
// A bound in bytes instead of the program's own (0 restores it).
void SetScanCacheLimitForTests(size_t bytes);
// Releases the cache and puts the counts and the bound back. No worker alive.
void ResetScanCacheForTests();
