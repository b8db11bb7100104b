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
//
// Substring and wildcard criteria are checked the same way, where the field's bytes stand: a
// text's bytes are folded one by one as they are compared, and a number's decimal digits are
// compared as the number gives them, lowest first, without rendering it as text. These checks
// are exact, and still only a gate in front of the full match, so a record that passes is
// matched by the same rules as before.
enum ByteCheck : unsigned char {
  NoCheck = 0,
  TextPrefix,      // the text begins with the criterion
  TextSubstring,   // the text holds the criterion
  TextWildcard,    // the text matches the pattern
  DigitsInNumber,  // the number's decimal digits hold the criterion's (digits only)
};

struct SearchPlan {
  int lastField = -1;              // the last searched field in field order; -1 when none is
  int lastCheckField = -1;         // the last field with a byte check; -1 when none has
  ByteCheck check[256] = {};       // by field index (a schema has at most 127 fields)
  bool wanted[256] = {};           // the searched fields, by field index
  uint32_t digitsValue[256] = {};  // DigitsInNumber: the criterion as a number
  uint32_t digitsPower[256] = {};  // and 10 to the power of its length - 1
  // TextWildcard: the pattern's piece after its last star, when it has one and ends in a
  // piece: every match ends in that many bytes that match it.
  uint8_t tailLength[256] = {};
  // When the first checked field is a prefix that always stands at the same offset (only
  // integers before it), its first byte turns most records away before any walk: quickAt is
  // that offset, -1 when there is none.
  long quickAt = -1;
  unsigned char quickFirst = 0;
  const unsigned char* quickFold = nullptr;
  unsigned char folded[256] = {};  // every byte as FoldByte folds it
  unsigned char same[256] = {};    // every byte as it is
};

