// Cells are taken as they would be typed into the criterion boxes: no escapes (a backslash is
// a backslash, as on the command line), only tabs between them. The line ends may be LF or
// CR LF, and a UTF-8 byte order mark before the header is dropped, as editors write both.
#include "cli/query_file.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/command_options.h"
#include "cli/search_criteria.h"
#include "cli/table_format.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/file_system.h"
#include "search/query_criteria.h"

namespace {

std::vector<std::string> SplitAtTabs(const std::string& line) {
  std::vector<std::string> cells(1);
  for (const char c : line) {
    if (c == '\t')
      cells.emplace_back();
    else
      cells.back().push_back(c);
  }
  return cells;
}

struct QueryFileRead {
  std::string shown;         // the file as messages show it
  long lineNumber = 0;       // in the file, the header being line 1
  std::vector<int> columns;  // each column's search position
};

// "vostrel-cli: FILE: line 4 (query 3): ", before the reason of a message.
std::string Where(const QueryFileRead& read) {
  std::string where = "vostrel-cli: " + read.shown + ": line " + std::to_string(read.lineNumber);
  if (read.lineNumber > 1) where += " (query " + std::to_string(read.lineNumber - 1) + ")";
  return where + ": ";
}

bool Refuse(const QueryFileRead& read, const std::string& why) {
  fprintf(stderr, "%s%s\n", Where(read).c_str(), why.c_str());
  return false;
}

bool TakeHeader(QueryFileRead* read, const FieldTable& table, const std::string& line) {
  const std::vector<std::string> names = SplitAtTabs(line);
  std::vector<bool> given(kMaxSearchFields, false);
  for (size_t k = 0; k < names.size(); ++k) {
    if (names[k].empty())
      return Refuse(*read, "column " + std::to_string(k + 1) + " names no field");
    const int found = FindSearchField(table, names[k]);
    if (found < 0)
      return Refuse(*read, "no searchable field '" + TerminalSafeUtf8(names[k]) +
                               "'; searchable fields: " + SearchableFieldList(table));
    if (given[found])
      return Refuse(
          *read, "field '" + FieldNameUtf8(*table.searchMap[found]) + "' is given more than once");
    given[found] = true;
    read->columns.push_back(found);
  }
  return true;
}

void ClearCriteria(FieldTable* table) {
  for (int i = 0; i < table->searchCount; ++i) SetFieldCriterion(table->searchMap[i], L"");
}

bool TakeQuery(const QueryFileRead& read, FieldTable* table, const std::string& line,
               std::vector<Query>* queries, std::vector<std::string>* warnings) {
  const std::vector<std::string> cells = SplitAtTabs(line);
  const size_t want = read.columns.size();
  if (cells.size() != want)
    return Refuse(read, std::to_string(cells.size()) + (cells.size() == 1 ? " cell" : " cells") +
                            " for the header's " + std::to_string(want) +
                            (want == 1 ? " field" : " fields"));
  ClearCriteria(table);
  for (size_t k = 0; k < want; ++k) {
    FieldDescriptor* field = table->searchMap[read.columns[k]];
    std::string problem;
    if (!PrepareCriterion(field, cells[k], &problem)) return Refuse(read, problem);
    const std::string warning = NeverMatchesWarning(*field, cells[k]);
    if (!warning.empty()) warnings->push_back(Where(read) + warning);
  }
  queries->push_back(CaptureQuery(table));
  return true;
}

bool ReadQueryLines(FILE* in, QueryFileRead* read, FieldTable* table, std::vector<Query>* queries,
                    std::vector<std::string>* warnings) {
  std::string line;
  LineRead got;
  while ((got = ReadTableLine(in, &line)) != LineEnd) {
    ++read->lineNumber;
    if (got == LineHasNul) return Refuse(*read, "the line holds a NUL byte (is this a text file?)");
    if (got == LineTooLong) return Refuse(*read, "the line is longer than any query can be");
    if (read->lineNumber == 1) {
      if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      if (!TakeHeader(read, *table, line)) return false;
    } else if (!TakeQuery(*read, table, line, queries, warnings)) {
      return false;
    }
  }
  if (ferror(in) != 0) {
    fprintf(stderr, "vostrel-cli: %s: cannot read the queries\n", read->shown.c_str());
    return false;
  }
  if (read->lineNumber == 0) {
    fprintf(stderr, "vostrel-cli: %s: the queries have no header line of field names\n",
            read->shown.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool ReadQueryFile(const std::string& argument, FieldTable* table, std::vector<Query>* queries,
                   std::vector<std::string>* warnings) {
  QueryFileRead read;
  read.shown = TerminalSafeUtf8(argument);
  FILE* in = stdin;
  if (argument != "-") {
    std::wstring path;
    if (!PathWithinLimit(argument, &path)) return false;
    in = OpenInputFile(path, read.shown, "queries");
    if (in == nullptr) return false;
  } else {
#ifdef _WIN32
    // Text mode would end the queries at a Ctrl-Z byte.
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  }
  const bool ok = ReadQueryLines(in, &read, table, queries, warnings);
  if (in != stdin) fclose(in);
  ClearCriteria(table);
  return ok;
}
