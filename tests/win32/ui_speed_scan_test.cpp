// The record loop with a sink that keeps its rows and hands them on in batches, as the GUI's
// worker does: every scan must end, count and report exactly as it does with a sink that takes
// each row on arrival, whatever row is refused, wherever a stop or the record limit falls.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/query_criteria.h"
#include "search/result_row.h"
#include "search/scan_loop.h"
#include "search/text_match.h"
#include "test_support.h"

namespace {

using Row = std::vector<std::wstring>;
using Status = std::pair<int, int>;  // results, scanned

// What a sink saw and what it was told to do.
struct Recorder {
  bool batching = false;
  std::vector<Status> statuses;
  std::vector<Row> listed;  // rows that reached their destination, in order
  std::vector<Row> held;    // batching: rows kept since the last flush
  std::vector<int> heldIndex;
  size_t mostHeld = 0;
  int flushesWithoutUpdate = 0;
  int refuse = -1;  // the results index of the row that does not go through
  std::atomic<int>* stop = nullptr;
  int stopAfterRows = -1;  // sets the stop flag once this many rows have arrived
};

Row Copy(const FieldTable* table) {
  ResultRow row = BuildResultRow(table);
  EXPECT_NE(row, nullptr);
  Row copy;
  for (int k = 0; row && k < table->displayCount; ++k) copy.push_back(row[k]);
  FreeResultRow(row);
  return copy;
}

void OnStatus(void* context, int results, int scanned) {
  static_cast<Recorder*>(context)->statuses.emplace_back(results, scanned);
}

int OnRow(void* context, const FieldTable* table, int results) {
  Recorder* r = static_cast<Recorder*>(context);
  if (r->batching) {
    r->held.push_back(Copy(table));
    r->heldIndex.push_back(results);
    if (r->held.size() > r->mostHeld) r->mostHeld = r->held.size();
  } else {
    if (results == r->refuse) return -1;
    r->listed.push_back(Copy(table));
  }
  if (r->stop && results + 1 == r->stopAfterRows) r->stop->store(1);
  return 0;
}

int OnFlush(void* context, bool update, int results, int scanned) {
  Recorder* r = static_cast<Recorder*>(context);
  if (!update) ++r->flushesWithoutUpdate;
  int taken = 0;
  for (size_t i = 0; i < r->held.size(); ++i) {
    if (r->heldIndex[i] == r->refuse) break;
    r->listed.push_back(r->held[i]);
    ++taken;
  }
  const bool all = taken == static_cast<int>(r->held.size());
  r->held.clear();
  r->heldIndex.clear();
  if (all && update) r->statuses.emplace_back(results, scanned);
  return taken;
}

struct ScanRun {
  ScanOutcome outcome;
  Recorder seen;
};

// Scans the file with no criteria (every record is a row), with a plain or a batching sink.
ScanRun Scan(const std::wstring& path, bool batching, int refuse = -1, int stopAfterRows = -1) {
  ScanRun run;
  run.seen.batching = batching;
  run.seen.refuse = refuse;
  std::atomic<int> stop{0};
  run.seen.stop = &stop;
  run.seen.stopAfterRows = stopAfterRows;
  DatabaseHeader header;
  bool viaGz = false;
  EXPECT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk);
  FieldTable table;
  EXPECT_EQ(BuildFieldTable(&table, path.c_str(), header, nullptr, nullptr), SchemaOk);
  BuildFoldTable();
  for (int i = 0; i < table.searchCount; ++i) SetFieldCriterion(table.searchMap[i], L"");
  RecordReader reader;
  EXPECT_EQ(OpenRecordReader(&reader, path.c_str(), header, viaGz), 0);
  ScanSink sink;
  sink.context = &run.seen;
  sink.statusUpdate = OnStatus;
  sink.appendRow = OnRow;
  if (batching) sink.flushRows = OnFlush;
  run.outcome = RunScan(&reader, header, &table, &stop, sink);
  CloseRecordReader(&reader);
  FreeFieldTable(&table);
  return run;
}

std::vector<DatabaseRecord> Records(int count) {
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < count; ++i)
    records.push_back({std::to_string(1000000 + i), "N" + std::to_string(i), "S", "1", ""});
  return records;
}

std::wstring WriteDatabase(const TempDir& dir, const wchar_t* name, int count,
                           int recordCount = -1) {
  DatabaseWriterOptions options = FixtureOptions(VariantPlain);
  if (recordCount >= 0) {
    options.overrideRecordCount = true;
    options.recordCountOverride = recordCount;
  }
  const std::wstring path = dir.File(name);
  EXPECT_TRUE(WriteFixture(path, options, Records(count)));
  return path;
}

