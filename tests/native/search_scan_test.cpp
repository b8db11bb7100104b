// The record loop: status cadence, the header's record count as a limit, stop requests, cut-off
// and broken streams, and a randomized comparison with a plain reference reading of the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/codepage.h"
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

// What a sink saw during one scan.
struct Recorded {
  std::vector<Status> statuses;
  std::vector<Row> rows;
  std::atomic<int>* stopFlag = nullptr;
  int stopAtRow = -1;    // sets the stop flag once this many rows have arrived
  int failAtRow = -1;    // refuses the row with this index
  int enoughAtRow = -1;  // takes the row with this index and asks the scan to end
  std::function<void(size_t rows)> afterRow;  // runs after each row taken
  bool fileCut = false;                       // how the reader found the file at the end
  bool fileChanged = false;
};

void RecordStatus(void* context, int results, int scanned) {
  static_cast<Recorded*>(context)->statuses.emplace_back(results, scanned);
}

int RecordRow(void* context, const FieldTable* table, int results) {
  Recorded* r = static_cast<Recorded*>(context);
  if (results == r->failAtRow) return -1;
  EXPECT_EQ(results, static_cast<int>(r->rows.size()));
  ResultRow row = BuildResultRow(table);
  if (row == nullptr) return -1;
  Row copy;
  for (int k = 0; k < table->displayCount; ++k) copy.push_back(row[k]);
  FreeResultRow(row);
  r->rows.push_back(copy);
  if (r->stopFlag != nullptr && static_cast<int>(r->rows.size()) == r->stopAtRow) *r->stopFlag = 1;
  if (r->afterRow) r->afterRow(r->rows.size());
  return results == r->enoughAtRow ? RowTakenThenStop : RowTaken;
}

// Opens, prepares the given criteria (search position -> typed text), scans and closes.
// viewWindow > 0: a plain file is viewed in place, in windows of that many bytes, as the
// command line reads it (and a second thread may then share the walk).
ScanOutcome Scan(const std::wstring& path, const std::vector<std::wstring>& criteria,
                 Recorded* recorded, size_t viewWindow = 0) {
  DatabaseHeader header;
  bool viaGz = false;
  EXPECT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk);
  FieldTable table;
  EXPECT_EQ(BuildFieldTable(&table, path.c_str(), header, nullptr, nullptr), SchemaOk);
  for (int i = 0; i < table.searchCount; ++i)
    SetFieldCriterion(table.searchMap[i],
                      i < static_cast<int>(criteria.size()) ? criteria[i].c_str() : L"");
  RecordReader reader;
  EXPECT_EQ(OpenRecordReader(&reader, path.c_str(), header, viaGz,
                             viewWindow > 0 ? ShareWithReaders : ShareNothing),
            0);
  if (viewWindow > 0) {
    EXPECT_TRUE(MapRecordFile(&reader, viewWindow));
  }
  ScanSink sink;
  sink.context = recorded;
  sink.statusUpdate = RecordStatus;
  sink.appendRow = RecordRow;
  const ScanOutcome outcome = RunScan(&reader, header, &table, recorded->stopFlag, sink);
  recorded->fileCut = RecordFileShrank(&reader);
  recorded->fileChanged = RecordFileChanged(&reader);
  CloseRecordReader(&reader);
  FreeFieldTable(&table);
  return outcome;
}

// n built-in records whose names are numbered; every tenth one is named "MATCH".
std::vector<DatabaseRecord> NumberedRecords(int n) {
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < n; ++i)
    records.push_back({std::to_string(1000000 + i), i % 10 == 0 ? "MATCH" : "N" + std::to_string(i),
                       "STREET", std::to_string(i % 100), ""});
  return records;
}

const DatabaseVariant kVariants[] = {VariantPlain, VariantZdb, VariantFdb};
const wchar_t* const kNames[] = {L"d.db", L"d.zdb", L"d.fdb"};

TEST(ScanCadence, NoMatchUpdatesAtFirstRecordThenEveryThousand) {
  TempDir dir;
  const std::wstring path = dir.File(L"n.zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), NumberedRecords(3500)));
  Recorded r;
  const ScanOutcome o = Scan(path, {L"", L"NOBODY"}, &r);
  EXPECT_EQ(r.statuses, (std::vector<Status>{{0, 1}, {0, 1000}, {0, 2000}, {0, 3000}}));
  EXPECT_EQ(o.scanned, 3500);
  EXPECT_EQ(o.results, 0);
  EXPECT_EQ(o.end, ScanEndMark);

  // A header count that an update lands on exactly is not exceeded there.
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), NumberedRecords(2000)));
  Recorded exact;
  const ScanOutcome e = Scan(path, {L"", L"N1999"}, &exact);
  EXPECT_EQ(exact.statuses, (std::vector<Status>{{0, 1}, {0, 1000}, {0, 2000}}));
  EXPECT_EQ(e.results, 1);
  EXPECT_EQ(e.end, ScanEndMark);
}

