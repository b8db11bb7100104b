// Writes database files. Records go out as they are encoded: the stream is K1 D1 K2 D2 ... DN
// FF, each record's data preceded by its length, because the length byte that ends one record
// is the one that announces the next. The body is spooled uncompressed to a temporary file;
// Finish writes the real record count into the header and, for compressed variants, deflates
// the spool into a second temporary file. The final name appears only by a rename at the end.
// Temporary files are always new files of our own, so a link or a file planted under some
// expected name can never redirect or lose a write.
#include "db/database_writer.h"

#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "db/codepage.h"
#include "db/file_system.h"

namespace {

constexpr size_t kCopyChunk = 1 << 20;

void SetProblem(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
}

void PutInt32(std::string* out, size_t at, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (int b = 0; b < 4; ++b) (*out)[at + b] = static_cast<char>((v >> (8 * b)) & 0xFF);
}

void PutUint16(std::string* out, size_t at, uint16_t value) {
  (*out)[at] = static_cast<char>(value & 0xFF);
  (*out)[at + 1] = static_cast<char>(value >> 8);
}

// The title up to its first NUL, cut to room bytes.
std::string TitleBytes(const std::string& title, size_t room) {
  std::string t = title.substr(0, title.find('\0'));
  if (t.size() > room) t.resize(room);
  return t;
}

// Picks the descriptors stored in an ".fdb" header and the schema the records are encoded
// with: the one a reader will decode them with (built-in for every version-11 file).
bool ResolveSchema(const DatabaseWriterOptions& options, std::vector<FieldDescriptor>* records,
                   std::vector<FieldDescriptor>* stored, std::string* problem) {
  const std::vector<FieldDescriptor> builtIn(BuiltInSchema, BuiltInSchema + 5);
  *stored = options.descriptors.empty() ? builtIn : options.descriptors;
  if (options.variant == VariantFdb && stored->size() > static_cast<size_t>(kMaxFieldCount)) {
    SetProblem(problem,
               "an .fdb file holds at most 127 fields, not " + std::to_string(stored->size()));
    return false;
  }
  *records = (options.variant == VariantFdb && options.version >= 12) ? *stored : builtIn;
  return true;
}

std::string BuildHeader(const DatabaseWriterOptions& options,
                        const std::vector<FieldDescriptor>& stored, int32_t recordCount) {
  const int32_t count = options.overrideRecordCount ? options.recordCountOverride : recordCount;
  std::string out;
  if (options.variant != VariantFdb) {
    out.assign(kShortHeaderSize, '\0');
    PutInt32(&out, kShortRecordCountAt, count);
    out[kShortVersionAt] = static_cast<char>(options.version);
    out[kShortNumberWidthAt] = static_cast<char>(options.numberWidth);
    const std::string title = TitleBytes(options.title, kShortTitleBytes);
    out.replace(kShortTitleAt, title.size(), title);
    return out;
  }
  out.assign(kSchemaHeaderSize + kDescriptorSize * stored.size(), '\0');
  out.replace(kSchemaSignatureAt, 4, "VSTR");
  out[kSchemaVersionAt] = static_cast<char>(options.version);
  out[kSchemaFieldCountAt] = static_cast<char>(stored.size());
  PutInt32(&out, kSchemaRecordCountAt, count);
  const std::string title = TitleBytes(options.title, kSchemaTitleBytes);
  out.replace(kSchemaTitleAt, title.size(), title);
  for (size_t j = 0; j < stored.size(); ++j) {
    const FieldDescriptor& f = stored[j];
    const size_t at = kSchemaHeaderSize + kDescriptorSize * j;
    memcpy(&out[at + kDescriptorNameAt], f.name, kNameCapacity);
    out[at + kDescriptorNameAt + kNameCapacity - 1] = '\0';
    out[at + kDescriptorTypeAt] = static_cast<char>(f.type);
    out[at + kDescriptorFlagsAt] = static_cast<char>(f.flags);
    out[at + kDescriptorSizeAt] = static_cast<char>(f.size);
    out[at + kDescriptorSearchIndexAt] = static_cast<char>(f.searchIndex);
    out[at + kDescriptorDisplayIndexAt] = static_cast<char>(f.displayIndex);
    out[at + kDescriptorDetailIndexAt] = static_cast<char>(f.detailIndex);
    PutUint16(&out, at + kDescriptorEditWidthAt, f.editWidth);
    PutUint16(&out, at + kDescriptorColumnWidthAt, f.columnWidth);
    PutUint16(&out, at + kDescriptorMaxLengthAt, f.maxLength);
  }
  return out;
}

// Decimal as a reader renders it back: no sign but "-", no leading zero, no "-0". A number
// written "0123" would read back as "123" and never be found by what was typed.
bool ParseDecimal(const std::string& text, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') negative = true, ++i;
  if (i == text.size() || text.size() - i > 12) return false;
  if (text[i] == '0' && (text.size() - i > 1 || negative)) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = negative ? -v : v;
  return true;
}

// Appends the record's length byte and data to out; on a value that does not fit, leaves out
// as it was and says why.
bool EncodeRecord(const std::vector<FieldDescriptor>& schema, const DatabaseRecord& record,
                  std::string* out, std::string* problem) {
  if (record.size() != schema.size()) {
    SetProblem(problem, "has " + std::to_string(record.size()) + " values for " +
                            std::to_string(schema.size()) + " fields");
    return false;
  }
  const size_t start = out->size();
  out->push_back('\0');  // the length, set below
  for (size_t j = 0; j < schema.size(); ++j) {
    const FieldDescriptor& f = schema[j];
    const std::string& v = record[j];
    std::string fault;
    if (f.type == FieldText) {
      if (v.find('\0') != std::string::npos) {
        fault = "text holds a NUL byte";
      } else if (v.size() > f.maxLength) {
        fault = "text of " + std::to_string(v.size()) + " characters is longer than " +
                std::to_string(f.maxLength);
      } else {
        out->append(v);
        out->push_back('\0');
      }
    } else if (f.type == FieldInteger) {
      int64_t number = 0;
      const bool sizeOk = f.size >= 1 && f.size <= 4;
      // A 4-byte integer is signed; narrower ones are unsigned.
      const int64_t low = f.size == 4 ? INT32_MIN : 0;
      const int64_t high = !sizeOk ? 0 : f.size == 4 ? INT32_MAX : (int64_t{1} << (8 * f.size)) - 1;
      if (!sizeOk) {
        fault = "integer size " + std::to_string(f.size) + " cannot be written";
      } else if (!ParseDecimal(v, &number)) {
        fault = "'" + v + "' is not a number: write it in digits" +
                std::string(f.size == 4 ? " (a minus sign may lead)" : "") +
                ", without leading zeros";
      } else if (number < low || number > high) {
        fault = v + " is outside " + std::to_string(low) + " to " + std::to_string(high);
      } else {
        const uint32_t bits = static_cast<uint32_t>(number);
        for (int b = 0; b < f.size; ++b)
          out->push_back(static_cast<char>((bits >> (8 * b)) & 0xFF));
      }
    } else if (!v.empty()) {
      fault = "a field of type " + std::to_string(f.type) + " holds no value";
    }
    if (!fault.empty()) {
      out->resize(start);
      SetProblem(problem, FieldLabel(f, static_cast<int>(j)) + ": " + fault);
      return false;
    }
  }
  // The length counts the data and the record's own final byte (the next length).
  const size_t length = out->size() - start;  // data bytes plus this length byte
  if (length > static_cast<size_t>(kMaxRecordLength)) {
    out->resize(start);
    SetProblem(problem, "is " + std::to_string(length) + " bytes long, more than " +
                            std::to_string(kMaxRecordLength));
    return false;
  }
  (*out)[start] = static_cast<char>(length);
  return true;
}

std::string RecordError(int64_t index, const std::string& why) {
  return "record " + std::to_string(index) + ": " + why;
}

bool WriteAll(FILE* f, const std::string& bytes) {
  return bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

// Deflates the spool, from its start, into the gzip stream gz.
bool CompressSpool(FILE* spool, void* gz) {
  gzFile out = static_cast<gzFile>(gz);
  gzbuffer(out, 256 * 1024);
  if (fseek(spool, 0, SEEK_SET) != 0) return false;
  std::string chunk(kCopyChunk, '\0');
  for (;;) {
    const size_t got = fread(&chunk[0], 1, chunk.size(), spool);
    if (got > 0 && gzwrite(out, chunk.data(), static_cast<unsigned>(got)) != static_cast<int>(got))
      return false;
    if (got < chunk.size()) return !ferror(spool);
  }
}

// A compressed database of more than kMemberBytes is written as a series of gzip members of
// kMemberBytes each (the last one shorter), so that a reader can inflate several at once on
// several cores: a single deflate stream can only be inflated in order. Each member's header
// carries an extra field (subfield "VD", 4 bytes) that holds the member's whole length in the
// file, little-endian, so that the next one is found without inflating this one. Any gzip reader
// reads the series as the one stream it stands for; a member costs about 20 bytes, and
// starting each member without the previous one's window costs a few bytes more per MiB.
// Smaller files are one plain member, as before.
constexpr size_t kMemberBytes = 1 << 20;
constexpr size_t kMemberHeaderLength = 20;

bool WriteMembers(FILE* spool, FILE* out) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  std::string input(kMemberBytes, '\0');
  std::string output(deflateBound(&z, kMemberBytes) + kMemberHeaderLength, '\0');
  unsigned char extra[8] = {'V', 'D', 4, 0, 0, 0, 0, 0};
  bool ok = fseek(spool, 0, SEEK_SET) == 0;
  while (ok) {
    const size_t got = fread(&input[0], 1, input.size(), spool);
    if (got == 0) {
      ok = !ferror(spool);
      break;
    }
    gz_header header{};
    header.extra = extra;
    header.extra_len = sizeof extra;
    header.os = 255;  // unknown: the same bytes on every platform
    ok = deflateReset(&z) == Z_OK && deflateSetHeader(&z, &header) == Z_OK;
    if (!ok) break;
    z.next_in = reinterpret_cast<Bytef*>(&input[0]);
    z.avail_in = static_cast<uInt>(got);
    z.next_out = reinterpret_cast<Bytef*>(&output[0]);
    z.avail_out = static_cast<uInt>(output.size());
    ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
    if (!ok) break;
    const size_t length = output.size() - z.avail_out;
    // The header as deflate wrote it: the extra field follows the 10 fixed bytes and its length.
    ok = length > kMemberHeaderLength && (output[3] & 0x04) != 0 && output[10] == 8 &&
         output[12] == 'V' && output[13] == 'D';
    if (!ok) break;
    for (int b = 0; b < 4; ++b) output[16 + b] = static_cast<char>((length >> (8 * b)) & 0xFF);
    ok = fwrite(output.data(), 1, length, out) == length;
    if (got < input.size()) {
      ok = ok && !ferror(spool);
      break;
    }
  }
  deflateEnd(&z);
  return ok;
}

// Puts the finished temporary file in the place of path, once more making sure that path
// names nothing or a regular file; on failure the temporary file is removed.
bool PutInPlace(const std::wstring& temporary, const std::wstring& path, std::string* problem) {
  OutputTarget now;
  std::string why;
  if (!InspectOutputTarget(path.c_str(), &now, &why)) {
    SetProblem(problem, why);
    RemoveTemporaryFile(temporary.c_str());
    return false;
  }
  if (!ReplaceFileWide(temporary.c_str(), path.c_str())) {
    SetProblem(problem, "cannot create " + PathToNative(path.c_str()));
    RemoveTemporaryFile(temporary.c_str());
    return false;
  }
  ForgetTemporaryFile(temporary.c_str());
  return true;
}

// Writes bytes into a temporary file of its own (compressed when asked) and puts it in the
// place of path.
bool WriteBytesAtomically(const wchar_t* path, const std::string& bytes, bool compress) {
  OutputTarget target;
  std::string why;
  if (!InspectOutputTarget(path, &target, &why)) return false;
  std::wstring temp;
  FILE* f = CreateTemporaryBeside(path, &temp);
  if (f == nullptr) return false;
  bool ok;
  if (compress) {
    gzFile gz = static_cast<gzFile>(GzWriteOnFile(f));
    ok = gz != nullptr;
    if (ok) {
      ok = bytes.empty() || gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                                static_cast<int>(bytes.size());
      if (gzclose(gz) != Z_OK) ok = false;
    }
  } else {
    ok = WriteAll(f, bytes);
  }
  if (!SetFinishedFileMode(f, target)) ok = false;
  if (fclose(f) != 0) ok = false;
  if (!ok) {
    RemoveTemporaryFile(temp.c_str());
    return false;
  }
  return PutInPlace(temp, path, nullptr);
}

}  // namespace

