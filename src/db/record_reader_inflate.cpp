// The gzip stream of a compressed database, inflated with zlib or ISA-L.
//
// Why not gzread: gzread drops everything it inflated in a call that meets damage (a bad check
// value, broken deflate data), which would lose good records before the damage.
//
// How ISA-L and zlib share the work: ISA-L inflates a member whose header is a plain one (no
// comment, no header check: what zlib and gzip write, and our writer's series), a block at a
// time, and only what zlib takes: each block's header is held to zlib's rules first, and where
// zlib could refuse a symbol inside a block, ISA-L is given only what a walk by zlib's rules
// passed over (deflate_walk.h says why ISA-L cannot be left to itself). Should ISA-L stop on
// anything (damage, a file that ends inside the member), or the member hold what zlib refuses,
// or its check value or length be wrong, zlib inflates that member again from its first byte,
// passes over as many bytes as ISA-L delivered, and decides the rest: what else arrives, and
// where the stream ends. So the bytes delivered are zlib's for every file, and ISA-L's speed
// holds for every whole one. Reading a member twice costs time only when zlib would refuse it.
#include "db/record_reader_inflate.h"

#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "db/deflate_walk.h"
#include "db/file_system.h"

#ifdef VOSTREL_WITH_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

namespace {

constexpr size_t kInputSize = 64 * 1024;
constexpr size_t kScratchSize = 16 * 1024;
constexpr uInt kLargestCall = 0x40000000u;
constexpr size_t kHistory = 32 * 1024;  // deflate's window
constexpr size_t kKeptInput = 8;
// A member of more blocks than this that average less output than kSmallBlock is inflated by
// zlib: ISA-L's start at each block (the 32 KiB before it copied in) would cost more than the
// block.
constexpr uint64_t kManyBlocks = 64;
constexpr uint64_t kSmallBlock = 4096;

size_t Smaller(size_t a, size_t b) { return a < b ? a : b; }

}  // namespace

struct GzStream {
  enum Mode { Look, Copy, Inflate, FastInflate, Done };
  ExclusiveFile file;
  z_stream stream{};  // its next_in and avail_in are the input of both engines
  bool streamReady = false;
  bool sawMember = false;  // after a member, bytes without the magic are trailing garbage
  bool fileEnded = false;
  Mode mode = Look;
  InflateEngine engine = InflateWithZlib;
  uint64_t fileRead = 0;  // bytes read from the file so far: where the next read starts
  // A positional read moved the file's position (on Windows it does), or the stream is to go
  // on elsewhere: the next read seeks to fileRead first. Set by the read-ahead's threads, which
  // never read while the stream does.
  std::atomic<bool> reseek{false};
  uint64_t memberStart = 0;  // file offset of the member being inflated
  uint64_t memberOut = 0;    // bytes the member has delivered
  uint64_t skip = 0;         // bytes zlib passes over that ISA-L delivered already
#ifdef VOSTREL_WITH_ISAL
  // ISA-L inflates a member a block at a time (see InflateWithIsalOnce).
  enum At { AtBlock, InBlock, AtTrailer };
  inflate_state isal;
  At at = AtBlock;
  bool lastBlock = false;
  bool walkLimits = false;    // ISA-L takes only what the walk passed over
  uint64_t deflateStart = 0;  // file offset of the member's deflate data
  uint32_t crc = 0;           // of what the member delivered
  uint64_t blocks = 0;        // the member's blocks so far
  DeflateWalk walk;
  size_t historyEnd = 0;
  unsigned char history[2 * kHistory];  // the member's last output, the last kHistory at its end
#endif
  unsigned char input[kInputSize];
  unsigned char scratch[kScratchSize];
};