TEST(ScanCadence, AllMatchUpdatesEveryFiftyRowsAndAtEachThousand) {
  TempDir dir;
  const std::wstring path = dir.File(L"a.db");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), NumberedRecords(2100)));
  Recorded r;
  const ScanOutcome o = Scan(path, {}, &r);  // no criteria: every record is a row
  ASSERT_GE(r.statuses.size(), 4u);
  EXPECT_EQ(r.statuses[0], Status(0, 1));
  EXPECT_EQ(r.statuses[1], Status(50, 51));
  EXPECT_EQ(r.statuses[2], Status(100, 101));
  EXPECT_EQ(r.statuses[19], Status(950, 951));
  EXPECT_EQ(r.statuses[20], Status(999, 1000));  // the thousand comes between the fifties
  EXPECT_EQ(r.statuses[21], Status(1049, 1050));
  EXPECT_EQ(o.results, 2100);
  ASSERT_EQ(r.rows.size(), 2100u);
  // Rows in file order, every displayed column filled.
  EXPECT_EQ(r.rows[0], (Row{L"1000000", L"MATCH", L"STREET", L"0", L""}));
  EXPECT_EQ(r.rows[2099], (Row{L"1002099", L"N2099", L"STREET", L"99", L""}));
}

TEST(ScanLimits, RecordCountOfZeroEndsAtTheFirstRecord) {
  TempDir dir;
  for (int v = 0; v < 3; ++v) {
    const std::wstring path = dir.File(kNames[v]);
    DatabaseWriterOptions options = FixtureOptions(kVariants[v]);
    options.overrideRecordCount = true;
    options.recordCountOverride = 0;
    ASSERT_TRUE(WriteFixture(path, options, SampleRecords()));
    Recorded r;
    const ScanOutcome o = Scan(path, {}, &r);
    EXPECT_EQ(o.scanned, 1) << v;
    EXPECT_EQ(o.results, 0) << v;
    EXPECT_EQ(o.end, ScanRecordLimit) << v;
    EXPECT_TRUE(r.rows.empty()) << v;
    EXPECT_TRUE(r.statuses.empty()) << v;  // the limit ends the update before it reports
  }
}

TEST(ScanLimits, SmallerRecordCountEndsAtTheNextUpdatePastIt) {
  TempDir dir;
  const std::wstring path = dir.File(L"c.fdb");
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  options.overrideRecordCount = true;
  options.recordCountOverride = 1500;
  ASSERT_TRUE(WriteFixture(path, options, NumberedRecords(3000)));
  Recorded r;
  ScanOutcome o = Scan(path, {L"", L"MATCH"}, &r);  // records 1, 11, 21, ... match
  // Updates come at record 1, then at the record after each further 50 rows (492, 992, 1492)
  // and at 1000; the next one, at record 1992, is the first past 1500 and ends the scan with
  // the 200 rows of records 1 to 1991.
  EXPECT_EQ(o.end, ScanRecordLimit);
  EXPECT_EQ(o.scanned, 1992);
  EXPECT_EQ(o.results, 200);
  EXPECT_EQ(r.statuses,
            (std::vector<Status>{{0, 1}, {50, 492}, {100, 992}, {100, 1000}, {150, 1492}}));
  for (const Status& s : r.statuses) EXPECT_LE(s.second, 1500);

  // Negative counts (a header with its top bit set) stop at the first record as well.
  options.recordCountOverride = -5;
  ASSERT_TRUE(WriteFixture(path, options, NumberedRecords(10)));
  Recorded r2;
  o = Scan(path, {}, &r2);
  EXPECT_EQ(o.scanned, 1);
  EXPECT_EQ(o.end, ScanRecordLimit);
}

// Raw stream bytes after a 29-byte header of recordCount n.
std::string ShortHeader(int32_t n) {
  std::string h(kShortHeaderSize, '\0');
  for (int b = 0; b < 4; ++b)
    h[b] = static_cast<char>((static_cast<uint32_t>(n) >> (8 * b)) & 0xFF);
  h[4] = 11;
  h[5] = 7;
  return h;
}

// One built-in record: phone (3 bytes), four texts, optional padding, then the next length.
std::string BuiltInRecord(uint32_t phone, const std::string& name, unsigned char next,
                          const std::string& padding = "") {
  std::string data;
  for (int b = 0; b < 3; ++b) data.push_back(static_cast<char>((phone >> (8 * b)) & 0xFF));
  for (const std::string& s : {name, std::string("ST"), std::string("1"), std::string("")}) {
    data += s;
    data.push_back('\0');
  }
  data += padding;
  data.push_back(static_cast<char>(next));
  return std::string(1, static_cast<char>(data.size())) + data;
}

// Chains records: each record's own first byte is its length; the final byte links onward.
std::string Chain(const std::vector<std::string>& records, unsigned char last) {
  std::string stream;
  for (size_t i = 0; i < records.size(); ++i) {
    std::string r = records[i];
    if (i == 0) stream += r.substr(0, 1);
    r.back() = static_cast<char>(i + 1 < records.size() ? records[i + 1][0] : last);
    stream += r.substr(1);
  }
  if (records.empty()) stream.push_back(static_cast<char>(last));
  return stream;
}

