// Many queries in one scan: each query's rows must be exactly those of a search of it alone
// (RunScan with the same criteria), a record that matches several queries must come once for
// each, in query order, and the header's record count must end each query where it would end
// that query's own search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/disk_layout.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/batch_scan.h"
#include "search/query_criteria.h"
#include "search/result_row.h"
#include "search/scan_loop.h"
#include "search/text_match.h"
#include "test_support.h"

namespace {

using Row = std::vector<std::wstring>;
using Typed = std::vector<std::wstring>;  // a query: the typed text by search position

Row RowOf(const FieldTable* table) {
  Row copy;
  ResultRow row = BuildResultRow(table);
  if (row == nullptr) return copy;
  for (int k = 0; k < table->displayCount; ++k) copy.push_back(row[k]);
  FreeResultRow(row);
  return copy;
}

struct BatchRow {
  int query;
  int record;
  Row row;
};

using Status = std::pair<int, int>;  // results, scanned
struct Recording {
  std::vector<BatchRow>* rows;
  std::vector<Status>* statuses;  // null: not kept
};

int TakeBatchRow(void* context, const FieldTable* table, int query, int record, int results) {
  std::vector<BatchRow>* rows = static_cast<Recording*>(context)->rows;
  EXPECT_EQ(results, static_cast<int>(rows->size()));
  rows->push_back({query, record, RowOf(table)});
  return 0;
}

void TakeBatchStatus(void* context, int results, int scanned) {
  std::vector<Status>* statuses = static_cast<Recording*>(context)->statuses;
  if (statuses != nullptr) statuses->emplace_back(results, scanned);
}

int TakeRow(void* context, const FieldTable* table, int) {
  static_cast<std::vector<Row>*>(context)->push_back(RowOf(table));
  return 0;
}

struct Opened {
  DatabaseHeader header;
  FieldTable table;
  RecordReader reader;
};

// viewWindow > 0: a plain file is viewed in place, as the command line reads it.
void Open(const std::wstring& path, Opened* o, size_t viewWindow = 0) {
  bool viaGz = false;
  ASSERT_EQ(OpenDatabase(path.c_str(), &o->header, &viaGz), OpenOk);
  ASSERT_EQ(BuildFieldTable(&o->table, path.c_str(), o->header, nullptr, nullptr), SchemaOk);
  ASSERT_EQ(OpenRecordReader(&o->reader, path.c_str(), o->header, viaGz,
                             viewWindow > 0 ? ShareWithReaders : ShareNothing),
            0);
  if (viewWindow > 0) {
    ASSERT_TRUE(MapRecordFile(&o->reader, viewWindow));
  }
}

void Close(Opened* o) {
  CloseRecordReader(&o->reader);
  FreeFieldTable(&o->table);
}

void SetCriteria(FieldTable* table, const Typed& typed) {
  for (int i = 0; i < table->searchCount; ++i)
    SetFieldCriterion(table->searchMap[i],
                      i < static_cast<int>(typed.size()) ? typed[i].c_str() : L"");
}

// A search of one query alone, through the application's own loop.
ScanOutcome ScanAlone(const std::wstring& path, const Typed& typed, std::vector<Row>* rows) {
  Opened o;
  Open(path, &o);
  SetCriteria(&o.table, typed);
  ScanSink sink;
  sink.context = rows;
  sink.appendRow = TakeRow;
  const ScanOutcome outcome = RunScan(&o.reader, o.header, &o.table, nullptr, sink);
  Close(&o);
  return outcome;
}

BatchOutcome ScanBatch(const std::wstring& path, const std::vector<Typed>& typed,
                       std::vector<BatchRow>* rows, size_t viewWindow = 0,
                       std::vector<Status>* statuses = nullptr) {
  Opened o;
  Open(path, &o, viewWindow);
  std::vector<Query> queries;
  for (const Typed& t : typed) {
    SetCriteria(&o.table, t);
    queries.push_back(CaptureQuery(&o.table));
  }
  SetCriteria(&o.table, {});
  BatchSink sink;
  sink.appendRow = TakeBatchRow;
  sink.statusUpdate = TakeBatchStatus;
  Recording recording{rows, statuses};
  sink.context = &recording;
  const BatchOutcome outcome = RunBatchScan(&o.reader, o.header, &o.table, queries, nullptr, sink);
  Close(&o);
  return outcome;
}

// The batch against each query alone: the same rows per query, in file order and then query
// order, the same record-count ends, and as many records read as the longest search reads.
void ExpectSameAsAlone(const std::wstring& path, const std::vector<Typed>& typed,
                       const std::string& what) {
  std::vector<BatchRow> batch;
  const BatchOutcome got = ScanBatch(path, typed, &batch);
  int limited = 0;
  int longest = 0;
  for (size_t q = 0; q < typed.size(); ++q) {
    std::vector<Row> alone;
    const ScanOutcome o = ScanAlone(path, typed[q], &alone);
    std::vector<Row> mine;
    for (const BatchRow& r : batch)
      if (r.query == static_cast<int>(q)) mine.push_back(r.row);
    ASSERT_EQ(mine, alone) << what << ", query " << q;
    if (o.end == ScanRecordLimit) ++limited;
    if (o.end != ScanRecordLimit && got.scan.end != ScanRecordLimit) {
      EXPECT_EQ(o.end, got.scan.end) << what << ", query " << q;
    }
    longest = std::max(longest, o.scanned);
  }
  EXPECT_EQ(got.limitedQueries, limited) << what;
  EXPECT_EQ(got.scan.results, static_cast<int>(batch.size())) << what;
  if (!typed.empty()) {
    EXPECT_EQ(got.scan.scanned, longest) << what;
  }
  for (size_t i = 1; i < batch.size(); ++i) {
    const bool inOrder =
        batch[i - 1].record < batch[i].record ||
        (batch[i - 1].record == batch[i].record && batch[i - 1].query < batch[i].query);
    ASSERT_TRUE(inOrder) << what << ", row " << i;
  }
}

const DatabaseVariant kVariants[] = {VariantPlain, VariantZdb, VariantFdb};
const wchar_t* const kNames[] = {L"b.db", L"b.zdb", L"b.fdb"};

TEST(BatchScan, EachQueryListsItsRowsRecordByRecordInQueryOrder) {
  TempDir dir;
  const std::vector<DatabaseRecord> records = {
      {"1234567", Cp1251(L"ПЕТРОВ А.В."), Cp1251(L"САДОВАЯ"), "12", "5"},
      {"2000001", Cp1251(L"ИВАНОВА М.С."), "LENINA", "1", ""},
      {"7654321", Cp1251(L"СИДОРОВ П.П."), Cp1251(L"САДОВАЯ"), "3", ""},
      {"100", Cp1251(L"петров"), "", "", ""},
  };
  struct Case {
    std::vector<Typed> queries;     // by search position: Phone, Name, Street, House, Flat
    std::vector<std::string> rows;  // "query:phone", as listed
  };
  const Case cases[] = {
      {{{L"", L"ПЕТРОВ"},
        {L"00"},
        {L"", L"", L"САД*"},
        {L"", L"*ОВ*"},
        {},
        {L"1", L"И"},
        {L"", L"ПЕТРОВ"}},
       {"0:1234567", "2:1234567", "3:1234567", "4:1234567", "6:1234567", "1:2000001", "3:2000001",
        "4:2000001", "5:2000001", "2:7654321", "3:7654321", "4:7654321", "1:100", "4:100"}},
      // Keys that share their bytes across fields and modes stay apart.
      {{{L"", L"", L"L"}, {L"", L"L"}, {L"7"}, {L"", L"", L"", L"1"}, {L"", L"", L"", L"", L"5"}},
       {"2:1234567", "3:1234567", "4:1234567", "0:2000001", "3:2000001", "2:7654321"}},
      // No query matches, or a query that only a pattern from its start could find.
      {{{L"9"}, {L"", L"?ЕТРОВ*"}, {L"", L"*"}},
       {"1:1234567", "2:1234567", "2:2000001", "2:7654321", "2:100"}},
      {{}, {}},
  };
  for (int v = 0; v < 3; ++v) {
    const std::wstring path = dir.File(kNames[v]);
    ASSERT_TRUE(WriteFixture(path, FixtureOptions(kVariants[v]), records));
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
      std::vector<BatchRow> rows;
      const BatchOutcome o = ScanBatch(path, cases[c].queries, &rows);
      std::vector<std::string> got;
      for (const BatchRow& r : rows)
        got.push_back(std::to_string(r.query) + ":" + WideToUtf8(r.row[0]));
      EXPECT_EQ(got, cases[c].rows) << kNames[v] << " case " << c;
      EXPECT_EQ(o.scan.scanned, 4);
      EXPECT_EQ(o.scan.end, ScanEndMark);
      ExpectSameAsAlone(path, cases[c].queries, "case " + std::to_string(c));
    }
  }
}

