// The record bytes of one stream, held in memory, so that another scan of the same file reads
// them from there instead of opening and inflating the file again.
//
// A cache is filled by a reader that tees what its source delivers into it (TeeRecordReader in
// record_reader.h) and read back by a reader opened on it (OpenRecordReaderOnCache). It holds a
// prefix of the source's stream: every block the source delivered, in order, and, when the
// source delivered a short block, its end. So a reader on the cache delivers exactly the bytes
// the file reader delivered, and ends where it ended, a damaged or cut stream included.
//
// The bytes are kept in chunks of kRecordCacheChunkSize that never move: growing copies
// nothing, and a reader on the cache reads each record in place, as from its block buffer.
#pragma once
#include <cstddef>

constexpr size_t kRecordCacheChunkSize = 4u * 1024u * 1024u;

// Where a filling cache takes its chunks from. Fresh memory costs a page fault at the first
// touch of each page, and the thread that fills a cache is the one that scans; a caller with a
// thread that makes memory ahead hands it in here. take returns kRecordCacheChunkSize bytes that
// free() releases, or nullptr, and then the chunk is allocated as without it.
struct ChunkSource {
  void* (*take)(void* context) = nullptr;
  void* context = nullptr;
};

struct RecordCache {
  unsigned char** chunks = nullptr;  // owned, each of them too
  size_t chunkCount = 0;
  size_t chunkSlots = 0;     // room in chunks
  size_t size = 0;           // bytes held
  size_t limit = 0;          // a stream of this many bytes or more is not held
  bool dropped = false;      // went over the limit or out of memory: holds and takes nothing
  bool sourceEnded = false;  // the source delivered a short block: nothing follows the bytes
  ChunkSource source;        // set only while a search fills it
  size_t lastBrought = 0;    // bytes of the last chunk whose pages are in
};

// Starts an empty cache that holds up to limit - 1 bytes.
void BeginRecordCache(RecordCache* cache, size_t limit);
// Appends the bytes. When they would bring the cache to its limit, or memory runs out, every
// byte is freed and the cache is dropped.
void AppendToRecordCache(RecordCache* cache, const void* bytes, size_t count);
// Gives the last chunk back what it does not hold, so the cache costs its bytes and no more.
// False when the cache was dropped.
bool FinishRecordCache(RecordCache* cache);
// How many bytes chunk index holds.
size_t RecordCacheChunkLength(const RecordCache* cache, size_t index);
// Frees every byte; the cache is as new afterwards (freeing twice is harmless).
void FreeRecordCache(RecordCache* cache);
