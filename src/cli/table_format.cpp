// Table output and input of the command line. Values arrive as Windows-1251 bytes; each byte
// becomes its UTF-8 sequence through a table built once, so writing a large result costs little
// more than copying it.
#include "cli/table_format.h"

#include <cstdint>

#include "db/codepage.h"

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

// Shows control characters as '?'; with keepEscaped, tab, line feed and carriage return stay
// for the format to escape. Windows-1251 text has no C1 controls, so bytes are enough.
void MaskControls(std::string* text, bool keepEscaped) {
  for (char& c : *text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (keepEscaped && (c == '\t' || c == '\n' || c == '\r')) continue;
    if (IsControlByte(u)) c = '?';
  }
}

// Writes once this much has gathered: big writes, few system calls.
constexpr size_t kFlushThreshold = 1 << 18;

void AppendRowTsvOrCsv(TableWriter* writer, const char* const* values, size_t count) {
  const Utf8Table& utf8 = Utf8Of();
  std::string& out = writer->buffer;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out.push_back(writer->format == FormatTsv ? '\t' : ',');
    const char* value = values[i] != nullptr ? values[i] : "";
    if (writer->format == FormatTsv) {
      for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
        switch (*p) {
          case '\\':
            out.append("\\\\", 2);
            break;
          case '\t':
            out.append("\\t", 2);
            break;
          case '\n':
            out.append("\\n", 2);
            break;
          case '\r':
            out.append("\\r", 2);
            break;
          default:
            if (writer->terminal && IsControlByte(*p))
              out.push_back('?');
            else
              out.append(utf8.entries[*p].bytes, utf8.entries[*p].length);
        }
      }
    } else if (count == 1 && *value == '\0') {
      // A lone empty cell would make an empty line, which CSV readers skip: quoted, the record
      // stays.
      out.append("\"\"", 2);
    } else {
      writer->scratch.clear();
      AppendSingleByteAsUtf8(&writer->scratch, value);
      if (writer->terminal) MaskControls(&writer->scratch, false);
      AppendCsvCell(&out, writer->scratch);
    }
  }
  out.append(writer->format == FormatTsv ? "\n" : "\r\n");
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
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
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
  if (writer->format != FormatJson) {
    AppendRowTsvOrCsv(writer, values, count);
  } else {
    std::string& out = writer->buffer;
    out.push_back('{');
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) out.push_back(',');
      AppendJsonString(&out, i < writer->columns.size() ? writer->columns[i] : std::string());
      out.push_back(':');
      writer->scratch.clear();
      AppendSingleByteAsUtf8(&writer->scratch, values[i] != nullptr ? values[i] : "");
      if (writer->terminal) MaskControls(&writer->scratch, true);
      AppendJsonString(&out, writer->scratch);
    }
    out.append("}\n");
  }
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

bool SplitTsvLine(const std::string& line, std::vector<std::string>* cells, std::string* error) {
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
      *error = "a backslash ends the line (write \\\\ for a backslash)";
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
        *error =
            std::string("unknown escape \\") + line[i] + " (only \\\\, \\t, \\n and \\r are known)";
        return false;
    }
  }
  return true;
}