// A search alone ends at the first status update past the header's record count, and its
// updates follow its own rows: a query that matches every record updates every 50 records
// (from 1000 on at 1050, 1100, ...) and ends at record 1550, one that matches every tenth ends
// at 1992, one without rows at 2000, each with its own rows.
TEST(BatchScan, RecordCountEndsEachQueryAtItsOwnUpdate) {
  TempDir dir;
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < 3000; ++i)
    records.push_back({std::to_string(1000000 + i), i % 10 == 0 ? "MATCH" : "N" + std::to_string(i),
                       "STREET", std::to_string(i % 100), ""});
  DatabaseWriterOptions options = FixtureOptions(VariantPlain);
  options.recordCountOverride = 1500;
  options.overrideRecordCount = true;
  const std::wstring path = dir.File(L"limited.db");
  ASSERT_TRUE(WriteFixture(path, options, records));
  const std::vector<Typed> queries = {{L"", L"MATCH"}, {L"", L"", L"STREET"}, {L"", L"NONE"}};
  std::vector<BatchRow> rows;
  const BatchOutcome o = ScanBatch(path, queries, &rows);
  int counts[3] = {};
  for (const BatchRow& r : rows) ++counts[r.query];
  EXPECT_EQ(counts[0], 200);
  EXPECT_EQ(counts[1], 1549);
  EXPECT_EQ(counts[2], 0);
  EXPECT_EQ(o.limitedQueries, 3);
  EXPECT_EQ(o.scan.end, ScanRecordLimit);
  EXPECT_EQ(o.scan.scanned, 2000);  // the query without rows ends at the update at 2000
  ExpectSameAsAlone(path, queries, "limited");
}

