// The pool of kept records: known by the file as it is, bounded in bytes with the records used
// longest ago going first, read by searches that outlive an eviction, and filled once when two
// first searches of a file come together.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "db/record_pool.h"
#include "test_support.h"

namespace {

// Claims the file and, when the claim is to fill, fills it with bytes as a search's reader
// would, read through to the end. Returns what the claim came to: 'k' kept, 'f' filled, '-'.
char ClaimAndFill(RecordPool* pool, const std::wstring& path, const std::string& bytes,
                  PoolClaim* claim) {
  ClaimKeptRecords(pool, path, 29, claim);
  if (claim->kept != nullptr) return 'k';
  if (claim->filling == nullptr) return '-';
  AppendToRecordCache(&claim->filling->cache, bytes.data(), bytes.size());
  claim->filling->cache.sourceEnded = true;
  FinishKeptRecords(pool, claim, true);
  return 'f';
}

std::string Held(const KeptRecords& kept) {
  std::string bytes;
  for (size_t i = 0; i < kept.cache.chunkCount; ++i)
    bytes.append(reinterpret_cast<const char*>(kept.cache.chunks[i]),
                 RecordCacheChunkLength(&kept.cache, i));
  return bytes;
}

}  // namespace

TEST(RecordPool, KeepsWhatWasReadThroughUntilTheFileChangesAndEvictsTheLeastRecentlyUsed) {
  TempDir dir;
  const std::wstring a = dir.File(L"a.zdb"), b = dir.File(L"b.zdb"), c = dir.File(L"c.zdb");
  for (const std::wstring& path : {a, b, c})
    ASSERT_TRUE(WriteFileBytes(path, "file " + PathToNative(path.c_str())));
  const std::string records(1000, 'r');
  RecordPool* pool = NewRecordPool(2500);  // two files' records, not three
  PoolClaim claim;
  EXPECT_EQ(ClaimAndFill(pool, a, records, &claim), 'f');
  EXPECT_EQ(ClaimAndFill(pool, b, records, &claim), 'f');
  EXPECT_EQ(ClaimAndFill(pool, a, records, &claim), 'k');  // a used after b
  PoolClaim reading;
  ASSERT_EQ(ClaimAndFill(pool, b, records, &reading), 'k');
  std::shared_ptr<const KeptRecords> held = reading.kept;
  EXPECT_EQ(ClaimAndFill(pool, a, records, &claim), 'k');
  EXPECT_EQ(ClaimAndFill(pool, c, records, &claim), 'f');  // b goes: used longest ago
  EXPECT_EQ(RecordPoolBytes(pool), 2000u);
  EXPECT_EQ(Held(*held), records);  // a search still reading b keeps its bytes
  EXPECT_EQ(ClaimAndFill(pool, b, records, &claim), 'f');

  // A file edited since, its size and modification time kept, is read anew.
  std::this_thread::sleep_for(std::chrono::milliseconds(25));  // a tick of the file clock
  FileStamp before;
  ASSERT_TRUE(StampFileAt(c.c_str(), &before));
  ASSERT_TRUE(WriteFileBytes(c, "file " + std::string(PathToNative(c.c_str()).size(), 'x')));
  EXPECT_EQ(ClaimAndFill(pool, c, records, &claim), 'f');

  // A stream not read through, or a file changed while it was read, is not kept.
  ClaimKeptRecords(pool, a, 30, &claim);  // another header size: another stream
  ASSERT_NE(claim.filling, nullptr);
  FinishKeptRecords(pool, &claim, false);
  ClaimKeptRecords(pool, a, 30, &claim);
  ASSERT_NE(claim.filling, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_TRUE(WriteFileBytes(a, "changed while it was read"));
  FinishKeptRecords(pool, &claim, true);
  EXPECT_EQ(ClaimAndFill(pool, a, records, &claim), 'f');
  FreeRecordPool(pool);
  EXPECT_EQ(Held(*held), records);  // and the pool's end too
}

// Two first searches of one file at once: one inflates, the other waits and reads what it kept;
// had the first kept nothing, the second fills it itself.
TEST(RecordPool, TwoFirstSearchesOfAFileInflateItOnce) {
  TempDir dir;
  const std::wstring path = dir.File(L"a.zdb");
  ASSERT_TRUE(WriteFileBytes(path, "the file"));
  for (const bool keep : {true, false}) {
    RecordPool* pool = NewRecordPool(1u << 20);
    PoolClaim first;
    ClaimKeptRecords(pool, path, 29, &first);
    ASSERT_NE(first.filling, nullptr);
    std::atomic<bool> claimed{false};
    PoolClaim second;
    std::thread other([&] {
      ClaimKeptRecords(pool, path, 29, &second);
      claimed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(claimed.load());  // it waits for the first
    AppendToRecordCache(&first.filling->cache, "records", 7);
    FinishKeptRecords(pool, &first, keep);
    other.join();
    if (keep) {
      ASSERT_NE(second.kept, nullptr);
      EXPECT_EQ(Held(*second.kept), "records");
    } else {
      EXPECT_NE(second.filling, nullptr);
      FinishKeptRecords(pool, &second, false);
    }
    FreeRecordPool(pool);
  }
}
