// Opens, loads the schema of and scans a database file made of arbitrary bytes, with criteria
// of every match mode. Input: a mode byte (variant, compression; 0x10: the records read ahead
// on threads, as the command line reads them; 0x20 with compression: written as a series of
// small members, as the writer writes a large file), a criteria byte, then the file's bytes
// before any compression.
#include <zlib.h>

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

// The bytes as a series of gzip members of memberBytes each, each header giving the member's
// length in the file.
static std::string SeriesOf(const std::string& bytes, size_t memberBytes) {
  std::string series;
  for (size_t at = 0; at < bytes.size(); at += memberBytes) {
    const std::string piece = bytes.substr(at, memberBytes);
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
    std::string raw(deflateBound(&z, static_cast<uLong>(piece.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());
    z.next_out = reinterpret_cast<Bytef*>(&raw[0]);
    z.avail_out = static_cast<uInt>(raw.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
    raw.resize(z.total_out);
    deflateEnd(&z);
    std::string member("\x1F\x8B\x08\x04\0\0\0\0\0\xFF\x08\0VD\x04\0\0\0\0\0", 20);
    member += raw;
    const uLong check =
        crc32(0, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
    for (int b = 0; b < 4; ++b) member += static_cast<char>((check >> (8 * b)) & 0xFF);
    for (int b = 0; b < 4; ++b) member += static_cast<char>((piece.size() >> (8 * b)) & 0xFF);
    for (int b = 0; b < 4; ++b)
      member[16 + b] = static_cast<char>((member.size() >> (8 * b)) & 0xFF);
    series += member;
  }
  return series;
}

static void CheckStatus(void*, int results, int scanned) {
  if (results < 0 || scanned < 1 || results > scanned) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const char* const kNames[] = {"f.db", "f.zdb", "f.fdb", "F.ZDB", "f.txt", "f.FDB"};
  const uint8_t mode = data[0];
  const char* name = kNames[(mode & 0x7) % 6];
  const bool compress = (mode & 0x8) != 0;
  const std::wstring path = FuzzScratchPath(name);
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  const bool gzName = strstr(name, "db") != nullptr && name[strlen(name) - 3] != '.';
  if (compress && gzName && (mode & 0x20) != 0) {
    if (!WriteRawFile(path.c_str(), SeriesOf(bytes, 16 + data[1] % 200), false)) abort();
  } else if (!WriteRawFile(path.c_str(), bytes, compress && gzName)) {
    abort();
  }

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
    if ((mode & 0x10) != 0) StartReadAhead(&reader);
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