// ---------------------------------------------------------------------------------------------
// Random databases (stored schemas of every field type and flag, padded, cut and damaged
// records, record counts below the records) and random query sets.

std::string RandomText(std::mt19937& random, size_t length) {
  static const std::string pool =
      "ABCabcXYxy0123456789 -.*?"
      "\xC0\xC1\xC5\xD1\xDF\xE0\xE1\xE5\xF1\xFF\xA8\xB8\xA1\xB2";
  std::string s;
  for (size_t i = 0; i < length; ++i) s += pool[random() % pool.size()];
  return s;
}

// A criterion made from a value: its start, a piece, a pattern, another case, random bytes.
std::string RandomCriterion(std::mt19937& random, const std::string& value) {
  const size_t len = value.size();
  switch (random() % 8) {
    case 0:
      return "";
    case 1:
      return len > 0 ? value.substr(0, 1 + random() % len) : RandomText(random, 1);
    case 2:
      return value.substr(len > 0 ? random() % len : 0, 1 + random() % 4);
    case 3: {  // some bytes become ?, some runs *
      std::string c;
      for (size_t i = 0; i < len; ++i) {
        const unsigned r = random() % 8;
        c += r == 0 ? std::string("?") : r == 1 ? std::string("*") : value.substr(i, 1);
      }
      return c.empty() ? "*" : c;
    }
    case 4: {
      std::string c = value.substr(0, 1 + random() % (len + 1));
      for (char& b : c)
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
      return c;
    }
    case 5:
      return RandomText(random, 1 + random() % 3);
    case 6:
      return value;
    default:
      return "*" + value.substr(len / 2);
  }
}

void PutLe(std::string* out, uint32_t v, int bytes) {
  for (int b = 0; b < bytes; ++b) out->push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}

struct RandomSchema {
  std::vector<FieldDescriptor> fields;
};

RandomSchema MakeSchema(std::mt19937& random) {
  RandomSchema s;
  const int count = 1 + static_cast<int>(random() % 6);
  std::vector<int> searchOrder, displayOrder;
  for (int j = 0; j < count; ++j) {
    FieldDescriptor d{};
    snprintf(d.name, sizeof d.name, "F%d", j);
    const unsigned kind = random() % 7;
    d.type = static_cast<int8_t>(kind < 3 ? FieldText : kind < 6 ? FieldInteger : 5);
    d.size = static_cast<int8_t>(1 + random() % 4);
    d.flags = static_cast<int8_t>((random() % 2 ? MatchAnywhere : 0) |
                                  (random() % 2 ? FoldValue : 0) | (random() % 2 ? 2 : 0));
    d.maxLength = static_cast<uint16_t>(d.type == FieldText ? 1 + random() % 30 : 11);
    searchOrder.push_back(j);
    if (random() % 4 != 0) displayOrder.push_back(j);
    s.fields.push_back(d);
  }
  std::shuffle(searchOrder.begin(), searchOrder.end(), random);
  std::shuffle(displayOrder.begin(), displayOrder.end(), random);
  for (size_t i = 0; i < searchOrder.size(); ++i)
    s.fields[searchOrder[i]].searchIndex = static_cast<int8_t>(i + 1);
  for (size_t i = 0; i < displayOrder.size(); ++i)
    s.fields[displayOrder[i]].displayIndex = static_cast<int8_t>(i + 1);
  return s;
}

