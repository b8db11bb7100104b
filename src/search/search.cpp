#include "search/search.h"

#include <cstring>

#include "db/record_reader.h"
#include "search/query_criteria.h"

namespace {

// Puts the query's criteria into the search's own fields, as SetFieldCriterion would have left
// them; every other searchable field has none.
void ApplyQuery(const Query& query, FieldTable* table) {
  for (int i = 0; i < table->searchCount; ++i) SetFieldCriterion(table->searchMap[i], L"");
  for (const QueryCriterion& c : query.criteria) {
    if (c.field < 0 || c.field >= table->fieldCount) continue;
    FieldDescriptor& f = table->fields[c.field];
    if (f.criterion == nullptr) continue;
    const size_t length = c.text.size() < f.maxLength ? c.text.size() : f.maxLength;
    memcpy(f.criterion, c.text.data(), length);
    f.criterion[length] = '\0';
    f.active = 1;
    f.criterionLength = static_cast<int32_t>(strlen(f.criterion));
    f.wildcard = c.wildcard ? 1 : 0;
  }
}

// One query's rows, handed on as the first query's.
int OneQueryRow(void* context, const FieldTable* table, int results) {
  const SearchSink& sink = *static_cast<const SearchSink*>(context);
  return sink.appendRow != nullptr ? sink.appendRow(sink.context, table, 0, results) : RowTaken;
}

int ManyQueryRow(void* context, const FieldTable* table, int query, int, int results) {
  const SearchSink& sink = *static_cast<const SearchSink*>(context);
  return sink.appendRow != nullptr ? sink.appendRow(sink.context, table, query, results) : RowTaken;
}

void OnStatus(void* context, int results, int scanned) {
  const SearchSink& sink = *static_cast<const SearchSink*>(context);
  if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
}

// The records of a search: the pool's, when it kept this file's; else the file's, teed into
// the pool when it keeps them. A pool that keeps nothing is looked at only once the file has
// opened, so a file that cannot be opened is tried once.
struct SearchRecords {
  RecordReader reader;
  RecordPool* pool = nullptr;
  PoolClaim claim;
  bool fromPool = false;
  bool open = false;

  void ReadKept() {
    if (open) CloseRecordReader(&reader);
    reader = RecordReader();
    OpenRecordReaderOnCache(&reader, &claim.kept->cache);
    fromPool = open = true;
  }
  int Open(const Database& db, const SearchOptions& options) {
    pool = db.viaGz || options.keepPlainFiles ? options.pool : nullptr;
    if (pool != nullptr && RecordPoolBytes(pool) > 0) {
      ClaimKeptRecords(pool, db.path, db.header.headerSize, &claim);
      if (claim.kept != nullptr) {
        ReadKept();
        return 0;
      }
    }
    const int opened =
        OpenRecordReader(&reader, db.path.c_str(), db.header, db.viaGz, options.sharing);
    if (opened != 0) return opened;
    open = true;
    if (pool != nullptr && claim.filling == nullptr) {
      // Another search of the file may be filling: then this one waits and reads what it kept.
      ClaimKeptRecords(pool, db.path, db.header.headerSize, &claim);
      if (claim.kept != nullptr) {
        ReadKept();
        return 0;
      }
    }
    if (claim.filling != nullptr) {
      claim.filling->cache.source = options.chunkSource;
      TeeRecordReader(&reader, &claim.filling->cache);
    }
    if (options.read != ReadInCalls) StartReadAhead(&reader, options.read == ReadView);
    return 0;
  }
  // An end in the record chain comes at the same byte for every search of these bytes; the
  // record count's end may come later for another search (its updates follow its rows), so
  // only a stream held to its own end stands for it. A stop, or a refused row, keeps nothing.
  void Close(ScanEnd end) {
    if (claim.filling != nullptr) {
      const bool searchEnded = end == ScanStopped || end == ScanRowFailed;
      const bool readThrough = !searchEnded && (claim.filling->cache.sourceEnded ||
                                                end == ScanEndMark || end == ScanBadLength);
      claim.filling->cache.source = ChunkSource();
      FinishKeptRecords(pool, &claim, readThrough);
    }
    if (open) CloseRecordReader(&reader);
    open = false;
  }
  FileDuringSearch File() const {
    if (fromPool) return FileUntouched;
    return RecordFileShrank(&reader)    ? FileCut
           : RecordFileChanged(&reader) ? FileChanged
                                        : FileUntouched;
  }
};

// One walk of the records for the queries, as one search or as a batch.
void WalkQueries(const Database& database, const std::vector<Query>& queries,
                 const SearchSink& sink, const SearchOptions& options, RecordReader* reader,
                 FieldTable* table, SearchOutcome* outcome) {
  if (queries.size() == 1) {
    ApplyQuery(queries[0], table);
    ScanSink one;
    one.context = const_cast<SearchSink*>(&sink);
    one.statusUpdate = OnStatus;
    one.appendRow = OneQueryRow;
    outcome->scan = RunScan(reader, database.header, table, options.stop, one);
    outcome->limitedQueries = outcome->scan.end == ScanRecordLimit ? 1 : 0;
  } else {
    BatchSink many;
    many.context = const_cast<SearchSink*>(&sink);
    many.statusUpdate = OnStatus;
    many.appendRow = ManyQueryRow;
    const BatchOutcome batch =
        RunBatchScan(reader, database.header, table, queries, options.stop, many);
    outcome->scan = batch.scan;
    outcome->limitedQueries = batch.limitedQueries;
  }
}

}  // namespace

