// vostrel-cli search: the rows the application lists for the same criteria, in file order, as
// TSV, CSV or JSON lines on standard output. The scan is the application's own record loop, so
// the header's record count, cut-off files and the match rules act exactly as they do there.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/table_format.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/database_header.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/query_criteria.h"
#include "search/scan_loop.h"
#include "search/text_match.h"

namespace {

const char kSearchUsage[] =
    "Usage: vostrel-cli search [--format tsv|csv|json] FILE [FIELD=TEXT]...\n"
    "\n"
    "Lists the records of FILE that match every criterion, as the application lists them.\n"
    "FIELD is a searchable field's name (the case of Latin and Cyrillic letters does not\n"
    "matter); TEXT is matched by the field's rules: a prefix, a substring, or a whole-value\n"
    "pattern with * and ?. An empty TEXT is an empty criterion. A field that forces upper\n"
    "case in the application does so here too. A criterion that can never match a number\n"
    "field (a letter in TEXT for the phone) is named on stderr; nothing is listed.\n"
    "\n"
    "Output (UTF-8): tsv (default) with a header line and \\\\ \\t \\n \\r escaped; csv as in\n"
    "RFC 4180 with CR LF line ends (a lone empty cell written \"\"); json with one object per\n"
    "row, a field name that an earlier column has getting _2, _3, ... With one column an empty\n"
    "value is an empty line in tsv: every line after the header is a row. On a terminal, control\n"
    "characters in names and values show as '?'; to a file or a pipe they stay exact.\n"
    "Exit status: 0 when rows were listed, 1 when none matched, 2 on an error.\n";

// The longest criterion a box yields.
constexpr size_t kMaxTypedCharacters = 255;

struct SearchRun {
  TableWriter writer;
  std::vector<const char*> values;  // the display map's value buffers, in display order
  bool progress = false;            // standard error is a terminal
  bool stdoutIsTerminal = false;
  int recordCount = 0;
  bool lineShown = false;  // a progress line is on the terminal
};

// Progress lines are padded to a fixed width rather than cleared with terminal escapes, which
// not every console understands.
constexpr int kProgressWidth = 79;

void ClearProgressLine(SearchRun* run) {
  if (!run->lineShown) return;
  fprintf(stderr, "\r%*s\r", kProgressWidth, "");
  run->lineShown = false;
}

void DrawProgress(SearchRun* run, int results, int scanned) {
  constexpr int kCells = 30;
  int cells = 0;
  if (run->recordCount > 0) {
    const long long filled = static_cast<long long>(scanned) * kCells / run->recordCount;
    cells = filled > kCells ? kCells : static_cast<int>(filled);
  }
  char bar[kCells + 1];
  for (int i = 0; i < kCells; ++i) bar[i] = i < cells ? '#' : '-';
  bar[kCells] = 0;
  char line[160];
  snprintf(line, sizeof line, "[%s] %d of %d scanned, %d results", bar, scanned, run->recordCount,
           results);
  fprintf(stderr, "\r%-*s", kProgressWidth, line);
  fflush(stderr);
  run->lineShown = true;
}

void OnStatusUpdate(void* context, int results, int scanned) {
  SearchRun* run = static_cast<SearchRun*>(context);
  // Rows bound for the same terminal go out first, so that they do not tear the bar.
  if (run->stdoutIsTerminal && !run->writer.buffer.empty()) {
    ClearProgressLine(run);
    FlushTable(&run->writer, true);
  }
  if (run->progress) DrawProgress(run, results, scanned);
}

int OnAppendRow(void* context, const FieldTable*, int) {
  SearchRun* run = static_cast<SearchRun*>(context);
  WriteTableRow(&run->writer, run->values.data(), run->values.size());
  // A failed write (a full disk, a closed pipe) ends the scan: there is nowhere to put rows.
  return FlushTable(&run->writer, false) ? 0 : -1;
}

std::string FieldNameUtf8(const FieldDescriptor& field) {
  return TerminalSafe(FieldNameText(field));
}

std::string SearchableFieldList(const FieldTable& table) {
  std::string list;
  for (int i = 0; i < table.searchCount; ++i) {
    if (table.searchMap[i] == nullptr) continue;
    if (!list.empty()) list += ", ";
    list += FieldNameUtf8(*table.searchMap[i]);
  }
  return list.empty() ? "none" : list;
}

// A number reads as digits, with a minus sign before them in a 4-byte field: a criterion with
// any other character (but a pattern's * and ?) can never match it. Someone who typed a name
// into the phone's box deserves to hear that, rather than just see nothing listed.
bool CanMatchANumber(const FieldDescriptor& field) {
  if (field.type != FieldInteger || field.criterion == nullptr) return true;
  for (const char* p = field.criterion; *p != 0; ++p) {
    const char c = *p;
    const bool sign = c == '-' && field.size == 4;
    if ((c < '0' || c > '9') && c != '*' && c != '?' && !sign) return false;
  }
  return true;
}

std::string CannotMatchWarning(const FieldDescriptor& field, const std::string& text) {
  return "vostrel-cli: field '" + FieldNameUtf8(field) + "' holds numbers: '" +
         TerminalSafeUtf8(text) + "' can never match it (a number has only digits" +
         (field.size == 4 ? " and a leading minus sign)" : ")");
}

// Applies FIELD=TEXT arguments to the table, adding a warning for each criterion that can
// never match. Returns false after printing why.
bool ApplyCriteria(FieldTable* table, const std::vector<std::string>& criteria,
                   const std::string& file, std::vector<std::string>* warnings) {
  std::vector<bool> given(kMaxSearchFields, false);
  for (const std::string& argument : criteria) {
    const size_t equals = argument.find('=');
    if (equals == std::string::npos) {
      fprintf(stderr, "vostrel-cli: '%s' is not FIELD=TEXT\n", TerminalSafeUtf8(argument).c_str());
      return false;
    }
    const std::wstring fieldName = Utf8ToWide(argument.substr(0, equals));
    int found = -1;
    for (int i = 0; i < table->searchCount && found < 0; ++i) {
      const FieldDescriptor* f = table->searchMap[i];
      if (f == nullptr) continue;
      if (SameNameIgnoringCase(FieldNameText(*f), fieldName)) found = i;
    }
    if (found < 0) {
      fprintf(stderr, "vostrel-cli: %s: no searchable field '%s'; searchable fields: %s\n",
              TerminalSafeUtf8(file).c_str(), TerminalSafeUtf8(argument.substr(0, equals)).c_str(),
              SearchableFieldList(*table).c_str());
      return false;
    }
    FieldDescriptor* field = table->searchMap[found];
    const std::string fieldLabel = FieldNameUtf8(*field);
    if (given[found]) {
      fprintf(stderr, "vostrel-cli: field '%s' is given more than once\n", fieldLabel.c_str());
      return false;
    }
    given[found] = true;

    std::wstring typed = Utf8ToWide(argument.substr(equals + 1));
    if (field->flags & UpperCaseInput)
      for (wchar_t& c : typed) c = UpperCaseAsTyped(c);
    std::string singleByte;
    if (!WideToSingleByteStrict(typed, &singleByte) || singleByte.find('\0') != std::string::npos) {
      fprintf(stderr,
              "vostrel-cli: the text for field '%s' holds a character that Windows-1251 "
              "cannot hold\n",
              fieldLabel.c_str());
      return false;
    }
    const size_t limit =
        field->maxLength < kMaxTypedCharacters ? field->maxLength : kMaxTypedCharacters;
    if (typed.size() > limit) {
      fprintf(stderr,
              "vostrel-cli: the text for field '%s' is longer than its limit of %zu "
              "characters\n",
              fieldLabel.c_str(), limit);
      return false;
    }
    SetFieldCriterion(field, typed.c_str());
    if (!CanMatchANumber(*field))
      warnings->push_back(CannotMatchWarning(*field, argument.substr(equals + 1)));
  }
  return true;
}

const CommandOption kSearchOptions[] = {{"--format", "tsv, csv or json", true}};

bool TakeFormat(void* context, const CommandOption&, const std::string& name) {
  if (ParseOutputFormat(name, static_cast<OutputFormat*>(context))) return true;
  fprintf(stderr, "vostrel-cli: unknown format '%s' (tsv, csv or json)\n",
          TerminalSafeUtf8(name).c_str());
  return false;
}

// Opens the records of the file for the scan. Returns false after printing why.
bool OpenRecords(RecordReader* reader, const std::wstring& path, const DatabaseHeader& header,
                 bool viaGz, const std::string& shown) {
  // Shared with other readers: several searches and info runs on one file go on side by side.
  if (OpenRecordReader(reader, path.c_str(), header, viaGz, ShareWithReaders) == 0) return true;
  fprintf(stderr, "vostrel-cli: %s: %s\n", shown.c_str(),
          !viaGz && FileIsBusy(path.c_str()) ? "busy: another program holds the file for itself"
                                             : "cannot open the records");
  return false;
}

// Names the columns (the display map's fields) and writes the header line of the output.
void BeginSearchOutput(SearchRun* run, const FieldTable& table, OutputFormat format) {
  run->progress = StreamIsTerminal(stderr);
  run->stdoutIsTerminal = StreamIsTerminal(stdout);
  std::vector<std::string> columns;
  for (int k = 0; k < table.displayCount; ++k) {
    const FieldDescriptor* f = table.displayMap[k];
    std::string name;
    if (f != nullptr)
      name = run->stdoutIsTerminal ? TerminalSafe(f->displayName) : WideToUtf8(f->displayName);
    columns.push_back(name);
    run->values.push_back(f != nullptr ? f->value : "");
  }
  BeginTable(&run->writer, stdout, format, columns);
  run->writer.terminal = run->stdoutIsTerminal;
  WriteTableHeader(&run->writer);
}

// Flushes the rows, closes the progress line and says how the scan ended. Returns the exit
// code.
int EndSearchOutput(SearchRun* run, const ScanOutcome& outcome, const std::string& shown,
                    const DatabaseHeader& header) {
  const bool written = FlushTable(&run->writer, true);
  if (run->progress) {
    ClearProgressLine(run);
    fprintf(stderr, "Scaned: %i, results: %i\n", outcome.scanned, outcome.results);
  }
  if (!written) {
    fputs("vostrel-cli: cannot write the results\n", stderr);
    return 2;
  }
  // The application ends these quietly; a script deserves to hear that rows may be missing.
  if (outcome.end == ScanShortRead && outcome.scanned > 0)
    fprintf(stderr, "vostrel-cli: %s: the records end without their end mark after record %d\n",
            shown.c_str(), outcome.scanned);
  else if (outcome.end == ScanBadLength)
    fprintf(stderr, "vostrel-cli: %s: a record length of 0 after record %d ends the scan\n",
            shown.c_str(), outcome.scanned);
  else if (outcome.end == ScanRecordLimit)
    fprintf(stderr,
            "vostrel-cli: %s: more records follow than the header's %d; they are not listed\n",
            shown.c_str(), header.recordCount);
  return outcome.results > 0 ? 0 : 1;
}

}  // namespace

