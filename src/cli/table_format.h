// The tables the command line writes (search) and reads (make): TSV, CSV and JSON lines, all
// UTF-8, from and to the Windows-1251 values of the database files.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

enum OutputFormat { FormatTsv = 0, FormatCsv = 1, FormatJson = 2 };

// "tsv", "csv" or "json"; false for anything else.
bool ParseOutputFormat(const std::string& name, OutputFormat* format);

// Appends Windows-1251 text (up to its terminator) as UTF-8.
void AppendSingleByteAsUtf8(std::string* out, const char* text);

// One cell of each format, from UTF-8 text:
// TSV escapes backslash, tab, line feed and carriage return as \\ \t \n \r;
// CSV quotes a cell holding a comma, a quote, CR or LF, doubling its quotes (RFC 4180);
// JSON writes a quoted string with its escapes.
void AppendTsvCell(std::string* out, const std::string& utf8);
void AppendCsvCell(std::string* out, const std::string& utf8);
void AppendJsonString(std::string* out, const std::string& utf8);

// Writes rows into a large buffer and hands it to the stream in big pieces.
struct TableWriter {
  OutputFormat format = FormatTsv;
  FILE* stream = nullptr;
  // UTF-8 column names, in display order; for JSON made unique (see BeginTable).
  std::vector<std::string> columns;
  std::string buffer;
  std::string scratch;
  std::vector<std::string> jsonKeys;  // each column's key as JSON writes it, with its colon
  bool failed = false;                // a write to the stream failed
  // The stream is a terminal: control characters in values are shown as '?', like everything
  // else a database file controls, so a hostile file cannot play with the terminal. (TSV's
  // \t \n \r and JSON's escapes still apply.) To a file or a pipe the data stays exact.
  bool terminal = false;
};

// For JSON a column whose name an earlier one has gets the key NAME_2 (NAME_3, ...: the first
// that no column and no earlier key has). CSV and TSV headers keep the names as they are. In
// CSV a row (or header) of one empty cell is written "" so that it is no empty line; in TSV it
// is an empty line, which make reads back as one empty value.
void BeginTable(TableWriter* writer, FILE* stream, OutputFormat format,
                const std::vector<std::string>& columns);
// The header line (TSV and CSV; JSON lines carry the names in every object).
void WriteTableHeader(TableWriter* writer);
// One row of Windows-1251 values, one per column.
void WriteTableRow(TableWriter* writer, const char* const* values, size_t count);
// Writes out what is buffered once it is large; with force, whatever there is.
// Returns false once a write has failed.
bool FlushTable(TableWriter* writer, bool force);

// Far beyond any record or query: a guard against binary input.
constexpr size_t kMaxTableLineBytes = 1 << 20;
// What reading one line of a text table gave.
enum LineRead { LineOk, LineEnd, LineTooLong, LineHasNul };
// Reads one line without its line end (a CR before the LF goes too). Stops at once, without
// reading on, at a NUL byte (no text table holds one, and C strings would cut the cell there)
// or when the line passes the guard: so an endless binary input such as /dev/zero ends the run
// instead of spinning.
LineRead ReadTableLine(FILE* in, std::string* line);

// Splits one TSV line (without its line end) at tabs and undoes the escapes. Returns false with
// a message for a backslash that starts no known escape.
bool SplitTsvLine(const std::string& line, std::vector<std::string>* cells, std::string* problem);