// The batching run must show, list and end exactly as the plain one.
void ExpectSameScan(const ScanRun& plain, const ScanRun& batched, const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(batched.outcome.scanned, plain.outcome.scanned);
  EXPECT_EQ(batched.outcome.results, plain.outcome.results);
  EXPECT_EQ(batched.outcome.end, plain.outcome.end);
  EXPECT_EQ(batched.seen.statuses, plain.seen.statuses);
  EXPECT_EQ(batched.seen.listed, plain.seen.listed);
  EXPECT_TRUE(batched.seen.held.empty());
  EXPECT_EQ(static_cast<int>(batched.seen.listed.size()), batched.outcome.results);
  EXPECT_LE(batched.seen.mostHeld, 50u);
}

}  // namespace

TEST(SpeedScan, BatchesShowTheSameUpdatesAndRowsAsSingleRows) {
  TempDir dir;
  for (int count : {0, 1, 49, 50, 51, 100, 101, 2100}) {
    const std::wstring path = WriteDatabase(dir, L"all.db", count);
    const ScanRun plain = Scan(path, false);
    const ScanRun batched = Scan(path, true);
    ExpectSameScan(plain, batched, "records " + std::to_string(count));
    EXPECT_EQ(batched.outcome.end, ScanEndMark);
    // The rows kept after the last update reach the list before the scan returns, and only
    // then: a flush without an update happens once, at the end, when rows are held.
    const bool heldAtEnd = count > 0 && plain.seen.statuses.back().first < count;
    EXPECT_EQ(batched.seen.flushesWithoutUpdate, heldAtEnd ? 1 : 0) << count;
  }
}

TEST(SpeedScan, ARowThatDoesNotGoThroughEndsTheScanAsIfRefusedOnArrival) {
  TempDir dir;
  const std::wstring path = WriteDatabase(dir, L"all.db", 2100);
  // The first, a middle and the last row of a batch flushed at an update; rows of the batch
  // flushed at a thousand-record update; the last rows, flushed when the data ends.
  for (int refuse : {0, 1, 25, 49, 50, 51, 99, 100, 979, 980, 999, 1000, 2058, 2099}) {
    const ScanRun plain = Scan(path, false, refuse);
    const ScanRun batched = Scan(path, true, refuse);
    ExpectSameScan(plain, batched, "refused row " + std::to_string(refuse));
    EXPECT_EQ(batched.outcome.end, ScanRowFailed);
    EXPECT_EQ(batched.outcome.results, refuse);
    EXPECT_EQ(batched.outcome.scanned, refuse + 1);
  }
}

TEST(SpeedScan, AStopWhileRowsAreHeldListsThemAll) {
  TempDir dir;
  const std::wstring path = WriteDatabase(dir, L"all.db", 300);
  for (int stopAfter : {1, 2, 25, 50, 51, 52, 99, 137}) {
    const ScanRun plain = Scan(path, false, -1, stopAfter);
    const ScanRun batched = Scan(path, true, -1, stopAfter);
    ExpectSameScan(plain, batched, "stop after " + std::to_string(stopAfter));
    EXPECT_EQ(batched.outcome.end, ScanStopped);
    EXPECT_EQ(batched.outcome.results, stopAfter);
  }
  // A stop and a refused row in the same batch: the refusal, being earlier, decides.
  const ScanRun plain = Scan(path, false, 60, 70);
  const ScanRun batched = Scan(path, true, 60, 70);
  ExpectSameScan(plain, batched, "refused before the stop");
  EXPECT_EQ(batched.outcome.end, ScanRowFailed);
}

TEST(SpeedScan, TheRecordLimitListsTheHeldRowsFirst) {
  TempDir dir;
  // The header claims fewer records than follow: the scan ends at the update that finds more,
  // and the rows kept up to it are listed. With a count of 0 the first record ends it.
  for (int claimed : {0, 30, 50, 75, 100, 101}) {
    const std::wstring path = WriteDatabase(dir, L"short.db", 400, claimed);
    const ScanRun plain = Scan(path, false);
    const ScanRun batched = Scan(path, true);
    ExpectSameScan(plain, batched, "recordCount " + std::to_string(claimed));
    EXPECT_EQ(batched.outcome.end, ScanRecordLimit);
  }
  // A row refused in the batch that the limit flushes still decides the counts.
  const std::wstring path = WriteDatabase(dir, L"short.db", 400, 75);
  const ScanRun plain = Scan(path, false, 80);
  const ScanRun batched = Scan(path, true, 80);
  ExpectSameScan(plain, batched, "refused in the last batch");
  EXPECT_EQ(batched.outcome.end, ScanRowFailed);
}
