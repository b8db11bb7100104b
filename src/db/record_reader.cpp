// The record stream. Records are tiny (at most 254 bytes), so reading them one by one from the
// file would cost a system call or a zlib call each; a block buffer serves them instead. The
// caller sees the same bytes and the same short read at the end as with direct reads (and at
// damage in a compressed stream, more: see record_reader_inflate.h).
#include "db/record_reader.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "db/record_reader_inflate.h"
#include "db/thread_wait.h"

namespace {

constexpr size_t kBlockSize = 64 * 1024;

// Reading the source (a copy out of the page cache, or inflating) costs about as much as the
// scan of what it delivers, so a thread of the reader's own reads ahead into a ring of blocks
// while the caller scans: the two run side by side on two cores. The blocks are the source's
// reads in order, each of kAheadBlockSize bytes but the last, which is short (the source's
// end); the caller takes them one by one, exactly as it would have read them itself, so it sees
// the same bytes and the same end. Larger blocks than the buffered reader's mean fewer hand-overs
// between the threads; a ring of a few MiB stays in the processor's cache.
constexpr size_t kAheadBlockSize = 256 * 1024;
constexpr size_t kAheadBlocks = 8;
// A side that must wait looks again this many times (a few microseconds) before it sleeps. A
// side that sleeps is woken only once half of the ring is ready for it (the source's end too),
// so that when both threads share one busy core they take turns a megabyte at a time, not a
// block at a time.
constexpr int kSpinsBeforeSleep = 100;

struct ReadAhead {
  std::thread thread;
  WaitLock lock;
  WakeUp wake;
  unsigned char* blocks = nullptr;  // kAheadBlocks blocks, one after another; owned
  size_t got[kAheadBlocks] = {};    // what each block holds
  std::atomic<size_t> filled{0};    // blocks read so far
  std::atomic<size_t> released{0};  // blocks the caller is done with
  std::atomic<bool> quit{false};
  std::atomic<bool> ended{false};  // the thread read the short block: nothing follows
  std::atomic<bool> threadSleeps{false};
  std::atomic<bool> callerSleeps{false};
  size_t taken = 0;      // the caller's: blocks taken so far
  bool holding = false;  // the caller's: the block taken last is its buffer
};

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Wakes the other side when it sleeps. Its flag is set under the lock before it looks at the
// counters a last time, and the counter was stored before the flag is read here, so either it
// sees the new count or this sees its flag (both are sequentially consistent).
void WakeIfSleeping(ReadAhead* ahead, const std::atomic<bool>& sleeps) {
  if (!sleeps.load()) return;
  std::lock_guard<WaitLock> held(ahead->lock);
  ahead->wake.notify_all();
}

// Waits until going on is possible (soon), spinning a little; then sleeps until ready() holds,
// which the other side wakes it for.
template <typename Soon, typename Ready>
void WaitUntil(ReadAhead* ahead, std::atomic<bool>* sleeps, Soon soon, Ready ready) {
  for (int i = 0; i < kSpinsBeforeSleep; ++i) {
    if (soon()) return;
    Pause();
  }
  std::unique_lock<WaitLock> held(ahead->lock);
  sleeps->store(true);
  ahead->wake.wait(held, ready);
  sleeps->store(false);
}

// Reads straight from the source: the bytes that arrived, 0 at the end or on an error.
size_t ReadFromSource(RecordReader* reader, void* dst, size_t count) {
  if (reader->viaGz) {
    GzStream* gz = static_cast<GzStream*>(reader->gz);
    return gz == nullptr ? 0 : ReadGzStream(gz, static_cast<unsigned char*>(dst), count);
  }
  return ExclusiveRead(&reader->file, dst, count);
}

// The source's bytes, and a copy of them for the tee. The reader never asks again after a
// short read, so a short one is where the source ended.
size_t ReadSource(RecordReader* reader, void* dst, size_t count) {
  const size_t got = ReadFromSource(reader, dst, count);
  if (reader->tee != nullptr) {
    AppendToRecordCache(reader->tee, dst, got);
    if (got < count) reader->tee->sourceEnded = true;
  }
  return got;
}

// On a cache: the next chunk becomes the buffer, read in place. After the last one the reader
// is at its end, as after the short block of a file.
void ServeNextChunk(RecordReader* reader) {
  const RecordCache* cache = reader->memory;
  if (reader->nextChunk >= cache->chunkCount) {
    reader->atEnd = true;
    return;
  }
  const size_t index = reader->nextChunk++;
  reader->buffer = cache->chunks[index];
  reader->bufferStart = 0;
  reader->bufferEnd = RecordCacheChunkLength(cache, index);
  if (reader->nextChunk == cache->chunkCount) reader->atEnd = true;
}

// A window of a viewed file: one call to load it costs far less than the scan of it, and a
// window is short enough that the first rows come at once.
constexpr size_t kViewWindow = 1u << 20;

struct ViewedFile {
  FileView view;
  size_t window = kViewWindow;
};

// The caller is done with its buffer: the next window of the view is loaded and the buffer is
// extended over it (the view is one run of memory, so a record across windows stays whole). The
// view ends after its last window, or where the file ends now when it was cut meanwhile.
void TakeViewWindow(RecordReader* reader) {
  ViewedFile* viewed = static_cast<ViewedFile*>(reader->view);
  const size_t from = reader->bufferEnd;
  const size_t left = viewed->view.length - from;
  const size_t want = from + (left < viewed->window ? left : viewed->window);
  const size_t ready = PrepareFileView(&viewed->view, from, want);
  reader->bufferEnd = ready;
  if (reader->tee != nullptr) AppendToRecordCache(reader->tee, reader->buffer + from, ready - from);
  if (ready < want || ready == viewed->view.length) {
    reader->atEnd = true;
    if (reader->tee != nullptr) reader->tee->sourceEnded = true;
  }
}

// The read-ahead thread: reads block after block until the source ends or the reader closes.
// It waits for room when the ring is full, and goes on once half of it is free again, so that
// the two threads hand over a few blocks at a time rather than one.
void ReadAheadLoop(RecordReader* reader, ReadAhead* ahead) {
  for (size_t n = 0;; ++n) {
    if (n - ahead->released.load() >= kAheadBlocks) {
      WaitUntil(
          ahead, &ahead->threadSleeps,
          [ahead, n] { return ahead->quit.load() || n - ahead->released.load() < kAheadBlocks; },
          [ahead, n] {
            return ahead->quit.load() || n - ahead->released.load() <= kAheadBlocks / 2;
          });
    }
    if (ahead->quit.load()) return;
    const size_t slot = n % kAheadBlocks;
    unsigned char* block = ahead->blocks + slot * kAheadBlockSize;
    const size_t got = ReadFromSource(reader, block, kAheadBlockSize);
    ahead->got[slot] = got;
    ahead->filled.store(n + 1);
    const bool last = got < kAheadBlockSize;  // the source ended
    if (last) ahead->ended.store(true);
    if (last || n + 1 - ahead->released.load() >= kAheadBlocks / 2)
      WakeIfSleeping(ahead, ahead->callerSleeps);
    if (last) return;
  }
}

bool StartAheadThread(RecordReader* reader) {
  ReadAhead* ahead = new (std::nothrow) ReadAhead();
  if (ahead == nullptr) return false;
  ahead->blocks = static_cast<unsigned char*>(malloc(kAheadBlocks * kAheadBlockSize));
  if (ahead->blocks != nullptr) {
    try {
      ahead->thread = std::thread(ReadAheadLoop, reader, ahead);
      reader->ahead = ahead;
      reader->source = SourceAheadThread;
      return true;
    } catch (const std::system_error&) {
      // No thread to be had: reading in the caller's own calls still works.
    }
  }
  free(ahead->blocks);
  delete ahead;
  return false;
}

// The caller is done with its buffer: the next block read ahead becomes the buffer, and the
// tee gets it, as it would have got the caller's own read. After a short block the reader is at
// its end.
void TakeReadAheadBlock(RecordReader* reader) {
  ReadAhead* ahead = static_cast<ReadAhead*>(reader->ahead);
  if (ahead->holding) {
    ahead->released.store(ahead->taken);
    // The thread sleeps until half of the ring is free.
    if (ahead->filled.load() - ahead->taken <= kAheadBlocks / 2)
      WakeIfSleeping(ahead, ahead->threadSleeps);
  }
  const size_t next = ahead->taken;
  if (ahead->filled.load() <= next) {
    WaitUntil(
        ahead, &ahead->callerSleeps, [ahead, next] { return ahead->filled.load() > next; },
        [ahead, next] {
          return ahead->ended.load() || ahead->filled.load() >= next + kAheadBlocks / 2;
        });
  }
  const size_t slot = next % kAheadBlocks;
  const size_t got = ahead->got[slot];
  ahead->taken = next + 1;
  ahead->holding = true;
  reader->buffer = ahead->blocks + slot * kAheadBlockSize;
  reader->bufferStart = 0;
  reader->bufferEnd = got;
  if (reader->tee != nullptr) {
    AppendToRecordCache(reader->tee, reader->buffer, got);
    if (got < kAheadBlockSize) reader->tee->sourceEnded = true;
  }
  if (got < kAheadBlockSize) reader->atEnd = true;
}

void StopReadAhead(RecordReader* reader) {
  ReadAhead* ahead = static_cast<ReadAhead*>(reader->ahead);
  if (ahead == nullptr) return;
  {
    std::lock_guard<WaitLock> held(ahead->lock);
    ahead->quit.store(true);
    ahead->wake.notify_all();
  }
  ahead->thread.join();
  free(ahead->blocks);
  delete ahead;
  reader->ahead = nullptr;
}

// A large compressed file that our writer made is a series of members, each of which says how
// long it is in the file, so the next one can be found without inflating this one (see
// LookAtMember). Such a file is inflated by two threads, a member each at a time, into a ring of
// slots, one member to a slot; the caller takes the slots in order, exactly as it would have
// read the stream itself: the inflated stream from its start, less the header's bytes, which
// it passes over as OpenRecordReader did.
//
// What each thread delivers is the member's bytes only when the member is whole and sound
// (InflateMember); then any reader of the stream gets exactly those bytes, and the next member
// starts where this one ends. At the first member that is not, or at whatever stands where a
// member of the series should, the threads stop taking members, and one of them reads on from
// there through the stream itself (ContinueGzStreamAt), block by block, as the stream reads
// from any member on: damage, a cut, trailing garbage and members of other writers come out
// as they do without the threads, because from there on it is the stream that reads them.
constexpr int kMemberThreads = 2;
constexpr size_t kMemberSlots = 8;
// A member of the series inflates to 1 MiB (the last one to less); a slot has room to spare, so
// that a member's end is never at the end of its room.
constexpr size_t kMemberSlotSize = (1u << 20) + 4096;
// Compressed members longer than this are not the writer's: the stream reads them.
constexpr uint32_t kLongestMember = 4u << 20;
constexpr size_t kInputStep = 1u << 20;

struct MemberAhead {
  std::thread threads[kMemberThreads];
  WaitLock lock;
  WakeUp wake;
  unsigned char* slots = nullptr;  // kMemberSlots slots of kMemberSlotSize; owned
  // Per slot: what it holds and whether the stream ends after it (under the lock; ready is
  // also read outside it, spinning, before the caller waits under the lock).
  size_t got[kMemberSlots] = {};
  bool last[kMemberSlots] = {};
  std::atomic<size_t> ready[kMemberSlots] = {};  // the block number plus one; 0: none yet
  std::atomic<size_t> released{0};               // blocks the caller is done with
  bool quit = false;
  // The walk over the series (under the lock): the next block to hand out, and where its
  // member starts.
  size_t nextBlock = 0;
  uint64_t nextOffset = 0;
  // Set once the stream reads on: blocks from fallbackFrom on are the stream's; a thread that
  // inflated a member for one of them drops it.
  bool fallback = false;
  size_t fallbackFrom = SIZE_MAX;
  int busy = 0;         // threads inside a member of the series
  size_t skipLeft = 0;  // the caller's: header bytes still to pass over
  size_t taken = 0;     // the caller's: blocks taken so far
  bool holding = false;
};

// Waits, under the lock, until block n has its slot to itself again (or the thread is to stop).
bool WaitForSlot(MemberAhead* a, std::unique_lock<WaitLock>& held, size_t n, bool inSeries) {
  a->wake.wait(held, [a, n, inSeries] {
    return a->quit || (inSeries && a->fallbackFrom <= n) || n - a->released.load() < kMemberSlots;
  });
  return !a->quit && !(inSeries && a->fallbackFrom <= n);
}

void Publish(MemberAhead* a, size_t n, size_t got, bool last) {
  const size_t slot = n % kMemberSlots;
  a->got[slot] = got;
  a->last[slot] = last;
  a->ready[slot].store(n + 1);
  a->wake.notify_all();
}

// From block n on, the stream reads on from offset (at the series' end too: there it ends at
// once). This thread waits until no other is inside a member: one of those may turn out not
// sound, and then the stream reads on from that earlier member instead, on that thread.
// Otherwise this thread delivers the stream's blocks until it ends.
void ReadOnThroughStream(RecordReader* reader, MemberAhead* a, std::unique_lock<WaitLock>& held,
                         size_t n, uint64_t offset) {
  a->fallback = true;
  a->fallbackFrom = n;
  a->wake.notify_all();
  a->wake.wait(held, [a] { return a->quit || a->busy == 0; });
  if (a->quit || a->fallbackFrom != n) return;
  // Members after this one that were inflated already are not what the stream delivers; the
  // caller has taken none of them (it waits for this block at the latest), and their slots are
  // the stream's now.
  for (std::atomic<size_t>& token : a->ready)
    if (token.load() > n) token.store(0);
  GzStream* gz = static_cast<GzStream*>(reader->gz);
  ContinueGzStreamAt(gz, offset);
  for (;; ++n) {
    if (!WaitForSlot(a, held, n, false)) return;
    held.unlock();
    unsigned char* slot = a->slots + (n % kMemberSlots) * kMemberSlotSize;
    const size_t got = ReadGzStream(gz, slot, kAheadBlockSize);
    held.lock();
    const bool end = got < kAheadBlockSize;
    Publish(a, n, got, end);
    if (end) return;
  }
}

void MemberLoop(RecordReader* reader, MemberAhead* a) {
  GzStream* gz = static_cast<GzStream*>(reader->gz);
  MemberInflater* inflater = NewMemberInflater(gz);
  unsigned char* input = nullptr;
  size_t inputRoom = 0;
  std::unique_lock<WaitLock> held(a->lock);
  while (!a->quit && !a->fallback) {
    const size_t n = a->nextBlock++;
    const uint64_t offset = a->nextOffset;
    uint32_t length = 0;
    const MemberAt at = LookAtMember(gz, offset, &length);
    if (at != MemberBlocked || length > kLongestMember || inflater == nullptr) {
      ReadOnThroughStream(reader, a, held, n, offset);
      break;
    }
    a->nextOffset = offset + length;
    ++a->busy;
    bool sound = WaitForSlot(a, held, n, true);
    held.unlock();
    size_t got = 0;
    if (sound && inputRoom < length) {
      // Grown in whole MiB: members differ in length, and growing to each longer one in turn
      // freed and faulted in fresh pages a few times a search (under Wine 8 ms of 60).
      const size_t room = (static_cast<size_t>(length) + kInputStep - 1) / kInputStep * kInputStep;
      free(input);
      input = static_cast<unsigned char*>(malloc(room));
      inputRoom = input != nullptr ? room : 0;
    }
    sound = sound && input != nullptr && ReadGzFileAt(gz, offset, input, length) == length &&
            InflateMember(inflater, input, length, a->slots + (n % kMemberSlots) * kMemberSlotSize,
                          kMemberSlotSize, &got);
    held.lock();
    --a->busy;
    if (a->quit) break;
    if (a->fallbackFrom <= n) {  // a member before this one was not sound: the stream decides
      a->wake.notify_all();
      continue;
    }
    if (sound) {
      Publish(a, n, got, false);
      continue;
    }
    // Not whole or not sound (or no memory): the stream reads this member and what follows.
    ReadOnThroughStream(reader, a, held, n, offset);
    break;
  }
  a->wake.notify_all();
  held.unlock();
  free(input);
  FreeMemberInflater(inflater);
}

void StopMemberThreads(MemberAhead* a) {
  {
    std::lock_guard<WaitLock> held(a->lock);
    a->quit = true;
    a->wake.notify_all();
  }
  for (std::thread& t : a->threads)
    if (t.joinable()) t.join();
}

bool StartMemberThreads(RecordReader* reader, size_t skip) {
  MemberAhead* a = new (std::nothrow) MemberAhead();
  if (a == nullptr) return false;
  a->skipLeft = skip;
  a->slots = static_cast<unsigned char*>(malloc(kMemberSlots * kMemberSlotSize));
  if (a->slots != nullptr) {
    int started = 0;
    try {
      for (; started < kMemberThreads; ++started)
        a->threads[started] = std::thread(MemberLoop, reader, a);
    } catch (const std::system_error&) {
    }
    // One thread is enough to be right; a second makes it fast.
    if (started > 0) {
      reader->members = a;
      reader->source = SourceMemberThreads;
      return true;
    }
  }
  free(a->slots);
  delete a;
  return false;
}

// The caller is done with its buffer: the next slot becomes the buffer (past the header's bytes
// at the start), and the tee gets what the caller gets.
void TakeMemberBlock(RecordReader* reader) {
  MemberAhead* a = static_cast<MemberAhead*>(reader->members);
  if (a->holding) {
    a->released.store(a->taken);
    std::lock_guard<WaitLock> held(a->lock);
    a->wake.notify_all();
  }
  const size_t next = a->taken;
  const size_t slot = next % kMemberSlots;
  for (int i = 0; i < kSpinsBeforeSleep && a->ready[slot].load() != next + 1; ++i) Pause();
  size_t got = 0;
  bool last = false;
  {
    std::unique_lock<WaitLock> held(a->lock);
    a->wake.wait(held, [a, slot, next] { return a->ready[slot].load() == next + 1; });
    got = a->got[slot];
    last = a->last[slot];
  }
  a->taken = next + 1;
  a->holding = true;
  const size_t skip = a->skipLeft < got ? a->skipLeft : got;
  a->skipLeft -= skip;
  reader->buffer = a->slots + slot * kMemberSlotSize;
  reader->bufferStart = skip;
  reader->bufferEnd = got;
  if (reader->tee != nullptr) {
    AppendToRecordCache(reader->tee, reader->buffer + skip, got - skip);
    if (last) reader->tee->sourceEnded = true;
  }
  if (last) reader->atEnd = true;
}

void StopMembers(RecordReader* reader) {
  MemberAhead* a = static_cast<MemberAhead*>(reader->members);
  if (a == nullptr) return;
  StopMemberThreads(a);
  free(a->slots);
  delete a;
  reader->members = nullptr;
}

// The file the reader reads, whatever its mode; null on the kept records.
const ExclusiveFile* ReaderFile(const RecordReader* reader) {
  if (reader->source == SourceCache) return nullptr;
  if (reader->viaGz)
    return reader->gz != nullptr ? GzStreamFile(static_cast<const GzStream*>(reader->gz)) : nullptr;
  return &reader->file;
}

bool StampNow(const RecordReader* reader, FileStamp* now) {
  const ExclusiveFile* file = ReaderFile(reader);
  return reader->stamped && file != nullptr && StampOpenFile(*file, now);
}

}  // namespace

