// The record stream. Records are tiny (at most 254 bytes), so reading them one by one from the
// file would cost a system call or a zlib call each; a block buffer serves them instead. The
// caller sees the same bytes and the same short read at the end as with direct reads (and at
// damage in a compressed stream, more: see record_reader_inflate.h).
#include "db/record_reader.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "db/record_reader_inflate.h"

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
  std::mutex lock;
  std::condition_variable wake;
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
  std::lock_guard<std::mutex> held(ahead->lock);
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
  std::unique_lock<std::mutex> held(ahead->lock);
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
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->quit.store(true);
    ahead->wake.notify_all();
  }
  ahead->thread.join();
  free(ahead->blocks);
  delete ahead;
  reader->ahead = nullptr;
}

}  // namespace

int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz, FileSharing plainSharing) {
  *reader = RecordReader();
  reader->viaGz = viaGz;
  if (viaGz) {
    GzStream* gz = OpenGzStream(path);
    if (gz == nullptr) return 2;
    reader->gz = gz;
    // The records start headerSize bytes into the decompressed stream; a stream that ends
    // before them simply has no records.
    unsigned char skipped[512];
    size_t left = header.headerSize;
    while (left > 0) {
      const size_t want = left < sizeof skipped ? left : sizeof skipped;
      const size_t got = ReadGzStream(gz, skipped, want);
      left -= got;
      if (got < want) break;
    }
  } else {
    if (!OpenForReading(path, plainSharing, &reader->file)) return 1;
    if (!ExclusiveSeek(&reader->file, header.headerSize)) {
      ExclusiveClose(&reader->file);
      return 1;
    }
  }
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
    if (reader->memory != nullptr) {
      ServeNextChunk(reader);
      continue;
    }
    if (reader->ahead != nullptr) {
      TakeReadAheadBlock(reader);
      continue;
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
  const bool ownBuffer = reader->memory == nullptr && reader->ahead == nullptr;
  StopReadAhead(reader);
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
  ServeNextChunk(reader);
}

bool StartReadAhead(RecordReader* reader) {
  if (reader->memory != nullptr || reader->ahead != nullptr || reader->atEnd ||
      reader->bufferEnd != reader->bufferStart)
    return false;
  unsigned char* own = reader->buffer;
  if (!StartAheadThread(reader)) return false;
  free(own);  // the blocks are the buffer from now on
  reader->buffer = nullptr;
  return true;
}