TEST(ScanStream, EmptyCutOffPaddedAndBrokenStreams) {
  TempDir dir;
  const std::wstring path = dir.File(L"raw.db");
  const std::vector<std::string> three = {BuiltInRecord(1, "A", 0), BuiltInRecord(2, "B", 0, "xyz"),
                                          BuiltInRecord(3, "C", 0)};
  struct Case {
    const char* what;
    std::string stream;
    int scanned;
    ScanEnd end;
  } cases[] = {
      {"no records", Chain({}, 0xFF), 0, ScanEndMark},
      {"nothing after the header", "", 0, ScanShortRead},
      {"three records, one padded", Chain(three, 0xFF), 3, ScanEndMark},
      {"cut inside the third record", Chain(three, 0xFF).substr(0, Chain(three, 0xFF).size() - 3),
       2, ScanShortRead},
      {"no end mark", Chain(three, 0xFF).substr(0, Chain(three, 0xFF).size() - 1), 2,
       ScanShortRead},
      {"a zero length after the second record", Chain({three[0], three[1]}, 0) + three[2].substr(1),
       2, ScanBadLength},
      {"a zero length first", std::string(1, '\0') + three[0], 0, ScanBadLength},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFileBytes(path, ShortHeader(100) + c.stream));
    Recorded r;
    const ScanOutcome o = Scan(path, {}, &r);
    EXPECT_EQ(o.scanned, c.scanned) << c.what;
    EXPECT_EQ(o.results, c.scanned) << c.what;
    EXPECT_EQ(o.end, c.end) << c.what;
    ASSERT_EQ(r.rows.size(), static_cast<size_t>(c.scanned)) << c.what;
    if (c.scanned >= 2) {
      // Padding before the length byte is skipped: the record after it reads normally.
      EXPECT_EQ(r.rows[1], (Row{L"2", L"B", L"ST", L"1", L""})) << c.what;
    }
  }
}

// Another program cuts or rewrites a viewed file while the scan reads it (here from the sink, at
// a row, so the moment is exact). Only whole records of the one file are listed: a record the cut
// fell inside (its missing bytes read as zeros) is neither listed nor counted, and a copy of the
// same length over the file ends the scan at the next window and is told as a change.
TEST(ScanStream, AViewedFileCutOrOverwrittenDuringTheScanListsOnlyWholeRecordsOfOneFile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows reads ahead; a plain file there cannot be cut under a search";
#endif
  TempDir dir;
  const std::wstring path = dir.File(L"v.db");
  std::vector<std::string> records, others;
  for (int i = 0; i < 3000; ++i) {
    records.push_back(BuiltInRecord(1000000 + i, "NAME" + std::to_string(i), 0));
    others.push_back(BuiltInRecord(2000000 + i, "OTHR" + std::to_string(i), 0));
  }
  const std::string file = ShortHeader(3000) + Chain(records, 0xFF);
  const std::string other = ShortHeader(3000) + Chain(others, 0xFF);
  ASSERT_EQ(file.size(), other.size());
  // Where record i's bytes start (after the length byte that precedes them).
  std::vector<size_t> start = {kShortHeaderSize + 1};
  for (const std::string& r : records) start.push_back(start.back() + r.size() - 1);
  struct Case {
    const char* what;
    std::string after;  // the file from row 10 on
    size_t window;
    size_t rows;  // listed: records 0 to rows - 1, each whole
    bool cut, changed;
  };
  const Case cases[] = {
      {"cut inside record 12", file.substr(0, start[12] + 5), 1u << 20, 12, true, false},
      {"cut where record 12 starts", file.substr(0, start[12]), 1u << 20, 12, true, false},
      {"a copy of the same length over it", other, 4096, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(path, file));
    Recorded r;
    r.afterRow = [&](size_t rows) {
      if (rows != 10) return;
      // File times move with the kernel's coarse clock: a write in the same tick as the one
      // before would leave them as they were (a real copy comes long after the file was made).
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      ASSERT_TRUE(WriteFileBytes(path, c.after));
    };
    const ScanOutcome o = Scan(path, {}, &r, c.window);
    EXPECT_EQ(o.end, ScanShortRead);
    EXPECT_EQ(r.fileCut, c.cut);
    EXPECT_EQ(r.fileChanged, c.changed);
    if (c.rows > 0) {
      EXPECT_EQ(r.rows.size(), c.rows);
      EXPECT_EQ(o.scanned, static_cast<int>(c.rows));
    } else {
      // Rows from the rest of the window read before the copy came may mix both files; the
      // scan stops at the window's end instead of reading the new file as the old one's rest.
      EXPECT_LT(r.rows.size(), 4096u / 12);
    }
    for (size_t i = 0; i < std::min<size_t>(r.rows.size(), 10); ++i)
      EXPECT_EQ(r.rows[i][1], L"NAME" + std::to_wstring(i));
  }
}