int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz, FileSharing plainSharing, InflateEngine engine) {
  *reader = RecordReader();
  reader->viaGz = viaGz;
  if (viaGz) {
    GzStream* gz = OpenGzStream(path, engine);
    if (gz == nullptr) return 2;
    reader->gz = gz;
    // The records start headerSize bytes into the decompressed stream; a stream that ends
    // before them simply has no records.
    unsigned char skipped[512];
    size_t left = header.headerSize;
    reader->headerSize = header.headerSize;
    while (left > 0) {
      const size_t want = left < sizeof skipped ? left : sizeof skipped;
      const size_t got = ReadGzStream(gz, skipped, want);
      left -= got;
      reader->headerRead += got;
      if (got < want) break;
    }
  } else {
    if (!OpenForReading(path, plainSharing, &reader->file)) return 1;
    if (!ExclusiveSeek(&reader->file, header.headerSize)) {
      ExclusiveClose(&reader->file);
      return 1;
    }
  }
  const ExclusiveFile* file = ReaderFile(reader);
  reader->stamped = file != nullptr && StampOpenFile(*file, &reader->stamp);
  // Without a buffer the reader still works, one direct read per call.
  reader->buffer = static_cast<unsigned char*>(malloc(kBlockSize));
  return 0;
}

size_t ReadRecordBytes(RecordReader* reader, void* dst, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(dst);
  size_t total = 0;
  while (total < count) {
    const size_t buffered = reader->bufferEnd - reader->bufferStart;
    if (buffered > 0) {
      const size_t take = buffered < count - total ? buffered : count - total;
      memcpy(out + total, reader->buffer + reader->bufferStart, take);
      reader->bufferStart += take;
      total += take;
      continue;
    }
    if (reader->atEnd) break;
    switch (reader->source) {
      case SourceCache:
        ServeNextChunk(reader);
        continue;
      case SourceView:
        TakeViewWindow(reader);
        continue;
      case SourceAheadThread:
        TakeReadAheadBlock(reader);
        continue;
      case SourceMemberThreads:
        TakeMemberBlock(reader);
        continue;
      case SourceOwnReads:
        break;
    }
    const size_t left = count - total;
    if (reader->buffer == nullptr || left >= kBlockSize) {
      const size_t got = ReadSource(reader, out + total, left);
      total += got;
      if (got < left) reader->atEnd = true;
      break;
    }
    const size_t got = ReadSource(reader, reader->buffer, kBlockSize);
    reader->bufferStart = 0;
    reader->bufferEnd = got;
    if (got < kBlockSize) reader->atEnd = true;  // a short block: no more data after it
  }
  return total;
}

