// The record loop shared by the GUI's worker and the command line. It decides when a status
// update is due and when the scan ends; what an update or a row looks like is the sink's business.
#include "search/scan_loop.h"

#include <climits>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "search/pass_over.h"
#include "search/query_criteria.h"
#include "search/record_walk.h"
#include "search/text_match.h"

namespace {

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

// What the byte checks need of one field from the plan's first checked one on, gathered in one
// place so that a record's check reads a few bytes of the plan rather than the field table.
struct CheckStep {
  ByteCheck check = NoCheck;  // NoCheck: the field is only stepped over
  int type = FieldText;       // a FieldType
  size_t size = 0;            // an integer's bytes, 0 when its size is not 1 to 4
  size_t maxLength = 0;       // a text's
  const unsigned char* criterion = nullptr;
  size_t need = 0;  // the criterion's length
  const unsigned char* fold = nullptr;
  // TextWildcard: the pattern's piece after its last star, when it has one and ends in a
  // piece: every match ends in that many bytes that match it.
  size_t tail = 0;
  // For one pattern whose tail is 1 to 8 bytes: row k tells which bytes the text's k-th byte
  // from its end may be (every byte for k at or past the tail). Null for the others.
  const unsigned char (*tailAccept)[256] = nullptr;
  // The same rows as one test of the 8 bytes before the text's end, read as a little-endian
  // word w: (w & tailMask) == tailValue. Set (tailWord) when every row accepts all bytes, one
  // byte, or two bytes that differ in one bit (a letter in either case).
  bool tailWord = false;
  uint64_t tailMask = 0;
  uint64_t tailValue = 0;
  uint32_t digitsValue = 0;  // DigitsInNumber: the criterion as a number
  uint32_t digitsPower = 0;  // and 10 to the power of its length - 1
};

// The plan points into its own tables (a step's fold table, its tail rows), so it is filled
// where it stays and never copied.
struct SearchPlan {
  SearchPlan() = default;
  SearchPlan(const SearchPlan&) = delete;
  SearchPlan& operator=(const SearchPlan&) = delete;
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
  // The byte checks start at field startField, which stands at startAt whenever the record's
  // data reaches that far (only integers, or fields of no bytes, come before it), and at the
  // data's end otherwise: the fields before it are stepped over without a walk.
  int startField = 0;
  size_t startAt = 0;
  unsigned char quickFirst = 0;
  // The prefix's second byte, -1 when it has only one.
  int quickSecond = -1;
  const unsigned char* quickFold = nullptr;
  unsigned char folded[256] = {};  // every byte as FoldByte folds it
  unsigned char same[256] = {};    // every byte as it is
  CheckStep steps[256];            // fields startField to lastCheckField
  unsigned char tailAccept[8][256] = {};
  int stepCount = 0;
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
      if (f.criterionLength >= 2) plan->quickSecond = static_cast<unsigned char>(f.criterion[1]);
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

// Row k of the tail rows (the k-th byte from the text's end) becomes byte 7 - k of the word's
// mask and value, where its accepted bytes allow it.
void PlanTailWord(const unsigned char (*accept)[256], CheckStep* step) {
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t mask = 0;
  uint64_t value = 0;
  for (int k = 0; k < 8; ++k) {
    int count = 0;
    int first = -1;
    int second = -1;
    for (int b = 0; b < 256; ++b) {
      if (!accept[k][b]) continue;
      ++count;
      if (first < 0)
        first = b;
      else if (second < 0)
        second = b;
    }
    uint64_t m = 0;
    if (count == 256) {
      m = 0;  // any byte
    } else if (count == 1) {
      m = 0xFF;
    } else if (count == 2 && __builtin_popcount(static_cast<unsigned>(first ^ second)) == 1) {
      m = 0xFFu & ~static_cast<unsigned>(first ^ second);
    } else {
      return;
    }
    const int at = 8 * (7 - k);
    mask |= m << at;
    value |= (static_cast<uint64_t>(first < 0 ? 0 : first) & m) << at;
  }
  step->tailWord = true;
  step->tailMask = mask;
  step->tailValue = value;
#else
  (void)accept;
  (void)step;
#endif
}

void PlanSearch(const FieldTable* table, SearchPlan* out) {
  SearchPlan& plan = *out;
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
  for (int j = 0; j < plan.lastCheckField && plan.check[j] == NoCheck; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (f.type == FieldText) break;
    if (f.type == FieldInteger) {
      if (f.size < 1 || f.size > 4) break;
      plan.startAt += static_cast<size_t>(f.size);
    }
    plan.startField = j + 1;
  }
  bool tailTaken = false;
  for (int j = plan.startField; j <= plan.lastCheckField; ++j) {
    const FieldDescriptor& f = table->fields[j];
    CheckStep& step = plan.steps[plan.stepCount++];
    step.check = plan.check[j];
    step.type = f.type;
    step.size = (f.size >= 1 && f.size <= 4) ? static_cast<size_t>(f.size) : 0;
    step.maxLength = f.maxLength;
    step.criterion = reinterpret_cast<const unsigned char*>(f.criterion);
    step.need = f.criterionLength > 0 ? static_cast<size_t>(f.criterionLength) : 0;
    step.fold = (f.flags & FoldValue) ? plan.folded : plan.same;
    step.tail = plan.tailLength[j];
    if (step.check == TextWildcard && step.tail > 0 && step.tail <= 8 && step.need >= step.tail &&
        !tailTaken) {
      const unsigned char* piece = step.criterion + step.need - step.tail;
      for (size_t k = 0; k < 8; ++k) {
        for (int b = 0; b < 256; ++b) {
          const bool any = k >= step.tail || piece[step.tail - 1 - k] == '?';
          plan.tailAccept[k][b] = any || step.fold[b] == piece[step.tail - 1 - k];
        }
      }
      step.tailAccept = plan.tailAccept;
      tailTaken = true;
      PlanTailWord(plan.tailAccept, &step);
    }
    step.digitsValue = plan.digitsValue[j];
    step.digitsPower = plan.digitsPower[j];
  }
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

// The text checks of a step's field at cursor, on the value DecodeRecordFields would give it:
// the bytes up to its NUL (or the data's end), cut to maxLength.
inline bool PrefixPasses(const unsigned char* record, size_t dataEnd, size_t cursor,
                         const CheckStep& step) {
  const unsigned char* criterion = step.criterion;
  const unsigned char* fold = step.fold;
  const unsigned char* text = record + cursor;
  const size_t need = step.need;
  if (dataEnd - cursor < need || fold[text[0]] != criterion[0]) return false;
  // The criterion holds no NUL, so a text that ends early differs at its NUL.
  for (size_t i = 1; i < need; ++i)
    if (fold[text[i]] != criterion[i]) return false;
  return true;
}

// The eight bytes before end pass the pattern's tail rows: eight table look-ups and no branch.
// The bytes before the text, in the record, are accepted by the rows past the tail.
inline bool TailAccepted(const unsigned char* e, const unsigned char (*accept)[256]) {
  return (accept[0][e[-1]] & accept[1][e[-2]] & accept[2][e[-3]] & accept[3][e[-4]] &
          accept[4][e[-5]] & accept[5][e[-6]] & accept[6][e[-7]] & accept[7][e[-8]]) != 0;
}

// The text's length as TextPasses takes it: without its NUL, and no longer than maxLength.
inline size_t TextLength(const unsigned char* record, size_t cursor, size_t end, size_t maxLength) {
  const size_t length = (end > cursor && record[end - 1] == 0) ? end - 1 - cursor : end - cursor;
  return length > maxLength ? maxLength : length;
}

bool TextPasses(const unsigned char* record, size_t cursor, size_t end, const CheckStep& step) {
  const unsigned char* text = record + cursor;
  const size_t length = TextLength(record, cursor, end, step.maxLength);
  const unsigned char* fold = step.fold;
  if (step.check == TextSubstring)
    return HoldsCriterion(text, length, step.criterion, step.need, fold);
  // A pattern that ends in a piece after a star: the text's last bytes must match that piece
  // ("?" any byte) before the whole pattern is tried.
  const size_t tail = step.tail;
  if (tail > 0) {
    if (length < tail) return false;
    const unsigned char(*accept)[256] = step.tailAccept;
    if (accept != nullptr && cursor + length >= 8) {
      if (!TailAccepted(text + length, accept)) return false;
      return WildcardMatchBytes(reinterpret_cast<const char*>(step.criterion), text, length, fold);
    }
    const unsigned char* piece = step.criterion + step.need - tail;
    const unsigned char* last = text + length - tail;
    // Every byte is compared, with no branch per byte: which byte differs first is a matter of
    // chance, and a branch on it would be mispredicted at nearly every record.
    bool differs = false;
    for (size_t i = 0; i < tail; ++i) differs |= (piece[i] != '?') & (piece[i] != fold[last[i]]);
    if (differs) return false;
  }
  return WildcardMatchBytes(reinterpret_cast<const char*>(step.criterion), text, length, fold);
}

// The decimal digits of number (as RenderNumber writes them, without a sign) hold value, of need
// digits, power being 10 to the need - 1: some run of need digits reads value. The runs are the
// last need digits of number, of number / 10, and so on while need digits are left, so a phone
// number of 7 digits has two runs of 6 to compare rather than a digit at a time. kRun is 10 to
// the need, a constant so that no division is a real one.
template <uint32_t kRun>
bool RunOfDigitsHolds(uint32_t number, uint32_t value, uint32_t power) {
  // Fewer than need digits; a single 0 is one digit, and 0 < power only when need is 1.
  if (number < power && kRun > 10) return false;
  for (uint32_t rest = number;; rest /= 10) {
    if (rest % kRun == value) return true;
    if (rest / 10 < power) return false;
  }
}

bool DigitsHold(uint32_t number, size_t need, uint32_t value, uint32_t power) {
  if (need < 1 || need > 9) return false;
  return WithPowerOfTen(need, [&](auto run) {
    return RunOfDigitsHolds<static_cast<uint32_t>(decltype(run)::value)>(number, value, power);
  });
}

// The number of a step's integer field at cursor holds the criterion's digits, as RenderNumber
// would write it (a negative number's digits follow its minus sign, which no digit matches).
inline bool DigitsPass(const unsigned char* record, size_t cursor, size_t end,
                       const CheckStep& step) {
  const size_t size = end - cursor;
  if (size == 0 || size != step.size) return false;  // shown empty
  bool negative = false;
  const uint32_t number = IntegerMagnitude(ReadFieldInteger(record, cursor, size), size, &negative);
  return DigitsHold(number, step.need, step.digitsValue, step.digitsPower);
}

// Where the text at cursor ends, as FieldEnd finds it (just past its NUL, or dataEnd without
// one), sixteen or eight bytes at a time: a text is a dozen bytes or two, too short for a call
// of memchr to pay for itself, and a loop over its bytes mispredicts its end at every record.
// In a word w, (w - 0x01..01) & ~w & 0x80..80 has its lowest bit set in the first zero byte (a
// borrow only runs up from a zero byte), and the bytes are little-endian.
inline size_t TextEnd(const unsigned char* record, size_t dataEnd, size_t cursor) {
  size_t at = cursor;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  while (dataEnd - at >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(record + at));
    const unsigned nul = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
    if (nul != 0) return at + static_cast<size_t>(__builtin_ctz(nul)) + 1;
    at += 16;
  }
#endif
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  while (dataEnd - at >= 8) {
    uint64_t word;
    memcpy(&word, record + at, 8);
    const uint64_t nul = (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
    if (nul != 0) return at + static_cast<size_t>(__builtin_ctzll(nul) / 8) + 1;
    at += 8;
  }
#endif
  for (; at < dataEnd; ++at)
    if (record[at] == 0) return at + 1;
  return dataEnd;
}

// Where the step's field ends, as FieldEnd finds it.
inline size_t StepEnd(const unsigned char* record, size_t dataEnd, size_t cursor,
                      const CheckStep& step) {
  if (step.type == FieldText) return TextEnd(record, dataEnd, cursor);
  if (step.type == FieldInteger)
    return (step.size == 0 || dataEnd - cursor < step.size) ? dataEnd : cursor + step.size;
  return cursor;
}

// False when a checked field's value cannot match its criterion.
inline bool PassesByteChecks(const unsigned char* record, int length, const SearchPlan& plan) {
  const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
  // An integer cut short moves the walk to the data's end, and so does every one after it.
  size_t cursor = plan.startAt < dataEnd ? plan.startAt : dataEnd;
  for (int k = 0; k < plan.stepCount; ++k) {
    const CheckStep& step = plan.steps[k];
    if (step.check == TextPrefix) {
      // Decided before the field's end is looked for: most records fail at the first byte.
      if (!PrefixPasses(record, dataEnd, cursor, step)) return false;
      if (k + 1 == plan.stepCount) return true;
    }
    const size_t end = StepEnd(record, dataEnd, cursor, step);
    if (step.check == DigitsInNumber) {
      if (!DigitsPass(record, cursor, end, step)) return false;
    } else if (step.check == TextSubstring || step.check == TextWildcard) {
      if (!TextPasses(record, cursor, end, step)) return false;
    }
    cursor = end;
  }
  return true;
}

// The record may match: it passes the quick first-byte check and the byte checks. A record
// turned away here cannot match (the checks are exact), and the loop turns it away the same way.
inline bool MayMatch(const unsigned char* data, unsigned length, const SearchPlan& plan) {
  const long at = plan.quickAt;
  if (at >= 0 &&
      !(at < static_cast<long>(length) - 1 && plan.quickFold[data[at]] == plan.quickFirst))
    return false;
  return PassesByteChecks(data, static_cast<int>(length), plan);
}

// A plan of one byte check on a field that stands at startAt, with no prefix in front (one
// phone substring, one name pattern or substring), is most searches but the prefix ones, and
// the general walk over the plan's steps costs more than the check itself. Its gate is the
// same check written for that one step, inlined into the pass-over loop: the same cursor, the
// same field end, the same test, so it turns away exactly the records PassesByteChecks would.
enum GateKind { GeneralGate, QuickPrefixGate, OneTextGate, OneNumberGate };

GateKind GateFor(const SearchPlan& plan) {
  if (plan.quickAt >= 0) return QuickPrefixGate;
  if (plan.stepCount != 1) return GeneralGate;
  const CheckStep& step = plan.steps[0];
  if (step.type == FieldText && (step.check == TextSubstring || step.check == TextWildcard))
    return OneTextGate;
  if (step.type == FieldInteger && step.check == DigitsInNumber) return OneNumberGate;
  return GeneralGate;
}

// The gates, each MayMatch for its kind of plan. A gate is copied into the pass-over loop, so
// that what it reads of the plan per record stays in registers.
struct GeneralGateCheck {
  const SearchPlan* plan;
  bool operator()(const unsigned char* data, unsigned length, int) const {
    return MayMatch(data, length, *plan);
  }
};

// A prefix's first byte, where it always stands, turns away nearly every record of a prefix
// search. A common first letter still lets one record in twelve or so through, at a mispredicted
// branch each, so with a second byte both are compared and the one branch taken on the pair.
template <bool kTwoBytes>
struct QuickPrefixCheck {
  const SearchPlan* plan;
  long at;
  const unsigned char* fold;
  unsigned char first;
  unsigned char second;
  bool operator()(const unsigned char* data, unsigned length, int) const {
    if (kTwoBytes && at < static_cast<long>(length) - 2) {
      // Both bytes lie inside the record's data; compared as one pair, they take one branch.
      const unsigned pair = fold[data[at]] | static_cast<unsigned>(fold[data[at + 1]]) << 8;
      if (pair != (first | static_cast<unsigned>(second) << 8)) return false;
    } else if (!(at < static_cast<long>(length) - 1 && fold[data[at]] == first)) {
      return false;
    }
    return PassesByteChecks(data, static_cast<int>(length), *plan);
  }
};

// One text or number check, at startAt, as PassesByteChecks makes it for a plan of one step.
template <GateKind kGate>
struct OneStepCheck {
  const CheckStep* step;
  size_t startAt;
  bool operator()(const unsigned char* data, unsigned length, int) const {
    const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
    const size_t cursor = startAt < dataEnd ? startAt : dataEnd;
    if (kGate == OneTextGate)
      return TextPasses(data, cursor, TextEnd(data, dataEnd, cursor), *step);
    const size_t end =
        (step->size == 0 || dataEnd - cursor < step->size) ? dataEnd : cursor + step->size;
    return DigitsPass(data, cursor, end, *step);
  }
};

// A pattern with a tail of rows (most patterns that end in letters after a star): the rows turn
// away nearly every record, so they are looked at here, in the loop, as one word (a byte or a
// letter in either case per row), and TextPasses (which looks at them again) is called only for
// the records they let through.
struct PatternTailCheck {
  const CheckStep* step;
  size_t startAt;
  bool operator()(const unsigned char* data, unsigned length, int) const {
    const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
    const size_t cursor = startAt < dataEnd ? startAt : dataEnd;
    const size_t end = TextEnd(data, dataEnd, cursor);
    const size_t text = TextLength(data, cursor, end, step->maxLength);
    if (text < step->tail) return false;
    if (cursor + text >= 8) {
      const unsigned char* e = data + cursor + text;
      if (step->tailWord) {
        // All eight rows in one load and one comparison.
        uint64_t word;
        memcpy(&word, e - 8, 8);
        if ((word & step->tailMask) != step->tailValue) return false;
      } else if (!TailAccepted(e, step->tailAccept)) {  // rows no word can test (big-endian)
        return false;
      }
    }
    return TextPasses(data, cursor, end, *step);
  }
};

#if defined(__SSE2__)
// The same gate for a record long enough to hold 16 bytes of data from startAt, whose text
// ends within them (a name, nearly always): the text's NUL is found in one 16-byte compare,
// with no loop, and the word before it tested at once. The loop's branches on where the text
// ends were mispredicted at most records, and what the gate held of the plan did not fit in
// registers. Any other record, and a text of a length the word cannot be tested at, goes to
// PatternTailCheck.
struct PatternWordCheck {
  const CheckStep* step;
  size_t startAt;
  unsigned fastLength;  // startAt + 17: from here on the 16 bytes lie in the record's data
  unsigned minText;     // the texts the word is tested on: minText to maxText bytes long
  unsigned maxText;
  unsigned tail;
  uint64_t mask;
  uint64_t value;
  bool operator()(const unsigned char* data, unsigned length, int number) const {
    if (length >= fastLength) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + startAt));
      const unsigned nul =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
      // The text's length, or 16 when it does not end within the 16 bytes.
      const unsigned text = static_cast<unsigned>(__builtin_ctz(nul | 0x10000u));
      if (text - minText <= maxText - minText) {
        uint64_t word;
        memcpy(&word, data + startAt + text - 8, 8);
        if ((word & mask) != value) return false;
        return TextPasses(data, startAt, startAt + text + 1, *step);
      }
      // Shorter than the tail, however long maxLength lets it be.
      if (text < tail) return false;
    }
    return PatternTailCheck{step, startAt}(data, length, number);
  }
};