std::shared_ptr<const Database> LoadDatabase(const std::wstring& path, FieldNameLookup lookup,
                                             void* lookupContext, LoadProblem* problem) {
  LoadProblem ignored;
  LoadProblem& why = problem != nullptr ? *problem : ignored;
  auto database = std::make_shared<Database>();
  database->path = path;
  why.open = OpenDatabase(path.c_str(), &database->header, &database->viaGz);
  if (why.open != OpenOk) return nullptr;
  why.schema = BuildFieldTable(&database->schema, path.c_str(), database->header, lookup,
                               lookupContext, &why.problem);
  if (why.schema != SchemaOk) return nullptr;
  return database;
}

Query PrepareTypedQuery(const Database& database, const std::vector<std::wstring>& typed) {
  FieldTable scratch;
  if (!CopyFieldTable(database.schema, &scratch)) return Query();
  for (int i = 0; i < scratch.searchCount; ++i)
    SetFieldCriterion(scratch.searchMap[i],
                      i < static_cast<int>(typed.size()) ? typed[i].c_str() : L"");
  Query query = CaptureQuery(&scratch);
  FreeFieldTable(&scratch);
  return query;
}

SearchOutcome Search(const Database& database, const std::vector<Query>& queries,
                     const SearchSink& sink, const SearchOptions& options) {
  SearchOutcome outcome;
  FieldTable table;
  if (!CopyFieldTable(database.schema, &table)) {
    outcome.failure = 3;
    return outcome;
  }
  SearchRecords records;
  try {
    outcome.failure = records.Open(database, options);
    if (outcome.failure == 0) {
      if (sink.begin != nullptr) sink.begin(sink.context);
      WalkQueries(database, queries, sink, options, &records.reader, &table, &outcome);
      outcome.file = records.File();
      outcome.fromPool = records.fromPool;
    }
  } catch (...) {
    // A sink that throws (its memory ran out), or the walk's own allocation, ends the search as
    // a refused row does: nothing half filled is kept, a search waiting for these records to be
    // kept goes on, the file is closed, and the caller hears the exception.
    records.Close(ScanRowFailed);
    FreeFieldTable(&table);
    throw;
  }
  records.Close(outcome.failure != 0 ? ScanStopped : outcome.scan.end);
  FreeFieldTable(&table);
  return outcome;
}