TEST(ScanStop, FlagSetDuringARowEndsAfterThatRecord) {
  TempDir dir;
  const std::wstring path = dir.File(L"s.zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), NumberedRecords(500)));
  std::atomic<int> stop{0};
  Recorded r;
  r.stopFlag = &stop;
  r.stopAtRow = 7;
  const ScanOutcome o = Scan(path, {L"", L"MATCH"}, &r);
  EXPECT_EQ(o.end, ScanStopped);
  EXPECT_EQ(o.results, 7);
  EXPECT_EQ(o.scanned, 61);  // the seventh match is record 61, and nothing is read after it
  EXPECT_EQ(r.rows.size(), 7u);

  // A flag already set lets exactly one record through.
  std::atomic<int> set{1};
  Recorded r2;
  r2.stopFlag = &set;
  const ScanOutcome o2 = Scan(path, {}, &r2);
  EXPECT_EQ(o2.scanned, 1);
  EXPECT_EQ(o2.end, ScanStopped);
}

TEST(ScanStop, RefusedRowEndsTheScanUncounted) {
  TempDir dir;
  const std::wstring path = dir.File(L"f.db");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), NumberedRecords(100)));
  Recorded r;
  r.failAtRow = 3;
  const ScanOutcome o = Scan(path, {}, &r);
  EXPECT_EQ(o.end, ScanRowFailed);
  EXPECT_EQ(o.results, 3);
  EXPECT_EQ(o.scanned, 4);
  // A sink that has what it wants ends the scan after the row it took, as a stop does.
  Recorded enough;
  enough.enoughAtRow = 3;
  const ScanOutcome e = Scan(path, {L"", L"MATCH"}, &enough);
  EXPECT_EQ(e.end, ScanStopped);
  EXPECT_EQ(e.results, 4);
  EXPECT_EQ(e.scanned, 31);  // the fourth match is record 31, and nothing is read after it
  EXPECT_EQ(enough.rows.size(), 4u);
}

// ---------------------------------------------------------------------------------------------
// Randomized comparison with a reference that reads the bytes the plain way.

std::string ReferenceFold(std::string s) {
  for (char& c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0xC0 && b <= 0xDF)
      c = static_cast<char>(b + 0x20);
    else if (b == 0xA8)
      c = static_cast<char>(0xB8);
    else if (b >= 'A' && b <= 'Z')
      c = static_cast<char>(b + 0x20);
  }
  return s;
}

struct RefField {
  FieldDescriptor d{};
  std::string criterion;  // as prepared: cut to maxLength, folded where the field folds
  bool active = false;
};

bool ReferenceMatch(const RefField& f, const std::string& value) {
  const std::string text = (f.d.flags & FoldValue) ? ReferenceFold(value) : value;
  if (f.criterion.find_first_of("*?") != std::string::npos)
    return ReferenceWildcard(f.criterion.c_str(), text.c_str());
  if (f.d.flags & MatchAnywhere) return text.find(f.criterion) != std::string::npos;
  return text.compare(0, f.criterion.size(), f.criterion) == 0 && text.size() >= f.criterion.size();
}

struct Reference {
  std::vector<Status> statuses;
  std::vector<Row> rows;
  int scanned = 0;
};

// Walks the stream bytes (after the header) as the record chain is defined.
Reference ReferenceScan(const std::string& stream, int32_t recordCount,
                        const std::vector<RefField>& fields) {
  Reference ref;
  size_t pos = 0;
  if (pos >= stream.size()) return ref;
  unsigned length = static_cast<unsigned char>(stream[pos++]);
  int results = 0, counter = 0;
  std::vector<std::string> values(fields.size());  // unknown types keep "" forever
  while (length != 0xFF && length != 0) {
    if (pos + length > stream.size()) break;
    const std::string record = stream.substr(pos, length);
    pos += length;
    ++ref.scanned;
    if (ref.scanned % 1000 == 0 || counter % 51 == 0) {
      if (ref.scanned > recordCount) break;
      counter = 1;
      ref.statuses.emplace_back(results, ref.scanned);
    }
    size_t c = 0;
    for (size_t j = 0; j < fields.size(); ++j) {
      const FieldDescriptor& d = fields[j].d;
      if (d.type == FieldText) {
        const size_t nul = record.find('\0', c);
        values[j] = record.substr(c, nul - c);
        c = nul + 1;
      } else if (d.type == FieldInteger) {
        uint32_t n = 0;
        for (int b = 0; b < d.size; ++b)
          n |= static_cast<uint32_t>(static_cast<unsigned char>(record[c + b])) << (8 * b);
        c += static_cast<size_t>(d.size);
        values[j] = d.size == 4 ? std::to_string(static_cast<int32_t>(n)) : std::to_string(n);
      }
    }
    bool match = true;
    for (size_t j = 0; j < fields.size(); ++j)
      if (fields[j].active && !ReferenceMatch(fields[j], values[j])) match = false;
    if (match) {
      Row row(16);
      int shown = 0;
      for (size_t j = 0; j < fields.size(); ++j) {
        if (fields[j].d.displayIndex == 0) continue;
        row[fields[j].d.displayIndex - 1] = SingleByteToWide(values[j]);
        ++shown;
      }
      row.resize(shown);
      ref.rows.push_back(row);
      ++results;
      ++counter;
    }
    length = static_cast<unsigned char>(record[length - 1]);
  }
  return ref;
}

