// The record loop shared by the GUI's worker and the command line. It decides when a status
// update is due and when the scan ends; what an update or a row looks like is the sink's business.
#include "search/scan_loop.h"

#include <climits>

#include "search/query_criteria.h"
#include "search/text_match.h"

namespace {

// Room for the longest record below the 0xFF end mark, plus slack so a record buffer of a
// round size never needs a bounds thought.
constexpr int kRecordBufferSize = 256;

// A status update costs several synchronous calls into the UI thread and a repaint of the
// list, so it comes every 1000 records, or once 50 rows have arrived since the last one.
constexpr int kRecordsPerUpdate = 1000;
constexpr int kRowsPerUpdate = 51;

}  // namespace

ScanOutcome RunScan(RecordReader* reader, const DatabaseHeader& header, FieldTable* table,
                    const std::atomic<int>* stopFlag, const ScanSink& sink) {
  ScanOutcome outcome;
  unsigned char record[kRecordBufferSize];
  unsigned char length = 0;
  if (ReadRecordBytes(reader, &length, 1) != 1) {
    outcome.end = ScanShortRead;
    return outcome;
  }
  const bool noCriteria = NoActiveCriteria(table);
  int scanned = 0;
  int results = 0;
  int updateCounter = 0;
  ScanEnd end = ScanEndMark;
  while (length != kEndOfRecords) {
    // A length of 0 leaves no room for the next length byte: the chain is broken here, and
    // the scan ends as it does at a cut-off record.
    if (length == 0) {
      end = ScanBadLength;
      break;
    }
    if (ReadRecordBytes(reader, record, length) != length) {
      end = ScanShortRead;
      break;
    }
    // A count past INT_MAX cannot be compared with any header's recordCount; such a stream
    // (a tiny gz file can unpack to billions of records) has run past every limit anyway.
    if (scanned == INT_MAX) {
      end = ScanRecordLimit;
      break;
    }
    ++scanned;
    if (scanned % kRecordsPerUpdate == 0 || updateCounter % kRowsPerUpdate == 0) {
      if (scanned > header.recordCount) {
        end = ScanRecordLimit;
        break;
      }
      updateCounter = 1;
      if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
    }
    DecodeRecord(record, length, table);
    if (noCriteria || RecordMatches(table)) {
      if (sink.appendRow != nullptr && sink.appendRow(sink.context, table, results) == -1) {
        end = ScanRowFailed;
        break;
      }
      ++results;
      ++updateCounter;
    }
    length = record[length - 1];
    if (stopFlag != nullptr && stopFlag->load(std::memory_order_relaxed) != 0) {
      end = ScanStopped;
      break;
    }
  }
  outcome.scanned = scanned;
  outcome.results = results;
  outcome.end = end;
  return outcome;
}