int RunSearchCommand(const CliArgs& args) {
  OutputFormat format = FormatTsv;
  std::vector<std::string> operands;  // FILE, then the criteria
  int exitCode = 2;
  const CommandSyntax syntax = {kSearchUsage, "vostrel-cli", kSearchOptions, 1,
                                true,         TakeFormat,    &format};
  if (!ParseCommandLine(args, syntax, &operands, &exitCode)) return exitCode;
  if (operands.empty()) {
    fputs(kSearchUsage, stderr);
    return 2;
  }
  const std::string& file = operands[0];
  const std::vector<std::string> criteria(operands.begin() + 1, operands.end());

  // The file as messages show it: without control characters, on one line.
  const std::string shown = TerminalSafeUtf8(file);
  std::wstring path;
  if (!PathWithinLimit(file, &path)) return 2;
  DatabaseHeader header;
  bool viaGz = false;
  FieldTable table;
  if (!OpenDatabaseFile(file, path, &header, &viaGz, &table)) return 2;
  BuildFoldTable();
  RecordReader reader;
  std::vector<std::string> warnings;
  if (!ApplyCriteria(&table, criteria, file, &warnings) ||
      !OpenRecords(&reader, path, header, viaGz, shown)) {
    FreeFieldTable(&table);
    return 2;
  }
  // Said before the scan, which still runs: its counts and any damage it meets are reported
  // as for every search.
  for (const std::string& warning : warnings) fprintf(stderr, "%s\n", warning.c_str());

  SearchRun run;
  BeginSearchOutput(&run, table, format);
  run.recordCount = header.recordCount;
  ScanSink sink;
  sink.context = &run;
  sink.statusUpdate = OnStatusUpdate;
  sink.appendRow = OnAppendRow;
  const ScanOutcome outcome = RunScan(&reader, header, &table, nullptr, sink);
  CloseRecordReader(&reader);
  FreeFieldTable(&table);
  return EndSearchOutput(&run, outcome, shown, header);
}