// The records' bytes after the header, and each record's values as a search shows them.
std::string MakeStream(std::mt19937& random, const RandomSchema& s, int records,
                       std::vector<std::vector<std::string>>* values) {
  std::vector<std::string> bodies;
  for (int i = 0; i < records; ++i) {
    std::string body;
    std::vector<std::string> v;
    for (const FieldDescriptor& f : s.fields) {
      if (f.type == FieldText) {
        // Few distinct values, so that queries share them and records match several queries;
        // now and then a text longer than its field, as a damaged file may hold.
        const size_t room = random() % 10 == 0 ? f.maxLength + 1 + random() % 3
                                               : random() % (f.maxLength < 6 ? f.maxLength + 1 : 7);
        const std::string t = RandomText(random, room);
        body += t;
        body.push_back('\0');
        v.push_back(t);
      } else if (f.type == FieldInteger) {
        const uint32_t n = f.size == 4 ? static_cast<uint32_t>(random()) - 0x80000000u / 2
                                       : static_cast<uint32_t>(random() % (1u << (8 * f.size)));
        PutLe(&body, n, f.size);
        v.push_back(f.size == 4 ? std::to_string(static_cast<int32_t>(n)) : std::to_string(n));
      } else {
        v.push_back("");
      }
    }
    if (random() % 6 == 0) body.resize(random() % (body.size() + 1));  // fields run past the data
    if (random() % 5 == 0) body += RandomText(random, random() % 4);   // padding
    bodies.push_back(body);
    values->push_back(v);
  }
  std::string stream;
  for (int i = 0; i < records; ++i) {
    if (i == 0) stream.push_back(static_cast<char>(bodies[0].size() + 1));
    stream += bodies[i];
    stream.push_back(static_cast<char>(i + 1 < records ? bodies[i + 1].size() + 1 : 0xFF));
  }
  if (records == 0) stream.push_back(static_cast<char>(0xFF));
  if (random() % 8 == 0) stream.resize(random() % (stream.size() + 1));  // cut off
  return stream;
}

std::string SchemaHeader(const RandomSchema& s, int32_t recordCount) {
  std::string bytes(kSchemaHeaderSize, '\0');
  bytes[4] = 12;
  bytes[5] = static_cast<char>(s.fields.size());
  std::string count;
  PutLe(&count, static_cast<uint32_t>(recordCount), 4);
  bytes.replace(8, 4, count);
  for (const FieldDescriptor& f : s.fields) {
    std::string desc(f.name, kNameCapacity);
    desc += std::string{static_cast<char>(f.type),         static_cast<char>(f.flags),
                        static_cast<char>(f.size),         static_cast<char>(f.searchIndex),
                        static_cast<char>(f.displayIndex), 1};
    PutLe(&desc, 70, 2);
    PutLe(&desc, 50, 2);
    PutLe(&desc, f.maxLength, 2);
    bytes += desc;
  }
  return bytes;
}

// onlyField >= 0: every query has one criterion, on that field, nearly always a run of the
// digits of a value (so that the pass-over may look at that integer alone).
std::vector<Typed> MakeQueries(std::mt19937& random, const RandomSchema& s,
                               const std::vector<std::vector<std::string>>& values,
                               int onlyField = -1) {
  std::vector<Typed> queries;
  const int count = static_cast<int>(random() % 40);
  // Half of those sets are pieces of one length (whole phone numbers, say).
  const size_t oneLength = onlyField >= 0 && random() % 2 == 0 ? 1 + random() % 9 : 0;
  for (int q = 0; q < count; ++q) {
    if (!queries.empty() && random() % 8 == 0) {  // the same query twice
      queries.push_back(queries[random() % queries.size()]);
      continue;
    }
    Typed typed(s.fields.size());
    const std::vector<std::string> sample = values.empty()
                                                ? std::vector<std::string>(s.fields.size())
                                                : values[random() % values.size()];
    if (onlyField >= 0) {
      std::string digits = sample[onlyField];
      if (!digits.empty() && digits[0] == '-') digits.erase(0, 1);
      const size_t take = oneLength > 0 ? oneLength : 1 + random() % 9;
      const size_t room =
          oneLength > 0 && digits.size() > take ? digits.size() - take + 1 : digits.size();
      const size_t from = room == 0 ? 0 : random() % room;
      std::string c = digits.substr(from, take);
      if (oneLength == 0 && random() % 12 == 0) c = RandomCriterion(random, sample[onlyField]);
      typed[s.fields[onlyField].searchIndex - 1] = SingleByteToWide(c);
      queries.push_back(typed);
      continue;
    }
    for (size_t j = 0; j < s.fields.size(); ++j) {
      if (random() % 2 == 0) continue;
      typed[s.fields[j].searchIndex - 1] = SingleByteToWide(RandomCriterion(random, sample[j]));
    }
    queries.push_back(typed);
  }
  return queries;
}

