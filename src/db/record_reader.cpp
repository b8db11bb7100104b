// The record stream. Records are tiny (at most 254 bytes), so reading them one by one from the
// file would cost a system call or a zlib call each; a block buffer serves them instead. The
// caller sees the same bytes and the same short read at the end as with direct reads.
#include "db/record_reader.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBlockSize = 64 * 1024;

// Reads straight from the source: the bytes that arrived, 0 at the end or on an error.
size_t ReadSource(RecordReader* reader, void* dst, size_t count) {
  if (reader->viaGz) {
    gzFile gz = static_cast<gzFile>(reader->gz);
    if (gz == nullptr) return 0;
    size_t total = 0;
    char* out = static_cast<char*>(dst);
    while (total < count) {
      const size_t left = count - total;
      const unsigned want = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
      const int got = gzread(gz, out + total, want);
      if (got <= 0) break;  // end of data, or a damaged or cut-off stream
      total += static_cast<size_t>(got);
    }
    return total;
  }
  return ExclusiveRead(&reader->file, dst, count);
}

}  // namespace

int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz) {
  *reader = RecordReader();
  reader->viaGz = viaGz;
  if (viaGz) {
    gzFile gz = static_cast<gzFile>(GzOpenWide(path, "rb"));
    if (gz == nullptr) return 2;
    if (gzseek(gz, header.headerSize, SEEK_SET) < 0) {
      gzclose(gz);
      return 2;
    }
    reader->gz = gz;
  } else {
    if (!ExclusiveOpen(path, &reader->file)) return 1;
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
  if (reader->gz != nullptr) gzclose(static_cast<gzFile>(reader->gz));
  ExclusiveClose(&reader->file);
  free(reader->buffer);
  *reader = RecordReader();
}
