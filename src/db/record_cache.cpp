// The record bytes of a stream in memory, in chunks that never move.
#include "db/record_cache.h"

#include <cstdlib>
#include <cstring>

#include "db/file_system.h"

namespace {

constexpr size_t kBringStep = static_cast<size_t>(1) << 20;

// A new chunk at the end; false when memory ran out.
bool AddChunk(RecordCache* cache) {
  if (cache->chunkCount == cache->chunkSlots) {
    const size_t slots = cache->chunkSlots == 0 ? 64 : cache->chunkSlots * 2;
    void* grown = realloc(cache->chunks, slots * sizeof *cache->chunks);
    if (grown == nullptr) return false;
    cache->chunks = static_cast<unsigned char**>(grown);
    cache->chunkSlots = slots;
  }
  void* made = cache->source.take != nullptr ? cache->source.take(cache->source.context) : nullptr;
  cache->lastBrought = made != nullptr ? kRecordCacheChunkSize : 0;
  if (made == nullptr) made = malloc(kRecordCacheChunkSize);
  if (made == nullptr) return false;
  unsigned char* chunk = static_cast<unsigned char*>(made);
  cache->chunks[cache->chunkCount++] = chunk;
  return true;
}

void FreeChunks(RecordCache* cache) {
  for (size_t i = 0; i < cache->chunkCount; ++i) free(cache->chunks[i]);
  free(cache->chunks);
  cache->chunks = nullptr;
  cache->chunkCount = 0;
  cache->chunkSlots = 0;
  cache->size = 0;
}

void Drop(RecordCache* cache) {
  FreeChunks(cache);
  cache->dropped = true;
}

}  // namespace

void BeginRecordCache(RecordCache* cache, size_t limit) {
  FreeRecordCache(cache);
  cache->limit = limit;
  // A limit of 0 holds nothing at all, not even an empty stream.
  cache->dropped = limit == 0;
}

void AppendToRecordCache(RecordCache* cache, const void* bytes, size_t count) {
  if (cache->dropped || count == 0) return;
  if (count >= cache->limit - cache->size) {
    Drop(cache);
    return;
  }
  const unsigned char* from = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const size_t used = cache->size % kRecordCacheChunkSize;
    if (used == 0 && cache->size / kRecordCacheChunkSize == cache->chunkCount && !AddChunk(cache)) {
      Drop(cache);
      return;
    }
    const size_t room = kRecordCacheChunkSize - used;
    const size_t take = count < room ? count : room;
    unsigned char* chunk = cache->chunks[cache->chunkCount - 1];
    // One call for the pages of each piece rather than a fault for each page.
    PopulateAsFilled(chunk, kRecordCacheChunkSize, used + take, kBringStep, &cache->lastBrought);
    memcpy(chunk + used, from, take);
    cache->size += take;
    from += take;
    count -= take;
  }
}

bool FinishRecordCache(RecordCache* cache) {
  if (cache->dropped) return false;
  const size_t last = cache->size % kRecordCacheChunkSize;
  if (cache->chunkCount > 0 && last > 0) {
    // Shrinking in place or to a smaller block; when even that fails the chunk stays as it is.
    void* shrunk = realloc(cache->chunks[cache->chunkCount - 1], last);
    if (shrunk != nullptr)
      cache->chunks[cache->chunkCount - 1] = static_cast<unsigned char*>(shrunk);
  }
  return true;
}

size_t RecordCacheChunkLength(const RecordCache* cache, size_t index) {
  if (index >= cache->chunkCount) return 0;
  if (index + 1 < cache->chunkCount) return kRecordCacheChunkSize;
  return cache->size - index * kRecordCacheChunkSize;
}

void FreeRecordCache(RecordCache* cache) {
  FreeChunks(cache);
  *cache = RecordCache();
}
