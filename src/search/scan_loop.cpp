// The record loop shared by the GUI's worker and the command line. It decides when a status
// update is due and when the scan ends; what an update or a row looks like is the sink's business.
#include "search/scan_loop.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "search/query_criteria.h"
#include "search/text_match.h"

namespace {

// Room for the longest record below the 0xFF end mark, plus slack so a record buffer of a
// round size never needs a bounds thought.
constexpr int kRecordBufferSize = 256;

// A status update is shown to the user (a status text, a progress bar), so it comes every 1000
// records, or once 50 rows have arrived since the last one: the row counter restarts at 1 after
// an update, so it reads 51 after 50 new rows. It starts at 0, which makes the first record
// an update too.
constexpr int kRecordsPerUpdate = 1000;
constexpr int kRowsPerUpdate = 51;

// Most records of a search fail their criteria, so decoding every field of every record (each
// text copied, each number rendered in decimal) is wasted work. A record is first decoded only
// as far as the criteria need: the fields before the last searched one are stepped over and
// only the searched ones are written. Only a record that matches is decoded in full, for its
// row. Both decodings write the same value into a searched field, because a field's value
// depends on the record's bytes alone (a field of another type is never written at all), so
// the match comes out as if the whole record had been decoded.
//
// The partial decoding is DecodeRecord's own walk (DecodeRecordFields), so stepping over a
// field follows exactly the same rules.
//
// Before even that, a prefix criterion on a text field is compared with the record's bytes where
// the field stands, without copying anything: most records of a search fail right there, at
// their first byte. This is only a gate: a record that passes it is still decoded and matched in
// full, so the gate decides nothing that the match rules would decide otherwise. It can only
// turn away records whose text does not begin with the criterion, and such a text cannot match
// in prefix mode (the criterion is never longer than maxLength, so cutting the text there
// changes nothing in its first criterionLength bytes).
struct SearchPlan {
  int lastField = -1;      // the last searched field in field order; -1 when none is
  int lastGateField = -1;  // the last field with a prefix gate; -1 when none has
  bool gate[256] = {};     // by field index (a schema has at most 127 fields)
  bool wanted[256] = {};   // the searched fields, by field index
};

SearchPlan PlanSearch(const FieldTable* table) {
  SearchPlan plan;
  for (int j = 0; j < table->fieldCount && j < 256; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (f.searchIndex == 0 || !f.active) continue;
    plan.lastField = j;
    plan.wanted[j] = true;
    if (f.type == FieldText && !f.wildcard && !(f.flags & MatchAnywhere) &&
        f.criterion != nullptr && f.criterionLength > 0 && f.criterionLength <= f.maxLength) {
      plan.gate[j] = true;
      plan.lastGateField = j;
    }
  }
  return plan;
}

// False when a gated field's text cannot begin with its criterion.
bool PassesPrefixGates(const unsigned char* record, int length, const FieldTable* table,
                       const SearchPlan& plan) {
  const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
  size_t cursor = 0;
  for (int j = 0; j <= plan.lastGateField; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (f.type == FieldText) {
      if (plan.gate[j]) {
        const unsigned char* criterion = reinterpret_cast<const unsigned char*>(f.criterion);
        const size_t need = static_cast<size_t>(f.criterionLength);
        if (dataEnd - cursor < need) return false;
        const unsigned char* text = record + cursor;
        if (f.flags & FoldValue) {
          for (size_t i = 0; i < need; ++i)
            if (text[i] == 0 || FoldByte(text[i]) != criterion[i]) return false;
        } else {
          // The criterion holds no NUL, so a text that ends early differs at its NUL.
          if (text[0] != criterion[0] || memcmp(text, criterion, need) != 0) return false;
        }
        if (j == plan.lastGateField) return true;
      }
    }
    cursor = FieldEnd(record, dataEnd, f, cursor);
  }
  return true;
}

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
  const SearchPlan plan = PlanSearch(table);
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
    // The record is read in place when the reader holds it whole in its block buffer, which is
    // nearly always; only a record that straddles two blocks is copied out.
    const unsigned char* data = TakeBufferedBytes(reader, length);
    if (data == nullptr) {
      if (ReadRecordBytes(reader, record, length) != length) {
        end = ScanShortRead;
        break;
      }
      data = record;
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
    bool matches = true;
    if (noCriteria) {
      DecodeRecord(data, length, table);
    } else {
      matches = PassesPrefixGates(data, length, table, plan);
      if (matches) {
        DecodeRecordFields(data, length, table, plan.lastField, plan.wanted);
        matches = RecordMatches(table);
      }
      if (matches) DecodeRecord(data, length, table);
    }
    if (matches) {
      if (sink.appendRow != nullptr && sink.appendRow(sink.context, table, results) == -1) {
        end = ScanRowFailed;
        break;
      }
      ++results;
      ++updateCounter;
    }
    length = data[length - 1];
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
