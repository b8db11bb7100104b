// vostrel-cli search: the rows the application lists for the same criteria, in file order, as
// TSV, CSV or JSON lines on standard output. The scan is the application's own record loop, so
// the header's record count, cut-off files and the match rules act exactly as they do there.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/query_file.h"
#include "cli/search_criteria.h"
#include "cli/table_format.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/database_header.h"
#include "db/field_schema.h"
#include "db/record_reader.h"
#include "search/batch_scan.h"
#include "search/query_criteria.h"
#include "search/scan_loop.h"
#include "search/text_match.h"

namespace {

const char kSearchUsage[] =
    "Usage: vostrel-cli search [--format tsv|csv|json] FILE [FIELD=TEXT]...\n"
    "       vostrel-cli search [--format tsv|csv|json] FILE --queries QUERIES\n"
    "\n"
    "Lists the records of FILE that match every criterion, as the application lists them.\n"
    "FIELD is a searchable field's name (the case of Latin and Cyrillic letters does not\n"
    "matter); TEXT is matched by the field's rules: a prefix, a substring, or a whole-value\n"
    "pattern with * and ?. An empty TEXT is an empty criterion. A field that forces upper\n"
    "case in the application does so here too. A criterion that can never match a number\n"
    "field (a letter in TEXT for the phone) is named on stderr; nothing is listed.\n"
    "\n"
    "--queries QUERIES runs many searches in one pass over FILE. QUERIES (\"-\" for standard\n"
    "input) is UTF-8 text: a header line of searchable field names (matched as FIELD is)\n"
    "separated by tabs, then one query per line, a cell per named field, each cell that\n"
    "field's TEXT as above (an empty cell is no criterion; no escapes; LF or CR LF line ends).\n"
    "The output gets a first column, query: the query's number among the lines after the\n"
    "header, from 1. Each query lists the rows it lists alone; a record that matches several\n"
    "queries is listed once for each, in file order, then query order. A line that cannot be\n"
    "used (an unknown field, a cell too many or too few, a text the field cannot take) is named\n"
    "on stderr and nothing is searched. FIELD=TEXT criteria cannot be given with --queries.\n"
    "\n"
    "Output (UTF-8): tsv (default) with a header line and \\\\ \\t \\n \\r escaped; csv as in\n"
    "RFC 4180 with CR LF line ends (a lone empty cell written \"\"); json with one object per\n"
    "row, a field name that an earlier column has getting _2, _3, ... With one column an empty\n"
    "value is an empty line in tsv: every line after the header is a row. On a terminal, control\n"
    "characters in names and values show as '?'; to a file or a pipe they stay exact.\n"
    "Exit status: 0 when rows were listed, 1 when none matched, 2 on an error.\n";

struct SearchRun {
  TableWriter writer;
  std::vector<const char*> values;  // the display map's value buffers, in display order
  bool progress = false;            // standard error is a terminal
  bool stdoutIsTerminal = false;
  int recordCount = 0;
  bool lineShown = false;     // a progress line is on the terminal
  char queryNumber[16] = {};  // --queries: the query column's value for the row being written
  size_t firstField = 0;      // where the display fields' values start in values
  // What the output begins with once the records open: the columns of these fields, the
  // format, and the warnings said before the scan.
  const FieldTable* schema = nullptr;
  OutputFormat format = FormatTsv;
  bool queryColumn = false;
  std::vector<std::string> warnings;
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

// The row's values are the display fields' of the search's own table.
void TakeRowValues(SearchRun* run, const FieldTable* table) {
  for (int k = 0; k < table->displayCount; ++k) {
    const FieldDescriptor* f = table->displayMap[k];
    run->values[run->firstField + k] = f != nullptr ? f->value : "";
  }
}

int OnAppendRow(void* context, const FieldTable* table, int query, int) {
  SearchRun* run = static_cast<SearchRun*>(context);
  if (run->queryColumn) snprintf(run->queryNumber, sizeof run->queryNumber, "%d", query + 1);
  TakeRowValues(run, table);
  WriteTableRow(&run->writer, run->values.data(), run->values.size());
  // A failed write (a full disk, a closed pipe) ends the scan: there is nowhere to put rows.
  return FlushTable(&run->writer, false) ? 0 : -1;
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
    const int found = FindSearchField(*table, argument.substr(0, equals));
    if (found < 0) {
      fprintf(stderr, "vostrel-cli: %s: no searchable field '%s'; searchable fields: %s\n",
              TerminalSafeUtf8(file).c_str(), TerminalSafeUtf8(argument.substr(0, equals)).c_str(),
              SearchableFieldList(*table).c_str());
      return false;
    }
    FieldDescriptor* field = table->searchMap[found];
    if (given[found]) {
      fprintf(stderr, "vostrel-cli: field '%s' is given more than once\n",
              FieldNameUtf8(*field).c_str());
      return false;
    }
    given[found] = true;
    std::string problem;
    if (!PrepareCriterion(field, argument.substr(equals + 1), &problem)) {
      fprintf(stderr, "vostrel-cli: %s\n", problem.c_str());
      return false;
    }
    const std::string warning = NeverMatchesWarning(*field, argument.substr(equals + 1));
    if (!warning.empty()) warnings->push_back("vostrel-cli: " + warning);
  }
  return true;
}

const CommandOption kSearchOptions[] = {{"--format", "tsv, csv or json", true},
                                        {"--queries", "a file of queries", true}};

struct SearchArguments {
  OutputFormat format = FormatTsv;
  std::string queries;  // --queries: the file's name as given
  bool haveQueries = false;
};

bool TakeSearchOption(void* context, const CommandOption& option, const std::string& value) {
  SearchArguments* given = static_cast<SearchArguments*>(context);
  if (strcmp(option.name, "--queries") == 0) {
    if (given->haveQueries) {
      fputs("vostrel-cli: --queries is given more than once\n", stderr);
      return false;
    }
    given->queries = value;
    given->haveQueries = true;
    return true;
  }
  if (ParseOutputFormat(value, &given->format)) return true;
  fprintf(stderr, "vostrel-cli: unknown format '%s' (tsv, csv or json)\n",
          TerminalSafeUtf8(value).c_str());
  return false;
}

// Says why the records of the file could not be opened.
void ReportRecordsNotOpened(const std::wstring& path, bool viaGz, const std::string& shown) {
  fprintf(stderr, "vostrel-cli: %s: %s\n", shown.c_str(),
          !viaGz && FileIsBusy(path.c_str()) ? "busy: another program holds the file for itself"
                                             : "cannot open the records");
}

// Names the columns (the display map's fields, after the query number for --queries) and writes
// the header line of the output.
void BeginSearchOutput(void* context) {
  SearchRun* run = static_cast<SearchRun*>(context);
  // Said before the scan, which still runs: its counts and any damage it meets are reported
  // as for every search.
  for (const std::string& warning : run->warnings) fprintf(stderr, "%s\n", warning.c_str());
  const FieldTable& table = *run->schema;
  const bool queryColumn = run->queryColumn;
  run->progress = StreamIsTerminal(stderr);
  run->stdoutIsTerminal = StreamIsTerminal(stdout);
  std::vector<std::string> columns;
  if (queryColumn) {
    columns.push_back("query");
    run->values.push_back(run->queryNumber);
  }
  run->firstField = run->values.size();
  for (int k = 0; k < table.displayCount; ++k) {
    const FieldDescriptor* f = table.displayMap[k];
    std::string name;
    if (f != nullptr)
      name = run->stdoutIsTerminal ? TerminalSafe(f->displayName) : WideToUtf8(f->displayName);
    columns.push_back(name);
    run->values.push_back("");
  }
  BeginTable(&run->writer, stdout, run->format, columns);
  run->writer.terminal = run->stdoutIsTerminal;
  WriteTableHeader(&run->writer);
}

// Flushes the rows, closes the progress line and says how the scan ended; limited: rows past
// the header's record count are not listed. Returns the exit code.
int EndSearchOutput(SearchRun* run, const ScanOutcome& outcome, const std::string& shown,
                    const DatabaseHeader& header, bool limited, FileDuringSearch file) {
  const bool written = FlushTable(&run->writer, true);
  if (run->progress) {
    ClearProgressLine(run);
    fprintf(stderr, "Scaned: %i, results: %i\n", outcome.scanned, outcome.results);
  }
  if (!written) {
    fputs("vostrel-cli: cannot write the results\n", stderr);
    return 2;
  }
  // A file another program wrote to while it was read (a copy over it) may have given rows
  // made of both files, however the scan ended: the result is no result, and says so.
  if (file == FileChanged) {
    fprintf(stderr,
            "vostrel-cli: %s: the file changed while it was searched (another program wrote to "
            "it); the rows are not to be trusted: search it again\n",
            shown.c_str());
    return 2;
  }
  // The application ends these quietly; a script deserves to hear that rows may be missing.
  // Of a file cut while it was read, the bytes after the cut read as zeros or not at all:
  // either ending is the cut's.
  if (file == FileCut && (outcome.end == ScanShortRead || outcome.end == ScanBadLength))
    fprintf(stderr,
            "vostrel-cli: %s: the file was cut short while it was searched, after record %d\n",
            shown.c_str(), outcome.scanned);
  else if (outcome.end == ScanShortRead && outcome.scanned > 0)
    fprintf(stderr, "vostrel-cli: %s: the records end without their end mark after record %d\n",
            shown.c_str(), outcome.scanned);
  else if (outcome.end == ScanBadLength)
    fprintf(stderr, "vostrel-cli: %s: a record length of 0 after record %d ends the scan\n",
            shown.c_str(), outcome.scanned);
  // A batch may see both: some queries end at the record count, the rest at the damage.
  if (limited)
    fprintf(stderr,
            "vostrel-cli: %s: more records follow than the header's %d; they are not listed\n",
            shown.c_str(), header.recordCount);
  return outcome.results > 0 ? 0 : 1;
}

// Loads FILE and lets takeQueries(const FieldTable& schema, queries, warnings) make the
// search's queries (false after printing why), then searches it and says how it ended. Returns
// the exit code.
template <typename TakeQueries>
int SearchFile(const std::string& file, OutputFormat format, bool queryColumn,
               TakeQueries takeQueries) {
  const std::string shown = TerminalSafeUtf8(file);
  std::wstring path;
  if (!PathWithinLimit(file, &path)) return 2;
  const std::shared_ptr<const Database> database = LoadDatabaseFile(file, path);
  if (database == nullptr) return 2;
  SearchRun run;
  std::vector<Query> queries;
  if (!takeQueries(*database, &queries, &run.warnings)) return 2;
  run.schema = &database->schema;
  run.format = format;
  run.queryColumn = queryColumn;
  run.recordCount = database->header.recordCount;
  SearchSink sink;
  sink.context = &run;
  sink.begin = BeginSearchOutput;
  sink.statusUpdate = OnStatusUpdate;
  sink.appendRow = OnAppendRow;
  SearchOptions options;
  // Shared with other readers: several searches and info runs on one file go on side by side.
  // The file is viewed in place, or read (and inflated) on the second core while this one scans.
  options.read = ReadView;
  options.sharing = ShareWithReaders;
  const SearchOutcome outcome = Search(*database, queries, sink, options);
  if (outcome.failure != 0) {
    ReportRecordsNotOpened(path, database->viaGz, shown);
    return 2;
  }
  return EndSearchOutput(&run, outcome.scan, shown, database->header, outcome.limitedQueries > 0,
                         outcome.file);
}

// search FILE FIELD=TEXT...: one query. Returns the exit code.
int RunOneSearch(const std::string& file, const std::vector<std::string>& criteria,
                 OutputFormat format) {
  return SearchFile(file, format, false,
                    [&](const Database& database, std::vector<Query>* queries,
                        std::vector<std::string>* warnings) {
                      FieldTable table;
                      if (!CopyFieldTable(database.schema, &table)) return false;
                      const bool taken = ApplyCriteria(&table, criteria, file, warnings);
                      if (taken) queries->push_back(CaptureQuery(&table));
                      FreeFieldTable(&table);
                      return taken;
                    });
}

// search FILE --queries QUERIES: every query of the file in one pass. Returns the exit code.
int RunQueriesSearch(const std::string& file, const std::string& queriesFile, OutputFormat format) {
  return SearchFile(file, format, true,
                    [&](const Database& database, std::vector<Query>* queries,
                        std::vector<std::string>* warnings) {
                      FieldTable table;
                      if (!CopyFieldTable(database.schema, &table)) return false;
                      const bool taken = ReadQueryFile(queriesFile, &table, queries, warnings);
                      FreeFieldTable(&table);
                      return taken;
                    });
}

}  // namespace

int RunSearchCommand(const CliArgs& args) {
  SearchArguments given;
  std::vector<std::string> operands;  // FILE, then the criteria
  int exitCode = 2;
  const CommandSyntax syntax = {kSearchUsage, "vostrel-cli",    kSearchOptions, 2,
                                true,         TakeSearchOption, &given};
  if (!ParseCommandLine(args, syntax, &operands, &exitCode)) return exitCode;
  if (operands.empty()) {
    fputs(kSearchUsage, stderr);
    return 2;
  }
  const std::string& file = operands[0];
  const std::vector<std::string> criteria(operands.begin() + 1, operands.end());
  const OutputFormat format = given.format;
  if (given.haveQueries) {
    if (!criteria.empty()) {
      fputs("vostrel-cli: --queries takes its criteria from the file: no FIELD=TEXT may follow\n",
            stderr);
      return 2;
    }
    return RunQueriesSearch(file, given.queries, format);
  }

  return RunOneSearch(file, criteria, format);
}