void CloseRecordReader(RecordReader* reader) {
  // The thread reads from the source: it ends before the source closes. Its blocks were the
  // buffer.
  const bool ownBuffer = reader->source == SourceOwnReads;
  StopReadAhead(reader);
  StopMembers(reader);
  if (reader->view != nullptr) {
    ViewedFile* viewed = static_cast<ViewedFile*>(reader->view);
    UnmapFileView(&viewed->view);
    delete viewed;
  }
  CloseGzStream(static_cast<GzStream*>(reader->gz));
  ExclusiveClose(&reader->file);
  if (ownBuffer) free(reader->buffer);
  *reader = RecordReader();
}

void TeeRecordReader(RecordReader* reader, RecordCache* cache) { reader->tee = cache; }

void OpenRecordReaderOnCache(RecordReader* reader, const RecordCache* cache) {
  *reader = RecordReader();
  reader->viaGz = true;
  reader->memory = cache;
  reader->source = SourceCache;
  ServeNextChunk(reader);
}

bool MapRecordFile(RecordReader* reader, size_t window) {
  if (reader->viaGz || reader->source != SourceOwnReads || reader->atEnd ||
      reader->bufferEnd != reader->bufferStart || window == 0)
    return false;
  ViewedFile* viewed = new (std::nothrow) ViewedFile();
  if (viewed == nullptr) return false;
  if (!MapWholeFile(reader->file, &viewed->view)) {
    delete viewed;
    return false;
  }
  viewed->window = window;
  free(reader->buffer);
  reader->view = viewed;
  reader->source = SourceView;
  // The buffer is the view itself and is only read.
  reader->buffer = const_cast<unsigned char*>(viewed->view.bytes);
  reader->bufferStart = viewed->view.start;
  reader->bufferEnd = viewed->view.start;
  TakeViewWindow(reader);
  return true;
}

