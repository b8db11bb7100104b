// Opens, loads the schema of and scans a database file made of arbitrary bytes, with criteria
// of every match mode. Input: a mode byte (variant, compression), a criteria byte, then the
// file's bytes before any compression.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "fuzz_scratch.h"
#include "search/query_criteria.h"
#include "search/result_row.h"
#include "search/scan_loop.h"
#include "search/text_match.h"

static int TakeRow(void*, const FieldTable* table, int) {
  ResultRow row = BuildResultRow(table);
  if (!row) return -1;
  for (int k = 0; k < table->displayCount; ++k) {
    if (!row[k]) abort();
    (void)wcslen(row[k]);  // every entry must be terminated
  }
  FreeResultRow(row);
  return 0;
}

static void CheckStatus(void*, int results, int scanned) {
  if (results < 0 || scanned < 1 || results > scanned) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool folded = (BuildFoldTable(), true);
  (void)folded;
  if (size < 2) return 0;
  static const char* const kNames[] = {"f.db", "f.zdb", "f.fdb", "F.ZDB", "f.txt", "f.FDB"};
  const uint8_t mode = data[0];
  const char* name = kNames[(mode & 0x7) % 6];
  const bool compress = (mode & 0x8) != 0;
  const std::wstring path = FuzzScratchPath(name);
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  const bool gzName = strstr(name, "db") != nullptr && name[strlen(name) - 3] != '.';
  if (!WriteRawFile(path.c_str(), bytes, compress && gzName)) abort();

  DatabaseHeader header;
  bool viaGz = false;
  if (OpenDatabase(path.c_str(), &header, &viaGz) != OpenOk) return 0;
  FieldTable table;
  if (BuildFieldTable(&table, path.c_str(), header, nullptr, nullptr) != SchemaOk) return 0;

  static const wchar_t* const kCriteria[] = {L"",  L"1",    L"\x410*", L"*",     L"**",
                                             L"?", L"A?B*", L"0",      L"\x401", L" "};
  for (int i = 0; i < table.searchCount; ++i) {
    SetFieldCriterion(table.searchMap[i], kCriteria[(data[1] + i * 3) % 10]);
  }
  RecordReader reader;
  if (OpenRecordReader(&reader, path.c_str(), header, viaGz) == 0) {
    std::atomic<int> stop{0};
    ScanSink sink;
    sink.statusUpdate = CheckStatus;
    sink.appendRow = TakeRow;
    ScanOutcome outcome = RunScan(&reader, header, &table, &stop, sink);
    if (outcome.results > outcome.scanned) abort();
    CloseRecordReader(&reader);
  }
  FreeFieldTable(&table);
  return 0;
}
