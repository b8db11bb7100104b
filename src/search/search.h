// The search of a directory as every front end asks for it: a database opened once and shared,
// queries prepared for it, and one call that walks its records for one query or for many.
//
// Threads: a Database never changes once loaded, so any number of searches read it at once,
// each holding it by a shared pointer. What a search writes (the fields it decodes records into,
// its reader, its plan) is its own, made inside Search. A Query is plain data.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "db/file_system.h"
#include "db/record_pool.h"
#include "search/batch_scan.h"
#include "search/scan_loop.h"

// One directory file: its header and its fields as read from the disk. No search writes into
// the schema; each search decodes into a copy of it (CopyFieldTable).
struct Database {
  std::wstring path;
  DatabaseHeader header{};
  bool viaGz = false;
  FieldTable schema;
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { FreeFieldTable(&schema); }
};

// Why a file could not be loaded: its header (open), else its fields (schema, with the reason
// in words in problem).
struct LoadProblem {
  OpenResult open = OpenOk;
  SchemaResult schema = SchemaOk;
  std::string problem;
};

// Reads the file's header and fields. lookup (may be null) names the built-in fields in the
// user's language. Null, with why in problem (may be null), when the file cannot be searched.
std::shared_ptr<const Database> LoadDatabase(const std::wstring& path, FieldNameLookup lookup,
                                             void* lookupContext, LoadProblem* problem);

// A Query (batch_scan.h) is prepared for a database: its active criteria as the matcher takes
// them, single-byte, cut to the field's maxLength, folded where the field folds.
// What a user typed into each criterion box, in search order (a missing or empty text is no
// criterion), made into a query of the database's fields.
Query PrepareTypedQuery(const Database& database, const std::vector<std::wstring>& typed);

// How a search reads the file. Only a view of a plain file installs a process-wide handler (for
// SIGBUS: a file cut under the view), and only read-ahead starts threads.
enum ReadMode {
  ReadInCalls = 0,  // the search's own thread reads, a block at a time
  ReadAhead = 1,    // a thread reads (and inflates) ahead of the scan
  ReadView = 2,     // a plain file viewed in place; a compressed one as ReadAhead
};

struct SearchOptions {
  ReadMode read = ReadInCalls;
  FileSharing sharing = ShareWithReaders;
  // Read after each record; nonzero ends the search (ScanStopped). May be null.
  const std::atomic<int>* stop = nullptr;
  // Compressed files' records kept between searches (record_pool.h). May be null.
  RecordPool* pool = nullptr;
  // Plain files' records kept in the pool too: for a front end that searches the same files
  // again and again, to whom reading a file anew (a view's page faults, or a copy from the
  // system's cache) costs more than its memory.
  bool keepPlainFiles = false;
  // Where the pool's chunks come from while this search fills them (record_cache.h).
  ChunkSource chunkSource;
};

// Where a search reports. Each callback is optional (null does nothing).
struct SearchSink {
  void* context = nullptr;
  // The records opened and the walk begins (not called when they cannot be opened).
  void (*begin)(void* context) = nullptr;
  // Progress: rows so far (all queries together), records scanned so far: at the first record,
  // every 1000 records and after every 50 rows.
  void (*statusUpdate)(void* context, int results, int scanned) = nullptr;
  // A matching record of query (counted from 0), decoded in table's display fields; results is
  // the number of rows before this one. Returns a RowAnswer (scan_loop.h).
  int (*appendRow)(void* context, const FieldTable* table, int query, int results) = nullptr;
};

// What the file went through while it was searched.
enum FileDuringSearch { FileUntouched = 0, FileCut = 1, FileChanged = 2 };

struct SearchOutcome {
  // 0, or why the records could not be opened: 1 the plain file, 2 the compressed stream, 3 no
  // memory for the search's fields.
  int failure = 0;
  ScanOutcome scan;
  int limitedQueries = 0;  // queries whose walk ended at the header's record count
  FileDuringSearch file = FileUntouched;
  bool fromPool = false;  // the records came from the pool, not from the file
};

// Walks the records once for all queries, reporting to sink. One query is searched as the
// application searches it; many as one walk that lists for each query exactly what it lists
// alone (RunBatchScan).
SearchOutcome Search(const Database& database, const std::vector<Query>& queries,
                     const SearchSink& sink, const SearchOptions& options);