// Windows-1251 letters and signs the random texts are made of (no NUL, no unassigned 0x98).
std::string RandomText(std::mt19937& random, size_t length) {
  static const std::string pool =
      "ABCDabcdXYZxyz0123456789 -.*?"
      "\xC0\xC1\xC2\xC5\xD1\xDF\xE0\xE1\xE2\xE5\xF1\xFF\xA8\xB8\xA1\xA2\xAA\xBA\xB2\xB3";
  std::string s;
  for (size_t i = 0; i < length; ++i) s += pool[random() % pool.size()];
  return s;
}

// A criterion made from a value in one of several ways, at most limit bytes long.
std::string RandomCriterion(std::mt19937& random, const std::string& value, size_t limit) {
  std::string c;
  const size_t len = value.size();
  switch (random() % 7) {
    case 0:
      return "";
    case 1:
      c = len > 0 ? value.substr(0, 1 + random() % len) : RandomText(random, 2);
      break;
    case 2: {
      const size_t start = len > 0 ? random() % len : 0;
      c = value.substr(start, 1 + random() % 4);
      break;
    }
    case 3:  // a pattern: some bytes become ?, some runs become *
      for (size_t i = 0; i < len; ++i) {
        const unsigned r = random() % 8;
        if (r == 0)
          c += '?';
        else if (r == 1) {
          c += '*';
          i += random() % 3;
        } else
          c += value[i];
      }
      if (random() % 4 == 0) c += "**";
      if (c.empty()) c = "*";
      break;
    case 4:
      c = ReferenceFold(value.substr(0, 1 + random() % (len + 1)));
      break;
    case 5:
      c = RandomText(random, 1 + random() % 3);
      break;
    default:
      c = "*" + value.substr(len / 2) + (random() % 2 ? "*" : "");
      break;
  }
  if (c.size() > limit) c.resize(limit);
  if (c.empty()) c = "?";
  return c;
}

void PutLe(std::string* out, uint32_t v, int bytes) {
  for (int b = 0; b < bytes; ++b) out->push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}

#ifndef _WIN32
// The command line's reading of a plain file: viewed, in windows of any size (at times tiny). Its
// rows, statuses and ending must be those of the reader's own reads (one, o).
void ExpectTheViewAgrees(const std::wstring& path, const std::vector<std::wstring>& criteria,
                         const Recorded& one, const ScanOutcome& o, std::mt19937& random,
                         int round) {
  Recorded viewed;
  const size_t window = random() % 3 == 0 ? 1 + random() % 300 : 4096 + random() % 60000;
  const ScanOutcome v = Scan(path, criteria, &viewed, window);
  const std::string what = "round " + std::to_string(round) + ", window " + std::to_string(window);
  ASSERT_EQ(v.scanned, o.scanned) << what;
  ASSERT_EQ(viewed.statuses, one.statuses) << what;
  ASSERT_EQ(viewed.rows, one.rows) << what;
  EXPECT_EQ(v.end, o.end) << what;
  EXPECT_EQ(v.results, o.results) << what;
}
#endif