bool EncodeDatabase(const DatabaseWriterOptions& options,
                    const std::vector<DatabaseRecord>& records, std::string* bytes,
                    std::string* problem, size_t* badRecord) {
  std::vector<FieldDescriptor> schema, stored;
  if (!ResolveSchema(options, &schema, &stored, problem)) return false;
  if (records.size() > static_cast<size_t>(INT32_MAX)) {
    SetProblem(problem, "too many records for the header's count");
    return false;
  }
  std::string out = BuildHeader(options, stored, static_cast<int32_t>(records.size()));
  std::string why;
  for (size_t i = 0; i < records.size(); ++i) {
    if (!EncodeRecord(schema, records[i], &out, &why)) {
      SetProblem(problem, RecordError(static_cast<int64_t>(i), why));
      if (badRecord != nullptr) *badRecord = i;
      return false;
    }
  }
  out.push_back(static_cast<char>(kEndOfRecords));
  *bytes = std::move(out);
  return true;
}

bool BeginDatabaseFile(DatabaseStreamWriter* writer, const wchar_t* path,
                       const DatabaseWriterOptions& options, std::string* problem) {
  *writer = DatabaseStreamWriter();
  if (path == nullptr || path[0] == L'\0') {
    SetProblem(problem, "no output file named");
    return false;
  }
  if (!ResolveSchema(options, &writer->recordSchema, &writer->stored, problem)) return false;
  writer->options = options;
  writer->path = path;
  std::string why;
  if (!InspectOutputTarget(path, &writer->target, &why)) {
    SetProblem(problem, why);
    return false;
  }
  FILE* f = CreateTemporaryBeside(path, &writer->spoolPath);
  if (f == nullptr) {
    SetProblem(problem, "cannot create a temporary file beside " + PathToNative(path));
    return false;
  }
  writer->spool = f;
  // The count is written again by Finish; this reserves the header's bytes.
  if (!WriteAll(f, BuildHeader(options, writer->stored, 0))) {
    SetProblem(problem, "cannot write " + PathToNative(writer->spoolPath.c_str()));
    AbortDatabaseFile(writer);
    return false;
  }
  return true;
}

