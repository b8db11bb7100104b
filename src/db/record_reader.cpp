// The record stream. Records are tiny (at most 254 bytes), so reading them one by one from the
// file would cost a system call or a zlib call each; a block buffer serves them instead. The
// caller sees the same bytes and the same short read at the end as with direct reads (and at
// damage in a compressed stream, more: see record_reader_inflate.h).
#include "db/record_reader.h"

#include <cstdlib>
#include <cstring>

#include "db/record_reader_inflate.h"

namespace {

constexpr size_t kBlockSize = 64 * 1024;

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
  CloseGzStream(static_cast<GzStream*>(reader->gz));
  ExclusiveClose(&reader->file);
  if (reader->memory == nullptr) free(reader->buffer);
  *reader = RecordReader();
}

void TeeRecordReader(RecordReader* reader, RecordCache* cache) { reader->tee = cache; }

void OpenRecordReaderOnCache(RecordReader* reader, const RecordCache* cache) {
  *reader = RecordReader();
  reader->viaGz = true;
  reader->memory = cache;
  ServeNextChunk(reader);
}
