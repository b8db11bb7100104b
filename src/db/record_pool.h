// The kept records of compressed databases, shared by every search of a program: a search of a
// file that has not changed since reads the records an earlier search inflated, from memory
// (record_cache.h), instead of inflating the file again.
//
// What is kept: the record bytes of a search that read its stream through (to the end mark, a
// record length of 0, or the stream's end, damage and cuts included: then the bytes it
// delivered and that end), of a file that did not change while it was read. The pool holds at
// most its limit in bytes; the records used longest ago go first. A search that reads kept
// records holds them (a shared pointer): they outlive their eviction, and the pool's, until that
// search lets go.
//
// Which file: the path and the header's size, and the file as it was read (its stamp: size,
// modification and change times, number; and its first and last 4 KiB, for file systems whose
// times say little). A file that changed is read anew, and so is one that changed while it was
// being read.
//
// Threads: any number of searches claim, fill and read at once. One lock guards the pool's
// list, and no file is read under it. Two first searches of one file do not both inflate it:
// the second waits for the first, then reads what it kept (or, when it kept nothing, fills it
// itself).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "db/file_system.h"
#include "db/record_cache.h"

// What tells the file that was read from another one at its path, or from itself edited.
struct FileIdentity {
  FileStamp stamp;
  std::string head;  // its first and last bytes (up to 4 KiB each)
  std::string tail;
};
bool ReadFileIdentity(const wchar_t* path, FileIdentity* identity);
bool SameFileIdentity(const FileIdentity& a, const FileIdentity& b);

// One file's kept records. Once kept they never change.
struct KeptRecords {
  RecordCache cache;
  KeptRecords() = default;
  KeptRecords(const KeptRecords&) = delete;
  KeptRecords& operator=(const KeptRecords&) = delete;
  ~KeptRecords() { FreeRecordCache(&cache); }
};

struct RecordPool;
// A pool that keeps at most limit bytes (0: nothing at all).
RecordPool* NewRecordPool(size_t limit);
// Frees the pool; kept records that searches still read stay until they let go.
void FreeRecordPool(RecordPool* pool);
// Forgets every kept record (a search reading some keeps them until it lets go). No search may
// be filling.
void ClearRecordPool(RecordPool* pool);
// Bytes the pool holds now.
size_t RecordPoolBytes(RecordPool* pool);

// A search's claim on one file of the pool: either records to read (kept), or records to fill
// (filling: tee the search's reader into filling->cache, then FinishKeptRecords), or neither
// (the file cannot be looked at, or the pool keeps nothing).
struct PoolClaim {
  std::shared_ptr<const KeptRecords> kept;
  std::shared_ptr<KeptRecords> filling;
  std::wstring path;
  uint16_t headerSize = 0;
  FileIdentity identity;  // the file when it was claimed
};
void ClaimKeptRecords(RecordPool* pool, const std::wstring& path, uint16_t headerSize,
                      PoolClaim* claim);
// The filling search ended: readThrough when its reader read the stream to the end (see above).
// Keeps the records when the file is still as claimed, frees them otherwise; wakes the searches
// that wait for them. Does nothing for a claim that fills nothing.
void FinishKeptRecords(RecordPool* pool, PoolClaim* claim, bool readThrough);
