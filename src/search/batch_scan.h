// Many queries answered in one walk over the records (the command line's search --queries).
// Each query's rows are exactly those a search of it alone lists, the header's record count
// limit included; a record that matches several queries is reported once for each, in query
// order.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/scan_loop.h"

// One active criterion of a query, as SetFieldCriterion prepares a field's own: single-byte,
// cut to the field's maxLength, folded where the field folds.
struct QueryCriterion {
  int field = 0;  // index into the table's fields
  std::string text;
  bool wildcard = false;
};

// The active criteria of one query; a query without any matches every record.
struct Query {
  std::vector<QueryCriterion> criteria;
};

// The table's criteria as SetFieldCriterion left them, taken as one query.
Query CaptureQuery(const FieldTable* table);

// Where a batch scan reports. Each callback is optional (null does nothing).
struct BatchSink {
  void* context = nullptr;
  // Progress: rows so far (all queries together), records scanned so far. It comes at the
  // first record, every 1000 records and after every 50 rows.
  void (*statusUpdate)(void* context, int results, int scanned) = nullptr;
  // A record (counted from 1) that matches query (counted from 0), decoded in the table;
  // results is the number of rows before this one. Returns a RowAnswer (scan_loop.h): taken,
  // taken and the scan to end after this record, or refused (which ends the scan).
  int (*appendRow)(void* context, const FieldTable* table, int query, int record,
                   int results) = nullptr;
};

struct BatchOutcome {
  ScanOutcome scan;  // records read, rows of all queries, how the walk ended
  // Queries whose own search would have ended at the header's record count (ScanRecordLimit).
  int limitedQueries = 0;
};

// Walks the records from the reader's position once for all queries. The table's own criteria
// are not used. The stop flag is read after each record, as RunScan reads it.
BatchOutcome RunBatchScan(RecordReader* reader, const DatabaseHeader& header, FieldTable* table,
                          const std::vector<Query>& queries, const std::atomic<int>* stopFlag,
                          const BatchSink& sink);
