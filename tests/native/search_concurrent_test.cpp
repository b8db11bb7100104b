// Searches running at once, as a server runs them: each thread opens, prepares and scans on its
// own, several of them the same file, and every one lists exactly what the same search lists
// alone. Built with ThreadSanitizer (the native-tsan preset), these also prove that no two
// searches share anything they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/query_criteria.h"
#include "search/result_row.h"
#include "search/scan_loop.h"
#include "search/search.h"
#include "search/search_batcher.h"
#include "test_support.h"

namespace {

struct Listed {
  std::vector<std::wstring> cells;  // every cell of every row, row after row
  std::vector<std::pair<int, int>> statuses;
  ScanOutcome outcome;
  bool opened = false;
};

void OnStatus(void* context, int results, int scanned) {
  static_cast<Listed*>(context)->statuses.emplace_back(results, scanned);
}

int OnRow(void* context, const FieldTable* table, int, int) {
  Listed* listed = static_cast<Listed*>(context);
  ResultRow row = BuildResultRow(table);
  if (row == nullptr) return -1;
  for (int k = 0; k < table->displayCount; ++k) listed->cells.push_back(row[k]);
  FreeResultRow(row);
  return 0;
}

// One search as a server runs it: the file loaded, the query prepared from what was typed, the
// file shared with other readers and read ahead (a plain file viewed in place, a compressed one
// inflated on the reader's own threads), its records kept in the pool when there is one.
Listed SearchAlone(const std::wstring& path, const std::vector<std::wstring>& typed,
                   RecordPool* pool = nullptr) {
  Listed listed;
  const std::shared_ptr<const Database> database = LoadDatabase(path, nullptr, nullptr, nullptr);
  if (database == nullptr) return listed;
  SearchSink sink;
  sink.context = &listed;
  sink.statusUpdate = OnStatus;
  sink.appendRow = OnRow;
  SearchOptions options;
  options.read = ReadView;
  options.pool = pool;
  options.keepPlainFiles = pool != nullptr;
  const SearchOutcome outcome =
      Search(*database, {PrepareTypedQuery(*database, typed)}, sink, options);
  listed.outcome = outcome.scan;
  listed.opened = outcome.failure == 0;
  return listed;
}

void ExpectSame(const Listed& got, const Listed& alone, const std::string& what) {
  EXPECT_TRUE(got.opened) << what;
  EXPECT_EQ(got.outcome.scanned, alone.outcome.scanned) << what;
  EXPECT_EQ(got.outcome.results, alone.outcome.results) << what;
  EXPECT_EQ(got.outcome.end, alone.outcome.end) << what;
  EXPECT_EQ(got.statuses, alone.statuses) << what;
  EXPECT_TRUE(got.cells == alone.cells) << what;
}

}  // namespace

