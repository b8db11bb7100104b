// One walk over the records for many queries. Trying every query on every record would cost
// what a scan per query costs, so each query is filed under one of its criteria, its key: the
// bytes a matching value must begin with (a prefix, or a pattern's text before its first * or
// ?) or must hold somewhere (a substring). Per record, the value of each keyed field is read
// where it stands in the record's bytes, and the hash of each of its beginnings and pieces of a
// length some key has is looked up in one table: the queries found there are the record's
// candidates. Only a query without any usable key (a pattern that starts with * or ?, no
// criteria at all) is tried on every record.
//
// A key only picks candidates. Each candidate is decoded and matched by the same rules as a
// search of it alone (CriterionMatchesValue), so a hash that two keys share costs time, never a
// row. The byte reading mirrors DecodeRecordFields: a text up to its NUL or the data's end, cut
// to maxLength and folded where the field folds; a number in decimal, empty when its bytes are
// not all there.
//
// A search alone ends at the header's record count only at a status update, and its updates
// follow its own rows (after every 50 of them), so each query keeps its own row counter here:
// every query updates at record 1 and every 1000th, and one whose 50 rows since its last update
// came early updates on the record after. A query whose update falls past the record count has
// ended; the walk ends when every query has.
#include "search/batch_scan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "search/pass_over.h"
#include "search/record_walk.h"
#include "search/text_match.h"