namespace {

// Reads on from fileRead. Reads from the file's position, not at an offset: under Wine a read
// at an offset costs a good deal more, and the stream reads in order.
size_t ReadOn(GzStream* gz, void* buffer, size_t count) {
  if (gz->reseek.exchange(false) && !ExclusiveSeek(&gz->file, gz->fileRead)) return 0;
  return ExclusiveRead(&gz->file, buffer, count);
}

// Moves what is left of the input to its start and reads more behind it. The 8 bytes before
// what is left stay before it: ISA-L may have read into its bit buffer bits that it gives back
// at a block's end.
void FillInput(GzStream* gz) {
  z_stream& s = gz->stream;
  const size_t keep = Smaller(static_cast<size_t>(s.next_in - gz->input), kKeptInput);
  if (s.next_in - keep != gz->input) memmove(gz->input, s.next_in - keep, keep + s.avail_in);
  s.next_in = gz->input + keep;
  const size_t got = ReadOn(gz, s.next_in + s.avail_in, kInputSize - keep - s.avail_in);
  if (got == 0) gz->fileEnded = true;
  gz->fileRead += got;
  s.avail_in += static_cast<uInt>(got);
}

#ifdef VOSTREL_WITH_ISAL
uint64_t InputOffset(const GzStream* gz) { return gz->fileRead - gz->stream.avail_in; }
#endif

// zlib takes the member that starts here (or, after ISA-L stopped in it, again from its start).
// False when zlib cannot be set up.
bool StartZlibMember(GzStream* gz) {
  z_stream& s = gz->stream;
  if (!gz->streamReady) {
    if (inflateInit2(&s, 15 + 16) != Z_OK) return false;
    gz->streamReady = true;
  } else {
    inflateReset(&s);
  }
  gz->mode = GzStream::Inflate;
  return true;
}

#ifdef VOSTREL_WITH_ISAL
// The length of the member header at the input when it is one ISA-L's path takes: method 8, no
// flag but the text hint, an extra field and a name (whose end is in the input). 0 otherwise:
// zlib reads it.
size_t PlainHeaderLength(const unsigned char* p, size_t available) {
  if (available < 10 || p[2] != 8 || (p[3] & ~0x0D) != 0) return 0;
  size_t at = 10;
  if ((p[3] & 0x04) != 0) {
    if (available < 12) return 0;
    at = 12 + (p[10] | (static_cast<size_t>(p[11]) << 8));
    if (at > available) return 0;
  }
  if ((p[3] & 0x08) == 0) return at;
  const void* nul = memchr(p + at, 0, available - at);
  return nul == nullptr ? 0 : static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) + 1;
}

bool StartIsalMember(GzStream* gz) {
  z_stream& s = gz->stream;
  if (s.avail_in < kInputSize && !gz->fileEnded) FillInput(gz);
  const size_t headerLength = PlainHeaderLength(s.next_in, s.avail_in);
  if (headerLength == 0) return false;
  gz->memberStart = InputOffset(gz);
  gz->memberOut = 0;
  s.next_in += headerLength;
  s.avail_in -= static_cast<uInt>(headerLength);
  gz->deflateStart = gz->memberStart + headerLength;
  StartDeflateWalk(&gz->walk);
  gz->at = GzStream::AtBlock;
  gz->blocks = 0;
  gz->crc = 0;
  gz->historyEnd = 0;
  gz->mode = GzStream::FastInflate;
  return true;
}

// ISA-L stopped inside the member, or the member holds what zlib refuses: zlib reads it again
// from its start.
void HandMemberToZlib(GzStream* gz) {
  z_stream& s = gz->stream;
  s.next_in = gz->input;
  s.avail_in = 0;
  gz->fileEnded = false;
  gz->fileRead = gz->memberStart;
  gz->reseek.store(true);
  gz->skip = gz->memberOut;
  if (!StartZlibMember(gz)) gz->mode = GzStream::Done;
}