// A criterion of 1 to 9 decimal digits, as a number and its top digit's power of ten.
bool CriterionDigits(const FieldDescriptor& f, uint32_t* value, uint32_t* power) {
  if (f.criterion == nullptr || f.criterionLength < 1 || f.criterionLength > 9) return false;
  uint32_t v = 0;
  uint32_t p = 1;
  for (int i = 0; i < f.criterionLength; ++i) {
    const char c = f.criterion[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (i > 0) p *= 10;
  }
  *value = v;
  *power = p;
  return true;
}

ByteCheck CheckFor(const FieldDescriptor& f, uint32_t* value, uint32_t* power) {
  if (f.criterion == nullptr || f.criterionLength <= 0 || f.criterionLength > f.maxLength)
    return NoCheck;
  if (f.type == FieldText) {
    if (f.wildcard) return TextWildcard;
    return (f.flags & MatchAnywhere) ? TextSubstring : TextPrefix;
  }
  if (f.type == FieldInteger && !f.wildcard && (f.flags & MatchAnywhere) &&
      CriterionDigits(f, value, power))
    return DigitsInNumber;
  return NoCheck;
}

// A record whose data ends at or before the prefix's first byte fails the prefix check too:
// an integer cut short moves the walk to the data's end, where no text can begin.
void PlanQuickCheck(const FieldTable* table, SearchPlan* plan) {
  long offset = 0;
  for (int j = 0; j <= plan->lastCheckField; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (plan->check[j] == TextPrefix) {
      plan->quickAt = offset;
      plan->quickFirst = static_cast<unsigned char>(f.criterion[0]);
      plan->quickFold = (f.flags & FoldValue) ? plan->folded : plan->same;
      return;
    }
    if (plan->check[j] != NoCheck || f.type == FieldText) return;
    if (f.type == FieldInteger) {
      if (f.size < 1 || f.size > 4) return;
      offset += f.size;
    }
  }
}

SearchPlan PlanSearch(const FieldTable* table) {
  SearchPlan plan;
  for (int b = 0; b < 256; ++b) {
    plan.same[b] = static_cast<unsigned char>(b);
    plan.folded[b] = FoldByte(static_cast<unsigned char>(b));
  }
  for (int j = 0; j < table->fieldCount && j < 256; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (f.searchIndex == 0 || !f.active) continue;
    plan.lastField = j;
    plan.wanted[j] = true;
    plan.check[j] = CheckFor(f, &plan.digitsValue[j], &plan.digitsPower[j]);
    if (plan.check[j] != NoCheck) plan.lastCheckField = j;
    if (plan.check[j] == TextWildcard) {
      const char* lastStar = strrchr(f.criterion, '*');
      if (lastStar != nullptr) plan.tailLength[j] = static_cast<uint8_t>(strlen(lastStar + 1));
    }
  }
  PlanQuickCheck(table, &plan);
  return plan;
}

// True when the text (length bytes, folded through fold) holds the criterion.
bool HoldsCriterion(const unsigned char* text, size_t length, const unsigned char* criterion,
                    size_t need, const unsigned char* fold) {
  if (length < need) return false;
  const unsigned char first = criterion[0];
  for (size_t i = 0; i + need <= length; ++i) {
    if (fold[text[i]] != first) continue;
    size_t k = 1;
    while (k < need && fold[text[i + k]] == criterion[k]) ++k;
    if (k == need) return true;
  }
  return false;
}

// The text check of field f at cursor, on the value DecodeRecordFields would give it: the bytes
// up to its NUL (or the data's end), cut to maxLength.
bool TextPasses(const unsigned char* record, size_t dataEnd, size_t cursor, size_t end,
                const FieldDescriptor& f, ByteCheck check, const unsigned char* fold,
                size_t tail = 0) {
  const unsigned char* criterion = reinterpret_cast<const unsigned char*>(f.criterion);
  const size_t need = static_cast<size_t>(f.criterionLength);
  const unsigned char* text = record + cursor;
  if (check == TextPrefix) {
    if (dataEnd - cursor < need || fold[text[0]] != criterion[0]) return false;
    // The criterion holds no NUL, so a text that ends early differs at its NUL.
    for (size_t i = 1; i < need; ++i)
      if (fold[text[i]] != criterion[i]) return false;
    return true;
  }
  size_t length = (end > cursor && record[end - 1] == 0) ? end - 1 - cursor : end - cursor;
  if (length > f.maxLength) length = f.maxLength;
  if (check == TextSubstring) return HoldsCriterion(text, length, criterion, need, fold);
  // A pattern that ends in a piece after a star: the text's last bytes must match that piece
  // ("?" any byte) before the whole pattern is tried.
  if (tail > 0) {
    if (length < tail) return false;
    const unsigned char* piece = criterion + need - tail;
    const unsigned char* last = text + length - tail;
    for (size_t i = 0; i < tail; ++i)
      if (piece[i] != '?' && piece[i] != fold[last[i]]) return false;
  }
  return WildcardMatchBytes(f.criterion, text, length, fold);
}

// The number of integer field f at cursor holds the criterion's digits, as RenderNumber would
// write it (a negative number's digits follow its minus sign, which no digit matches).
bool DigitsPass(const unsigned char* record, size_t cursor, size_t end, const FieldDescriptor& f,
                uint32_t value, uint32_t power) {
  const size_t size = end - cursor;
  if (size == 0 || static_cast<int>(size) != f.size) return false;  // shown empty
  uint32_t number = 0;
  for (size_t b = 0; b < size; ++b) number |= static_cast<uint32_t>(record[cursor + b]) << (8 * b);
  if (size == 4 && static_cast<int32_t>(number) < 0) number = 0u - number;
  const int need = f.criterionLength;
  uint32_t window = 0;  // the last need digits seen, the latest one highest
  int seen = 0;
  do {
    window = window / 10 + (number % 10) * power;
    number /= 10;
    if (++seen >= need && window == value) return true;
  } while (number != 0);
  return false;
}

// False when a checked field's value cannot match its criterion.
bool PassesByteChecks(const unsigned char* record, int length, const FieldTable* table,
                      const SearchPlan& plan) {
  const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
  size_t cursor = 0;
  for (int j = 0; j <= plan.lastCheckField; ++j) {
    const FieldDescriptor& f = table->fields[j];
    const ByteCheck check = plan.check[j];
    if (check == TextPrefix) {
      // Decided before the field's end is looked for: most records fail at the first byte.
      const unsigned char* fold = (f.flags & FoldValue) ? plan.folded : plan.same;
      if (!TextPasses(record, dataEnd, cursor, cursor, f, check, fold)) return false;
      if (j == plan.lastCheckField) return true;
    }
    const size_t end = FieldEnd(record, dataEnd, f, cursor);
    if (check == DigitsInNumber) {
      if (!DigitsPass(record, cursor, end, f, plan.digitsValue[j], plan.digitsPower[j]))
        return false;
    } else if (check == TextSubstring || check == TextWildcard) {
      const unsigned char* fold = (f.flags & FoldValue) ? plan.folded : plan.same;
      if (!TextPasses(record, dataEnd, cursor, end, f, check, fold, plan.tailLength[j]))
        return false;
    }
    cursor = end;
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
  // The record count at which the next status update is due: the next multiple of 1000, or
  // the record after the one that brought the 50th row since the last update, whichever comes
  // first. One comparison per record instead of two divisions.
  long long updateAt = 1;
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
    if (scanned == updateAt) {
      if (scanned > header.recordCount) {
        end = ScanRecordLimit;
        break;
      }
      updateCounter = 1;
      updateAt = static_cast<long long>(scanned - scanned % kRecordsPerUpdate) + kRecordsPerUpdate;
      if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
    }
    bool matches = true;
    if (noCriteria) {
      DecodeRecord(data, length, table);
    } else {
      const long at = plan.quickAt;
      matches = at < 0 || (at < length - 1 && plan.quickFold[data[at]] == plan.quickFirst);
      if (matches) matches = PassesByteChecks(data, length, table, plan);
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
      if (++updateCounter == kRowsPerUpdate && updateAt > scanned + 1) updateAt = scanned + 1;
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
