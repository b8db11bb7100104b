// The pool of kept records. See record_pool.h for what is kept, for how long, and who may do
// what.
#include "db/record_pool.h"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

namespace {

constexpr size_t kIdentityBytes = 4096;

// One file's records: kept, or being filled by one search (which the others wait for).
struct PoolEntry {
  std::wstring path;
  uint16_t headerSize = 0;
  FileIdentity identity;
  std::shared_ptr<KeptRecords> records;
  bool kept = false;
  uint64_t lastUse = 0;
};

std::string ReadPiece(ExclusiveFile* file, uint64_t at, size_t count) {
  std::string bytes(count, '\0');
  if (!ExclusiveSeek(file, at)) return std::string();
  bytes.resize(ExclusiveRead(file, &bytes[0], count));
  return bytes;
}

}  // namespace

struct RecordPool {
  std::mutex lock;
  std::condition_variable filled;  // an entry being filled was kept or dropped
  size_t limit = 0;
  size_t bytes = 0;  // of the kept entries
  uint64_t uses = 0;
  std::list<PoolEntry> entries;
};

namespace {

std::list<PoolEntry>::iterator Find(RecordPool* pool, const std::wstring& path,
                                    uint16_t headerSize) {
  for (auto at = pool->entries.begin(); at != pool->entries.end(); ++at)
    if (at->headerSize == headerSize && at->path == path) return at;
  return pool->entries.end();
}

void Forget(RecordPool* pool, std::list<PoolEntry>::iterator at) {
  if (at->kept) pool->bytes -= at->records->cache.size;
  pool->entries.erase(at);
}

// The kept entries used longest ago go until the pool holds its limit again; keep stays.
void EvictDownToLimit(RecordPool* pool, const PoolEntry* keep) {
  while (pool->bytes > pool->limit) {
    auto oldest = pool->entries.end();
    for (auto at = pool->entries.begin(); at != pool->entries.end(); ++at)
      if (at->kept && &*at != keep &&
          (oldest == pool->entries.end() || at->lastUse < oldest->lastUse))
        oldest = at;
    if (oldest == pool->entries.end()) return;
    Forget(pool, oldest);
  }
}

}  // namespace

bool ReadFileIdentity(const wchar_t* path, FileIdentity* identity) {
  ExclusiveFile file;
  if (!OpenForReading(path, ShareWithAll, &file)) return false;
  const bool stamped = StampOpenFile(file, &identity->stamp);
  identity->head = ReadPiece(&file, 0, kIdentityBytes);
  const uint64_t size = identity->stamp.size;
  identity->tail = size > kIdentityBytes ? ReadPiece(&file, size - kIdentityBytes, kIdentityBytes)
                                         : std::string();
  ExclusiveClose(&file);
  return stamped;
}

bool SameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
  return SameStamp(a.stamp, b.stamp) && a.head == b.head && a.tail == b.tail;
}

RecordPool* NewRecordPool(size_t limit) {
  RecordPool* pool = new RecordPool();
  pool->limit = limit;
  return pool;
}

void FreeRecordPool(RecordPool* pool) { delete pool; }

void ClearRecordPool(RecordPool* pool) {
  std::lock_guard<std::mutex> held(pool->lock);
  pool->entries.clear();
  pool->bytes = 0;
  pool->filled.notify_all();
}

size_t RecordPoolBytes(RecordPool* pool) {
  std::lock_guard<std::mutex> held(pool->lock);
  return pool->bytes;
}

void ClaimKeptRecords(RecordPool* pool, const std::wstring& path, uint16_t headerSize,
                      PoolClaim* claim) {
  *claim = PoolClaim();
  if (pool->limit == 0 || !ReadFileIdentity(path.c_str(), &claim->identity)) return;
  claim->path = path;
  claim->headerSize = headerSize;
  std::unique_lock<std::mutex> held(pool->lock);
  for (;;) {
    auto at = Find(pool, path, headerSize);
    if (at != pool->entries.end() && !at->kept) {  // another search fills it: its turn first
      pool->filled.wait(held);
      continue;
    }
    if (at != pool->entries.end()) {
      if (SameFileIdentity(at->identity, claim->identity)) {
        at->lastUse = ++pool->uses;
        claim->kept = at->records;
        return;
      }
      Forget(pool, at);  // the file changed since
    }
    break;
  }
  PoolEntry entry;
  entry.path = path;
  entry.headerSize = headerSize;
  entry.identity = claim->identity;
  entry.records = std::make_shared<KeptRecords>();
  BeginRecordCache(&entry.records->cache, pool->limit);
  claim->filling = entry.records;
  pool->entries.push_back(std::move(entry));
}

void FinishKeptRecords(RecordPool* pool, PoolClaim* claim, bool readThrough) {
  if (claim->filling == nullptr) return;
  FileIdentity now;
  const bool keep = readThrough && FinishRecordCache(&claim->filling->cache) &&
                    ReadFileIdentity(claim->path.c_str(), &now) &&
                    SameFileIdentity(now, claim->identity);
  {
    std::lock_guard<std::mutex> held(pool->lock);
    for (auto at = pool->entries.begin(); at != pool->entries.end(); ++at) {
      if (at->records != claim->filling) continue;
      if (keep) {
        at->kept = true;
        at->lastUse = ++pool->uses;
        pool->bytes += at->records->cache.size;
        EvictDownToLimit(pool, &*at);
      } else {
        pool->entries.erase(at);
      }
      break;
    }
    pool->filled.notify_all();
  }
  claim->filling.reset();
}
