// vostrel-cli make: builds a database file from a UTF-8 TSV table.
//
//   vostrel-cli make [--title TEXT] [--schema builtin|FILE] INPUT OUTPUT
//
// OUTPUT's extension picks the variant: ".fdb" (gzip, schema header), ".zdb" (gzip) or anything
// else (plain); a name Find DB does not look for (not ".db", ".zdb" or ".fdb") is written with a
// warning. A name ending in a dot or a space is refused (Windows would write another file).
// INPUT is a file or "-" for standard input.
//
// The rules of the table, the schema file and OUTPUT are the user's, and are written once for
// the user: kMakeUsage below (what "make --help" prints; README shows the same table with a
// worked example). The ranges each value takes are the checks of ParseSchemaLine and of the
// cell conversions below, each refusing with the input line's number; OUTPUT is written as a
// temporary file of its own beside it and renamed into place when complete, so that a refused
// build leaves it as it was.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/table_format.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/disk_layout.h"
#include "db/field_schema.h"
#include "db/file_system.h"
#include "search/query_criteria.h"

namespace {

const char kMakeUsage[] =
    "Usage: vostrel-cli make [--title TEXT] [--schema builtin|FILE] INPUT OUTPUT\n"
    "\n"
    "Builds OUTPUT (.db plain, .zdb gzip, .fdb gzip with a schema header) from INPUT, a UTF-8\n"
    "TSV table (\"-\" for standard input) whose first line names the schema's fields in order.\n"
    "Values of searchable fields are kept findable: stored in capitals where the field takes\n"
    "its criteria in capitals, and texts no longer than a search of the field can be.\n"
    "Cells use the escapes \\\\ \\t \\n \\r, as 'search' writes them. A schema FILE makes an\n"
    ".fdb file of version 12; the built-in schema (Phone Name Street House Flat) makes\n"
    "version 11.\n"
    "OUTPUT must be a new name or a regular file (its permissions are kept); a directory,\n"
    "link, device or pipe is refused, and so is a name ending in a dot or a space, which\n"
    "Windows drops (there a folder name ending so is refused too).\n"
    "A name not ending in .db, .zdb or .fdb gets a plain file and a warning on stderr: Find DB\n"
    "looks only for those three.\n"
    "Exit status: 0 when the file was written, 2 on an error (OUTPUT is then left as it was).\n"
    "\n"
    "Schema file: one line per field, in the order of the table's columns; blank lines and\n"
    "lines starting with # are skipped. Ten columns, numbers in decimal or 0x hexadecimal:\n"
    "  name         1 to 15 Windows-1251 characters, unique regardless of case\n"
    "  type         text or integer\n"
    "  flags        sum of: 2 criteria typed in capitals, 4 match anywhere in the value\n"
    "               (else the value must begin with the criterion), 8 ignore case\n"
    "  size         bytes of an integer field, 1 to 4 (0 for text)\n"
    "  search       place of the field's criteria box, 1 to 10, no gaps; 0 = not searched\n"
    "  display      column in the result list, 1 to 16, no gaps; 0 = not shown\n"
    "  detail       place in a row's details box; 0 = not listed\n"
    "  editWidth    width of the criteria box, pixels\n"
    "  columnWidth  width of the result column, pixels\n"
    "  maxLength    longest value and criterion, characters\n"
    "Example:\n"
    "  # name  type     flags size search display detail editWidth columnWidth maxLength\n"
    "  Code    integer  0x04  4    1      1       1      70        55          10\n"
    "  Note    text     0x0A  0    2      2       2      142       100         60\n";

constexpr size_t kShortTitleCharacters = 22;
constexpr size_t kSchemaTitleCharacters = 50;

// The refusal of a line that ReadTableLine would not take.
std::string UnreadableLine(LineRead read) {
  return read == LineHasNul ? "the line holds a NUL byte (is this a text table?)"
                            : "the line is longer than any record can be";
}

std::string NameUtf8(const FieldDescriptor& field) { return WideToUtf8(FieldNameText(field)); }

// Field names are compared as a search's FIELD= compares them: regardless of the case of
// Latin and Cyrillic letters.
bool SameFieldName(const std::string& a, const std::string& b) {
  return SameNameIgnoringCase(Utf8ToWide(a), Utf8ToWide(b));
}

// A whole-token integer in [low, high]; decimal (a leading 0 does not make it octal: "010" is
// ten), or hexadecimal after 0x.
bool ParseNumber(const std::string& token, long low, long high, long* value) {
  if (token.empty()) return false;
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const char* digits = token.c_str() + (hex ? 2 : 0);
  // strtol would also take a sign after "0x".
  if (hex && !isxdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  char* end = nullptr;
  const long v = strtol(digits, &end, hex ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != 0 || v < low || v > high) return false;
  *value = v;
  return true;
}

std::vector<std::string> SplitBlanks(const std::string& line) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    tokens.push_back(line.substr(i, j - i));
    i = j;
  }
  return tokens;
}

