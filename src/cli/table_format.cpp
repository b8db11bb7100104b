// Table output and input of the command line. Values arrive as Windows-1251 bytes; each byte
// becomes its UTF-8 sequence through a table built once, so writing a large result costs little
// more than copying it.
#include "cli/table_format.h"

#include <cstdint>
#include <cstring>

#include "db/codepage.h"
#include "search/tsv_escape.h"

namespace {

// The UTF-8 form of every Windows-1251 byte: up to three bytes and their count.
struct Utf8Sequence {
  char bytes[3];
  unsigned char length;
};

struct Utf8Table {
  Utf8Sequence entries[256];
};

Utf8Table MakeUtf8Table() {
  Utf8Table table{};
  for (int b = 0; b < 256; ++b) {
    const uint32_t cp = static_cast<uint32_t>(SingleByteCharToWide(static_cast<unsigned char>(b)));
    Utf8Sequence& s = table.entries[b];
    if (cp < 0x80) {
      s.bytes[0] = static_cast<char>(cp);
      s.length = 1;
    } else if (cp < 0x800) {
      s.bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      s.bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      s.length = 2;
    } else {
      s.bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      s.bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s.bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      s.length = 3;
    }
  }
  return table;
}

const Utf8Table& Utf8Of() {
  static const Utf8Table table = MakeUtf8Table();
  return table;
}

bool IsControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

// What a TSV cell holds for every byte, escapes and the terminal's '?' included, so that a cell
// is one look-up and one copy per byte, with no test on the byte: one table for a terminal, one
// for a file or a pipe.
struct TsvTables {
  Utf8Sequence exact[256];
  Utf8Sequence shown[256];
};

TsvTables MakeTsvTables() {
  TsvTables tables{};
  const Utf8Table& utf8 = Utf8Of();
  for (int b = 0; b < 256; ++b) {
    const unsigned char c = static_cast<unsigned char>(b);
    Utf8Sequence form = utf8.entries[b];
    if (const char letter = TsvEscapeLetter(static_cast<char>(c))) form = {{'\\', letter, 0}, 2};
    tables.exact[b] = form;
    if (TsvEscapeLetter(static_cast<char>(c)) == 0 && IsControlByte(c)) form = {{'?', 0, 0}, 1};
    tables.shown[b] = form;
  }
  return tables;
}

const TsvTables& TsvFormsOf() {
  static const TsvTables tables = MakeTsvTables();
  return tables;
}

// Writes once this much has gathered: big writes, few system calls.
constexpr size_t kFlushThreshold = 1 << 18;

// Rows are written straight into the buffer: room for the longest form a row can take is made
// once per row (per value byte at most 3 bytes in TSV and CSV, 6 in JSON, its \u00XX), each
// byte written through a pointer, and the buffer cut back to what was written. No cell is grown
// byte by byte.
constexpr size_t kWorstPerByte = 3;
constexpr size_t kWorstPerJsonByte = 6;

char* MakeRoom(std::string* out, size_t room) {
  const size_t at = out->size();
  out->resize(at + room);
  return &(*out)[at];
}

void CutBack(std::string* out, const char* end) {
  out->resize(static_cast<size_t>(end - out->data()));
}

size_t RowRoom(const char* const* values, size_t count, size_t perCell, size_t perByte) {
  size_t room = 2;  // the line end
  for (size_t i = 0; i < count; ++i)
    room += perCell + (values[i] != nullptr ? strlen(values[i]) * perByte : 0);
  return room;
}

// The UTF-8 bytes of one Windows-1251 byte (three are copied, its length counts).
char* PutUtf8(char* p, const Utf8Sequence* utf8, unsigned char b) {
  const Utf8Sequence& e = utf8[b];
  memcpy(p, e.bytes, 3);
  return p + e.length;
}

// forms: TsvFormsOf().exact, or .shown on a terminal.
// Each form is copied as the four bytes it takes in the table (one store; the fourth lands in
// the room the row made for the next byte, its separator or its line end, and is overwritten).
char* PutTsvCell(char* p, const Utf8Sequence* forms, const unsigned char* v) {
  static_assert(sizeof(Utf8Sequence) == 4, "a form is copied as four bytes");
  for (; *v; ++v) {
    const Utf8Sequence& e = forms[*v];
    memcpy(p, &e, 4);
    p += e.length;
  }
  return p;
}

// As AppendCsvCell writes the cell's UTF-8 text (controls shown as '?' on a terminal).
char* PutCsvCell(char* p, const Utf8Sequence* utf8, const unsigned char* v, bool terminal) {
  bool quoted = false;
  for (const unsigned char* c = v; *c && !quoted; ++c)
    quoted = *c == ',' || *c == '"' || (!terminal && (*c == '\r' || *c == '\n'));
  if (quoted) *p++ = '"';
  for (; *v; ++v) {
    if (terminal && IsControlByte(*v)) {
      *p++ = '?';
      continue;
    }
    if (*v == '"') *p++ = '"';
    p = PutUtf8(p, utf8, *v);
  }
  if (quoted) *p++ = '"';
  return p;
}

// As AppendJsonString writes the value's UTF-8 text (controls but tab, line feed and carriage
// return shown as '?' on a terminal).
char* PutJsonString(char* p, const Utf8Sequence* utf8, const unsigned char* v, bool terminal) {
  static const char kHex[] = "0123456789abcdef";
  *p++ = '"';
  for (; *v; ++v) {
    unsigned char c = *v;
    if (terminal && IsControlByte(c) && c != '\t' && c != '\n' && c != '\r') c = '?';
    const char escape = c == '"'    ? '"'
                        : c == '\\' ? '\\'
                        : c == '\n' ? 'n'
                        : c == '\r' ? 'r'
                        : c == '\t' ? 't'
                        : c == '\b' ? 'b'
                        : c == '\f' ? 'f'
                                    : 0;
    if (escape != 0) {
      *p++ = '\\';
      *p++ = escape;
    } else if (c < 0x20) {
      memcpy(p, "\\u00", 4);
      p[4] = kHex[c >> 4];
      p[5] = kHex[c & 15];
      p += 6;
    } else {
      p = PutUtf8(p, utf8, c);
    }
  }
  *p++ = '"';
  return p;
}

const unsigned char* Bytes(const char* value) {
  return reinterpret_cast<const unsigned char*>(value != nullptr ? value : "");
}

void AppendRowTsvOrCsv(TableWriter* writer, const char* const* values, size_t count) {
  const bool tsv = writer->format == FormatTsv;
  const Utf8Sequence* utf8 = Utf8Of().entries;
  const Utf8Sequence* tsvForms = writer->terminal ? TsvFormsOf().shown : TsvFormsOf().exact;
  char* p = MakeRoom(&writer->buffer, RowRoom(values, count, 3, kWorstPerByte));
  if (!tsv && count == 1 && *Bytes(values[0]) == '\0') {
    // A lone empty cell would make an empty line, which CSV readers skip: quoted, the record
    // stays.
    *p++ = '"';
    *p++ = '"';
  }
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) *p++ = tsv ? '\t' : ',';
    p = tsv ? PutTsvCell(p, tsvForms, Bytes(values[i]))
            : PutCsvCell(p, utf8, Bytes(values[i]), writer->terminal);
  }
  if (!tsv) *p++ = '\r';
  *p++ = '\n';
  CutBack(&writer->buffer, p);
}

