// A walk over deflate data (the body of a gzip member) that holds every block header, and where
// asked every symbol, to zlib's rules, without producing the bytes the symbols stand for.
//
// Why: ISA-L's inflate takes data that zlib's refuses (a Huffman code that is not complete: ISA-L
// builds its tables anyway and fails only when the data uses a missing code, after it delivered
// part of that block, or never), and at some symbols zlib refuses (a distance too far back, one
// of the fixed code's unused symbols) it counts bytes it never wrote. The reader must deliver
// exactly the bytes zlib delivers, so ISA-L inflates a block only after the walk held its header
// to zlib's rules, and, in a block where zlib could refuse a symbol, only what the walk passed
// over (record_reader_inflate.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

// Lookup widths of the walk's tables: codes up to this long are looked up at once, longer (rare)
// ones are decoded bit by bit from the code's counts.
constexpr int kWalkLiteralBits = 11;
constexpr int kWalkDistanceBits = 8;
// Past this much of a member's output no distance can reach before its start (zlib's window).
constexpr uint64_t kWalkWindow = 32768;

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
  uint64_t produced;  // bytes the data before `bit` inflates to, counted up to kWalkWindow
  bool inBlock;
  bool lastBlock;
  // The block's codes are complete: every bit pattern is a symbol that exists (a stored block
  // too). Past the member's first kWalkWindow bytes nothing in such a block can be refused.
  bool codesComplete;
  // The block's code lengths (literal/length codes, then distance codes), and whether the
  // tables below were built from them yet.
  uint8_t lengths[288 + 32];
  int literalCount;
  int distanceCount;
  bool tablesReady;
  // Per entry of the literal/length table, as many literals as its bits hold, or a length (with
  // the literals before it), an end of block, or a code to decode bit by bit.
  uint32_t literalTable[1u << kWalkLiteralBits];
  uint32_t distanceTable[1u << kWalkDistanceBits];
  WalkCode literals;
  WalkCode distances;
};

// A walk from the start of a member's deflate data.
void StartDeflateWalk(DeflateWalk* walk);

// data holds length bytes of the deflate data from its byte offset on (offset is at most
// walk->bit / 8). Each call goes as far as these bytes allow and returns the walk's state:
// WalkRefused at a header or symbol zlib refuses (walk->bit then at its start), WalkFinished past
// the last block, else WalkGoing.
//
// The next block's header (the walk must be between blocks); walk->bit stays where it was when
// the bytes end before the header does.
DeflateWalkState WalkBlockHeader(DeflateWalk* walk, const unsigned char* data, uint64_t offset,
                                 size_t length);
// The items of the block the walk is in, to its end (then walk->inBlock is false) or, with
// untilWindow, until the output passes kWalkWindow, or to the last item the bytes hold whole.
DeflateWalkState WalkBlockItems(DeflateWalk* walk, const unsigned char* data, uint64_t offset,
                                size_t length, bool untilWindow);
