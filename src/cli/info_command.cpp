// vostrel-cli info: the header and the fields of a database file, as a table for people or as
// one JSON object for programs.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/table_format.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/database_header.h"
#include "db/field_schema.h"

namespace {

const char kInfoUsage[] =
    "Usage: vostrel-cli info [--json] FILE\n"
    "\n"
    "Shows the header and the fields of a database file (.db, .zdb or .fdb).\n"
    "  --json   one JSON object: variant, version, fieldCount, recordCount, title, headerSize,\n"
    "           numberWidth (.db and .zdb only) and fields\n"
    "Exit status: 0 when the file opens, 2 when it cannot be used or the usage is wrong.\n"
    "A file whose content is no database (too short, another version, fields that cannot be\n"
    "used) is refused with \"not a Vostrel database\" before the reason.\n";

const char* VariantName(DatabaseVariant variant) {
  switch (variant) {
    case VariantZdb:
      return "zdb";
    case VariantFdb:
      return "fdb";
    default:
      return "db";
  }
}

std::string Printable(const std::wstring& text) { return TerminalSafe(text); }

// Characters on screen of UTF-8 text: every code point counts one.
size_t DisplayWidth(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string FieldName(const FieldDescriptor& f) {
  wchar_t name[kNameCapacity];
  SingleByteToWide(f.name, kNameCapacity, name, kNameCapacity);
  return WideToUtf8(name);
}

std::string TypeName(int8_t type) {
  if (type == FieldText) return "text";
  if (type == FieldInteger) return "integer";
  return "type " + std::to_string(type);
}

std::string FlagsText(int8_t flags) {
  char hex[8];
  snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(static_cast<uint8_t>(flags)));
  return hex;
}

void AppendJsonNumber(std::string* out, const char* key, long long value, bool comma = true) {
  if (comma) out->push_back(',');
  AppendJsonString(out, key);
  out->push_back(':');
  out->append(std::to_string(value));
}

std::string JsonReport(DatabaseVariant variant, const DatabaseHeader& h, const FieldTable& t) {
  std::string out = "{";
  AppendJsonString(&out, "variant");
  out.push_back(':');
  AppendJsonString(&out, VariantName(variant));
  AppendJsonNumber(&out, "version", h.version);
  AppendJsonNumber(&out, "fieldCount", h.fieldCount);
  AppendJsonNumber(&out, "recordCount", h.recordCount);
  out.push_back(',');
  AppendJsonString(&out, "title");
  out.push_back(':');
  AppendJsonString(&out, WideToUtf8(h.title));
  AppendJsonNumber(&out, "headerSize", h.headerSize);
  if (variant != VariantFdb) AppendJsonNumber(&out, "numberWidth", h.numberWidth);
  out.append(",\"fields\":[");
  for (int j = 0; j < t.fieldCount; ++j) {
    const FieldDescriptor& f = t.fields[j];
    if (j > 0) out.push_back(',');
    out.push_back('{');
    AppendJsonString(&out, "name");
    out.push_back(':');
    AppendJsonString(&out, FieldName(f));
    AppendJsonNumber(&out, "type", f.type);
    AppendJsonNumber(&out, "flags", f.flags);
    AppendJsonNumber(&out, "size", f.size);
    AppendJsonNumber(&out, "searchIndex", f.searchIndex);
    AppendJsonNumber(&out, "displayIndex", f.displayIndex);
    AppendJsonNumber(&out, "detailIndex", f.detailIndex);
    AppendJsonNumber(&out, "editWidth", f.editWidth);
    AppendJsonNumber(&out, "columnWidth", f.columnWidth);
    AppendJsonNumber(&out, "maxLength", f.maxLength);
    out.push_back('}');
  }
  out.append("]}\n");
  return out;
}

void AppendPadded(std::string* out, const std::string& cell, size_t width) {
  out->append(cell);
  out->append(width - DisplayWidth(cell), ' ');
}

std::string TextReport(const std::string& file, DatabaseVariant variant, const DatabaseHeader& h,
                       const FieldTable& t) {
  static const char* const kVariantWords[] = {"db (plain file)", "zdb (gzip stream)",
                                              "fdb (gzip stream with field schema)"};
  std::string out;
  out += "File:         " + Printable(Utf8ToWide(file)) + "\n";
  out += std::string("Variant:      ") + kVariantWords[variant] + "\n";
  out += "Title:        " + Printable(h.title) + "\n";
  out += "Version:      " + std::to_string(h.version) +
         (h.version == 11 ? " (built-in fields)" : " (fields stored in the file)") + "\n";
  out += "Records:      " + std::to_string(h.recordCount) + "\n";
  out += "Fields:       " + std::to_string(h.fieldCount) + "\n";
  out += "Header size:  " + std::to_string(h.headerSize) + "\n";
  if (variant != VariantFdb) out += "Number width: " + std::to_string(h.numberWidth) + "\n";
  if (t.fieldCount == 0) return out;

  const std::vector<std::string> heads = {"#",       "Name",   "Type", "Flags",  "Size",  "Search",
                                          "Display", "Detail", "Edit", "Column", "MaxLen"};
  std::vector<std::vector<std::string>> rows;
  for (int j = 0; j < t.fieldCount; ++j) {
    const FieldDescriptor& f = t.fields[j];
    rows.push_back({std::to_string(j + 1), Printable(Utf8ToWide(FieldName(f))), TypeName(f.type),
                    FlagsText(f.flags), std::to_string(f.size), std::to_string(f.searchIndex),
                    std::to_string(f.displayIndex), std::to_string(f.detailIndex),
                    std::to_string(f.editWidth), std::to_string(f.columnWidth),
                    std::to_string(f.maxLength)});
  }
  std::vector<size_t> widths;
  for (const std::string& head : heads) widths.push_back(DisplayWidth(head));
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      if (DisplayWidth(row[c]) > widths[c]) widths[c] = DisplayWidth(row[c]);
    }
  }
  out += "\n";
  auto appendLine = [&](const std::vector<std::string>& cells) {
    std::string line;
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) line += "  ";
      AppendPadded(&line, cells[c], widths[c]);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  };
  appendLine(heads);
  for (const auto& row : rows) appendLine(row);
  return out;
}