// The member's last 32 KiB of output are kept for ISA-L's start at each block.
void KeepHistory(GzStream* gz, const unsigned char* out, size_t n) {
  if (n >= kHistory) {
    memcpy(gz->history, out + n - kHistory, kHistory);
    gz->historyEnd = kHistory;
    return;
  }
  if (gz->historyEnd + n > sizeof gz->history) {
    memmove(gz->history, gz->history + gz->historyEnd - kHistory, kHistory);
    gz->historyEnd = kHistory;
  }
  memcpy(gz->history + gz->historyEnd, out, n);
  gz->historyEnd += n;
}

// FillInput can add nothing: the input holds all it can.
bool InputFull(const GzStream* gz) {
  const z_stream& s = gz->stream;
  return static_cast<size_t>(s.next_in - gz->input) <= kKeptInput &&
         s.next_in + s.avail_in == gz->input + kInputSize;
}

// The deflate data's offset of the input's next byte.
uint64_t DeflateAt(const GzStream* gz) { return InputOffset(gz) - gz->deflateStart; }

// At a block's first bit (the input's next byte holds it): its header held to zlib's rules, then
// ISA-L started on it with the 32 KiB before it as its dictionary, the header's first bit set so
// that ISA-L takes the block as the last and stops at its end. BlockNeedsInput when the header
// is not whole in the input; BlockForZlib when zlib refuses it, or the member is one of many
// small blocks.
enum BlockStart { BlockStarted, BlockNeedsInput, BlockForZlib };
BlockStart StartIsalBlock(GzStream* gz) {
  z_stream& s = gz->stream;
  DeflateWalk& walk = gz->walk;
  if (++gz->blocks > kManyBlocks && gz->memberOut < gz->blocks * kSmallBlock) return BlockForZlib;
  const uint64_t start = walk.bit;
  walk.produced = gz->memberOut;
  WalkBlockHeader(&walk, s.next_in, DeflateAt(gz), s.avail_in);
  if (walk.state == WalkRefused) return BlockForZlib;
  if (walk.bit == start) {
    --gz->blocks;
    return BlockNeedsInput;
  }
  gz->lastBlock = walk.lastBlock;
  // Where zlib could refuse something inside the block (a fixed code's unused symbols, a code
  // that is not complete, a distance within the member's first 32 KiB), ISA-L takes only what
  // the walk passed over; in a block of complete codes past those 32 KiB nothing is refused.
  gz->walkLimits = walk.inBlock && (!walk.codesComplete || walk.produced < kWalkWindow);
  inflate_state& state = gz->isal;
  isal_inflate_reset(&state);
  state.crc_flag = ISAL_DEFLATE;  // the trailer is checked here: ISA-L knows no block's end
  const size_t history = gz->historyEnd < kHistory ? gz->historyEnd : kHistory;
  if (history > 0)
    isal_inflate_set_dict(&state, gz->history + gz->historyEnd - history,
                          static_cast<uint32_t>(history));
  state.read_in = (s.next_in[0] >> (start & 7)) | 1u;
  state.read_in_length = static_cast<int32_t>(8 - (start & 7));
  ++s.next_in;
  --s.avail_in;
  gz->at = GzStream::InBlock;
  return BlockStarted;
}

// The member's trailer after its last block (the input's next byte is its first): its check
// value and length against what ISA-L delivered.
void CheckTrailer(GzStream* gz) {
  z_stream& s = gz->stream;
  if (s.avail_in < 8 && !gz->fileEnded) {
    FillInput(gz);
    return;
  }
  const unsigned char* t = s.next_in;
  if (s.avail_in < 8 ||
      (t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24)) != gz->crc ||
      (t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24)) !=
          static_cast<uint32_t>(gz->memberOut)) {
    HandMemberToZlib(gz);  // a cut or a wrong check value or length: zlib decides
    return;
  }
  s.next_in += 8;
  s.avail_in -= 8;
  gz->mode = GzStream::Look;
}