// A UTF-8 byte order mark at the start of a file is dropped, as editors may write one.
void DropByteOrderMark(std::string* line) {
  if (line->compare(0, 3, "\xEF\xBB\xBF") == 0) line->erase(0, 3);
}

// Parses the ten columns of one schema line into a descriptor. Returns false with the reason.
bool ParseSchemaLine(const std::vector<std::string>& t, FieldDescriptor* f, std::string* problem) {
  if (t.size() != 10) {
    *problem =
        "a field line has 10 columns: name type flags size search display detail "
        "editWidth columnWidth maxLength";
    return false;
  }
  *f = FieldDescriptor{};
  std::string name;
  if (!WideToSingleByteStrict(Utf8ToWide(t[0]), &name) || name.size() > kNameCapacity - 1) {
    *problem = "the name '" + t[0] + "' is not 1 to 15 Windows-1251 characters";
    return false;
  }
  memcpy(f->name, name.data(), name.size());
  long type = 0, flags = 0, size = 0, search = 0, display = 0, detail = 0;
  long editWidth = 0, columnWidth = 0, maxLength = 0;
  if (t[1] == "text") {
    type = FieldText;
  } else if (t[1] == "integer") {
    type = FieldInteger;
  } else if (!ParseNumber(t[1], -128, 127, &type)) {
    *problem = "type '" + t[1] + "' is not text, integer or a number from -128 to 127";
    return false;
  }
  struct Column {
    const std::string& token;
    const char* what;
    long low, high;
    long* value;
  } columns[] = {
      {t[2], "flags", 0, 255, &flags},
      {t[3], "size", -128, 127, &size},
      {t[4], "search", 0, kMaxSearchFields, &search},
      {t[5], "display", 0, kMaxDisplayFields, &display},
      {t[6], "detail", 0, 127, &detail},
      {t[7], "editWidth", 0, 65535, &editWidth},
      {t[8], "columnWidth", 0, 65535, &columnWidth},
      {t[9], "maxLength", 0, 65535, &maxLength},
  };
  for (const Column& c : columns) {
    if (!ParseNumber(c.token, c.low, c.high, c.value)) {
      *problem = std::string(c.what) + " '" + c.token + "' is not a number from " +
                 std::to_string(c.low) + " to " + std::to_string(c.high);
      return false;
    }
  }
  f->type = static_cast<int8_t>(type);
  f->flags = static_cast<int8_t>(static_cast<uint8_t>(flags));
  f->size = static_cast<int8_t>(size);
  f->searchIndex = static_cast<int8_t>(search);
  f->displayIndex = static_cast<int8_t>(display);
  f->detailIndex = static_cast<int8_t>(detail);
  f->editWidth = static_cast<uint16_t>(editWidth);
  f->columnWidth = static_cast<uint16_t>(columnWidth);
  f->maxLength = static_cast<uint16_t>(maxLength);
  return true;
}

// Adds the field of one schema line to those before it. Returns false with the reason.
bool AddSchemaField(const std::vector<std::string>& t, std::vector<FieldDescriptor>* fields,
                    std::string* problem) {
  FieldDescriptor f;
  if (!ParseSchemaLine(t, &f, problem)) return false;
  for (const FieldDescriptor& other : *fields) {
    if (SameFieldName(NameUtf8(other), NameUtf8(f))) {
      *problem = "the name '" + t[0] + "' is used twice";
      return false;
    }
  }
  if (fields->size() == static_cast<size_t>(kMaxFieldCount)) {
    *problem = "more than 127 fields";
    return false;
  }
  fields->push_back(f);
  return true;
}