bool AppendDatabaseRecord(DatabaseStreamWriter* writer, const DatabaseRecord& record,
                          std::string* problem) {
  if (writer->spool == nullptr || writer->failed) {
    SetProblem(problem, RecordError(writer->records, "the output file is not open"));
    return false;
  }
  writer->scratch.clear();
  std::string why;
  if (!EncodeRecord(writer->recordSchema, record, &writer->scratch, &why)) {
    SetProblem(problem, RecordError(writer->records, why));
    return false;
  }
  if (!WriteAll(static_cast<FILE*>(writer->spool), writer->scratch)) {
    writer->failed = true;
    SetProblem(problem, RecordError(writer->records,
                                    "cannot write " + PathToNative(writer->spoolPath.c_str())));
    return false;
  }
  ++writer->records;
  return true;
}

bool FinishDatabaseFile(DatabaseStreamWriter* writer, std::string* problem) {
  FILE* f = static_cast<FILE*>(writer->spool);
  if (f == nullptr || writer->failed) {
    SetProblem(problem, "cannot write " + PathToNative(writer->spoolPath.c_str()));
    AbortDatabaseFile(writer);
    return false;
  }
  if (writer->records > INT32_MAX) {
    SetProblem(problem, "too many records for the header's count");
    AbortDatabaseFile(writer);
    return false;
  }
  const std::string header =
      BuildHeader(writer->options, writer->stored, static_cast<int32_t>(writer->records));
  bool ok = fputc(kEndOfRecords, f) != EOF && fseek(f, 0, SEEK_SET) == 0 && WriteAll(f, header) &&
            fflush(f) == 0;
  if (!ok) {
    SetProblem(problem, "cannot write " + PathToNative(writer->spoolPath.c_str()));
    AbortDatabaseFile(writer);
    return false;
  }
  const bool compress = writer->options.variant != VariantPlain && writer->options.compress;
  std::wstring ready = writer->spoolPath;
  if (compress) {
    // The spool is read back through its own open stream, never again by its name.
    FILE* packed = CreateTemporaryBeside(writer->path.c_str(), &ready);
    // A length that cannot be told (ftell stops at 2 GiB on some systems) is a long one.
    long spoolLength = -1;
    if (fseek(f, 0, SEEK_END) == 0) spoolLength = ftell(f);
    if (spoolLength < 0 || spoolLength > static_cast<long>(kMemberBytes)) {
      ok = packed != nullptr && WriteMembers(f, packed) && fflush(packed) == 0;
    } else {
      gzFile gz = packed == nullptr ? nullptr : static_cast<gzFile>(GzWriteOnFile(packed));
      ok = gz != nullptr && CompressSpool(f, gz);
      if (gz != nullptr && gzclose(gz) != Z_OK) ok = false;
    }
    if (packed != nullptr) {
      if (!SetFinishedFileMode(packed, writer->target)) ok = false;
      if (fclose(packed) != 0) ok = false;
    }
    if (!ok) {
      SetProblem(problem,
                 "cannot write a temporary file beside " + PathToNative(writer->path.c_str()));
      if (packed != nullptr) RemoveTemporaryFile(ready.c_str());
      AbortDatabaseFile(writer);
      return false;
    }
    AbortDatabaseFile(writer);  // the spool has served
  } else {
    ok = SetFinishedFileMode(f, writer->target);
    if (fclose(f) != 0) ok = false;
    writer->spool = nullptr;
    if (!ok) {
      SetProblem(problem, "cannot write " + PathToNative(writer->spoolPath.c_str()));
      AbortDatabaseFile(writer);
      return false;
    }
    writer->spoolPath.clear();
  }
  return PutInPlace(ready, writer->path, problem);
}

void AbortDatabaseFile(DatabaseStreamWriter* writer) {
  if (writer->spool != nullptr) fclose(static_cast<FILE*>(writer->spool));
  writer->spool = nullptr;
  if (!writer->spoolPath.empty()) RemoveTemporaryFile(writer->spoolPath.c_str());
  writer->spoolPath.clear();
}

bool WriteDatabaseFile(const wchar_t* path, const DatabaseWriterOptions& options,
                       const std::vector<DatabaseRecord>& records, std::string* problem,
                       size_t* badRecord) {
  DatabaseStreamWriter writer;
  if (!BeginDatabaseFile(&writer, path, options, problem)) return false;
  for (size_t i = 0; i < records.size(); ++i) {
    if (!AppendDatabaseRecord(&writer, records[i], problem)) {
      if (badRecord != nullptr) *badRecord = i;
      AbortDatabaseFile(&writer);
      return false;
    }
  }
  return FinishDatabaseFile(&writer, problem);
}

bool WriteRawFile(const wchar_t* path, const std::string& bytes, bool compress) {
  return WriteBytesAtomically(path, bytes, compress);
}