// How many input bytes ISA-L may read in this call: all of them once the walk is past what
// zlib could refuse, else no further than the walk has held the block to zlib's rules. 0 when
// it may read none: then the member has gone to zlib, or more input is read.
uInt WalkAllowance(GzStream* gz) {
  z_stream& s = gz->stream;
  if (!gz->walkLimits) return s.avail_in;
  DeflateWalk& walk = gz->walk;
  uInt allowed = s.avail_in;
  // The walk reads from the block's first byte, which ISA-L took already but the input still
  // holds.
  const uint64_t inputAt = DeflateAt(gz);
  const uint64_t back = Smaller(static_cast<size_t>(s.next_in - gz->input), inputAt);
  WalkBlockItems(&walk, s.next_in - back, inputAt - back, s.avail_in + back, walk.codesComplete);
  if (walk.state != WalkRefused &&
      (!walk.inBlock || (walk.codesComplete && walk.produced >= kWalkWindow))) {
    gz->walkLimits = false;  // past the block's end, or past what zlib could refuse
  } else {
    const uint64_t walked = walk.bit >> 3;
    allowed = walked <= inputAt ? 0 : static_cast<uInt>(Smaller(walked - inputAt, allowed));
  }
  if (allowed == 0) {
    if (walk.state == WalkRefused || gz->fileEnded || InputFull(gz))
      HandMemberToZlib(gz);
    else
      FillInput(gz);
  }
  return allowed;
}

// One call of ISA-L's inflate within a block; returns the bytes it delivered.
size_t InflateWithIsalOnce(GzStream* gz, unsigned char* out, size_t room) {
  z_stream& s = gz->stream;
  if (gz->at == GzStream::AtTrailer) {
    CheckTrailer(gz);
    return 0;
  }
  if (s.avail_in == 0) FillInput(gz);
  if (s.avail_in == 0) {  // the file ends inside the member
    HandMemberToZlib(gz);
    return 0;
  }
  if (gz->at == GzStream::AtBlock) {
    const BlockStart started = StartIsalBlock(gz);
    if (started == BlockForZlib ||
        (started == BlockNeedsInput && (gz->fileEnded || InputFull(gz)))) {
      HandMemberToZlib(gz);
      return 0;
    }
    if (started == BlockNeedsInput) {
      FillInput(gz);
      return 0;
    }
  }
  const uInt allowed = WalkAllowance(gz);
  if (allowed == 0) return 0;
  inflate_state& state = gz->isal;
  state.next_in = s.next_in;
  state.avail_in = allowed;
  state.next_out = out;
  state.avail_out = static_cast<uint32_t>(Smaller(room, kLargestCall));
  const uint32_t before = state.avail_out;
  const uint32_t inputBefore = state.avail_in;
  const int result = isal_inflate(&state);
  const size_t produced = before - state.avail_out;
  s.next_in = state.next_in;
  s.avail_in -= inputBefore - state.avail_in;
  gz->memberOut += produced;
  gz->crc = crc32_gzip_refl(gz->crc, out, produced);
  KeepHistory(gz, out, produced);
  if (result == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH) {
    // The block's end: the bits ISA-L read past it go back to the input, which still holds them.
    const uint64_t end = DeflateAt(gz) * 8 - static_cast<uint64_t>(state.read_in_length);
    const size_t back = static_cast<size_t>(DeflateAt(gz) - (end >> 3));
    s.next_in -= back;
    s.avail_in += static_cast<uInt>(back);
    gz->walk.bit = end;
    gz->walk.inBlock = false;
    gz->at = GzStream::AtBlock;
    if (gz->lastBlock) {
      const size_t partial = (end & 7) != 0 ? 1 : 0;  // the trailer starts at the next byte
      s.next_in += partial;
      s.avail_in -= static_cast<uInt>(partial);
      gz->at = GzStream::AtTrailer;
    }
  } else if (result < 0 || (produced == 0 && state.avail_in == inputBefore)) {
    HandMemberToZlib(gz);  // damage, or no progress at all
  }
  return produced;
}
#endif