TEST(BatchScanProperty, EveryQueryListsWhatItListsAlone) {
  std::mt19937 random(90210);
  TempDir dir;
  for (int round = 0; round < 160; ++round) {
    const RandomSchema schema = MakeSchema(random);
    const int records = static_cast<int>(random() % 2400);
    std::vector<std::vector<std::string>> values;
    const std::string stream = MakeStream(random, schema, records, &values);
    int32_t recordCount = records;
    const unsigned countKind = random() % 5;
    if (countKind == 0) recordCount = records > 0 ? static_cast<int32_t>(random() % records) : 0;
    if (countKind == 1) recordCount = records + 1000;
    const std::wstring path = dir.File(L"r" + std::to_wstring(round) + L".fdb");
    ASSERT_TRUE(
        WriteRawFile(path.c_str(), SchemaHeader(schema, recordCount) + stream, random() % 2 == 0));
    // Every third round, when the schema begins with integers, the queries look at one of them
    // only.
    int onlyField = -1;
    size_t leading = 0;
    while (leading < schema.fields.size() && schema.fields[leading].type == FieldInteger) ++leading;
    if (round % 3 == 0 && leading > 0) onlyField = static_cast<int>(random() % leading);
    ExpectSameAsAlone(path, MakeQueries(random, schema, values, onlyField),
                      "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

#ifndef _WIN32
bool operator==(const BatchRow& a, const BatchRow& b) {
  return a.query == b.query && a.record == b.record && a.row == b.row;
}

// Phone lookups in directories of some thousands of subscribers, whole and damaged: read from a
// view of the file in windows of any size (at times tiny), the rows, statuses and ending are
// those of the reader's own reads.
TEST(BatchScanProperty, TheViewListsWhatTheOwnReadsList) {
  std::mt19937 random(6060);
  TempDir dir;
  for (int round = 0; round < 16; ++round) {
    const int count = 3000 + static_cast<int>(random() % 30000);
    const std::vector<DatabaseRecord> records = RandomSubscribers(random, count);
    const std::wstring path = dir.File(L"w" + std::to_wstring(round) + L".db");
    ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), records));
    std::string bytes = ReadFileBytes(path);
    DamageSecondHalf(&bytes, count, round % 5, random);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    // Whole numbers (pieces of one length), or pieces of any length, some found nowhere.
    std::vector<Typed> queries;
    const int lookups = 1 + static_cast<int>(random() % 80);
    for (int q = 0; q < lookups; ++q) {
      std::string phone = records[random() % records.size()][0];
      if (round % 2 == 1) phone = phone.substr(random() % phone.size(), 1 + random() % 9);
      if (random() % 10 == 0) phone = std::to_string(random() % 10000000);
      queries.push_back({SingleByteToWide(phone)});
    }
    std::vector<BatchRow> rows;
    std::vector<Status> statuses;
    const BatchOutcome one = ScanBatch(path, queries, &rows, 0, &statuses);
    std::vector<BatchRow> viewedRows;
    std::vector<Status> viewedStatuses;
    const size_t window = random() % 3 == 0 ? 1 + random() % 300 : 4096 + random() % 60000;
    const BatchOutcome viewed = ScanBatch(path, queries, &viewedRows, window, &viewedStatuses);
    const std::string what = "round " + std::to_string(round);
    ASSERT_EQ(viewedRows, rows) << what;
    ASSERT_EQ(viewedStatuses, statuses) << what;
    EXPECT_EQ(viewed.scan.scanned, one.scan.scanned) << what;
    EXPECT_EQ(viewed.scan.results, one.scan.results) << what;
    EXPECT_EQ(viewed.scan.end, one.scan.end) << what;
    EXPECT_EQ(viewed.limitedQueries, one.limitedQueries) << what;
  }
}
#endif

}  // namespace
