// The walk over a file's records that every search makes, one query or many: the chain of
// length bytes, what ends it (the end mark, a length of 0, a short read, a cut, the record
// count, a stop request, a refused row) and the order in which it asks the search about each
// record. What a search checks, keeps and reports is its own business (its Steps).
#pragma once
#include <atomic>
#include <climits>

#include "db/database_header.h"
#include "db/record_reader.h"
#include "search/scan_loop.h"

// A status update is shown to the user (a status text, a progress bar), so it comes every 1000
// records, or once 50 rows have arrived since the last one: the row counter restarts at 1 after
// an update, so it reads 51 after 50 new rows. It starts at 0, which makes the first record an
// update too.
constexpr int kRecordsPerUpdate = 1000;
constexpr int kRowsPerUpdate = 51;

// The record at which the update after one at record scanned is due, unless rows bring it on.
inline long long NextCommonUpdate(int scanned) {
  return static_cast<long long>(scanned - scanned % kRecordsPerUpdate) + kRecordsPerUpdate;
}

// The last record before one at updateAt, never past INT_MAX: how far a pass-over may go
// without the search looking at a record.
inline int LastQuietRecord(long long updateAt) {
  return updateAt - 1 < INT_MAX ? static_cast<int>(updateAt - 1) : INT_MAX;
}

// Room for the longest record below the 0xFF end mark, plus slack so a record buffer of a
// round size never needs a bounds thought.
constexpr int kRecordBufferSize = 256;

// Steps is the search's side of the walk, called in this order for each record:
//   bool PassOver(RecordReader*, unsigned char* length, int* scanned): passes over records the
//     search turns away (PassOverRecords); false when the stop flag was set meanwhile;
//   void AtCountLimit(): the count would pass INT_MAX, which no header's record count reaches;
//   bool AtRecord(int scanned): the record's number is counted; false ends the walk at the
//     header's record count (status updates are due here);
//   int Take(const unsigned char* data, unsigned length, int scanned): the record, whole; a
//     RowAnswer;
// and int results, the rows taken. The stop flag is read after each record.
template <typename Steps>
ScanOutcome WalkRecords(RecordReader* reader, Steps& steps, const std::atomic<int>* stopFlag) {
  ScanOutcome outcome;
  unsigned char record[kRecordBufferSize];
  unsigned char length = 0;
  if (ReadRecordBytes(reader, &length, 1) != 1) {
    outcome.end = ScanShortRead;
    return outcome;
  }
  int scanned = 0;
  ScanEnd end = ScanEndMark;
  while (length != kEndOfRecords) {
    if (!steps.PassOver(reader, &length, &scanned)) {
      end = ScanStopped;
      break;
    }
    if (length == kEndOfRecords) break;
    // A length of 0 leaves no room for the next length byte: the chain is broken here, and the
    // scan ends as it does at a cut-off record.
    if (length == 0) {
      end = ScanBadLength;
      break;
    }
    // The record is read in place when the reader holds it whole in its block buffer, which is
    // nearly always; only a record that straddles two blocks is copied out.
    const unsigned char* data = TakeRecordBytes(reader, record, length);
    // A record that a cut by another program fell inside is no subscriber: it ends the scan as
    // the cut, unlisted and uncounted.
    if (data == nullptr || (data[length - 1] == 0 && RecordCutAway(reader))) {
      end = ScanShortRead;
      break;
    }
    // A count past INT_MAX cannot be compared with any header's recordCount; such a stream (a
    // tiny gz file can unpack to billions of records) has run past every limit anyway.
    if (scanned == INT_MAX) {
      steps.AtCountLimit();
      end = ScanRecordLimit;
      break;
    }
    ++scanned;
    if (!steps.AtRecord(scanned)) {
      end = ScanRecordLimit;
      break;
    }
    const int answer = steps.Take(data, length, scanned);
    if (answer == RowRefused) {
      end = ScanRowFailed;
      break;
    }
    length = data[length - 1];
    if (answer == RowTakenThenStop ||
        (stopFlag != nullptr && stopFlag->load(std::memory_order_relaxed) != 0)) {
      end = ScanStopped;
      break;
    }
  }
  outcome.scanned = scanned;
  outcome.results = steps.results;
  outcome.end = end;
  return outcome;
}