const CommandOption kInfoOptions[] = {{"--json", nullptr, false}};

bool TakeJsonSwitch(void* context, const CommandOption&, const std::string&) {
  *static_cast<bool*>(context) = true;
  return true;
}

int UsageError(const char* why) {
  fprintf(stderr, "vostrel-cli info: %s\n\n%s", why, kInfoUsage);
  return 2;
}

}  // namespace

int RunInfoCommand(const CliArgs& args) {
  bool json = false;
  std::vector<std::string> files;
  int exitCode = 2;
  const CommandSyntax syntax = {kInfoUsage, "vostrel-cli info", kInfoOptions, 1,
                                false,      TakeJsonSwitch,     &json};
  if (!ParseCommandLine(args, syntax, &files, &exitCode)) return exitCode;
  if (files.size() != 1) return UsageError(files.empty() ? "no file named" : "one file at a time");

  const std::string& file = files[0];
  const std::wstring path = PathFromArgument(file);
  const std::shared_ptr<const Database> database = LoadDatabaseFile(file, path);
  if (database == nullptr) return 2;
  const DatabaseVariant variant = DatabaseVariantOf(path.c_str());
  const DatabaseHeader& header = database->header;
  const FieldTable& table = database->schema;
  const std::string report =
      json ? JsonReport(variant, header, table) : TextReport(file, variant, header, table);
  if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0) {
    fprintf(stderr, "vostrel-cli: cannot write the report\n");
    return 2;
  }
  return 0;
}