// Four threads, each running every search of a list in its own order, over one plain file, one
// single-member .zdb and one series: the searches of one file overlap, and none is refused as
// busy.
TEST(ConcurrentSearch, SearchesOfOneFileAndOfSeveralAtOnceListWhatEachListsAlone) {
  TempDir dir;
  std::mt19937 random(20261209);
  const std::vector<DatabaseRecord> city = RandomSubscribers(random, 60000);
  const std::wstring plain = dir.File(L"city.db");
  const std::wstring series = dir.File(L"city.zdb");   // over 1 MiB: a series of members
  const std::wstring small = dir.File(L"town.zdb");    // one member
  const std::wstring other = dir.File(L"village.db");  // plain, and kept in the pool too
  ASSERT_TRUE(WriteFixture(plain, FixtureOptions(VariantPlain), city));
  ASSERT_TRUE(WriteFixture(series, FixtureOptions(VariantZdb), city));
  ASSERT_TRUE(WriteFixture(small, FixtureOptions(VariantZdb),
                           std::vector<DatabaseRecord>(city.begin(), city.begin() + 5000)));
  ASSERT_TRUE(WriteFixture(other, FixtureOptions(VariantPlain),
                           std::vector<DatabaseRecord>(city.begin() + 5000, city.begin() + 9000)));
  struct Search {
    std::wstring path;
    std::vector<std::wstring> criteria;
  };
  std::vector<Search> searches;
  for (const std::wstring& path : {plain, series, small, other}) {
    searches.push_back({path, {}});
    searches.push_back({path, {L"", L"\x041F\x0415\x0422"}});  // a name prefix
    searches.push_back({path, {L"12"}});                       // a piece of the phone
    searches.push_back({path, {L"", L"*\x041E\x0412*"}});      // a pattern
  }
  std::vector<Listed> alone;
  for (const Search& s : searches) alone.push_back(SearchAlone(s.path, s.criteria));
  ASSERT_GT(alone[1].outcome.results, 0);

  // How many bytes the town's records take in a pool.
  RecordPool* measure = NewRecordPool(size_t{1} << 30);
  SearchAlone(small, {}, measure);
  const size_t town = RecordPoolBytes(measure);
  FreeRecordPool(measure);
  ASSERT_GT(town, 0u);
  // Without a pool; then with one that holds the town's records or the village's but not both
  // (nor the city's), so that each evicts the other while searches still read it.
  for (const size_t limit : {size_t{0}, town + town / 4}) {
    RecordPool* pool = limit == 0 ? nullptr : NewRecordPool(limit);
    constexpr int kThreads = 4;
    std::vector<std::vector<Listed>> got(kThreads, std::vector<Listed>(searches.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      std::vector<size_t> order(searches.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), random);
      threads.emplace_back([&, t, order] {
        for (size_t i : order)
          got[t][i] = SearchAlone(searches[i].path, searches[i].criteria, pool);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
      for (size_t i = 0; i < searches.size(); ++i)
        ExpectSame(got[t][i], alone[i],
                   "pool " + std::to_string(limit) + ", thread " + std::to_string(t) + ", search " +
                       std::to_string(i));
    if (pool != nullptr) {
      EXPECT_GT(RecordPoolBytes(pool), 0u);
      FreeRecordPool(pool);
    }
  }
}

// Searches that arrive while a walk of their file runs wait and go together in the next walk:
// each lists what it lists alone, and a search stopped before its walk begins ends alone.
TEST(ConcurrentSearch, SearchesThatWaitForAWalkShareTheNextOneAndListWhatEachListsAlone) {
  TempDir dir;
  std::mt19937 random(20261210);
  const std::wstring plain = dir.File(L"city.db"), town = dir.File(L"town.zdb");
  const std::vector<DatabaseRecord> city = RandomSubscribers(random, 30000);
  ASSERT_TRUE(WriteFixture(plain, FixtureOptions(VariantPlain), city));
  ASSERT_TRUE(WriteFixture(town, FixtureOptions(VariantZdb),
                           std::vector<DatabaseRecord>(city.begin(), city.begin() + 3000)));
  // The fourth search is of another file: it waits in the same line but walks on its own; the
  // third asks to walk alone.
  constexpr size_t kAlone = 2;
  const std::vector<std::vector<std::wstring>> typed = {
      {},     {L"", L"\x041F\x0415\x0422"}, {L"12"}, {L"", L"\x041F"}, {L"", L"*\x041E\x0412*"},
      {L"12"}};
  const std::vector<std::wstring> paths = {plain, plain, plain, town, plain, plain};
  std::vector<Listed> alone;
  for (size_t i = 0; i < typed.size(); ++i) alone.push_back(SearchAlone(paths[i], typed[i]));
  ASSERT_GT(alone[1].outcome.results, 0);
  ASSERT_GT(alone[3].outcome.results, 0);

  const std::shared_ptr<const Database> databases[] = {
      LoadDatabase(plain, nullptr, nullptr, nullptr),
      LoadDatabase(town, nullptr, nullptr, nullptr)};
  ASSERT_NE(databases[0], nullptr);
  ASSERT_NE(databases[1], nullptr);
  SearchBatcher* batcher = NewSearchBatcher(1, 8, static_cast<int>(typed.size()) - 1);
  // The first search's walk holds at its start until the others wait in line behind it.
  struct Held {
    Listed listed;
    SearchBatcher* batcher;
    std::shared_ptr<const Database> database;
    int others;
    SearchOutcome refused;
    std::atomic<bool>* leading;
  };
  std::vector<Held> got(typed.size());
  std::atomic<int> stopped{1};
  std::atomic<bool> leading{false};
  auto run = [&](size_t i) {
    got[i].batcher = batcher;
    got[i].leading = &leading;
    got[i].database = databases[0];
    got[i].others = static_cast<int>(typed.size()) - 1;
    SearchSink sink;
    sink.context = &got[i];
    if (i == 0)
      sink.begin = [](void* context) {
        Held* held = static_cast<Held*>(context);
        held->leading->store(true);
        while (SearchesWaiting(held->batcher) < held->others) std::this_thread::yield();
        // The line is full and the one walk busy: one more is refused at once.
        held->refused =
            SearchTogether(held->batcher, held->database, Query(), SearchSink(), SearchOptions());
      };
    sink.appendRow = [](void* context, const FieldTable* table, int query, int results) {
      return OnRow(&static_cast<Held*>(context)->listed, table, query, results);
    };
    sink.statusUpdate = [](void* context, int results, int scanned) {
      OnStatus(&static_cast<Held*>(context)->listed, results, scanned);
    };
    SearchOptions options;
    options.read = ReadView;
    options.stop = i == typed.size() - 1 ? &stopped : nullptr;
    const std::shared_ptr<const Database>& database = databases[paths[i] == town ? 1 : 0];
    const SearchOutcome outcome = SearchTogether(
        batcher, database, PrepareTypedQuery(*database, typed[i]), sink, options, i == kAlone);
    got[i].listed.outcome = outcome.scan;
    got[i].listed.opened = outcome.failure == 0;
  };
  std::vector<std::thread> threads;
  // The others start once the first one's walk has begun: else one of them might lead, and the
  // first one, going along in a later walk, would wait for searches in that very walk.
  threads.emplace_back(run, 0);
  while (!leading.load()) std::this_thread::yield();
  for (size_t i = 1; i < typed.size(); ++i) threads.emplace_back(run, i);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(SearchesWaiting(batcher), 0);
  EXPECT_EQ(got[0].refused.failure, kSearchRefusedBusy);

  // A sink that throws ends its walk for every search in it, which all end, and the line goes
  // on; the records it was filling into the pool are let go, so the next search reads the file
  // (and keeps it), and nothing of the thrown search is left (the sanitizers' build checks).
  SearchBatcher* throwing = NewSearchBatcher(1, 8, 4);
  RecordPool* pool = NewRecordPool(size_t{1} << 30);
  SearchOptions kept;
  kept.pool = pool;
  kept.keepPlainFiles = true;
  SearchSink throws;
  throws.appendRow = [](void*, const FieldTable*, int, int) -> int { throw std::bad_alloc(); };
  const SearchOutcome thrown = SearchTogether(throwing, databases[0], Query(), throws, kept);
  EXPECT_EQ(thrown.failure, 3);
  EXPECT_EQ(RecordPoolBytes(pool), 0u);
  const SearchOutcome after = SearchTogether(throwing, databases[0], Query(), SearchSink(), kept);
  EXPECT_EQ(after.failure, 0);
  EXPECT_FALSE(after.fromPool);
  EXPECT_EQ(after.scan.results, alone[0].outcome.results);
  EXPECT_GT(RecordPoolBytes(pool), 0u);
  FreeRecordPool(pool);
  FreeSearchBatcher(throwing);
  FreeSearchBatcher(batcher);
  for (size_t i = 0; i + 1 < typed.size(); ++i) {
    const Listed& listed = got[i].listed;
    EXPECT_TRUE(listed.opened) << i;
    EXPECT_EQ(listed.outcome.scanned, alone[i].outcome.scanned) << i;
    EXPECT_EQ(listed.outcome.results, alone[i].outcome.results) << i;
    EXPECT_EQ(listed.outcome.end, alone[i].outcome.end) << i;
    EXPECT_TRUE(listed.cells == alone[i].cells) << i;
  }
  // Walking alone, a search reports exactly as Search does.
  EXPECT_EQ(got[kAlone].listed.statuses, alone[kAlone].statuses);
  // The same query as the one before it, stopped: nothing listed, and it says it was stopped.
  EXPECT_EQ(got.back().listed.outcome.end, ScanStopped);
  EXPECT_EQ(got.back().listed.outcome.results, 0);
  EXPECT_TRUE(got.back().listed.cells.empty());
}

// While another walk runs, the leader of the next one waits for more searches of its file (up to
// the walk's size) before it walks: searches that come one by one then go in its one walk. (The
// wait is a minute here, so that nothing depends on timing: the third search ends it.)
TEST(ConcurrentSearch, TheNextWalkGathersSearchesThatComeWhileAnotherRuns) {
  TempDir dir;
  std::mt19937 random(20261211);
  const std::wstring plain = dir.File(L"city.db");
  ASSERT_TRUE(WriteFixture(plain, FixtureOptions(VariantPlain), RandomSubscribers(random, 3000)));
  const std::shared_ptr<const Database> database = LoadDatabase(plain, nullptr, nullptr, nullptr);
  ASSERT_NE(database, nullptr);
  const std::vector<std::vector<std::wstring>> typed = {{}, {L"", L"\x041F"}, {L"12"}, {}};
  std::vector<Listed> alone;
  for (const auto& criteria : typed) alone.push_back(SearchAlone(plain, criteria));
  SearchBatcher* batcher = NewSearchBatcher(2, 3, 8, 60000);
  struct Seen {
    Listed listed;
    std::thread::id walker;
    std::atomic<bool>* hold = nullptr;
    std::atomic<bool>* begun = nullptr;
    std::atomic<bool> done{false};
  };
  std::vector<Seen> seen(typed.size());
  std::atomic<bool> hold{true};
  std::atomic<bool> begun{false};
  auto run = [&](size_t i) {
    seen[i].hold = &hold;
    seen[i].begun = &begun;
    SearchSink sink;
    sink.context = &seen[i];
    sink.begin = [](void* context) {
      Seen* mine = static_cast<Seen*>(context);
      mine->walker = std::this_thread::get_id();
      if (mine->begun->exchange(true)) return;
      while (mine->hold->load()) std::this_thread::yield();  // the first walk holds
    };
    sink.appendRow = [](void* context, const FieldTable* table, int query, int results) {
      return OnRow(&static_cast<Seen*>(context)->listed, table, query, results);
    };
    const SearchOutcome outcome = SearchTogether(
        batcher, database, PrepareTypedQuery(*database, typed[i]), sink, SearchOptions());
    seen[i].listed.outcome = outcome.scan;
    seen[i].done = true;
  };
  std::vector<std::thread> threads;
  threads.emplace_back(run, 0);
  while (!begun.load()) std::this_thread::yield();
  for (size_t i = 1; i < typed.size(); ++i) {
    threads.emplace_back(run, i);
    while (i + 1 < typed.size() && SearchesWaiting(batcher) < static_cast<int>(i) && !seen[i].done)
      std::this_thread::yield();
  }
  for (size_t i = 1; i < typed.size(); ++i) threads[i].join();
  hold = false;
  threads[0].join();
  FreeSearchBatcher(batcher);
  EXPECT_NE(seen[1].walker, seen[0].walker);
  for (size_t i = 0; i < typed.size(); ++i) {
    if (i > 1) {
      EXPECT_EQ(seen[i].walker, seen[1].walker) << i << " walked apart from the second";
    }
    EXPECT_EQ(seen[i].listed.outcome.results, alone[i].outcome.results) << i;
    EXPECT_TRUE(seen[i].listed.cells == alone[i].cells) << i;
  }
}
