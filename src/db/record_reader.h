// The record stream of an accepted database: a gzip stream (or a file that zlib would pass
// through uncompressed) or a plain file, positioned at headerSize. Reads may be served from an
// internal block buffer; a caller observes the same bytes as with unbuffered reads, and at a
// damaged or cut-off compressed stream never fewer: every byte that inflated before the damage
// is delivered. A reader on a RecordCache (record_cache.h) delivers what an earlier reader
// delivered, from memory.
#pragma once
#include <cstddef>
#include <cstdint>

#include "db/database_header.h"
#include "db/file_system.h"
#include "db/record_cache.h"

// Which library inflates. ISA-L's inflate is more than twice as fast as zlib's; zlib stays for
// builds without ISA-L (VOSTREL_INFLATE=zlib) and decides every member that ISA-L does not
// finish cleanly or that zlib refuses anywhere (ISA-L takes some data zlib refuses), so both
// engines deliver the same bytes.
enum InflateEngine { InflateWithZlib = 0, InflateWithIsal = 1 };

// The build's choice: ISA-L where it is built in.
InflateEngine DefaultInflateEngine();
bool InflateEngineBuiltIn(InflateEngine engine);

// Where a reader's buffer gets its next bytes from: its own reads of the source, a cache's
// chunks, windows of a view, a read-ahead thread's ring, or the threads that inflate a series'
// members. Each but the first has its own state below (memory, view, ahead, members).
enum ReaderSource : unsigned char {
  SourceOwnReads = 0,
  SourceCache,
  SourceView,
  SourceAheadThread,
  SourceMemberThreads,
};

struct RecordReader {
  ReaderSource source = SourceOwnReads;
  bool viaGz = false;
  void* gz = nullptr;  // the GzStream (see record_reader_inflate.h), owned
  ExclusiveFile file;
  unsigned char* buffer = nullptr;  // block buffer, owned (on a cache: its current chunk)
  size_t bufferStart = 0;
  size_t bufferEnd = 0;
  bool atEnd = false;
  RecordCache* tee = nullptr;           // takes every block the source delivers; not owned
  const RecordCache* memory = nullptr;  // the cache this reader delivers; not owned
  size_t nextChunk = 0;                 // on a cache: the chunk after the buffer's
  // On a file: the thread that reads the source ahead into a ring of blocks while the caller
  // scans what arrived before (record_reader.cpp); null when the reader reads in its own
  // calls. Owned.
  void* ahead = nullptr;
  // On a large compressed file our writer made (a series of members): the threads that inflate
  // it a member each at a time (record_reader.cpp); null otherwise. Owned.
  void* members = nullptr;
  // On a plain file the command line searches: a view of the whole file (FileView), whose pages
  // the buffer is, handed out a window at a time; null otherwise. Owned.
  void* view = nullptr;
  size_t headerSize = 0;  // a gz stream: the header's bytes, and how many of them arrived
  size_t headerRead = 0;
  // The file as it was opened, to tell at the end whether another program wrote to it or cut
  // it meanwhile; stamped is false where the platform could not say.
  FileStamp stamp;
  bool stamped = false;
};

// 0 on success; 2 when the gz stream could not be opened, 1 when the plain file could not be
// opened (the worker's exit codes for the same failures). A plain file is opened with the
// given sharing: the application's search worker holds it alone (ShareNothing); a command-line
// search shares it with other readers (ShareWithReaders). A gz stream is never refused for
// another reader.
// engine inflates a gz stream (the differential tests compare the two).
int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz, FileSharing plainSharing = ShareNothing,
                     InflateEngine engine = DefaultInflateEngine());
// Reads up to count bytes into dst; returns how many arrived (fewer only at the end of the
// data, at damage in a compressed stream, or on a read error).
size_t ReadRecordBytes(RecordReader* reader, void* dst, size_t count);
// The next count bytes where they stand in the block buffer, consumed, when the buffer holds
// them whole (nearly always); nullptr otherwise, with nothing consumed: then ReadRecordBytes.
inline const unsigned char* TakeBufferedBytes(RecordReader* reader, size_t count) {
  if (reader->buffer == nullptr || reader->bufferEnd - reader->bufferStart < count) return nullptr;
  const unsigned char* bytes = reader->buffer + reader->bufferStart;
  reader->bufferStart += count;
  return bytes;
}
// The next count bytes: in place in the block buffer when it holds them whole, otherwise read
// into copy (room for count bytes); nullptr when the source ends before count bytes.
inline const unsigned char* TakeRecordBytes(RecordReader* reader, unsigned char* copy,
                                            size_t count) {
  if (const unsigned char* inPlace = TakeBufferedBytes(reader, count)) return inPlace;
  return ReadRecordBytes(reader, copy, count) == count ? copy : nullptr;
}
void CloseRecordReader(RecordReader* reader);

// From now on every block the reader's source delivers is appended to the cache as well (and a
// short one marks the source's end there). Set right after OpenRecordReader, before any read.
void TeeRecordReader(RecordReader* reader, RecordCache* cache);
// A reader that delivers the cache's bytes and then ends, as the reader that filled it did:
// ReadRecordBytes and TakeBufferedBytes behave exactly as on the file. The cache must stay as
// it is until the reader is closed.
void OpenRecordReaderOnCache(RecordReader* reader, const RecordCache* cache);

// From now on a thread of the reader's own reads the file ahead into a ring of blocks while the
// caller scans (the command line's search: reading costs about as much as the scan, and the
// second core does it). The caller sees the same bytes, the same end and the same tee. Call it
// right after OpenRecordReader (and TeeRecordReader), before any read; false, with the reader
// reading in its own calls as before, when no thread or memory can be had. The application's
// worker keeps its own reads: a file cut or replaced during its scan shows at the block the
// reader is at, and its kept records follow how far the reads went.
// With mayView, a plain file is not read at all but viewed in place (MapRecordFile), where the
// platform can; a view is the only reader that installs a handler (for SIGBUS, where a file cut
// under the view would kill the process).
bool StartReadAhead(RecordReader* reader, bool mayView = true);
// From now on the reader's buffer is a view of the whole plain file, handed out window bytes at a
// time, each window loaded before the caller scans it: the same bytes, end and tee as its own
// reads. Call it where StartReadAhead may be called; false, with nothing changed, for a gz
// stream or where the file cannot be viewed. (StartReadAhead uses windows of 1 MiB; the tests
// take other sizes.)
bool MapRecordFile(RecordReader* reader, size_t window);
// The file turned out shorter than when it was opened: another program cut it during the read,
// and the bytes delivered end at the cut (or, for a window of a view already loaded, read as
// zeros from there).
bool RecordFileShrank(const RecordReader* reader);
// Another program wrote to the file (not only cut it) since it was opened, as a copy of another
// file over it does: what was read may be made of both files.
bool RecordFileChanged(const RecordReader* reader);
// The record just taken reaches past where the viewed file ends now: a cut fell inside it, and
// its last bytes read as zeros. False for every reader but a view. The scan asks only when the
// record's last byte is 0 (the bytes after a cut read so), so a whole file never pays for it.
bool RecordCutAway(const RecordReader* reader);