// Reads the field lines of a schema file. Returns false after printing why, shown naming the
// file.
bool ReadSchemaLines(FILE* in, const std::string& shown, std::vector<FieldDescriptor>* fields) {
  std::string line;
  int lineNumber = 0;
  LineRead read;
  while ((read = ReadTableLine(in, &line)) != LineEnd) {
    ++lineNumber;
    if (read != LineOk) {
      fprintf(stderr, "vostrel-cli: %s:%d: %s\n", shown.c_str(), lineNumber,
              UnreadableLine(read).c_str());
      return false;
    }
    if (lineNumber == 1) DropByteOrderMark(&line);
    const std::vector<std::string> t = SplitBlanks(line);
    if (t.empty() || t[0][0] == '#') continue;
    std::string problem;
    if (!AddSchemaField(t, fields, &problem)) {
      fprintf(stderr, "vostrel-cli: %s:%d: %s\n", shown.c_str(), lineNumber,
              TerminalSafeUtf8(problem).c_str());
      return false;
    }
  }
  return true;
}

// Reads a schema file into descriptors. Returns false after printing why.
bool ReadSchemaFile(const std::string& file, std::vector<FieldDescriptor>* fields) {
  // Names given on the command line are shown without their control characters, so that a
  // crafted name can neither play with the terminal nor split a message line.
  const std::string shown = TerminalSafeUtf8(file);
  FILE* in = OpenFileWide(PathFromArgument(file).c_str(), L"rb");
  if (in == nullptr) {
    fprintf(stderr, "vostrel-cli: %s: cannot open the schema file\n", shown.c_str());
    return false;
  }
  const bool ok = ReadSchemaLines(in, shown, fields);
  const bool readError = ferror(in) != 0;
  fclose(in);
  if (!ok) return false;
  if (readError) {
    fprintf(stderr, "vostrel-cli: %s: cannot read the schema file\n", shown.c_str());
    return false;
  }
  if (fields->empty()) {
    fprintf(stderr, "vostrel-cli: %s: the schema names no field\n", shown.c_str());
    return false;
  }
  std::string problem;
  if (!CheckFieldDescriptors(fields->data(), static_cast<int>(fields->size()), &problem)) {
    fprintf(stderr, "vostrel-cli: %s: %s\n", shown.c_str(), TerminalSafeUtf8(problem).c_str());
    return false;
  }
  return true;
}

// Converts the cells of one line to the Windows-1251 values of a record. Returns false with
// the reason.
bool CellsToRecord(const std::vector<std::string>& cells,
                   const std::vector<FieldDescriptor>& schema, DatabaseRecord* record,
                   std::string* problem) {
  if (cells.size() != schema.size()) {
    *problem = "has " + std::to_string(cells.size()) + " cells for " +
               std::to_string(schema.size()) + " fields";
    return false;
  }
  record->resize(cells.size());
  for (size_t j = 0; j < cells.size(); ++j) {
    const FieldDescriptor& f = schema[j];
    const std::string label = "field " + std::to_string(j + 1) + " '" + NameUtf8(f) + "'";
    std::wstring value = Utf8ToWide(cells[j]);
    // A value is stored as a search can find it. The application's criterion box of such a
    // field turns what is typed into capitals, so a small letter could never be matched unless
    // the field folds case anyway.
    const bool searched = f.searchIndex > 0;
    if (searched && f.type == FieldText && (f.flags & UpperCaseInput) && !(f.flags & FoldValue))
      for (wchar_t& c : value) c = UpperCaseAsTyped(c);
    if (!WideToSingleByteStrict(value, &(*record)[j])) {
      *problem = label + ": a character that Windows-1251 cannot hold (or text that is not UTF-8)";
      return false;
    }
    // A criterion holds at most maxLength (and never more than 255) characters: a longer
    // text could not be typed in full, so no whole-value search would ever find it. A number
    // is bounded by its bytes instead: the built-in Phone's 3 bytes hold 8 digits against a
    // maxLength of 7, and such a number is still found by a prefix, a substring or a pattern.
    const size_t limit = f.maxLength < kMaxCriterionChars ? f.maxLength : kMaxCriterionChars;
    if (searched && f.type == FieldText && value.size() > limit) {
      *problem = label + ": '" + cells[j] + "' is longer than the " + std::to_string(limit) +
                 " characters a search of this field can take";
      return false;
    }
  }
  return true;
}