// False when the fast path above could never be taken for this step.
bool PlanPatternWord(const CheckStep& step, size_t startAt, PatternWordCheck* gate) {
  if (!step.tailWord || startAt > 200) return false;
  // The word is the 8 bytes before the text's end, all of them in the record.
  const size_t shortest = startAt < 8 ? 8 - startAt : 0;
  const size_t minText = step.tail > shortest ? step.tail : shortest;
  const size_t maxText = step.maxLength < 15 ? step.maxLength : 15;
  if (minText > maxText) return false;
  *gate = PatternWordCheck{&step,
                           startAt,
                           static_cast<unsigned>(startAt + 17),
                           static_cast<unsigned>(minText),
                           static_cast<unsigned>(maxText),
                           static_cast<unsigned>(step.tail),
                           step.tailMask,
                           step.tailValue};
  return true;
}
#endif

// A digit criterion on an integer of 1 to 4 bytes (a phone number), the run's length kRun a
// constant: the number is one load of four bytes (masked to the integer's), and the divisions
// by kRun and 10 are multiplications.
template <uint32_t kRun>
struct IntegerDigitsCheck {
  size_t startAt;
  size_t size;  // 1 to 4
  uint32_t mask;
  uint32_t value;
  uint32_t power;
  bool operator()(const unsigned char* data, unsigned length, int) const {
    // A record whose data ends before the integer's last byte shows it empty.
    const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
    if (startAt + size > dataEnd) return false;
    bool negative = false;
    const uint32_t number =
        IntegerMagnitude(IntegerAt(data, length, startAt, size, mask), size, &negative);
    return RunOfDigitsHolds<kRun>(number, value, power);
  }
};

