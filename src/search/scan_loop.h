// The record loop of a search, written once for the GUI's worker and the command line.
#pragma once
#include <atomic>
#include <cstddef>

#include "db/field_schema.h"
#include "db/record_reader.h"

// How a scan ended.
enum ScanEnd {
  ScanEndMark = 0,      // the 0xFF length byte
  ScanShortRead = 1,    // the data ended inside a record or before a length byte
  ScanRecordLimit = 2,  // a status update found more records than the header's recordCount
  ScanStopped = 3,      // the stop flag was set
  ScanRowFailed = 4,    // the sink could not take a row
  ScanBadLength = 5,    // a length byte of 0
};

// Where a scan reports. Each callback is optional (null does nothing).
struct ScanSink {
  void* context = nullptr;
  // A status update: results so far, records scanned so far.
  void (*statusUpdate)(void* context, int results, int scanned) = nullptr;
  // A matching record, decoded in the table. Returns a RowAnswer.
  int (*appendRow)(void* context, const FieldTable* table, int results) = nullptr;
};

// What a sink answers for a row: taken; taken, and the search is to end after this record (as
// at a stop request: a caller that has all the rows it wants); or refused, which ends the scan
// with ScanRowFailed and the row uncounted.
enum RowAnswer { RowTaken = 0, RowTakenThenStop = 1, RowRefused = -1 };

struct ScanOutcome {
  int scanned = 0;
  int results = 0;
  ScanEnd end = ScanEndMark;
};

// Walks the records from the reader's position. The stop flag is nonzero when a stop is asked;
// it is read after each record. Criteria must be prepared in the table beforehand.
ScanOutcome RunScan(RecordReader* reader, const DatabaseHeader& header, FieldTable* table,
                    const std::atomic<int>* stopFlag, const ScanSink& sink);
