// The walk over deflate data (see deflate_walk.h). zlib's rules, as its inflate applies them:
// a block type of 3, a stored block whose length and its complement disagree, more than 286
// literal/length or 30 distance codes, a code of code lengths that is not complete, a repeat
// with no length before it or past the last length, no end-of-block code, a literal/length or
// distance code that is over-subscribed or not complete (a lone code of one bit is taken: the
// other one-bit code is then invalid), a symbol the code does not have (the fixed code's
// literal/length 286 and 287, distances 30 and 31), and a distance past the start of the
// member's output are refused.
//
// The walk goes into a block only where zlib could refuse a symbol in it (a member's first 32
// KiB, a block of the fixed code or of a code that is not complete); ISA-L inflates every other
// block unwalked. Within a block one lookup in a table of 2^11 entries passes over up to seven
// literals, or a length and its extra bits (then one lookup of the distance and its extra bits),
// with a 64-bit bit buffer filled 8 bytes at a time; past the first 32 KiB only the items' lengths
// in bits are worked out. Codes longer than the tables and the last bytes of the input are
// decoded bit by bit.
#include "db/deflate_walk.h"

#include <cstring>

namespace {

constexpr uint32_t kLiteralMask = (1u << kWalkLiteralBits) - 1;
constexpr uint32_t kDistanceMask = (1u << kWalkDistanceBits) - 1;
// Past this much output no distance can reach before the member's start (zlib's window).
constexpr uint64_t kWindow = kWalkWindow;

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// A table entry: the bits it passes over (0-5), its kind (6-7), the literals it holds (8-10);
// for a length or a distance, where its extra bits start within the entry (11-16), how many there
// are (17-20) and its code's index (21-25).
enum EntryKind : uint32_t { kLiterals = 0, kMatch = 1, kEnd = 2, kSlow = 3 };
constexpr uint32_t kSlowEntry = kSlow << 6;

constexpr uint32_t MakeEntry(uint32_t bits, uint32_t kind, uint32_t literals, uint32_t extraAt,
                             uint32_t extra, uint32_t index) {
  return bits | kind << 6 | literals << 8 | extraAt << 11 | extra << 17 | index << 21;
}
inline uint32_t EntryBits(uint32_t e) { return e & 63; }
inline uint32_t EntryKindOf(uint32_t e) { return (e >> 6) & 3; }
inline uint32_t EntryLiterals(uint32_t e) { return (e >> 8) & 7; }
inline uint32_t EntryExtraAt(uint32_t e) { return (e >> 11) & 63; }
inline uint32_t EntryExtra(uint32_t e) { return (e >> 17) & 15; }
inline uint32_t EntryIndex(uint32_t e) { return (e >> 21) & 31; }

// The machines this builds for are little-endian: 8 bytes loaded are 64 bits in stream order.
inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Reads bits at exact positions, never past the bytes at hand (headers, the rare long codes,
// the last bytes of the input).
struct BitCursor {
  const unsigned char* data;  // the byte at bit `first`
  const unsigned char* end;
  uint64_t first;
  uint64_t limit;  // the bit after the last one at hand
  uint64_t bit;
};

// Up to 16 bits; false when the bytes at hand end first.
bool TakeBits(BitCursor* c, int n, uint32_t* value) {
  if (c->bit + n > c->limit) return false;
  const uint64_t at = c->bit - c->first;
  const unsigned char* p = c->data + (at >> 3);
  uint64_t word = 0;
  if (c->end - p >= 8)
    word = Load64(p);
  else
    memcpy(&word, p, static_cast<size_t>(c->end - p));
  *value = static_cast<uint32_t>((word >> (at & 7)) & ((1u << n) - 1));
  c->bit += n;
  return true;
}

// The next symbol of a code, bit by bit: the symbol, -1 for a bit pattern the code does not
// have, -2 when the bytes end first (the cursor is then where it was).
int DecodeBitByBit(const WalkCode* code, BitCursor* c) {
  const uint64_t start = c->bit;
  int value = 0;
  int first = 0;
  int index = 0;
  for (int length = 1; length <= 15; ++length) {
    uint32_t b = 0;
    if (!TakeBits(c, 1, &b)) {
      c->bit = start;
      return -2;
    }
    value |= static_cast<int>(b);
    const int count = code->count[length];
    if (value - count < first) return code->symbol[index + (value - first)];
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  c->bit = start;
  return -1;
}

// Counts the code lengths and orders the symbols canonically. Returns what is left of the code
// space: below 0 over-subscribed, above 0 not complete; *longest: the longest code's length.
int BuildCode(const uint8_t* lengths, int n, int symbols, WalkCode* code, int* longest) {
  memset(code->count, 0, sizeof code->count);
  for (int i = 0; i < n; ++i) ++code->count[lengths[i]];
  code->count[0] = 0;
  code->symbols = symbols;
  int left = 1;
  *longest = 0;
  for (int length = 1; length <= 15; ++length) {
    left = (left << 1) - code->count[length];
    if (left < 0) return left;
    if (code->count[length] != 0) *longest = length;
  }
  uint16_t offset[16];
  offset[1] = 0;
  for (int length = 1; length < 15; ++length)
    offset[length + 1] = static_cast<uint16_t>(offset[length] + code->count[length]);
  for (int i = 0; i < n; ++i)
    if (lengths[i] != 0) code->symbol[offset[lengths[i]]++] = static_cast<uint16_t>(i);
  return left;
}

// Calls put(reversed code, length, symbol) for each symbol whose code is at most `bits` long:
// the codes as the stream holds them, lowest bit first.
template <typename Put>
void ForEachShortCode(const uint8_t* lengths, int n, int bits, Put put) {
  uint32_t count[16] = {};
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  uint32_t next[16] = {};
  count[0] = 0;
  for (int length = 1; length <= 15; ++length)
    next[length] = (next[length - 1] + count[length - 1]) << 1;
  for (int i = 0; i < n; ++i) {
    const int length = lengths[i];
    if (length == 0) continue;
    const uint32_t code = next[length]++;
    if (length > bits) continue;
    uint32_t reversed = 0;
    for (int b = 0; b < length; ++b) reversed |= ((code >> b) & 1u) << (length - 1 - b);
    put(reversed, static_cast<uint32_t>(length), static_cast<uint32_t>(i));
  }
}

// The walk's two tables for a block's codes.
void BuildTables(DeflateWalk* w, const uint8_t* literalLengths, int literalCount,
                 const uint8_t* distanceLengths, int distanceCount) {
  // First one symbol per entry (its length << 16 | the symbol; 0: none that short), then as
  // many items per entry as its bits hold.
  uint32_t single[1u << kWalkLiteralBits] = {};
  ForEachShortCode(literalLengths, literalCount, kWalkLiteralBits,
                   [&](uint32_t reversed, uint32_t length, uint32_t symbol) {
                     for (uint32_t i = reversed; i <= kLiteralMask; i += 1u << length)
                       single[i] = length << 16 | symbol;
                   });
  const int symbols = w->literals.symbols;
  for (uint32_t x = 0; x <= kLiteralMask; ++x) {
    uint32_t bits = 0;
    uint32_t literals = 0;
    uint32_t entry = kSlowEntry;
    for (;;) {
      const uint32_t s = single[x >> bits];
      const uint32_t length = s >> 16;
      const uint32_t symbol = s & 0xFFFF;
      if (length == 0 || bits + length > kWalkLiteralBits) break;
      if (symbol < 256) {
        bits += length;
        if (++literals == 7) break;
        continue;
      }
      if (symbol == 256) {
        if (literals == 0) entry = MakeEntry(length, kEnd, 0, 0, 0, 0);
      } else if (static_cast<int>(symbol) < symbols) {
        const uint32_t index = symbol - 257;
        const uint32_t extra = kLengthExtra[index];
        entry = MakeEntry(bits + length + extra, kMatch, literals, bits + length, extra, index);
      }
      break;
    }
    if (entry == kSlowEntry && literals > 0) entry = MakeEntry(bits, kLiterals, literals, 0, 0, 0);
    w->literalTable[x] = entry;
  }
  for (uint32_t& e : w->distanceTable) e = kSlowEntry;
  const int distances = w->distances.symbols;
  ForEachShortCode(distanceLengths, distanceCount, kWalkDistanceBits,
                   [&](uint32_t reversed, uint32_t length, uint32_t symbol) {
                     if (static_cast<int>(symbol) >= distances) return;
                     const uint32_t extra = kDistanceExtra[symbol];
                     const uint32_t e = MakeEntry(length + extra, kMatch, 0, length, extra, symbol);
                     for (uint32_t i = reversed; i <= kDistanceMask; i += 1u << length)
                       w->distanceTable[i] = e;
                   });
}

enum Step { StepMore, StepRefused, StepDone, StepEnd, StepSlow, StepWindowPassed };

// A stored block's header, after its type bits: the bit moves past its bytes.
Step ReadStoredHeader(DeflateWalk* w, BitCursor* c, uint32_t last) {
  c->bit = (c->bit + 7) & ~uint64_t{7};
  uint32_t length = 0;
  uint32_t complement = 0;
  if (!TakeBits(c, 16, &length) || !TakeBits(c, 16, &complement)) return StepMore;
  if (length != (~complement & 0xFFFF)) return StepRefused;
  // The stored bytes need not be at hand: nothing in them is checked.
  c->bit += uint64_t{length} * 8;
  if (w->produced < kWindow) w->produced += length;
  w->lastBlock = last != 0;
  w->inBlock = false;
  w->codesComplete = true;
  return StepDone;
}

// The fixed codes of a block of type 1.
void SetFixedCodes(DeflateWalk* w) {
  uint8_t* lengths = w->lengths;
  int longest = 0;
  memset(lengths, 8, 144);
  memset(lengths + 144, 9, 112);
  memset(lengths + 256, 7, 24);
  memset(lengths + 280, 8, 8);
  BuildCode(lengths, 288, 286, &w->literals, &longest);
  memset(lengths + 288, 5, 32);
  BuildCode(lengths + 288, 32, 30, &w->distances, &longest);
  w->codesComplete = false;  // it has symbols that exist in no block
}

// The code of the code lengths (hclen + 4 of them) as a table for the next 7 bits: length << 8
// | symbol. zlib takes only a complete code.
Step ReadLengthCode(BitCursor* c, uint32_t hclen, uint16_t* lengthTable) {
  uint8_t codeLengths[19] = {};
  for (uint32_t i = 0; i < hclen + 4; ++i) {
    uint32_t v = 0;
    if (!TakeBits(c, 3, &v)) return StepMore;
    codeLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(v);
  }
  WalkCode lengthCode;
  int longest = 0;
  if (BuildCode(codeLengths, 19, 19, &lengthCode, &longest) != 0) return StepRefused;
  ForEachShortCode(codeLengths, 19, 7, [&](uint32_t reversed, uint32_t length, uint32_t symbol) {
    for (uint32_t i = reversed; i < 128; i += 1u << length)
      lengthTable[i] = static_cast<uint16_t>(length << 8 | symbol);
  });
  return StepDone;
}

// The total code lengths of a dynamic block into lengths, decoded with lengthTable.
Step ReadCodeLengths(BitCursor* c, const uint16_t* lengthTable, int total, uint8_t* lengths) {
  int have = 0;
  while (have < total) {
    // The next 7 bits, or those at hand padded with zeros: a code that fits in what is at
    // hand decodes the same either way.
    const uint64_t rest = c->limit - c->bit;
    uint32_t peek = 0;
    const int n = rest < 7 ? static_cast<int>(rest) : 7;
    if (n > 0) TakeBits(c, n, &peek);
    c->bit -= n;
    const uint32_t e = lengthTable[peek];
    if ((e >> 8) > static_cast<uint32_t>(n)) return StepMore;
    c->bit += e >> 8;
    const uint32_t symbol = e & 0xFF;
    if (symbol < 16) {
      lengths[have++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint32_t repeat = 0;
    uint8_t value = 0;
    uint32_t v = 0;
    if (symbol == 16) {
      if (have == 0) return StepRefused;
      if (!TakeBits(c, 2, &v)) return StepMore;
      repeat = 3 + v;
      value = lengths[have - 1];
    } else if (symbol == 17) {
      if (!TakeBits(c, 3, &v)) return StepMore;
      repeat = 3 + v;
    } else {
      if (!TakeBits(c, 7, &v)) return StepMore;
      repeat = 11 + v;
    }
    if (have + static_cast<int>(repeat) > total) return StepRefused;
    memset(lengths + have, value, repeat);
    have += static_cast<int>(repeat);
  }
  return StepDone;
}

// A dynamic block's codes, after its type bits.
Step ReadDynamicCodes(DeflateWalk* w, BitCursor* c, int* literalCount, int* distanceCount) {
  uint32_t hlit = 0;
  uint32_t hdist = 0;
  uint32_t hclen = 0;
  if (!TakeBits(c, 5, &hlit) || !TakeBits(c, 5, &hdist) || !TakeBits(c, 4, &hclen)) return StepMore;
  *literalCount = static_cast<int>(hlit) + 257;
  *distanceCount = static_cast<int>(hdist) + 1;
  if (*literalCount > 286 || *distanceCount > 30) return StepRefused;
  uint16_t lengthTable[128];
  Step step = ReadLengthCode(c, hclen, lengthTable);
  if (step != StepDone) return step;
  uint8_t* lengths = w->lengths;
  step = ReadCodeLengths(c, lengthTable, *literalCount + *distanceCount, lengths);
  if (step != StepDone) return step;
  if (lengths[256] == 0) return StepRefused;
  // A literal/length or distance code that is not complete is taken only as one code of one
  // bit; no distance code at all is taken too (a block of literals).
  int longest = 0;
  const int literalLeft = BuildCode(lengths, *literalCount, 286, &w->literals, &longest);
  if (literalLeft < 0 || (literalLeft > 0 && longest != 1)) return StepRefused;
  const int distanceLeft =
      BuildCode(lengths + *literalCount, *distanceCount, 30, &w->distances, &longest);
  if (distanceLeft < 0 || (distanceLeft > 0 && longest > 1)) return StepRefused;
  w->codesComplete = literalLeft == 0 && distanceLeft == 0;
  return StepDone;
}

// The block header at the walk's bit. StepDone: the walk is in the block (or past a stored
// one); the bit stays at the header's start for StepMore and StepRefused.
Step ReadHeader(DeflateWalk* w, BitCursor* c) {
  const uint64_t start = c->bit;
  uint32_t last = 0;
  uint32_t type = 0;
  int literalCount = 288;
  int distanceCount = 32;
  Step step = StepDone;
  if (!TakeBits(c, 1, &last) || !TakeBits(c, 2, &type))
    step = StepMore;
  else if (type == 0)
    step = ReadStoredHeader(w, c, last);
  else if (type == 3)
    step = StepRefused;
  else if (type == 1)
    SetFixedCodes(w);
  else
    step = ReadDynamicCodes(w, c, &literalCount, &distanceCount);
  if (step != StepDone) {
    c->bit = start;
    return step;
  }
  if (type == 0) return StepDone;
  // The tables are built when the walk goes into the block: a caller that lets ISA-L inflate
  // a block unwalked needs only its header held to the rules.
  w->literalCount = literalCount;
  w->distanceCount = distanceCount;
  w->tablesReady = false;
  w->lastBlock = last != 0;
  w->inBlock = true;
  return StepDone;
}

// One item at the walk's bit, decoded bit by bit: StepDone past it, StepEnd past the end of
// block, or StepMore / StepRefused with the bit where it was.
Step SlowItem(DeflateWalk* w, BitCursor* c) {
  const uint64_t start = c->bit;
  const int symbol = DecodeBitByBit(&w->literals, c);
  if (symbol == -2) return StepMore;
  if (symbol == -1 || symbol >= w->literals.symbols) {
    c->bit = start;
    return StepRefused;
  }
  if (symbol < 256) {
    if (w->produced < kWindow) ++w->produced;
    return StepDone;
  }
  if (symbol == 256) return StepEnd;
  const int index = symbol - 257;
  uint32_t extra = 0;
  if (!TakeBits(c, kLengthExtra[index], &extra)) {
    c->bit = start;
    return StepMore;
  }
  const uint32_t length = kLengthBase[index] + extra;
  const int code = DecodeBitByBit(&w->distances, c);
  if (code == -2 ||
      (code >= 0 && code < w->distances.symbols && !TakeBits(c, kDistanceExtra[code], &extra))) {
    c->bit = start;
    return StepMore;
  }
  if (code == -1 || code >= w->distances.symbols) {
    c->bit = start;
    return StepRefused;
  }
  const uint32_t distance = kDistanceBase[code] + extra;
  if (w->produced < kWindow) {
    if (distance > w->produced) {
      c->bit = start;
      return StepRefused;
    }
    w->produced += length;
  }
  return StepDone;
}

// A match whose literal/length entry is e and distance entry d, their extra bits in buffer
// (the distance's after the length's bits): the output grows by the literals before it and by
// its length. False when its distance reaches before the member's start.
inline bool CountMatch(uint32_t e, uint32_t d, uint32_t bits, uint64_t buffer, uint64_t* produced) {
  const uint32_t length =
      kLengthBase[EntryIndex(e)] +
      static_cast<uint32_t>((buffer >> EntryExtraAt(e)) & ((1u << EntryExtra(e)) - 1));
  const uint32_t distance =
      kDistanceBase[EntryIndex(d)] +
      static_cast<uint32_t>((buffer >> (bits + EntryExtraAt(d))) & ((1u << EntryExtra(d)) - 1));
  *produced += EntryLiterals(e);
  if (distance > *produced) return false;
  *produced += length;
  return true;
}

// The items of a block from the walk's bit, through the tables, as far as they go without a
// long code, an item that the bytes at hand do not hold whole, or the end of the block.
// kCounting: within the member's first 32 KiB, every length and distance is worked out (and
// the loop stops once the output passes 32 KiB).
template <bool kCounting>
Step FastItems(DeflateWalk* w, const unsigned char* data, const unsigned char* end,
               uint64_t first) {
  const uint64_t at = w->bit - first;
  const unsigned char* p = data + (at >> 3);
  if (p >= end) return StepMore;
  uint64_t buffer = 0;
  uint32_t count = 0;
  const auto refill = [&] {
    if (end - p >= 8) {
      buffer |= Load64(p) << count;
      p += (63 - count) >> 3;
      count |= 56;
    } else {
      while (count <= 56 && p < end) {
        buffer |= static_cast<uint64_t>(*p++) << count;
        count += 8;
      }
    }
  };
  refill();
  buffer >>= at & 7;
  count -= static_cast<uint32_t>(at & 7);
  const uint32_t* literalTable = w->literalTable;
  const uint32_t* distanceTable = w->distanceTable;
  uint64_t produced = w->produced;
  Step step = StepSlow;
  for (;;) {
    refill();
    const uint32_t e = literalTable[buffer & kLiteralMask];
    const uint32_t kind = EntryKindOf(e);
    uint32_t bits = EntryBits(e);
    if (kind == kLiterals) {
      if (bits > count) break;
      buffer >>= bits;
      count -= bits;
      if (kCounting) {
        produced += EntryLiterals(e);
        if (produced >= kWindow) {
          step = StepWindowPassed;
          break;
        }
      }
      continue;
    }
    if (kind == kMatch) {
      const uint32_t d = distanceTable[(buffer >> bits) & kDistanceMask];
      const uint32_t all = bits + EntryBits(d);
      if (EntryKindOf(d) != kMatch || all > count) break;
      if (kCounting && !CountMatch(e, d, bits, buffer, &produced)) {
        step = StepRefused;
        break;
      }
      buffer >>= all;
      count -= all;
      if (kCounting && produced >= kWindow) {
        step = StepWindowPassed;
        break;
      }
      continue;
    }
    if (kind == kEnd && bits <= count) {
      buffer >>= bits;
      count -= bits;
      step = StepEnd;
    }
    break;
  }
  w->bit = first + static_cast<uint64_t>(p - data) * 8 - count;
  w->produced = produced;
  return step;
}

}  // namespace

void StartDeflateWalk(DeflateWalk* walk) {
  walk->state = WalkGoing;
  walk->bit = 0;
  walk->produced = 0;
  walk->inBlock = false;
  walk->lastBlock = false;
  walk->codesComplete = true;
}

DeflateWalkState WalkBlockHeader(DeflateWalk* w, const unsigned char* data, uint64_t offset,
                                 size_t length) {
  if (w->state != WalkGoing || w->inBlock) return w->state;
  BitCursor c{data, data + length, offset * 8, (offset + length) * 8, w->bit};
  if (w->bit >= c.limit) return w->state;
  const Step step = ReadHeader(w, &c);
  w->bit = c.bit;
  if (step == StepRefused) w->state = WalkRefused;
  if (step == StepDone && !w->inBlock && w->lastBlock) w->state = WalkFinished;
  return w->state;
}

DeflateWalkState WalkBlockItems(DeflateWalk* w, const unsigned char* data, uint64_t offset,
                                size_t length, bool untilWindow) {
  BitCursor c{data, data + length, offset * 8, (offset + length) * 8, 0};
  if (w->state == WalkGoing && w->inBlock && !w->tablesReady) {
    BuildTables(w, w->lengths, w->literalCount, w->lengths + w->literalCount, w->distanceCount);
    w->tablesReady = true;
  }
  while (w->state == WalkGoing && w->inBlock && w->bit < c.limit) {
    if (untilWindow && w->produced >= kWindow) break;
    Step step = w->produced < kWindow ? FastItems<true>(w, data, c.end, c.first)
                                      : FastItems<false>(w, data, c.end, c.first);
    if (step == StepSlow) {
      c.bit = w->bit;
      step = SlowItem(w, &c);
      w->bit = c.bit;
    }
    if (step == StepEnd) {
      w->inBlock = false;
      if (w->lastBlock) w->state = WalkFinished;
    }
    if (step == StepRefused) w->state = WalkRefused;
    if (step == StepMore) break;
  }
  return w->state;
}
