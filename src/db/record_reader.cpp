// The record stream. Records are tiny (at most 254 bytes), so reading them one by one from the
// file would cost a system call or a zlib call each; a block buffer serves them instead. The
// caller sees the same bytes and the same short read at the end as with direct reads (and at
// damage in a compressed stream, more: see GzDecoder).
#include "db/record_reader.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t kBlockSize = 64 * 1024;
constexpr size_t kInputSize = 64 * 1024;

// The gzip stream, decoded with zlib's inflate rather than gzread: gzread drops everything it
// inflated in a call that meets damage (a bad check value, broken deflate data), which would
// lose good records before the damage. Otherwise it reads as gzread does: a file that does not
// begin with the gzip magic is passed through as it stands; members that follow one another
// read as one stream; bytes after a member that are no new member are ignored; a stream cut
// short ends where its data ends.
struct GzDecoder {
  enum Mode { Look, Copy, Inflate, Done };
  ExclusiveFile file;
  z_stream stream{};
  bool streamReady = false;
  bool sawMember = false;  // after a member, bytes without the magic are trailing garbage
  bool fileEnded = false;
  Mode mode = Look;
  unsigned char input[kInputSize];
};

// Moves what is left of the input to its start and reads more behind it.
void FillInput(GzDecoder* gz) {
  z_stream& s = gz->stream;
  if (s.avail_in > 0 && s.next_in != gz->input) memmove(gz->input, s.next_in, s.avail_in);
  s.next_in = gz->input;
  const size_t got = ExclusiveRead(&gz->file, gz->input + s.avail_in, kInputSize - s.avail_in);
  if (got == 0) gz->fileEnded = true;
  s.avail_in += static_cast<uInt>(got);
}

size_t ReadGz(GzDecoder* gz, unsigned char* out, size_t count) {
  z_stream& s = gz->stream;
  size_t total = 0;
  while (total < count && gz->mode != GzDecoder::Done) {
    if (gz->mode == GzDecoder::Look) {
      while (s.avail_in < 2 && !gz->fileEnded) FillInput(gz);
      if (s.avail_in == 0) {
        gz->mode = GzDecoder::Done;
      } else if (s.avail_in >= 2 && s.next_in[0] == 0x1F && s.next_in[1] == 0x8B) {
        if (!gz->streamReady) {
          if (inflateInit2(&s, 15 + 16) != Z_OK) {
            gz->mode = GzDecoder::Done;
            continue;
          }
          gz->streamReady = true;
        } else {
          inflateReset(&s);
        }
        gz->sawMember = true;
        gz->mode = GzDecoder::Inflate;
      } else {
        gz->mode = gz->sawMember ? GzDecoder::Done : GzDecoder::Copy;
      }
      continue;
    }
    if (gz->mode == GzDecoder::Copy) {
      if (s.avail_in > 0) {
        const size_t take = s.avail_in < count - total ? s.avail_in : count - total;
        memcpy(out + total, s.next_in, take);
        s.next_in += take;
        s.avail_in -= static_cast<uInt>(take);
        total += take;
        continue;
      }
      const size_t got = ExclusiveRead(&gz->file, out + total, count - total);
      total += got;
      if (got == 0) gz->mode = GzDecoder::Done;
      continue;
    }
    // Inflate.
    if (s.avail_in == 0) {
      FillInput(gz);
      if (s.avail_in == 0) {  // cut short: what inflated so far stands
        gz->mode = GzDecoder::Done;
        continue;
      }
    }
    const size_t left = count - total;
    s.next_out = out + total;
    s.avail_out = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
    const uInt before = s.avail_out;
    const int result = inflate(&s, Z_NO_FLUSH);
    // Even a call that ends in an error has handed over what it inflated before the error.
    total += before - s.avail_out;
    if (result == Z_STREAM_END)
      gz->mode = GzDecoder::Look;
    else if (result != Z_OK && result != Z_BUF_ERROR)
      gz->mode = GzDecoder::Done;  // damaged data, a bad check value, no memory
  }
  return total;
}

// Reads straight from the source: the bytes that arrived, 0 at the end or on an error.
size_t ReadSource(RecordReader* reader, void* dst, size_t count) {
  if (reader->viaGz) {
    GzDecoder* gz = static_cast<GzDecoder*>(reader->gz);
    return gz == nullptr ? 0 : ReadGz(gz, static_cast<unsigned char*>(dst), count);
  }
  return ExclusiveRead(&reader->file, dst, count);
}

void FreeGzDecoder(GzDecoder* gz) {
  if (gz == nullptr) return;
  if (gz->streamReady) inflateEnd(&gz->stream);
  ExclusiveClose(&gz->file);
  delete gz;
}

}  // namespace

int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz, FileSharing plainSharing) {
  *reader = RecordReader();
  reader->viaGz = viaGz;
  if (viaGz) {
    GzDecoder* gz = new (std::nothrow) GzDecoder();
    if (gz == nullptr) return 2;
    if (!OpenForReading(path, ShareWithAll, &gz->file)) {
      delete gz;
      return 2;
    }
    reader->gz = gz;
    // The records start headerSize bytes into the decompressed stream; a stream that ends
    // before them simply has no records.
    unsigned char skipped[512];
    size_t left = header.headerSize;
    while (left > 0) {
      const size_t want = left < sizeof skipped ? left : sizeof skipped;
      const size_t got = ReadGz(gz, skipped, want);
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
  FreeGzDecoder(static_cast<GzDecoder*>(reader->gz));
  ExclusiveClose(&reader->file);
  free(reader->buffer);
  *reader = RecordReader();
}
