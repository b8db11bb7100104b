// Searches running at once, as a server runs them: each thread opens, prepares and scans on its
// own, several of them the same file, and every one lists exactly what the same search lists
// alone. Built with ThreadSanitizer (the native-tsan preset), these also prove that no two
// searches share anything they write.
#include <gtest/gtest.h>

#include <algorithm>
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

int OnRow(void* context, const FieldTable* table, int) {
  Listed* listed = static_cast<Listed*>(context);
  ResultRow row = BuildResultRow(table);
  if (row == nullptr) return -1;
  for (int k = 0; k < table->displayCount; ++k) listed->cells.push_back(row[k]);
  FreeResultRow(row);
  return 0;
}

// One search as the command line runs it: the file shared with other readers and read ahead (a
// plain file viewed in place, a compressed one inflated on the reader's own threads).
Listed SearchAlone(const std::wstring& path, const std::vector<std::wstring>& criteria) {
  Listed listed;
  DatabaseHeader header;
  bool viaGz = false;
  if (OpenDatabase(path.c_str(), &header, &viaGz) != OpenOk) return listed;
  FieldTable table;
  if (BuildFieldTable(&table, path.c_str(), header, nullptr, nullptr) != SchemaOk) return listed;
  for (int i = 0; i < table.searchCount; ++i)
    SetFieldCriterion(table.searchMap[i],
                      i < static_cast<int>(criteria.size()) ? criteria[i].c_str() : L"");
  RecordReader reader;
  if (OpenRecordReader(&reader, path.c_str(), header, viaGz, ShareWithReaders) == 0) {
    StartReadAhead(&reader);
    ScanSink sink;
    sink.context = &listed;
    sink.statusUpdate = OnStatus;
    sink.appendRow = OnRow;
    listed.outcome = RunScan(&reader, header, &table, nullptr, sink);
    listed.opened = true;
    CloseRecordReader(&reader);
  }
  FreeFieldTable(&table);
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
  const std::wstring series = dir.File(L"city.zdb");  // over 1 MiB: a series of members
  const std::wstring small = dir.File(L"town.zdb");   // one member
  ASSERT_TRUE(WriteFixture(plain, FixtureOptions(VariantPlain), city));
  ASSERT_TRUE(WriteFixture(series, FixtureOptions(VariantZdb), city));
  ASSERT_TRUE(WriteFixture(small, FixtureOptions(VariantZdb),
                           std::vector<DatabaseRecord>(city.begin(), city.begin() + 5000)));
  struct Search {
    std::wstring path;
    std::vector<std::wstring> criteria;
  };
  std::vector<Search> searches;
  for (const std::wstring& path : {plain, series, small}) {
    searches.push_back({path, {}});
    searches.push_back({path, {L"", L"\x041F\x0415\x0422"}});  // a name prefix
    searches.push_back({path, {L"12"}});                       // a piece of the phone
    searches.push_back({path, {L"", L"*\x041E\x0412*"}});      // a pattern
  }
  std::vector<Listed> alone;
  for (const Search& s : searches) alone.push_back(SearchAlone(s.path, s.criteria));
  ASSERT_GT(alone[1].outcome.results, 0);

  constexpr int kThreads = 4;
  std::vector<std::vector<Listed>> got(kThreads, std::vector<Listed>(searches.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<size_t> order(searches.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    threads.emplace_back([&, t, order] {
      for (size_t i : order) got[t][i] = SearchAlone(searches[i].path, searches[i].criteria);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t)
    for (size_t i = 0; i < searches.size(); ++i)
      ExpectSame(got[t][i], alone[i],
                 "thread " + std::to_string(t) + ", search " + std::to_string(i));
}