TEST(ScanProperty, RowsAndStatusesAgreeWithAReferenceReading) {
  std::mt19937 random(77031);
  TempDir dir;
  const std::vector<FieldDescriptor> builtIn(BuiltInSchema, BuiltInSchema + 5);
  for (int round = 0; round < 120; ++round) {
    const int variant = round % 3;
    const bool stored = variant == 2 && random() % 4 != 0;  // else an .fdb of version 11

    // The schema.
    std::vector<RefField> fields;
    if (!stored) {
      for (const FieldDescriptor& d : builtIn) fields.push_back(RefField{d});
    } else {
      const int count = 1 + static_cast<int>(random() % 8);
      std::vector<int> searchOrder, displayOrder;
      for (int j = 0; j < count; ++j) {
        FieldDescriptor d{};
        snprintf(d.name, sizeof d.name, "F%d", j);
        const unsigned kind = random() % 6;
        d.type = static_cast<int8_t>(kind < 3 ? 1 : kind < 5 ? 2 : 3 + j);  // text, integer, other
        d.size = static_cast<int8_t>(1 + random() % 4);
        d.flags = static_cast<int8_t>((random() % 2 ? MatchAnywhere : 0) |
                                      (random() % 2 ? FoldValue : 0) | (random() % 2 ? 2 : 0));
        d.maxLength = static_cast<uint16_t>(d.type == FieldText ? 1 + random() % 40 : 11);
        if (random() % 4 != 0) searchOrder.push_back(j);
        if (random() % 4 != 0) displayOrder.push_back(j);
        fields.push_back(RefField{d});
      }
      std::shuffle(searchOrder.begin(), searchOrder.end(), random);
      std::shuffle(displayOrder.begin(), displayOrder.end(), random);
      if (searchOrder.size() > 10) searchOrder.resize(10);
      for (size_t i = 0; i < searchOrder.size(); ++i)
        fields[searchOrder[i]].d.searchIndex = static_cast<int8_t>(i + 1);
      for (size_t i = 0; i < displayOrder.size(); ++i)
        fields[displayOrder[i]].d.displayIndex = static_cast<int8_t>(i + 1);
    }

    // The records, chained by hand, some with padding before their length byte.
    const int records = static_cast<int>(random() % 2600);
    std::vector<std::vector<std::string>> values;
    std::string stream;
    std::vector<std::string> bodies;
    for (int i = 0; i < records; ++i) {
      std::string body;
      std::vector<std::string> v;
      for (const RefField& f : fields) {
        if (f.d.type == FieldText) {
          const size_t room = 200 / fields.size();
          const size_t max = f.d.maxLength < room ? f.d.maxLength : room;
          std::string t = RandomText(random, random() % (max + 1));
          body += t;
          body.push_back('\0');
          v.push_back(t);
        } else if (f.d.type == FieldInteger) {
          const uint32_t n = f.d.size == 4
                                 ? static_cast<uint32_t>(random())
                                 : static_cast<uint32_t>(random() % (1u << (8 * f.d.size)));
          PutLe(&body, n, f.d.size);
          v.push_back(f.d.size == 4 ? std::to_string(static_cast<int32_t>(n)) : std::to_string(n));
        } else {
          v.push_back("");
        }
      }
      if (random() % 5 == 0) body += RandomText(random, random() % 6);  // padding
      if (body.size() > 253) body.resize(253);  // cannot happen with the room above
      bodies.push_back(body);
      values.push_back(v);
    }
    for (int i = 0; i < records; ++i) {
      if (i == 0) stream.push_back(static_cast<char>(bodies[0].size() + 1));
      stream += bodies[i];
      stream.push_back(static_cast<char>(i + 1 < records ? bodies[i + 1].size() + 1 : 0xFF));
    }
    if (records == 0) stream.push_back(static_cast<char>(0xFF));
    if (records > 3 && random() % 8 == 0) {
      // A zero length somewhere: the link after record k is cleared.
      size_t at = static_cast<unsigned char>(stream[0]);
      const int k = static_cast<int>(random() % (records - 1));
      for (int i = 0; i < k; ++i) at += static_cast<unsigned char>(stream[at]);
      stream[at] = 0;
    }
    if (random() % 5 == 0) stream.resize(random() % (stream.size() + 1));  // cut off

    int32_t recordCount = records;
    const unsigned countKind = random() % 6;
    if (countKind == 0) recordCount = 0;
    if (countKind == 1) recordCount = records > 0 ? static_cast<int32_t>(random() % records) : 0;
    if (countKind == 2) recordCount = records + 1000;
    if (countKind == 3 && records > 1000) recordCount = 1000;  // an update lands on it

    // The header.
    std::string bytes;
    if (variant < 2) {
      bytes = ShortHeader(recordCount);
    } else {
      bytes.assign(kSchemaHeaderSize, '\0');
      bytes[4] = stored ? 12 : 11;
      bytes[5] = static_cast<char>(fields.size());
      std::string count;
      PutLe(&count, static_cast<uint32_t>(recordCount), 4);
      bytes.replace(8, 4, count);
      for (const RefField& f : fields) {
        std::string desc(f.d.name, kNameCapacity);
        desc += std::string{static_cast<char>(f.d.type),         static_cast<char>(f.d.flags),
                            static_cast<char>(f.d.size),         static_cast<char>(f.d.searchIndex),
                            static_cast<char>(f.d.displayIndex), 1};
        PutLe(&desc, 70, 2);
        PutLe(&desc, 50, 2);
        PutLe(&desc, f.d.maxLength, 2);
        bytes += desc;
      }
    }
    const std::wstring path = dir.File(std::to_wstring(round) + kNames[variant]);
    ASSERT_TRUE(WriteRawFile(path.c_str(), bytes + stream, variant > 0 && random() % 3 != 0));

    // Criteria from the values of a random record.
    std::vector<std::wstring> typed(10);
    const std::vector<std::string> sample =
        records > 0 ? values[random() % records] : std::vector<std::string>(fields.size());
    for (size_t j = 0; j < fields.size(); ++j) {
      RefField& f = fields[j];
      if (f.d.searchIndex == 0) continue;
      const std::string c =
          random() % 3 == 0 ? "" : RandomCriterion(random, sample[j], f.d.maxLength);
      typed[f.d.searchIndex - 1] = SingleByteToWide(c);
      f.active = !c.empty();
      f.criterion = (f.d.flags & FoldValue) ? ReferenceFold(c) : c;
    }

    const Reference expected = ReferenceScan(stream, recordCount, fields);
    Recorded got;
    const ScanOutcome o = Scan(path, typed, &got);
    ASSERT_EQ(o.scanned, expected.scanned) << "round " << round;
    ASSERT_EQ(got.statuses, expected.statuses) << "round " << round;
    ASSERT_EQ(got.rows.size(), expected.rows.size()) << "round " << round;
    ASSERT_EQ(got.rows, expected.rows) << "round " << round;
    EXPECT_EQ(o.results, static_cast<int>(expected.rows.size()));
#ifndef _WIN32
    if (variant == 0) ExpectTheViewAgrees(path, typed, got, o, random, round);
    if (HasFatalFailure()) return;
#endif
  }
}