// At the start of the stream or after a member: a new member, the stream's end, or (before
// any member) a file to pass through as it stands.
void LookForMember(GzStream* gz) {
  z_stream& s = gz->stream;
  while (s.avail_in < 2 && !gz->fileEnded) FillInput(gz);
  if (s.avail_in == 0) {
    gz->mode = GzStream::Done;
    return;
  }
  if (s.avail_in < 2 || s.next_in[0] != 0x1F || s.next_in[1] != 0x8B) {
    gz->mode = gz->sawMember ? GzStream::Done : GzStream::Copy;
    return;
  }
  gz->sawMember = true;
  // A new member: nothing of it was delivered yet, whichever engine read the one before.
  gz->memberOut = 0;
  gz->skip = 0;
#ifdef VOSTREL_WITH_ISAL
  if (gz->engine == InflateWithIsal && StartIsalMember(gz)) return;
#endif
  if (!StartZlibMember(gz)) gz->mode = GzStream::Done;
}

size_t CopyThrough(GzStream* gz, unsigned char* out, size_t room) {
  z_stream& s = gz->stream;
  if (s.avail_in > 0) {
    const size_t take = Smaller(s.avail_in, room);
    memcpy(out, s.next_in, take);
    s.next_in += take;
    s.avail_in -= static_cast<uInt>(take);
    return take;
  }
  const size_t got = ReadOn(gz, out, room);
  gz->fileRead += got;
  if (got == 0) gz->mode = GzStream::Done;
  return got;
}

// One call of zlib's inflate; returns the bytes it delivered (none while it passes over what
// ISA-L delivered before).
size_t InflateWithZlibOnce(GzStream* gz, unsigned char* out, size_t room) {
  z_stream& s = gz->stream;
  if (s.avail_in == 0) FillInput(gz);
  const bool passing = gz->skip > 0;
  s.next_out = passing ? gz->scratch : out;
  s.avail_out =
      static_cast<uInt>(passing ? Smaller(gz->skip, kScratchSize) : Smaller(room, kLargestCall));
  const uInt before = s.avail_out;
  const int result = inflate(&s, Z_NO_FLUSH);
  // Even a call that ends in an error has handed over what it inflated before the error.
  const size_t produced = before - s.avail_out;
  if (result == Z_STREAM_END)
    gz->mode = GzStream::Look;
  else if (result != Z_OK && result != Z_BUF_ERROR)
    gz->mode = GzStream::Done;  // damaged data, a bad check value, no memory
  else if (produced == 0 && s.avail_in == 0 && gz->fileEnded)
    gz->mode = GzStream::Done;  // cut short: what inflated so far stands
  // (With no input left zlib is still asked once more: the end of a match that did not fit the
  // last call's room is in its state, not in the input.)
  if (!passing) return produced;
  gz->skip -= produced;
  return 0;
}

}  // namespace

InflateEngine DefaultInflateEngine() {
#ifdef VOSTREL_WITH_ISAL
  return InflateWithIsal;
#else
  return InflateWithZlib;
#endif
}

bool InflateEngineBuiltIn(InflateEngine engine) {
#ifdef VOSTREL_WITH_ISAL
  return engine == InflateWithZlib || engine == InflateWithIsal;
#else
  return engine == InflateWithZlib;
#endif
}

GzStream* OpenGzStream(const wchar_t* path, InflateEngine engine) {
  GzStream* gz = new (std::nothrow) GzStream();
  if (gz == nullptr) return nullptr;
  if (!OpenForReading(path, ShareWithAll, &gz->file)) {
    delete gz;
    return nullptr;
  }
  gz->engine = InflateEngineBuiltIn(engine) ? engine : DefaultInflateEngine();
  gz->stream.next_in = gz->input;
#ifdef VOSTREL_WITH_ISAL
  if (gz->engine == InflateWithIsal) isal_inflate_init(&gz->isal);
#endif
  return gz;
}