// The options of make as the command line gives them.
struct MakeArguments {
  std::string title;
  bool haveTitle = false;
  std::string schemaFile = "builtin";
};

const CommandOption kMakeOptions[] = {{"--title", "a value", false},
                                      {"--schema", "a value", false}};

bool TakeMakeOption(void* context, const CommandOption& option, const std::string& value) {
  MakeArguments* given = static_cast<MakeArguments*>(context);
  if (strcmp(option.name, "--title") == 0) {
    given->title = value;
    given->haveTitle = true;
  } else {
    given->schemaFile = value;
  }
  return true;
}

// One build: where the table comes from, what is written where, and how far it got.
struct MakeRun {
  std::string shownInput;  // the names as messages show them
  std::string shownOutput;
  std::wstring outputPath;
  DatabaseWriterOptions options;
  std::vector<FieldDescriptor> schema;
  DatabaseStreamWriter writer;
  bool begun = false;  // the writer has begun OUTPUT's temporary file
  long lineNumber = 0;
};

bool IsPathSeparator(wchar_t c) {
#ifdef _WIN32
  return c == L'\\' || c == L'/';
#else
  return c == L'/';
#endif
}

// The last part of a path: the file's own name.
std::wstring FileNameOf(const std::wstring& path) {
  size_t start = path.size();
  while (start > 0 && !IsPathSeparator(path[start - 1])) --start;
  return path.substr(start);
}

bool EndsInDotOrSpace(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  return name.back() == L'.' || name.back() == L' ';
}

// Why a part of OUTPUT that ends in dots or spaces is refused, with what Windows makes of it.
std::string DroppedEndingRefusal(const std::wstring& name, bool folder) {
  std::wstring kept = name;
  while (!kept.empty() && (kept.back() == L'.' || kept.back() == L' ')) kept.pop_back();
  std::string why = folder ? "the folder name '" + TerminalSafe(name) + "'" : "the name";
  why += " ends in a dot or a space, which Windows drops";
  if (!kept.empty())
    why += std::string(folder ? " (the file would go into '" : " (it would write '") +
           TerminalSafe(kept) + "' instead)";
  return why + "; name it without them";
}

// Windows drops the dots and spaces that end a name: "out.db." would be written as "out.db",
// replacing whatever that is, and "sub./out.db" would land in "sub". Rather than write another
// file than the one named, such a name is refused. Elsewhere the file's own name is refused
// too, as a database goes to Windows machines and to the device by its name (and a plain
// variant would land under a ".zdb" name there); a folder elsewhere is just what it is called.
// Returns false after printing why.
bool CheckNameKeptAsGiven(const std::wstring& path, const std::string& shown) {
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsPathSeparator(path[i])) continue;
    const std::wstring part = path.substr(start, i - start);
    const bool folder = i < path.size();
    start = i + 1;
#ifndef _WIN32
    if (folder) continue;
#endif
    if (!EndsInDotOrSpace(part)) continue;
    fprintf(stderr, "vostrel-cli: %s: %s\n", shown.c_str(),
            DroppedEndingRefusal(part, folder).c_str());
    return false;
  }
  return true;
}

// Refuses, before the table is read, an OUTPUT that the file may not be put in the place of:
// only nothing or a regular file may be replaced, never a directory, a link, a device or a pipe
// (such as /dev/stdout). Returns false after printing why.
bool CheckOutput(const std::string& output, MakeRun* run) {
  if (!PathWithinLimit(output, &run->outputPath)) return false;
  if (!CheckNameKeptAsGiven(run->outputPath, run->shownOutput)) return false;
  OutputTarget target;
  std::string refusal;
  if (!InspectOutputTarget(run->outputPath.c_str(), &target, &refusal)) {
    fprintf(stderr, "vostrel-cli: %s: %s\n", run->shownOutput.c_str(), refusal.c_str());
    return false;
  }
  return true;
}