namespace {

// A number's decimal text: a sign and ten digits.
constexpr size_t kNumberText = 12;

enum KeyMode : uint8_t { KeyPrefix = 0, KeySubstring = 1 };

// The keys of one field of one mode and length: every key of a group is looked for in a
// value with the same hashing.
struct KeyGroup {
  KeyMode mode = KeyPrefix;
  size_t length = 0;
  uint64_t salt = 0;      // tells the groups apart in the one table
  uint64_t topPower = 1;  // kBase to the power length - 1, to roll a window onward
};

constexpr uint64_t kBase = 0x100000001B3ull;

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

// A slot holds 0 when empty, so no key is 0.
uint64_t SlotKey(uint64_t rolling, uint64_t salt) {
  const uint64_t key = Mix(rolling ^ salt);
  return key != 0 ? key : 1;
}

struct Slot {
  uint64_t key = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

struct BatchPlan {
  std::vector<std::vector<KeyGroup>> groups;  // by field index
  // The keys of an integer field that are all digits, looked for in the number itself: its
  // decimal text's beginnings and pieces are the number's leading digits and digit windows, so
  // the text need not be written out per record. By field index.
  std::vector<std::vector<KeyGroup>> digitGroups;
  int lastKeyedField = -1;
  // When the only keys are digit keys of one integer field of 1 to 4 bytes that stands at a
  // fixed offset (only such integers before it), the pass-over looks at that field alone and
  // gathers a record's candidates only when one of its keys passes the filter: the field, -1
  // when there is no such field, its offset and size.
  int digitOnlyField = -1;
  size_t digitOnlyAt = 0;
  size_t digitOnlySize = 0;
  // Open addressing: key, and the slot's run of query numbers in postings.
  std::vector<Slot> slots;
  uint64_t mask = 0;
  // One bit per filterShift-bit hash prefix, set for each key: most of a record's pieces find
  // their bit clear in this small table and never look at the large one.
  std::vector<uint64_t> filter;
  int filterShift = 64;
  std::vector<int> postings;
  std::vector<int> always;  // queries tried on every record, in query order
  // The fields the queries' criteria read, for the partial decoding of a candidate's record.
  std::unique_ptr<bool[]> wanted;
  int lastWanted = -1;
  unsigned char folded[256] = {};
  unsigned char same[256] = {};
};

// A query's key: the field, the mode and the bytes. Returns false when it has none.
struct QueryKey {
  int field = -1;
  KeyMode mode = KeyPrefix;
  std::string bytes;
};

bool ChooseKey(const FieldTable* table, const Query& query, QueryKey* key) {
  // The longest key is the rarest, as a rule; a prefix is looked up once per value, a
  // substring once per position, so a prefix wins a tie.
  size_t bestScore = 0;
  for (const QueryCriterion& c : query.criteria) {
    const FieldDescriptor& f = table->fields[c.field];
    if (f.type != FieldText && f.type != FieldInteger) continue;
    std::string bytes = c.text;
    KeyMode mode = (f.flags & MatchAnywhere) ? KeySubstring : KeyPrefix;
    if (c.wildcard) {
      bytes.resize(bytes.find_first_of("*?"));  // a pattern matches the whole value
      mode = KeyPrefix;
    }
    if (bytes.empty()) continue;
    const size_t score = bytes.size() * 2 + (mode == KeyPrefix ? 1 : 0);
    if (score <= bestScore) continue;
    bestScore = score;
    key->field = c.field;
    key->mode = mode;
    key->bytes = bytes;
  }
  return key->field >= 0;
}

uint64_t RollingHash(const unsigned char* bytes, size_t length) {
  uint64_t h = 0;
  for (size_t i = 0; i < length; ++i) h = h * kBase + bytes[i] + 1;
  return h;
}

constexpr uint64_t kPowersOfTen[] = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, 10000000000ull};
// A number's decimal digits: at most ten.
constexpr size_t kMaxDigits = 10;

// The value of a key of 1 to 10 decimal digits; false for any other key.
bool DigitsValue(const std::string& bytes, uint64_t* value) {
  if (bytes.empty() || bytes.size() > kMaxDigits) return false;
  uint64_t v = 0;
  for (const char c : bytes) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

KeyGroup* GroupFor(BatchPlan* plan, int field, KeyMode mode, size_t length, bool digits) {
  std::vector<KeyGroup>& list = digits ? plan->digitGroups[field] : plan->groups[field];
  for (KeyGroup& g : list)
    if (g.mode == mode && g.length == length) return &g;
  KeyGroup g;
  g.mode = mode;
  g.length = length;
  g.salt = Mix((static_cast<uint64_t>(digits) << 40) ^ (static_cast<uint64_t>(field) << 24) ^
               (static_cast<uint64_t>(mode) << 20) ^ length ^ 0x9E3779B97F4A7C15ull);
  for (size_t i = 1; i < length; ++i) g.topPower *= kBase;
  list.push_back(g);
  // Prefixes by length, so one pass over a value's beginning serves them all.
  std::sort(list.begin(), list.end(), [](const KeyGroup& a, const KeyGroup& b) {
    return a.mode != b.mode ? a.mode < b.mode : a.length < b.length;
  });
  for (KeyGroup& found : list)
    if (found.mode == mode && found.length == length) return &found;
  return nullptr;
}

// Fills the slots from (key, query) pairs that come in query order, so each slot's run of
// queries is in query order too.
void FillSlots(BatchPlan* plan, const std::vector<std::pair<uint64_t, int>>& keyed) {
  size_t capacity = 16;
  while (capacity < keyed.size() * 2) capacity *= 2;
  plan->mask = capacity - 1;
  plan->slots.assign(capacity, Slot());
  // About 128 bits per key, at least 4096 and at most 2^21 (256 KiB): a piece whose bit is set
  // costs a look into the large table, a cache miss as a rule, and, while a second thread walks
  // half the file, a record the loop must take from it rather than pass over.
  int bits = 12;
  while (bits < 21 && (size_t{1} << bits) < keyed.size() * 128) ++bits;
  plan->filterShift = 64 - bits;
  plan->filter.assign((size_t{1} << bits) / 64, 0);
  std::vector<size_t> slotOf(keyed.size());
  for (size_t i = 0; i < keyed.size(); ++i) {
    const uint64_t key = keyed[i].first;
    size_t s = key & plan->mask;
    while (plan->slots[s].key != 0 && plan->slots[s].key != key) s = (s + 1) & plan->mask;
    plan->slots[s].key = key;
    ++plan->slots[s].count;
    slotOf[i] = s;
    const uint64_t bit = key >> plan->filterShift;
    plan->filter[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  uint32_t start = 0;
  for (Slot& slot : plan->slots) {
    slot.start = start;
    start += slot.count;
  }
  plan->postings.assign(keyed.size(), 0);
  std::vector<uint32_t> filled(capacity, 0);
  for (size_t i = 0; i < keyed.size(); ++i) {
    const size_t s = slotOf[i];
    plan->postings[plan->slots[s].start + filled[s]++] = keyed[i].second;
  }
}

void PlanDigitOnlyField(const FieldTable* table, BatchPlan* plan) {
  const int j0 = plan->lastKeyedField;
  if (j0 < 0 || !plan->always.empty() || !plan->groups[j0].empty() || plan->digitGroups[j0].empty())
    return;
  size_t at = 0;
  for (int j = 0; j <= j0; ++j) {
    const FieldDescriptor& f = table->fields[j];
    if (f.type != FieldInteger || f.size < 1 || f.size > 4) return;
    if (j < j0) {
      if (!plan->groups[j].empty() || !plan->digitGroups[j].empty()) return;
      at += static_cast<size_t>(f.size);
    }
  }
  plan->digitOnlyField = j0;
  plan->digitOnlyAt = at;
  plan->digitOnlySize = static_cast<size_t>(table->fields[j0].size);
}

void PlanBatch(const FieldTable* table, const std::vector<Query>& queries, BatchPlan* plan) {
  for (int b = 0; b < 256; ++b) {
    plan->same[b] = static_cast<unsigned char>(b);
    plan->folded[b] = FoldByte(static_cast<unsigned char>(b));
  }
  plan->groups.assign(static_cast<size_t>(table->fieldCount), {});
  plan->digitGroups.assign(static_cast<size_t>(table->fieldCount), {});
  plan->wanted.reset(new bool[static_cast<size_t>(table->fieldCount) + 1]());
  std::vector<std::pair<uint64_t, int>> keyed;
  for (size_t q = 0; q < queries.size(); ++q) {
    for (const QueryCriterion& c : queries[q].criteria) {
      plan->wanted[c.field] = true;
      plan->lastWanted = std::max(plan->lastWanted, c.field);
    }
    QueryKey key;
    if (!ChooseKey(table, queries[q], &key)) {
      plan->always.push_back(static_cast<int>(q));
      continue;
    }
    uint64_t value = 0;
    const bool digits =
        table->fields[key.field].type == FieldInteger && DigitsValue(key.bytes, &value);
    const KeyGroup* g = GroupFor(plan, key.field, key.mode, key.bytes.size(), digits);
    const uint64_t rolling =
        digits ? value
               : RollingHash(reinterpret_cast<const unsigned char*>(key.bytes.data()),
                             key.bytes.size());
    keyed.emplace_back(SlotKey(rolling, g->salt), static_cast<int>(q));
    plan->lastKeyedField = std::max(plan->lastKeyedField, key.field);
  }
  FillSlots(plan, keyed);
  PlanDigitOnlyField(table, plan);
}

// A query's state of its own search: its row counter since its last status update.
struct QueryState {
  int counter = 0;
  int lastUpdate = 0;  // the record of its last update
  bool ended = false;  // its update came past the header's record count
};

struct BatchWalk {
  const BatchPlan* plan = nullptr;
  std::vector<QueryState> states;
  std::vector<uint32_t> stamp;  // the record a query last became a candidate at
  std::vector<int> candidates;
  std::vector<int> matched;
  std::vector<int> dueNext;  // queries whose update falls on the next record
  int lastCommon = 0;        // the last record every query updated at
  long long nextCommon = 1;
  int active = 0;  // queries not ended
  int limited = 0;
  int statusCounter = 0;  // rows since the last progress report, from 1
  bool statusDue = false;
  bool gathered = false;  // candidates holds those of the record the walk is at
};

// The queries under a key that passed the filter.
void AddFilteredCandidates(BatchWalk* walk, uint64_t key, uint32_t record) {
  const BatchPlan& plan = *walk->plan;
  size_t s = key & plan.mask;
  while (plan.slots[s].key != 0) {
    if (plan.slots[s].key == key) {
      const int* q = plan.postings.data() + plan.slots[s].start;
      for (uint32_t n = 0; n < plan.slots[s].count; ++n) {
        if (walk->stamp[q[n]] == record) continue;
        walk->stamp[q[n]] = record;
        walk->candidates.push_back(q[n]);
      }
      return;
    }
    s = (s + 1) & plan.mask;
  }
}

// The key's bit in the filter: clear when no query has the key.
inline bool FilterHas(const BatchPlan& plan, uint64_t key) {
  const uint64_t bit = key >> plan.filterShift;
  return (plan.filter[bit / 64] & (uint64_t{1} << (bit % 64))) != 0;
}

// Nearly every piece of a value finds its filter bit clear, so that test is inlined where the
// pieces are made and only the rest look at the table.
inline void AddCandidates(BatchWalk* walk, uint64_t key, uint32_t record) {
  if (!FilterHas(*walk->plan, key)) return;
  AddFilteredCandidates(walk, key, record);
}

// Looks up every key of the field's groups in a value of length bytes (through fold).
void LookUpValue(BatchWalk* walk, const std::vector<KeyGroup>& groups, const unsigned char* value,
                 size_t length, const unsigned char* fold, uint32_t record) {
  size_t prefixDone = 0;
  uint64_t prefix = 0;
  for (const KeyGroup& g : groups) {
    if (g.length > length) {
      if (g.mode == KeyPrefix) continue;
      return;  // substrings come last and by length: the rest are longer still
    }
    if (g.mode == KeyPrefix) {
      for (; prefixDone < g.length; ++prefixDone)
        prefix = prefix * kBase + fold[value[prefixDone]] + 1;
      AddCandidates(walk, SlotKey(prefix, g.salt), record);
      continue;
    }
    uint64_t h = 0;
    for (size_t i = 0; i < g.length; ++i) h = h * kBase + fold[value[i]] + 1;
    AddCandidates(walk, SlotKey(h, g.salt), record);
    for (size_t i = g.length; i < length; ++i) {
      h = (h - (fold[value[i - g.length]] + 1ull) * g.topPower) * kBase + fold[value[i]] + 1;
      AddCandidates(walk, SlotKey(h, g.salt), record);
    }
  }
}

// The integer field f at cursor as DecodeRecordFields reads it: its sign and magnitude. False
// when its bytes are not all there (its text is then empty).
bool IntegerValue(const unsigned char* record, size_t cursor, size_t end, const FieldDescriptor& f,
                  uint32_t* magnitude, bool* negative) {
  const size_t size = end - cursor;
  if (size == 0 || size > 4 || static_cast<int>(size) != f.size) return false;
  *magnitude = IntegerMagnitude(ReadFieldInteger(record, cursor, size), size, negative);
  return true;
}

// The windows of kWidth digits of a number of n digits, lowest first: a division by a power of
// ten that is a constant is a multiplication, where one by a power looked up is a real division
// of some forty cycles, and a phone number has a window or two per group. Each window's key goes
// to key(), which returns true to stop; true when it stopped.
template <uint64_t kWidth, typename Key>
bool DigitWindows(const KeyGroup& g, uint32_t magnitude, size_t n, Key& key) {
  uint32_t rest = magnitude;
  for (size_t k = 0; k + g.length <= n; ++k, rest /= 10)
    if (key(SlotKey(rest % kWidth, g.salt))) return true;
  return false;
}

// Every digit key of the groups in a number: a prefix of L digits is its leading L digits (never
// in a negative number, whose text begins with its sign), a piece of L digits any window of L of
// its digits. key() as for DigitWindows.
// The count of a number's decimal digits (1 for 0) without a branch per digit, which count it
// is varying from record to record: 1233 / 4096 is just above log10(2), so from the bit length t
// is the count or one less, and one comparison tells.
inline size_t DigitCount(uint32_t magnitude) {
  const size_t bits = 32 - static_cast<size_t>(__builtin_clz(magnitude | 1));
  const size_t t = (bits * 1233) >> 12;
  const size_t n = t + 1 - (magnitude < kPowersOfTen[t] ? 1 : 0);
  return n == 0 ? 1 : n;
}

template <typename Key>
bool ForEachDigitKey(const std::vector<KeyGroup>& groups, uint32_t magnitude, bool negative,
                     Key key) {
  const size_t n = DigitCount(magnitude);
  for (const KeyGroup& g : groups) {
    if (g.length > n) continue;
    if (g.mode == KeyPrefix) {
      if (!negative && key(SlotKey(magnitude / kPowersOfTen[n - g.length], g.salt))) return true;
      continue;
    }
    const bool stopped = WithPowerOfTen(g.length, [&](auto width) {
      return DigitWindows<decltype(width)::value>(g, magnitude, n, key);
    });
    if (stopped) return true;
  }
  return false;
}

void LookUpDigits(BatchWalk* walk, const std::vector<KeyGroup>& groups, uint32_t magnitude,
                  bool negative, uint32_t record) {
  ForEachDigitKey(groups, magnitude, negative, [walk, record](uint64_t key) {
    AddCandidates(walk, key, record);
    return false;
  });
}

// The decimal text of a number of that sign and magnitude; returns its length.
size_t NumberText(uint32_t magnitude, bool negative, unsigned char* text) {
  unsigned char digits[kNumberText];
  size_t n = 0;
  do {
    digits[n++] = static_cast<unsigned char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t k = 0;
  if (negative) text[k++] = '-';
  while (n > 0) text[k++] = digits[--n];
  return k;
}

// Gathers the record's candidates: the queries a key of theirs finds, then those tried always.
void GatherCandidates(BatchWalk* walk, const FieldTable* table, const unsigned char* record,
                      int length, uint32_t recordNumber) {
  const BatchPlan& plan = *walk->plan;
  walk->candidates.clear();
  const size_t dataEnd = length > 1 ? static_cast<size_t>(length - 1) : 0;
  size_t cursor = 0;
  for (int j = 0; j <= plan.lastKeyedField; ++j) {
    const FieldDescriptor& f = table->fields[j];
    const size_t end = FieldEnd(record, dataEnd, f, cursor);
    const std::vector<KeyGroup>& groups = plan.groups[j];
    const std::vector<KeyGroup>& digitGroups = plan.digitGroups[j];
    const unsigned char* fold = (f.flags & FoldValue) ? plan.folded : plan.same;
    if (f.type == FieldText) {
      if (!groups.empty()) {
        size_t n = (end > cursor && record[end - 1] == 0) ? end - 1 - cursor : end - cursor;
        if (n > f.maxLength) n = f.maxLength;
        LookUpValue(walk, groups, record + cursor, n, fold, recordNumber);
      }
    } else if (!groups.empty() || !digitGroups.empty()) {
      uint32_t magnitude = 0;
      bool negative = false;
      if (IntegerValue(record, cursor, end, f, &magnitude, &negative)) {
        if (!digitGroups.empty())
          LookUpDigits(walk, digitGroups, magnitude, negative, recordNumber);
        if (!groups.empty()) {
          unsigned char text[kNumberText];
          const size_t n = NumberText(magnitude, negative, text);
          LookUpValue(walk, groups, text, n, fold, recordNumber);
        }
      }
    }
    cursor = end;
  }
  if (walk->candidates.size() > 1) std::sort(walk->candidates.begin(), walk->candidates.end());
  if (!plan.always.empty()) {
    const size_t found = walk->candidates.size();
    walk->candidates.insert(walk->candidates.end(), plan.always.begin(), plan.always.end());
    if (found > 0)
      std::inplace_merge(walk->candidates.begin(), walk->candidates.begin() + found,
                         walk->candidates.end());
  }
}

bool QueryMatches(const FieldTable* table, const Query& query) {
  for (const QueryCriterion& c : query.criteria)
    if (!CriterionMatchesValue(&table->fields[c.field], c.text.c_str(),
                               static_cast<int32_t>(c.text.size()), c.wildcard))
      return false;
  return true;
}

// Leaves in walk->matched the queries (not ended) that the record matches, in query order,
// with the record decoded in full when there are any.
void MatchRecord(BatchWalk* walk, FieldTable* table, const std::vector<Query>& queries,
                 const unsigned char* record, int length, uint32_t recordNumber) {
  walk->matched.clear();
  if (walk->gathered)
    walk->gathered = false;  // the pass-over found this record's candidates already
  else
    GatherCandidates(walk, table, record, length, recordNumber);
  bool decoded = false;
  for (const int q : walk->candidates) {
    if (walk->states[q].ended) continue;
    if (!decoded) {
      DecodeRecordFields(record, length, table, walk->plan->lastWanted, walk->plan->wanted.get());
      decoded = true;
    }
    if (QueryMatches(table, queries[q])) walk->matched.push_back(q);
  }
  if (!walk->matched.empty()) DecodeRecord(record, length, table);
}

// The status updates due at this record, before it is matched. Every query updates at record
// 1 and at every 1000th; one whose 50th row since its last update came on the record before
// updates now. An update past the header's record count ends that query's search. Returns
// false when no query is left.
bool UpdateQueries(BatchWalk* walk, int scanned, int recordCount, const BatchSink& sink,
                   int results) {
  if (scanned == walk->nextCommon) {
    walk->lastCommon = scanned;
    walk->nextCommon = NextCommonUpdate(scanned);
    walk->dueNext.clear();
    walk->statusCounter = 1;
    walk->statusDue = false;
    if (scanned > recordCount) {
      walk->limited += walk->active;
      walk->active = 0;
      return false;
    }
    if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
    return true;
  }
  for (const int q : walk->dueNext) {
    QueryState& state = walk->states[q];
    state.counter = 1;
    state.lastUpdate = scanned;
    if (scanned > recordCount) {
      state.ended = true;
      ++walk->limited;
      --walk->active;
    }
  }
  const bool some = !walk->dueNext.empty();
  walk->dueNext.clear();
  if (some && walk->active == 0) return false;
  if (walk->statusDue) {
    walk->statusCounter = 1;
    walk->statusDue = false;
    if (sink.statusUpdate != nullptr) sink.statusUpdate(sink.context, results, scanned);
  }
  return true;
}

// Counts a row of query q at record scanned against its own cadence and the progress one.
void CountRow(BatchWalk* walk, int q, int scanned) {
  QueryState& state = walk->states[q];
  if (state.lastUpdate < walk->lastCommon) {  // updated at the common record since
    state.lastUpdate = walk->lastCommon;
    state.counter = 1;
  }
  const bool nextIsCommon = static_cast<long long>(scanned) + 1 == walk->nextCommon;
  if (++state.counter == kRowsPerUpdate && !nextIsCommon) walk->dueNext.push_back(q);
  if (++walk->statusCounter == kRowsPerUpdate && !nextIsCommon) walk->statusDue = true;
}

// Hands the record's rows to the sink. Returns RowRefused when the sink refused one (the rows
// after it are not offered), RowTakenThenStop when it asked to end after this record.
int AppendRows(BatchWalk* walk, const FieldTable* table, int scanned, int* results,
               const BatchSink& sink) {
  int answer = RowTaken;
  for (const int q : walk->matched) {
    const int taken = sink.appendRow != nullptr
                          ? sink.appendRow(sink.context, table, q, scanned, *results)
                          : RowTaken;
    if (taken == RowRefused) return RowRefused;
    if (taken == RowTakenThenStop) answer = RowTakenThenStop;
    ++*results;
    CountRow(walk, q, scanned);
  }
  return answer;
}

// The integer field of fieldSize bytes at at, when every key is a digit key of it: its sign and
// magnitude, as IntegerValue reads them. False for a field cut short (shown empty, no keys).
inline bool DigitOnlyValue(const unsigned char* record, unsigned size, size_t at, size_t fieldSize,
                           uint32_t mask, uint32_t* magnitude, bool* negative) {
  const size_t dataEnd = size > 1 ? static_cast<size_t>(size - 1) : 0;
  if (at + fieldSize > dataEnd) return false;
  *magnitude = IntegerMagnitude(IntegerAt(record, size, at, fieldSize, mask), fieldSize, negative);
  return true;
}

// Whether some digit key of a record's integer passes the filter: a record none of whose keys
// does has no candidates. It reads only the plan, so the second walk's thread runs it too. With
// kWidth, 10 to the power of the one length of all the keys' pieces (phone numbers looked up
// whole), the loop over the groups and the choice of the divisor are made once rather than at
// every record; 0 for any keys.
template <uint64_t kWidth>
struct DigitFilter {
  const BatchPlan* plan;
  const std::vector<KeyGroup>* groups;
  size_t at;
  size_t fieldSize;
  uint32_t mask;
  bool operator()(const unsigned char* record, unsigned size, int) const {
    uint32_t magnitude = 0;
    bool negative = false;
    if (!DigitOnlyValue(record, size, at, fieldSize, mask, &magnitude, &negative)) return false;
    const BatchPlan* p = plan;
    auto inFilter = [p](uint64_t key) { return FilterHas(*p, key); };
    if constexpr (kWidth == 0) {
      return ForEachDigitKey(*groups, magnitude, negative, inFilter);
    } else {
      return DigitWindows<kWidth>((*groups)[0], magnitude, DigitCount(magnitude), inFilter);
    }
  }
};

// Calls f with the filter for the plan's digit-only field and returns what f returns.
template <typename F>
decltype(auto) WithDigitFilter(const BatchPlan& plan, F&& f) {
  const std::vector<KeyGroup>& groups = plan.digitGroups[plan.digitOnlyField];
  const size_t at = plan.digitOnlyAt;
  const size_t fieldSize = plan.digitOnlySize;
  const uint32_t mask = IntegerMask(fieldSize);
  if (groups.size() == 1 && groups[0].mode == KeySubstring && groups[0].length >= 1 &&
      groups[0].length <= 9) {
    return WithPowerOfTen(groups[0].length, [&](auto width) {
      return f(DigitFilter<decltype(width)::value>{&plan, &groups, at, fieldSize, mask});
    });
  }
  return f(DigitFilter<0>{&plan, &groups, at, fieldSize, mask});
}

// Gathers the record's candidates and keeps them for the loop; true when it has any.
inline bool GatherForLoop(BatchWalk* walk, const FieldTable* table, const unsigned char* record,
                          unsigned size, int number) {
  GatherCandidates(walk, table, record, static_cast<int>(size), static_cast<uint32_t>(number));
  walk->gathered = !walk->candidates.empty();
  return walk->gathered;
}

// The pass-over's gate of the loop: the filter first, and the candidates gathered in full only
// for the records it lets through.
template <typename Filter>
struct GatherWhenFiltered {
  Filter filter;
  BatchWalk* walk;
  const FieldTable* table;
  bool operator()(const unsigned char* record, unsigned size, int number) const {
    return filter(record, size, number) && GatherForLoop(walk, table, record, size, number);
  }
};

// Most records are no query's candidate, so the loop below passes over them in place in the
// reader's buffer (PassOverRecords). It stops at a record that has candidates (they are kept for
// it, so the loop does not gather them again), at the record a status update of any query falls
// on, and at whatever else the loop decides. Nothing of the cadence moves in between: updates
// come only at those records. Not used when some query is tried on every record. False when the
// stop flag was set.
bool PassOverNoCandidates(BatchWalk* walk, RecordReader* reader, const FieldTable* table,
                          unsigned char* length, int* scanned, const std::atomic<int>* stopFlag) {
  if (!walk->dueNext.empty() || walk->statusDue) return true;
  const BatchPlan& plan = *walk->plan;
  const int lastQuiet = LastQuietRecord(walk->nextCommon);
  if (plan.digitOnlyField >= 0) {
    return WithDigitFilter(plan, [&](auto filter) {
      return PassOverRecords(reader, length, scanned, lastQuiet,
                             GatherWhenFiltered<decltype(filter)>{filter, walk, table}, stopFlag);
    });
  }
  auto hasCandidates = [walk, table](const unsigned char* record, unsigned size, int number) {
    return GatherForLoop(walk, table, record, size, number);
  };
  return PassOverRecords(reader, length, scanned, lastQuiet, hasCandidates, stopFlag);
}

// The search's side of the record walk for many queries.
struct ManyQuerySteps {
  BatchWalk* walk;
  FieldTable* table;
  const std::vector<Query>& queries;
  const DatabaseHeader& header;
  const std::atomic<int>* stopFlag;
  const BatchSink& sink;
  bool passOver;
  int results = 0;

  bool PassOver(RecordReader* reader, unsigned char* length, int* scanned) const {
    return !passOver || PassOverNoCandidates(walk, reader, table, length, scanned, stopFlag);
  }
  void AtCountLimit() { walk->limited += walk->active; }
  bool AtRecord(int scanned) {
    return UpdateQueries(walk, scanned, header.recordCount, sink, results);
  }
  int Take(const unsigned char* data, unsigned length, int scanned) {
    MatchRecord(walk, table, queries, data, static_cast<int>(length),
                static_cast<uint32_t>(scanned));
    return AppendRows(walk, table, scanned, &results, sink);
  }
};

}  // namespace

Query CaptureQuery(const FieldTable* table) {
  Query query;
  for (int i = 0; i < table->searchCount && i < kMaxSearchFields; ++i) {
    const FieldDescriptor* f = table->searchMap[i];
    if (f == nullptr || !f->active || f->criterion == nullptr) continue;
    QueryCriterion c;
    c.field = static_cast<int>(f - table->fields);
    c.text.assign(f->criterion, strlen(f->criterion));
    c.wildcard = f->wildcard != 0;
    query.criteria.push_back(c);
  }
  return query;
}

BatchOutcome RunBatchScan(RecordReader* reader, const DatabaseHeader& header, FieldTable* table,
                          const std::vector<Query>& queries, const std::atomic<int>* stopFlag,
                          const BatchSink& sink) {
  BatchPlan plan;
  PlanBatch(table, queries, &plan);
  BatchWalk walk;
  walk.plan = &plan;
  walk.states.assign(queries.size(), QueryState());
  walk.stamp.assign(queries.size(), 0);
  walk.active = static_cast<int>(queries.size());
  ManyQuerySteps steps{&walk, table, queries, header, stopFlag, sink, plan.always.empty()};
  BatchOutcome outcome;
  outcome.scan = WalkRecords(reader, steps, stopFlag);
  outcome.limitedQueries = walk.limited;
  return outcome;
}