#ifndef _WIN32
// Directories of some thousands of subscribers, whole and damaged, with criteria that many of
// them match (their rows bring status updates between the 1000-record ones) or none: the view
// lists what the reader's own reads list.
TEST(ScanProperty, TheViewListsWhatTheOwnReadsList) {
  std::mt19937 random(4242);
  TempDir dir;
  const std::vector<std::wstring> criteria[] = {
      {L"", L"И"}, {L"", L"*ОВ Д.Е."}, {L"12", L""}, {L"", L"НИКТО"}, {L"5*", L"?В*"}};
  for (int round = 0; round < 24; ++round) {
    const int count = 3000 + static_cast<int>(random() % 30000);
    const std::wstring path = dir.File(L"s" + std::to_wstring(round) + L".db");
    ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), RandomSubscribers(random, count)));
    std::string bytes = ReadFileBytes(path);
    DamageSecondHalf(&bytes, count, round % 5, random);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    for (const std::vector<std::wstring>& c : criteria) {
      Recorded one;
      const ScanOutcome o = Scan(path, c, &one);
      ExpectTheViewAgrees(path, c, one, o, random, round);
      if (HasFatalFailure()) return;
    }
  }
}
#endif

}  // namespace

// Damaged records (fields running past the data, texts longer than their field, missing NULs):
// the loop decodes only what the criteria need until a record matches, so its rows must be
// those of decoding every record in full and matching it, the plain way.
TEST(ScanProperty, DamagedRecordsMatchAsIfFullyDecoded) {
  std::mt19937 random(5150);
  TempDir dir;
  for (int round = 0; round < 150; ++round) {
    std::string bytes(kSchemaHeaderSize, '\0');
    const int count = 1 + static_cast<int>(random() % 6);
    bytes[4] = 12;
    bytes[5] = static_cast<char>(count);
    std::string recordCount;
    PutLe(&recordCount, 0x7FFFFFFF, 4);
    bytes.replace(8, 4, recordCount);
    std::vector<int> order(count);
    for (int j = 0; j < count; ++j) order[j] = j;
    std::shuffle(order.begin(), order.end(), random);
    for (int j = 0; j < count; ++j) {
      std::string desc(kNameCapacity, '\0');
      desc[0] = static_cast<char>('A' + j);
      const unsigned kind = random() % 5;
      const int type = kind < 2 ? 1 : kind < 4 ? 2 : 9;
      const int flags = static_cast<int>(random() % 16);
      desc += std::string{static_cast<char>(type),
                          static_cast<char>(flags),
                          static_cast<char>(1 + random() % 4),
                          static_cast<char>(order[j] + 1),
                          static_cast<char>(j + 1),
                          0};
      PutLe(&desc, 70, 2);
      PutLe(&desc, 50, 2);
      PutLe(&desc, 1 + random() % 12, 2);  // short maxLengths: long texts get cut
      bytes += desc;
    }
    const int records = 1 + static_cast<int>(random() % 400);
    std::vector<std::string> bodies;
    for (int i = 0; i < records; ++i) {
      std::string body;
      const size_t length = random() % 40;
      for (size_t b = 0; b < length; ++b)
        body += static_cast<char>(random() % 4 == 0 ? 0 : random() % 256);
      bodies.push_back(body);
    }
    std::string stream(1, static_cast<char>(bodies[0].size() + 1));
    for (int i = 0; i < records; ++i)
      stream += bodies[i] + static_cast<char>(i + 1 < records ? bodies[i + 1].size() + 1 : 0xFF);
    const std::wstring path = dir.File(L"damaged" + std::to_wstring(round) + L".fdb");
    ASSERT_TRUE(WriteRawFile(path.c_str(), bytes + stream, random() % 2 == 0));

    DatabaseHeader header;
    bool viaGz = false;
    ASSERT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk);
    FieldTable plain;
    ASSERT_EQ(BuildFieldTable(&plain, path.c_str(), header, nullptr, nullptr), SchemaOk);
    // Criteria from the fully decoded values of a random record.
    const std::string& sample = bodies[random() % records];
    std::string sampleRecord = sample + '\xFF';
    DecodeRecord(reinterpret_cast<const unsigned char*>(sampleRecord.data()),
                 static_cast<int>(sampleRecord.size()), &plain);
    std::vector<std::wstring> typed(plain.searchCount);
    for (int i = 0; i < plain.searchCount; ++i) {
      const std::string value = plain.searchMap[i]->value;
      const unsigned kind = random() % 4;
      if (kind == 0) continue;
      // Patterns on the length alone tell an empty value from a few stray bytes.
      static const wchar_t* const kShapes[] = {L"**", L"?", L"??*", L"???*", L"?*?"};
      if (kind == 1)
        typed[i] = kShapes[random() % 5];
      else
        typed[i] =
            SingleByteToWide(RandomCriterion(random, value, plain.searchMap[i]->maxLength).c_str());
    }
    for (int i = 0; i < plain.searchCount; ++i)
      SetFieldCriterion(plain.searchMap[i], typed[i].c_str());

    // The plain way: every record decoded in full, then matched.
    std::vector<Row> expected;
    const bool none = NoActiveCriteria(&plain);
    size_t pos = 1;
    unsigned length = static_cast<unsigned char>(stream[0]);
    while (length != 0xFF) {
      const unsigned char* record = reinterpret_cast<const unsigned char*>(stream.data()) + pos;
      DecodeRecord(record, static_cast<int>(length), &plain);
      if (none || RecordMatches(&plain)) {
        ResultRow row = BuildResultRow(&plain);
        ASSERT_NE(row, nullptr);
        expected.emplace_back(row, row + plain.displayCount);
        FreeResultRow(row);
      }
      pos += length;
      length = record[length - 1];
    }
    FreeFieldTable(&plain);

    Recorded got;
    const ScanOutcome o = Scan(path, typed, &got);
    ASSERT_EQ(o.scanned, records) << "round " << round;
    ASSERT_EQ(got.rows, expected) << "round " << round;
  }
}