void AppendRowJson(TableWriter* writer, const char* const* values, size_t count) {
  if (writer->jsonKeys.size() != writer->columns.size()) {
    writer->jsonKeys.clear();
    for (const std::string& column : writer->columns) {
      std::string key;
      AppendJsonString(&key, column);
      writer->jsonKeys.push_back(key + ":");
    }
  }
  const Utf8Sequence* utf8 = Utf8Of().entries;
  size_t keys = 0;
  for (size_t i = 0; i < count; ++i)
    keys += i < writer->jsonKeys.size() ? writer->jsonKeys[i].size() : 3;
  char* p = MakeRoom(&writer->buffer, RowRoom(values, count, 3, kWorstPerJsonByte) + keys + 2);
  *p++ = '{';
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) *p++ = ',';
    const char* key = i < writer->jsonKeys.size() ? writer->jsonKeys[i].data() : "\"\":";
    const size_t keyLength = i < writer->jsonKeys.size() ? writer->jsonKeys[i].size() : 3;
    memcpy(p, key, keyLength);
    p += keyLength;
    p = PutJsonString(p, utf8, Bytes(values[i]), writer->terminal);
  }
  *p++ = '}';
  *p++ = '\n';
  CutBack(&writer->buffer, p);
}

}  // namespace

bool ParseOutputFormat(const std::string& name, OutputFormat* format) {
  if (name == "tsv")
    *format = FormatTsv;
  else if (name == "csv")
    *format = FormatCsv;
  else if (name == "json")
    *format = FormatJson;
  else
    return false;
  return true;
}

void AppendSingleByteAsUtf8(std::string* out, const char* text) {
  const Utf8Table& utf8 = Utf8Of();
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    out->append(utf8.entries[*p].bytes, utf8.entries[*p].length);
}

