// Writes database files of all three variants. The application itself never writes databases;
// this serves the command line's "make", the demo and benchmark generator, and the tests, which
// build every fixture with it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "db/field_schema.h"
#include "db/file_system.h"

struct DatabaseWriterOptions {
  DatabaseVariant variant = VariantPlain;
  bool compress = true;              // gz variants: false writes them stored uncompressed
  int8_t version = 11;               // 11: built-in schema; 12 and above: descriptors are used
  int8_t numberWidth = 7;            // ShortHeader files
  std::string title;                 // Windows-1251 bytes; cut to what the header holds
  int32_t recordCountOverride = -1;  // >= 0: written instead of the real count (tests)
  bool overrideRecordCount = false;
  std::vector<FieldDescriptor> descriptors;  // written for ".fdb"; empty means BuiltInSchema
};

// One record: one Windows-1251 value per field, in field order. Integer fields hold decimal.
using DatabaseRecord = std::vector<std::string>;

// Encodes the records into the file's bytes (before compression). Returns false and sets problem
// when a value does not fit (text longer than maxLength or containing NUL, integer out of the
// field's range, record over 254 bytes), naming the record index from 0.
bool EncodeDatabase(const DatabaseWriterOptions& options,
                    const std::vector<DatabaseRecord>& records, std::string* bytes,
                    std::string* problem, size_t* badRecord = nullptr);

// Encodes and writes the file; gz variants are compressed unless options.compress is false.
// Writes to a temporary file of its own beside path and renames it, so a failure leaves no
// half-written file. Only a regular file (or nothing) at path is replaced, and keeps its mode.
bool WriteDatabaseFile(const wchar_t* path, const DatabaseWriterOptions& options,
                       const std::vector<DatabaseRecord>& records, std::string* problem,
                       size_t* badRecord = nullptr);

// Writes raw bytes to a file, gzip-compressed when compress is set. For tests of broken files.
bool WriteRawFile(const wchar_t* path, const std::string& bytes, bool compress);

// Streaming form, for files of any size: each record is encoded and written as it comes, so
// memory does not grow with the file. The header's recordCount is filled in by
// FinishDatabaseFile; compressed variants are compressed then. Until Finish succeeds, nothing
// exists under path; Abort (or a failed call) removes every temporary file. The temporary files
// are created exclusively under names of their own (see CreateTemporaryBeside), so no other
// file is ever written, followed or removed; two writers of the same path do not meet.
struct DatabaseStreamWriter {
  std::wstring path;
  OutputTarget target;     // what path named when the writer began
  std::wstring spoolPath;  // the uncompressed stream being written
  void* spool = nullptr;   // FILE*, open for writing and reading back
  DatabaseWriterOptions options;
  std::vector<FieldDescriptor> recordSchema;  // the schema the records are encoded with
  std::vector<FieldDescriptor> stored;        // the descriptors written into an ".fdb" header
  std::string scratch;
  int64_t records = 0;
  bool failed = false;  // a write failed: the file is lost and Finish reports it
};
bool BeginDatabaseFile(DatabaseStreamWriter* writer, const wchar_t* path,
                       const DatabaseWriterOptions& options, std::string* problem);
// On false the record was not written. After a value that does not fit the caller may go on;
// after a write error every later call fails too. problem names the record index from 0.
bool AppendDatabaseRecord(DatabaseStreamWriter* writer, const DatabaseRecord& record,
                          std::string* problem);
bool FinishDatabaseFile(DatabaseStreamWriter* writer, std::string* problem);
void AbortDatabaseFile(DatabaseStreamWriter* writer);