// Substring and pattern criteria are checked where the field's bytes stand (a phone's digits
// without rendering it, a name's bytes as they are): the rows are those the decoded values
// match, among numbers with zeros inside and at either end and names that differ only in case
// or in their last letter. (Folded fields: the randomized comparisons above.)
TEST(ScanByteChecks, SubstringsAndPatternsFindTheRowsTheDecodedValuesMatch) {
  TempDir dir;
  const std::vector<DatabaseRecord> records = {
      {"2345670", Cp1251(L"ПЕТРОВ Д.Е."), "A", "1", ""},
      {"0", Cp1251(L"петров д.е."), "B", "2", ""},
      {"1020304", Cp1251(L"ИВАНОВА М.С."), "C", "3", ""},
      {"16777215", Cp1251(L"СИДОРОВ Д.Е"), "D", "4", ""},
      {"100", "SMITH", "E", "5", ""},
      {"234567", Cp1251(L"ОВ Д.Е."), "F", "6", ""},
      {"5023456", Cp1251(L"Д.Е."), "G", "7", ""},
  };
  struct Case {
    int position;  // 0: Phone, 1: Name
    const wchar_t* criterion;
    std::vector<std::string> phones;  // of the rows, in file order
  };
  const Case cases[] = {
      {0, L"234567", {"2345670", "234567"}},
      {0, L"0", {"2345670", "0", "1020304", "100", "5023456"}},
      {0, L"00", {"100"}},
      {0, L"0203", {"1020304"}},
      {0, L"7", {"2345670", "16777215", "234567"}},
      {0, L"16777215", {"16777215"}},  // cut to the field's 7 characters
      {0, L"8", {}},
      {0, L"*2*4*", {"2345670", "1020304", "234567", "5023456"}},
      {0, L"2*4", {}},
      {1, L"*ОВ Д.Е.", {"2345670", "234567"}},
      {1, L"*д.е?", {"0"}},
      {1, L"*Д.Е", {"16777215"}},
      {1, L"*", {"2345670", "0", "1020304", "16777215", "100", "234567", "5023456"}},
      {1, L"*ОВ*", {"2345670", "1020304", "16777215", "234567"}},
      {1, L"ОВ", {"234567"}},
      {1, L"?.Е.*", {"5023456"}},
      {1, L"S*H", {"100"}},
  };
  for (int v = 0; v < 3; ++v) {
    const std::wstring path = dir.File(kNames[v]);
    ASSERT_TRUE(WriteFixture(path, FixtureOptions(kVariants[v]), records));
    for (const Case& c : cases) {
      std::vector<std::wstring> criteria(2);
      criteria[c.position] = c.criterion;
      Recorded r;
      const ScanOutcome o = Scan(path, criteria, &r);
      std::vector<std::string> phones;
      for (const Row& row : r.rows) phones.push_back(WideToUtf8(row[0]));
      EXPECT_EQ(phones, c.phones) << kNames[v] << " " << WideToUtf8(c.criterion);
      EXPECT_EQ(o.scanned, 7);
    }
  }
}