// Calls f with the gate for the plan's kind (a copy that the pass-over loop keeps in registers)
// and returns what f returns.
template <typename F>
decltype(auto) WithGateFor(const SearchPlan& plan, GateKind gate, F&& f) {
  switch (gate) {
    case QuickPrefixGate:
      if (plan.quickSecond >= 0)
        return f(QuickPrefixCheck<true>{&plan, plan.quickAt, plan.quickFold, plan.quickFirst,
                                        static_cast<unsigned char>(plan.quickSecond)});
      return f(QuickPrefixCheck<false>{&plan, plan.quickAt, plan.quickFold, plan.quickFirst, 0});
    case OneTextGate:
      if (plan.steps[0].check == TextWildcard && plan.steps[0].tail > 0 &&
          plan.steps[0].tailAccept != nullptr) {
#if defined(__SSE2__)
        PatternWordCheck word;
        if (PlanPatternWord(plan.steps[0], plan.startAt, &word)) return f(word);
#endif
        return f(PatternTailCheck{&plan.steps[0], plan.startAt});
      }
      return f(OneStepCheck<OneTextGate>{&plan.steps[0], plan.startAt});
    case OneNumberGate: {
      const CheckStep& step = plan.steps[0];
      if (step.size >= 1 && step.size <= 4 && step.need >= 1 && step.need <= 9) {
        return WithPowerOfTen(step.need, [&](auto run) {
          constexpr uint32_t kRun = static_cast<uint32_t>(decltype(run)::value);
          return f(IntegerDigitsCheck<kRun>{plan.startAt, step.size, IntegerMask(step.size),
                                            step.digitsValue, step.digitsPower});
        });
      }
      return f(OneStepCheck<OneNumberGate>{&step, plan.startAt});
    }
    default:
      return f(GeneralGateCheck{&plan});
  }
}

