// The record stream of an accepted database: a gz stream or a plain file opened without
// sharing, positioned at headerSize. Reads may be served from an internal block buffer; what
// a caller observes (bytes delivered, short reads at the end) is the same as unbuffered reads.
#pragma once
#include <cstddef>
#include <cstdint>

#include "db/database_header.h"
#include "db/file_system.h"

struct RecordReader {
  bool viaGz = false;
  void* gz = nullptr;  // gzFile
  ExclusiveFile file;
  unsigned char* buffer = nullptr;  // block buffer, owned
  size_t bufferStart = 0;
  size_t bufferEnd = 0;
  bool atEnd = false;
};

// 0 on success; 2 when the gz stream could not be opened, 1 when the plain file could not be
// opened (the worker's exit codes for the same failures).
int OpenRecordReader(RecordReader* reader, const wchar_t* path, const DatabaseHeader& header,
                     bool viaGz);
// Reads up to count bytes into dst; returns how many arrived (fewer only at the end of the
// data or on a read error).
size_t ReadRecordBytes(RecordReader* reader, void* dst, size_t count);
void CloseRecordReader(RecordReader* reader);