// Picks the file's version and schema: the built-in one, or a schema file's for an ".fdb".
// Returns false after printing why.
bool ChooseSchema(const std::string& schemaFile, MakeRun* run) {
  run->options.variant = DatabaseVariantOf(run->outputPath.c_str());
  run->options.version = 11;
  run->schema.assign(BuiltInSchema, BuiltInSchema + 5);
  if (schemaFile == "builtin") return true;
  if (run->options.variant != VariantFdb) {
    fprintf(stderr, "vostrel-cli: %s: only an .fdb file carries a schema of its own\n",
            run->shownOutput.c_str());
    return false;
  }
  run->schema.clear();
  if (!ReadSchemaFile(schemaFile, &run->schema)) return false;
  run->options.version = 12;
  run->options.descriptors = run->schema;
  return true;
}

// Sets the title, which must be Windows-1251 text that fits the header. Returns false after
// printing why.
bool ChooseTitle(const std::string& title, DatabaseWriterOptions* options) {
  const size_t room =
      options->variant == VariantFdb ? kSchemaTitleCharacters : kShortTitleCharacters;
  if (!WideToSingleByteStrict(Utf8ToWide(title), &options->title) ||
      options->title.find('\0') != std::string::npos) {
    fputs("vostrel-cli: the title holds a character that Windows-1251 cannot hold\n", stderr);
    return false;
  }
  if (options->title.size() > room) {
    fprintf(stderr,
            "vostrel-cli: the title is longer than the %zu characters this file "
            "holds\n",
            room);
    return false;
  }
  return true;
}

// Says why the current line of the table stops the build. Returns false, for the caller to.
bool RefuseLine(const MakeRun& run, const std::string& why) {
  fprintf(stderr, "vostrel-cli: %s:%ld: %s\n", run.shownInput.c_str(), run.lineNumber,
          TerminalSafeUtf8(why).c_str());
  return false;
}

// The header line must name the schema's fields in order; then OUTPUT's temporary file begins.
// Returns false after printing why.
bool BeginFromHeaderLine(MakeRun* run, const std::vector<std::string>& cells) {
  bool matches = cells.size() == run->schema.size();
  for (size_t j = 0; matches && j < cells.size(); ++j)
    matches = SameFieldName(cells[j], NameUtf8(run->schema[j]));
  // A table saved with commas or semicolons arrives as one cell a line.
  if (!matches && cells.size() == 1 && cells[0].find_first_of(",;") != std::string::npos)
    return RefuseLine(*run,
                      "the header line holds no tab: the table must be tab-separated (TSV), not "
                      "separated by commas or semicolons");
  if (!matches) {
    std::string names;
    for (const FieldDescriptor& f : run->schema) names += (names.empty() ? "" : ", ") + NameUtf8(f);
    return RefuseLine(*run, "the header line must name the fields in order: " + names);
  }
  std::string error;
  if (!BeginDatabaseFile(&run->writer, run->outputPath.c_str(), run->options, &error)) {
    fprintf(stderr, "vostrel-cli: %s: %s\n", run->shownOutput.c_str(),
            TerminalSafeUtf8(error).c_str());
    return false;
  }
  run->begun = true;
  return true;
}

// Writes the record of one line after the header. Returns false after printing why.
bool AppendRecordLine(MakeRun* run, const std::vector<std::string>& cells, DatabaseRecord* record) {
  std::string problem;
  if (!CellsToRecord(cells, run->schema, record, &problem)) return RefuseLine(*run, problem);
  std::string error;
  if (!AppendDatabaseRecord(&run->writer, *record, &error)) {
    // The line number says where; the writer's own "record N: " would only repeat it.
    const size_t cut = error.rfind("record ", 0) == 0 ? error.find(": ") : std::string::npos;
    return RefuseLine(*run, cut != std::string::npos ? error.substr(cut + 2) : error);
  }
  return true;
}

