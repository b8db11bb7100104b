// A walk over deflate data (the body of a gzip member) that decodes its symbols without
// producing the bytes they stand for, and holds every block header and every symbol to zlib's
// rules.
//
// Why: ISA-L's inflate takes data that zlib's refuses (a Huffman code that is not complete: ISA-L
// builds its tables anyway and fails only when the data uses a missing code, after it delivered
// part of that block, or never), and at some symbols zlib refuses (a distance too far back, or
// one of the fixed code's two unused distance codes) it counts bytes it never wrote. The reader
// must deliver exactly the bytes zlib delivers, so the walk runs ahead of ISA-L and ISA-L is given
// only the bytes the walk has passed over: what it inflates of them is what zlib inflates, and
// at the first thing zlib refuses, ISA-L stops short of it and zlib takes the member.
#pragma once
#include <cstddef>
#include <cstdint>

// Lookup widths of the walk's tables: codes up to this long are looked up at once, longer (rare)
// ones are decoded bit by bit from the code's counts.
constexpr int kWalkLiteralBits = 11;
constexpr int kWalkDistanceBits = 8;

// A canonical Huffman code: how many codes each length has, and the symbols in code order.
struct WalkCode {
  uint16_t count[16];
  uint16_t symbol[288];
  int symbols;  // literal/length symbols 286 and 287, distances 30 and 31 exist in no block
};

enum DeflateWalkState { WalkGoing, WalkFinished, WalkRefused };

struct DeflateWalk {
  DeflateWalkState state;
  uint64_t bit;       // the first bit of the data not walked over yet
  uint64_t produced;  // bytes the data walked over inflates to, counted up to 32 KiB
  bool inBlock;
  bool lastBlock;
  // The block's codes are complete: every bit pattern is a symbol that exists (a stored block
  // too). Past the member's first 32 KiB nothing in such a block can be refused.
  bool codesComplete;
  // Per entry of the literal/length table, as many literals as its bits hold, or a length (with
  // the literals before it), an end of block, or a code to decode bit by bit.
  // The block's code lengths (literal/length codes, then distance codes), and whether the
  // tables below were built from them yet.
  uint8_t lengths[288 + 32];
  int literalCount;
  int distanceCount;
  bool tablesReady;
  uint32_t literalTable[1u << kWalkLiteralBits];
  uint32_t distanceTable[1u << kWalkDistanceBits];
  WalkCode literals;
  WalkCode distances;
};

// A walk from the start of a member's deflate data.
void StartDeflateWalk(DeflateWalk* walk);

// Walks on over data, which holds length bytes of the deflate data from its byte offset on
// (offset is at most walk->bit / 8). It goes as far as the bytes allow: to the end of the last
// block (WalkFinished), to the first header or symbol that zlib refuses (WalkRefused), or to the
// last item these bytes hold whole (WalkGoing: call again with more).
DeflateWalkState WalkDeflate(DeflateWalk* walk, const unsigned char* data, uint64_t offset,
                             size_t length);

// The same a step at a time, for a caller that inflates block by block: the header of the next
// block (the walk must be between blocks), and the items of the block the walk is in, to its end
// or, with untilWindow, until the output passes 32 KiB.
DeflateWalkState WalkBlockHeader(DeflateWalk* walk, const unsigned char* data, uint64_t offset,
                                 size_t length);
DeflateWalkState WalkBlockItems(DeflateWalk* walk, const unsigned char* data, uint64_t offset,
                                size_t length, bool untilWindow);
constexpr uint64_t kWalkWindow = 32768;

// The bytes of the deflate data that hold only items the walk has passed over, from its start:
// ISA-L may take these. Once the walk finished, all of them and what follows.
inline uint64_t WalkedBytes(const DeflateWalk* walk) {
  return walk->state == WalkFinished ? UINT64_MAX : walk->bit >> 3;
}