bool RecordFileShrank(const RecordReader* reader) {
  if (reader->view != nullptr)
    return FileViewShrank(static_cast<const ViewedFile*>(reader->view)->view);
  FileStamp now;
  return StampNow(reader, &now) && now.size < reader->stamp.size;
}

bool RecordFileChanged(const RecordReader* reader) {
  if (RecordFileShrank(reader)) return false;
  if (reader->view != nullptr && static_cast<const ViewedFile*>(reader->view)->view.changed)
    return true;
  FileStamp now;
  return StampNow(reader, &now) && !SameStamp(now, reader->stamp);
}

bool RecordCutAway(const RecordReader* reader) {
  if (reader->view == nullptr) return false;
  // The view's buffer is the whole file: where the reader stands is the record's end in it.
  const FileView& view = static_cast<const ViewedFile*>(reader->view)->view;
  FileStamp now;
  return FileViewShrank(view) && StampNow(reader, &now) && reader->bufferStart > now.size;
}

bool StartReadAhead(RecordReader* reader, bool mayView) {
  if (reader->source != SourceOwnReads || reader->atEnd || reader->bufferEnd != reader->bufferStart)
    return false;
  // A view costs no copy at all, and no thread.
  if (mayView && !reader->viaGz && MapRecordFile(reader, kViewWindow)) return true;
  unsigned char* own = reader->buffer;
  uint32_t length = 0;
  if (reader->viaGz && reader->headerSize == reader->headerRead &&
      LookAtMember(static_cast<GzStream*>(reader->gz), 0, &length) == MemberBlocked) {
    // The threads inflate the series from its start and pass over the header again.
    if (StartMemberThreads(reader, reader->headerSize)) {
      free(own);
      reader->buffer = nullptr;
      return true;
    }
  }
  if (!StartAheadThread(reader)) return false;
  free(own);  // the blocks are the buffer from now on
  reader->buffer = nullptr;
  return true;
}