void AppendTsvCell(std::string* out, const std::string& utf8) {
  for (char c : utf8) {
    if (const char letter = TsvEscapeLetter(c)) {
      out->push_back('\\');
      out->push_back(letter);
    } else {
      out->push_back(c);
    }
  }
}

void AppendCsvCell(std::string* out, const std::string& utf8) {
  if (utf8.find_first_of(",\"\r\n") == std::string::npos) {
    out->append(utf8);
    return;
  }
  out->push_back('"');
  for (char c : utf8) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendJsonString(std::string* out, const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char c : utf8) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      default:
        if (u < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[u >> 4]);
          out->push_back(kHex[u & 15]);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

// JSON keys for the columns: the names, except that a name an earlier column already has gets
// "_2", "_3", ... (the first suffix that no column name and no key before it has), since a
// JSON object with a repeated key loses all but one of its values in every parser.
std::vector<std::string> UniqueKeys(const std::vector<std::string>& names) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < names.size(); ++i) {
    const auto taken = [&](const std::string& key) {
      for (const std::string& k : keys)
        if (k == key) return true;
      for (const std::string& n : names)
        if (n == key) return true;
      return false;
    };
    bool repeated = false;
    for (size_t j = 0; j < i && !repeated; ++j) repeated = names[j] == names[i];
    std::string key = names[i];
    for (int suffix = 2; repeated && taken(key); ++suffix)
      key = names[i] + "_" + std::to_string(suffix);
    keys.push_back(key);
  }
  return keys;
}

void BeginTable(TableWriter* writer, FILE* stream, OutputFormat format,
                const std::vector<std::string>& columns) {
  writer->format = format;
  writer->stream = stream;
  writer->columns = format == FormatJson ? UniqueKeys(columns) : columns;
  writer->jsonKeys.clear();
  writer->buffer.clear();
  writer->buffer.reserve(kFlushThreshold + 4096);
  writer->failed = false;
}

void WriteTableHeader(TableWriter* writer) {
  if (writer->format == FormatJson) return;
  for (size_t i = 0; i < writer->columns.size(); ++i) {
    if (writer->format == FormatTsv) {
      if (i > 0) writer->buffer.push_back('\t');
      AppendTsvCell(&writer->buffer, writer->columns[i]);
    } else if (writer->columns.size() == 1 && writer->columns[i].empty()) {
      writer->buffer.append("\"\"");  // as for a lone empty value
    } else {
      if (i > 0) writer->buffer.push_back(',');
      AppendCsvCell(&writer->buffer, writer->columns[i]);
    }
  }
  writer->buffer.append(writer->format == FormatTsv ? "\n" : "\r\n");
}

void WriteTableRow(TableWriter* writer, const char* const* values, size_t count) {
  if (writer->format != FormatJson)
    AppendRowTsvOrCsv(writer, values, count);
  else
    AppendRowJson(writer, values, count);
}

bool FlushTable(TableWriter* writer, bool force) {
  if (writer->failed) return false;
  if (writer->buffer.empty() || (!force && writer->buffer.size() < kFlushThreshold)) return true;
  if (fwrite(writer->buffer.data(), 1, writer->buffer.size(), writer->stream) !=
      writer->buffer.size())
    writer->failed = true;
  writer->buffer.clear();
  if (force && !writer->failed && fflush(writer->stream) != 0) writer->failed = true;
  return !writer->failed;
}

bool SplitTsvLine(const std::string& line, std::vector<std::string>* cells, std::string* problem) {
  cells->clear();
  cells->emplace_back();
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      cells->emplace_back();
      continue;
    }
    if (c != '\\') {
      cells->back().push_back(c);
      continue;
    }
    if (i + 1 == line.size()) {
      *problem = "a backslash ends the line (write \\\\ for a backslash)";
      return false;
    }
    switch (line[++i]) {
      case '\\':
        cells->back().push_back('\\');
        break;
      case 't':
        cells->back().push_back('\t');
        break;
      case 'n':
        cells->back().push_back('\n');
        break;
      case 'r':
        cells->back().push_back('\r');
        break;
      default:
        *problem =
            std::string("unknown escape \\") + line[i] + " (only \\\\, \\t, \\n and \\r are known)";
        return false;
    }
  }
  return true;
}

// One byte at a time, without the stream's lock: a table of millions of records is read here.
#ifdef _WIN32
#define VOSTREL_GETC _getc_nolock
#else
#define VOSTREL_GETC getc_unlocked
#endif

LineRead ReadTableLine(FILE* in, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = VOSTREL_GETC(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == 0) return LineHasNul;
    if (line->size() == kMaxTableLineBytes) return LineTooLong;
    line->push_back(static_cast<char>(c));
  }
  if (!any) return LineEnd;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return LineOk;
}