// Most records of a search with criteria are turned away by the byte checks, so the loop below
// passes over them in place in the reader's buffer (PassOverRecords) and is left every record
// that may match.
bool PassOverTurnedAway(RecordReader* reader, unsigned char* length, int* scanned, int lastQuiet,
                        const SearchPlan& plan, GateKind gate, const std::atomic<int>* stopFlag) {
  return WithGateFor(plan, gate, [&](auto check) {
    return PassOverRecords(reader, length, scanned, lastQuiet, check, stopFlag);
  });
}

// The search's side of the record walk for one query.
struct OneQuerySteps {
  const DatabaseHeader& header;
  FieldTable* table;
  const std::atomic<int>* stopFlag;
  const ScanSink& sink;
  const SearchPlan& plan;
  GateKind gate;
  bool noCriteria;
  int results = 0;
  int updateCounter = 0;
  // The record count at which the next status update is due: the next multiple of 1000, or
  // the record after the one that brought the 50th row since the last update, whichever comes
  // first. One comparison per record instead of two divisions.
  long long updateAt = 1;

  bool PassOver(RecordReader* reader, unsigned char* length, int* scanned) const {
    if (noCriteria) return true;
    return PassOverTurnedAway(reader, length, scanned, LastQuietRecord(updateAt), plan, gate,
                              stopFlag);
  }
  void AtCountLimit() {}
  bool AtRecord(int scanned) {
    if (scanned != updateAt) return true;
    if (scanned > header.recordCount) return false;
    updateCounter = 1;
    updateAt = NextCommonUpdate(scanned);
    if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
    return true;
  }
  int Take(const unsigned char* data, unsigned length, int scanned) {
    bool matches = true;
    if (noCriteria) {
      DecodeRecord(data, static_cast<int>(length), table);
    } else {
      matches = MayMatch(data, length, plan);
      if (matches) {
        DecodeRecordFields(data, static_cast<int>(length), table, plan.lastField, plan.wanted);
        matches = RecordMatches(table);
      }
      if (matches) DecodeRecord(data, static_cast<int>(length), table);
    }
    if (!matches) return RowTaken;
    const int answer =
        sink.appendRow != nullptr ? sink.appendRow(sink.context, table, results) : RowTaken;
    if (answer == RowRefused) return answer;
    ++results;
    if (++updateCounter == kRowsPerUpdate && updateAt > scanned + 1) updateAt = scanned + 1;
    return answer;
  }
};

}  // namespace

ScanOutcome RunScan(RecordReader* reader, const DatabaseHeader& header, FieldTable* table,
                    const std::atomic<int>* stopFlag, const ScanSink& sink) {
  SearchPlan plan;
  PlanSearch(table, &plan);
  OneQuerySteps steps{header, table, stopFlag, sink, plan, GateFor(plan), NoActiveCriteria(table)};
  return WalkRecords(reader, steps, stopFlag);
}