size_t ReadGzStream(GzStream* gz, unsigned char* out, size_t count) {
  size_t total = 0;
  while (gz != nullptr && total < count && gz->mode != GzStream::Done) {
    switch (gz->mode) {
      case GzStream::Look:
        LookForMember(gz);
        break;
      case GzStream::Copy:
        total += CopyThrough(gz, out + total, count - total);
        break;
      case GzStream::FastInflate:
#ifdef VOSTREL_WITH_ISAL
        total += InflateWithIsalOnce(gz, out + total, count - total);
#endif
        break;
      default:
        total += InflateWithZlibOnce(gz, out + total, count - total);
    }
  }
  return total;
}

void CloseGzStream(GzStream* gz) {
  if (gz == nullptr) return;
  if (gz->streamReady) inflateEnd(&gz->stream);
  ExclusiveClose(&gz->file);
  delete gz;
}

size_t ReadGzFileAt(GzStream* gz, uint64_t offset, void* buffer, size_t count) {
  if (gz == nullptr) return 0;
  gz->reseek.store(true);
  return ExclusiveReadAt(&gz->file, offset, buffer, count);
}

MemberAt LookAtMember(GzStream* gz, uint64_t offset, uint32_t* length) {
  unsigned char h[kBlockedHeaderLength];
  const size_t got = ReadGzFileAt(gz, offset, h, sizeof h);
  if (got == 0) return MemberEnd;
  // The header the writer gives each member of a series: no flag but the extra field, which
  // holds the one subfield "VD" of four bytes.
  if (got < sizeof h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || h[3] != 0x04 || h[10] != 8 ||
      h[11] != 0 || h[12] != 'V' || h[13] != 'D' || h[14] != 4 || h[15] != 0)
    return MemberOther;
  uint32_t n = 0;
  for (int b = 0; b < 4; ++b) n |= static_cast<uint32_t>(h[16 + b]) << (8 * b);
  // The shortest member: its header, an empty deflate block (2 bytes) and the trailer.
  if (n < kBlockedHeaderLength + 2 + 8) return MemberOther;
  *length = n;
  return MemberBlocked;
}

void ContinueGzStreamAt(GzStream* gz, uint64_t offset) {
  if (gz == nullptr) return;
  z_stream& s = gz->stream;
  s.next_in = gz->input;
  s.avail_in = 0;
  gz->fileEnded = false;
  gz->fileRead = offset;
  gz->reseek.store(true);
  gz->memberOut = 0;
  gz->skip = 0;
  gz->sawMember = true;
  gz->mode = GzStream::Look;
}

struct MemberInflater {
  InflateEngine engine = InflateWithZlib;
  z_stream zlib{};
  bool zlibReady = false;
#ifdef VOSTREL_WITH_ISAL
  inflate_state isal;
  DeflateWalk walk;
#endif
};

MemberInflater* NewMemberInflater(const GzStream* gz) {
  MemberInflater* m = new (std::nothrow) MemberInflater();
  if (m == nullptr) return nullptr;
  m->engine = gz != nullptr ? gz->engine : DefaultInflateEngine();
  return m;
}

void FreeMemberInflater(MemberInflater* m) {
  if (m == nullptr) return;
  if (m->zlibReady) inflateEnd(&m->zlib);
  delete m;
}

