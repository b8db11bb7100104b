// Windows-1251 case folding and the three match modes. Everything here runs once per field per
// record on the worker thread, so nothing allocates and the folded copy of a value lives on the
// stack of the call that needs it.
#include "search/text_match.h"

#include <cstring>

namespace {

// The Russian capitals and their small letters, in the same order: Ё follows Е, and Ь Ы Ъ come
// before Э Ю Я. Each list ends with a zero byte.
constexpr unsigned char kCapitals[34] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xA8, 0xC6, 0xC7,
                                         0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0,
                                         0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9,
                                         0xDC, 0xDB, 0xDA, 0xDD, 0xDE, 0xDF, 0x00};
constexpr unsigned char kSmallLetters[34] = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xB8, 0xE6, 0xE7,
                                             0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xF0,
                                             0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9,
                                             0xFC, 0xFB, 0xFA, 0xFD, 0xFE, 0xFF, 0x00};

// Holds any value a record can carry (a record is at most 254 bytes) and its terminator.
constexpr size_t kScratchSize = 256;

}  // namespace

namespace {

struct FoldBytes {
  unsigned char bytes[256];
};

constexpr FoldBytes MakeFoldTable() {
  FoldBytes table{};
  for (int i = 0; kCapitals[i] != 0; ++i) table.bytes[kCapitals[i]] = kSmallLetters[i];
  return table;
}

constexpr FoldBytes kFold = MakeFoldTable();

}  // namespace

// Filled when the program is built (constant initialisation): no start-up order to get wrong.
const unsigned char (&FoldTable)[256] = kFold.bytes;

char* FoldText(char* text) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) *p = FoldByte(*p);
  return text;
}

// Matches like the rule it implements: "*" takes any run, "?" one byte, other bytes themselves,
// and once the text is used up the rest of the pattern must be empty or a single "*". So a lone
// trailing star matches an empty rest while "**" at the end needs at least one more byte.
//
// The naive form recurses on every star and can take exponential time on patterns such as
// "*a*a*a*a*b" against a long text. Here only the most recent star is ever revisited: an earlier
// star taking more text can only push the fixed-length piece that follows it further right,
// which never helps where the latest placement failed. Work is bounded by pattern x text length.
bool WildcardMatchBytes(const char* pattern, const unsigned char* text, size_t length,
                        const unsigned char* fold) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pattern);
  const unsigned char* t = text;
  const unsigned char* const end = text + length;
  const unsigned char* starPattern = nullptr;  // the latest star seen
  const unsigned char* starText = nullptr;     // where the text stood after the run it takes now
  for (;;) {
    if (*p == 0) {
      if (t == end) return true;
    } else if (p[0] == '*' && p[1] == 0) {
      return true;
    } else if (t == end) {
      // The piece after the latest star is star-free: starting it later only runs out sooner.
      return false;
    } else if (*p == '*') {
      starPattern = p++;
      starText = t;
      continue;
    } else if (*p == '?' || *p == fold[*t]) {
      ++p;
      ++t;
      continue;
    }
    // Mismatch, or pattern used up before the text: let the latest star take one more byte.
    // A star that is not last may not take the whole rest of the text.
    if (starPattern == nullptr || ++starText == end) return false;
    p = starPattern + 1;
    t = starText;
  }
}

// Every byte as it is: the fold of a pattern that folds nothing.
struct IdentityBytes {
  unsigned char bytes[256];
  constexpr IdentityBytes() : bytes() {
    for (int b = 0; b < 256; ++b) bytes[b] = static_cast<unsigned char>(b);
  }
};
constexpr IdentityBytes kSame;

bool WildcardMatch(const char* pattern, const char* text) {
  return WildcardMatchBytes(pattern, reinterpret_cast<const unsigned char*>(text), strlen(text),
                            kSame.bytes);
}

bool CriterionMatches(const FieldDescriptor* field) {
  return CriterionMatchesValue(field, field->criterion, field->criterionLength,
                               field->wildcard != 0);
}

bool CriterionMatchesValue(const FieldDescriptor* field, const char* criterion,
                           int32_t criterionLength, bool wildcard) {
  const char* text = field->value;
  if (text == nullptr || criterion == nullptr) return false;
  char folded[kScratchSize];
  if (field->flags & FoldValue) {
    size_t i = 0;
    for (; i < kScratchSize - 1 && text[i] != 0; ++i)
      folded[i] = static_cast<char>(FoldByte(static_cast<unsigned char>(text[i])));
    folded[i] = 0;
    text = folded;
  }
  if (wildcard) return WildcardMatch(criterion, text);
  if (field->flags & MatchAnywhere) return strstr(text, criterion) != nullptr;
  // Prefix: a shorter text has its terminator where the criterion has a byte, so it fails.
  if (criterionLength <= 0) return true;
  if (text[0] != criterion[0]) return false;
  return strncmp(text, criterion, static_cast<size_t>(criterionLength)) == 0;
}

bool RecordMatches(const FieldTable* table) {
  for (int i = 0; i < table->searchCount && i < kMaxSearchFields; ++i) {
    const FieldDescriptor* field = table->searchMap[i];
    if (field == nullptr || !field->active) continue;
    if (!CriterionMatches(field)) return false;
  }
  return true;
}
