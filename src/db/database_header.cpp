// OpenDatabase: decides the variant, reads and checks the header and fills the caller's
// DatabaseHeader. Every path closes what it opened, and the caller's header and flag change
// only on success, so a failed open can never leave half a header behind.
#include "db/database_header.h"

#include <zlib.h>

#include <cstring>
#include <cwchar>

#include "db/codepage.h"
#include "db/file_system.h"

namespace {

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; }

bool EndsWithIgnoringCase(const wchar_t* path, size_t length, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (AsciiLower(path[length - n + i]) != suffix[i]) return false;
  }
  return true;
}

int32_t ReadInt32(const unsigned char* p) {
  const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return static_cast<int32_t>(v);
}

// gzread's count, with its -1 for a damaged stream taken as nothing read.
size_t GzReadCount(gzFile gz, void* buffer, unsigned count) {
  const int got = gzread(gz, buffer, count);
  return got < 0 ? 0 : static_cast<size_t>(got);
}

OpenResult ReadSchemaHeader(const wchar_t* path, DatabaseHeader* out) {
  gzFile gz = static_cast<gzFile>(GzOpenWide(path, "rb"));
  if (gz == nullptr) return OpenStreamFailed;
  unsigned char bytes[kSchemaHeaderSize];
  const size_t got = GzReadCount(gz, bytes, sizeof bytes);
  gzclose(gz);
  if (got != sizeof bytes) return OpenShortHeader;

  out->version = static_cast<int8_t>(bytes[kSchemaVersionAt]);
  out->fieldCount = static_cast<int8_t>(bytes[kSchemaFieldCountAt]);
  out->recordCount = ReadInt32(bytes + kSchemaRecordCountAt);
  wmemset(out->title, L'\0', kTitleCapacity);
  SingleByteToWide(reinterpret_cast<const char*>(bytes + kSchemaTitleAt),
                   kSchemaHeaderSize - kSchemaTitleAt, out->title, kTitleCapacity);
  // The count is signed; the schema load refuses a negative one, but the offset is computed
  // the same way for every header.
  out->headerSize = static_cast<uint16_t>(kSchemaHeaderSize + kDescriptorSize * out->fieldCount);
  return OpenOk;
}

OpenResult ReadShortHeader(const wchar_t* path, bool viaGz, DatabaseHeader* out) {
  unsigned char bytes[kShortHeaderSize];
  size_t got = 0;
  if (viaGz) {
    gzFile gz = static_cast<gzFile>(GzOpenWide(path, "rb"));
    if (gz == nullptr) return OpenStreamFailed;
    got = GzReadCount(gz, bytes, sizeof bytes);
    gzclose(gz);
  } else {
    // Readers share the file; only an exclusive holder (the application's search worker
    // during its scan) keeps it from us.
    ExclusiveFile file;
    if (!OpenForReading(path, ShareWithReaders, &file)) return OpenFileFailed;
    got = ExclusiveRead(&file, bytes, sizeof bytes);
    ExclusiveClose(&file);
  }
  if (got != sizeof bytes) return OpenShortHeader;
  if (static_cast<int8_t>(bytes[kShortVersionAt]) != 11) return OpenBadVersion;

  out->recordCount = ReadInt32(bytes + kShortRecordCountAt);
  out->version = static_cast<int8_t>(bytes[kShortVersionAt]);
  out->fieldCount = 5;
  out->numberWidth = static_cast<int8_t>(bytes[kShortNumberWidthAt]);
  wmemset(out->title, L'\0', kTitleCapacity);
  SingleByteToWide(reinterpret_cast<const char*>(bytes + kShortTitleAt),
                   kShortHeaderSize - kShortTitleAt, out->title, kTitleCapacity);
  out->headerSize = kShortHeaderSize;
  return OpenOk;
}

}  // namespace

DatabaseVariant DatabaseVariantOf(const wchar_t* path) {
  if (path == nullptr) return VariantPlain;
  const size_t length = wcslen(path);
  if (EndsWithIgnoringCase(path, length, L".fdb")) return VariantFdb;
  if (EndsWithIgnoringCase(path, length, L".zdb")) return VariantZdb;
  return VariantPlain;
}

bool IsDatabaseFileName(const std::wstring& name) {
  if (name.size() <= 3) return false;
  const wchar_t* text = name.c_str();
  return EndsWithIgnoringCase(text, name.size(), L".zdb") ||
         EndsWithIgnoringCase(text, name.size(), L".fdb") ||
         EndsWithIgnoringCase(text, name.size(), L".db");
}

OpenResult OpenDatabase(const wchar_t* path, DatabaseHeader* header, bool* viaGz) {
  if (path == nullptr || path[0] == L'\0') return OpenNotFound;
  const uint32_t attributes = GetPathAttributes(path);
  if (attributes == kNoFile) return OpenNotFound;
  if (attributes & kIsDirectory) return OpenIsDirectory;

  // Filled in a copy and handed over only when the whole header was accepted. A SchemaHeader
  // has no numberWidth: that member keeps the caller's value.
  DatabaseHeader accepted = *header;
  const DatabaseVariant variant = DatabaseVariantOf(path);
  OpenResult result;
  if (variant == VariantFdb) {
    result = ReadSchemaHeader(path, &accepted);
  } else {
    result = ReadShortHeader(path, variant == VariantZdb, &accepted);
  }
  if (result != OpenOk) return result;
  *header = accepted;
  *viaGz = variant != VariantPlain;
  return OpenOk;
}

const char* DescribeOpenResult(OpenResult result) {
  switch (result) {
    case OpenOk:
      return "ok";
    case OpenFileFailed:
      return "cannot open file";
    case OpenStreamFailed:
      return "cannot open compressed stream";
    case OpenShortHeader:
      return "file too short for a database header";
    case OpenBadVersion:
      return "unsupported version";
    case OpenNotFound:
      return "no such file";
    case OpenIsDirectory:
      return "is a directory";
  }
  return "cannot open database";
}

std::string DescribeOpenFailure(const wchar_t* path, OpenResult result) {
  if (result == OpenFileFailed && path != nullptr && FileIsBusy(path))
    return "busy: another program holds the file for itself";
  std::string words = DescribeOpenResult(result);
  if (result != OpenBadVersion || path == nullptr) return words;
  // The gz interface passes a plain file through, so one read serves every variant.
  gzFile gz = static_cast<gzFile>(GzOpenWide(path, "rb"));
  if (gz == nullptr) return words;
  unsigned char bytes[5];
  const size_t got = GzReadCount(gz, bytes, sizeof bytes);
  gzclose(gz);
  if (got == sizeof bytes) words += " " + std::to_string(static_cast<int8_t>(bytes[4]));
  return words;
}