#ifdef VOSTREL_WITH_ISAL
namespace {

// The deflate data of a member (in, inLength bytes, its trailer included) inflated with ISA-L a
// block at a time, each block's header held to zlib's rules first (the walk reads it). What
// else zlib refuses (a symbol a code does not have, a distance before the member's start) ISA-L
// refuses too, and then the member is not used at all: the stream reads it. ISA-L takes each
// block as the last one (its header's first bit set), so it stops at the block's end, where the
// next header is.
bool InflateMemberByBlocks(MemberInflater* m, const unsigned char* in, uint32_t inLength,
                           unsigned char* out, size_t room, size_t* produced) {
  DeflateWalk& walk = m->walk;
  StartDeflateWalk(&walk);
  inflate_state& state = m->isal;
  isal_inflate_init(&state);
  size_t made = 0;
  for (uint64_t blocks = 1; walk.state == WalkGoing; ++blocks) {
    const uint64_t start = walk.bit;
    // Each block costs ISA-L a start of its own (the 32 KiB before it copied in), which the
    // writer's members (some 15 blocks) hardly notice and one of thousands of tiny blocks would:
    // the stream reads such a member.
    if ((blocks > kManyBlocks && made < blocks * kSmallBlock) ||
        WalkBlockHeader(&walk, in, 0, inLength) == WalkRefused || walk.bit == start)
      return false;
    const bool last = walk.lastBlock;
    // ISA-L from the block's first bit, which says "last block"; the 32 KiB before it as its
    // dictionary.
    isal_inflate_reset(&state);
    state.crc_flag = ISAL_DEFLATE;
    const size_t history = made < IGZIP_HIST_SIZE ? made : IGZIP_HIST_SIZE;
    if (history > 0 && isal_inflate_set_dict(&state, out + made - history,
                                             static_cast<uint32_t>(history)) != COMP_OK)
      return false;
    const uint64_t byte = start >> 3;
    state.read_in = (in[byte] >> (start & 7)) | 1u;
    state.read_in_length = static_cast<int32_t>(8 - (start & 7));
    state.next_in = const_cast<unsigned char*>(in) + byte + 1;
    state.avail_in = static_cast<uint32_t>(inLength - byte - 1);
    state.next_out = out + made;
    state.avail_out = static_cast<uint32_t>(room - made);
    if (isal_inflate(&state) != ISAL_DECOMP_OK || state.block_state != ISAL_BLOCK_FINISH)
      return false;
    made = room - state.avail_out;
    const uint64_t end =
        static_cast<uint64_t>(state.next_in - in) * 8 - static_cast<uint64_t>(state.read_in_length);
    walk.bit = end;
    walk.inBlock = false;
    if (last) walk.state = WalkFinished;
  }
  // The trailer: right after the data, the check value and the length, and then nothing.
  const uint64_t trailer = (walk.bit + 7) >> 3;
  if (walk.state != WalkFinished || trailer + 8 != inLength) return false;
  const unsigned char* t = in + trailer;
  const uint32_t crc = t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24);
  const uint32_t size = t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24);
  if (size != static_cast<uint32_t>(made) ||
      crc != crc32_gzip_refl(0, out, static_cast<uint64_t>(made)))
    return false;
  *produced = made;
  return true;
}

}  // namespace
#endif

bool InflateMember(MemberInflater* m, const unsigned char* member, size_t length,
                   unsigned char* out, size_t room, size_t* produced) {
  if (length <= kBlockedHeaderLength || length > kLargestCall || room > kLargestCall) return false;
  const unsigned char* in = member + kBlockedHeaderLength;
  const uint32_t inLength = static_cast<uint32_t>(length - kBlockedHeaderLength);
#ifdef VOSTREL_WITH_ISAL
  if (m->engine == InflateWithIsal)
    return InflateMemberByBlocks(m, in, inLength, out, room, produced);
#endif
  z_stream& z = m->zlib;
  if (!m->zlibReady) {
    if (inflateInit2(&z, -15) != Z_OK) return false;
    m->zlibReady = true;
  } else if (inflateReset(&z) != Z_OK) {
    return false;
  }
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = inLength;
  z.next_out = out;
  z.avail_out = static_cast<uInt>(room);
  if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.avail_in != 8) return false;
  const size_t made = room - z.avail_out;
  // The trailer: the check value and the length of what the member inflates to.
  const unsigned char* t = z.next_in;
  const uint32_t crc = t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24);
  const uint32_t size = t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24);
  if (crc != crc32(0L, out, static_cast<uInt>(made)) || size != static_cast<uint32_t>(made))
    return false;
  *produced = made;
  return true;
}

const ExclusiveFile* GzStreamFile(const GzStream* gz) {
  return gz != nullptr ? &gz->file : nullptr;
}