// Reads the table line by line into the writer. Returns false after printing why.
bool CopyTableLines(FILE* in, MakeRun* run) {
  std::string line;
  std::string error;
  std::vector<std::string> cells;
  DatabaseRecord record;
  LineRead read;
  while ((read = ReadTableLine(in, &line)) != LineEnd) {
    ++run->lineNumber;
    if (read != LineOk) return RefuseLine(*run, UnreadableLine(read));
    if (run->lineNumber == 1) DropByteOrderMark(&line);
    if (!SplitTsvLine(line, &cells, &error)) return RefuseLine(*run, error);
    const bool taken = run->lineNumber == 1 ? BeginFromHeaderLine(run, cells)
                                            : AppendRecordLine(run, cells, &record);
    if (!taken) return false;
  }
  return true;
}

// Find DB lists only the files whose names it looks for: a file written under another name
// is a whole database that the application would never find on the device, so make says so.
void WarnWhenFindDbWillNotFind(const MakeRun& run) {
  if (IsDatabaseFileName(FileNameOf(run.outputPath))) return;
  static const char* const kVariantWords[] = {"a plain database (.db)", "a gzip database (.zdb)",
                                              "a gzip database with its fields (.fdb)"};
  fprintf(stderr,
          "vostrel-cli: %s: written as %s; Find DB looks only for names ending in .db, .zdb "
          "or .fdb and will not find it\n",
          run.shownOutput.c_str(), kVariantWords[run.options.variant]);
}

// Copies the table from in (closed here unless it is standard input) and puts OUTPUT in place.
// Returns the exit code; on a failure OUTPUT is left as it was.
int WriteDatabase(FILE* in, MakeRun* run) {
  bool ok = CopyTableLines(in, run);
  const bool readError = ferror(in) != 0;
  if (in != stdin) fclose(in);
  if (ok && readError) {
    fprintf(stderr, "vostrel-cli: %s: cannot read the table\n", run->shownInput.c_str());
    ok = false;
  }
  if (ok && !run->begun) {
    fprintf(stderr, "vostrel-cli: %s: the table has no header line\n", run->shownInput.c_str());
    ok = false;
  }
  if (!ok) {
    if (run->begun) AbortDatabaseFile(&run->writer);
    return 2;
  }
  std::string error;
  if (!FinishDatabaseFile(&run->writer, &error)) {
    fprintf(stderr, "vostrel-cli: %s: %s\n", run->shownOutput.c_str(),
            TerminalSafeUtf8(error).c_str());
    return 2;
  }
  WarnWhenFindDbWillNotFind(*run);
  return 0;
}

}  // namespace

int RunMakeCommand(const CliArgs& args) {
  MakeArguments given;
  std::vector<std::string> operands;
  int exitCode = 2;
  const CommandSyntax syntax = {kMakeUsage, "vostrel-cli",  kMakeOptions, 2,
                                false,      TakeMakeOption, &given};
  if (!ParseCommandLine(args, syntax, &operands, &exitCode)) return exitCode;
  if (operands.size() != 2) {
    fprintf(stderr, "vostrel-cli: make: %s\n\n%s",
            operands.empty()       ? "INPUT and OUTPUT are missing: the table to read and the "
                                     "database file to write"
            : operands.size() == 1 ? "OUTPUT is missing: name the database file to write after "
                                     "the table"
                                   : "takes two operands, INPUT and OUTPUT (a title of several "
                                     "words needs quotes)",
            kMakeUsage);
    return 2;
  }
  const std::string& input = operands[0];
  MakeRun run;
  run.shownInput = TerminalSafeUtf8(input);
  run.shownOutput = TerminalSafeUtf8(operands[1]);
  if (!CheckOutput(operands[1], &run)) return 2;
  RemoveTemporaryFilesOnSignals();
  if (!ChooseSchema(given.schemaFile, &run)) return 2;
  if (given.haveTitle && !ChooseTitle(given.title, &run.options)) return 2;

#ifdef _WIN32
  // Text mode would end the table at a Ctrl-Z byte and rewrite line ends.
  if (input == "-") _setmode(_fileno(stdin), _O_BINARY);
#endif
  FILE* in = input == "-" ? stdin : OpenInputFile(PathFromArgument(input), run.shownInput, "table");
  if (in == nullptr) {
    return 2;
  }
  return WriteDatabase(in, &run);
}
