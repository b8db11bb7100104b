// The command line's table formats: what search writes must read back exactly (TSV through
// make's splitter, CSV through an RFC 4180 reader), and JSON strings must stay valid.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cli/table_format.h"
#include "db/codepage.h"

// The command line's sources are built into its executable only, not into a library the tests
// link, so the one under test is compiled in here.
#include "cli/table_format.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

// A Windows-1251 value with any byte but NUL and the unassigned 0x98, biased towards the bytes
// the formats treat specially.
std::string RandomValue(std::mt19937& random) {
  static const std::string special = "\\\t\n\r,\"; *?\x01\x1F\x7F";
  std::string v;
  const int length = static_cast<int>(random() % 12);
  for (int i = 0; i < length; ++i) {
    if (random() % 2) {
      v += special[random() % special.size()];
    } else {
      unsigned char b = static_cast<unsigned char>(1 + random() % 255);
      if (b == 0x98) b = 0x99;
      v += static_cast<char>(b);
    }
  }
  return v;
}

std::string ToSingleByte(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(WideToSingleByteStrict(Utf8ToWide(utf8), &out)) << utf8;
  return out;
}

// Reads RFC 4180 records (CR LF line ends, quoted cells) back into cells.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  size_t i = 0;
  while (i < text.size()) {
    std::string& cell = rows.back().back();
    if (text[i] == '"' && cell.empty()) {
      for (++i; i < text.size(); ++i) {
        if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          ++i;
        } else if (text[i] == '"') {
          ++i;
          break;
        } else {
          cell += text[i];
        }
      }
    } else if (text[i] == ',') {
      rows.back().emplace_back();
      ++i;
    } else if (text.compare(i, 2, "\r\n") == 0) {
      i += 2;
      if (i < text.size()) rows.emplace_back(1);
    } else {
      cell += text[i++];
    }
  }
  return rows;
}

TEST(TableFormat, EveryByteBecomesItsUtf8Form) {
  for (int b = 1; b < 256; ++b) {
    const char text[2] = {static_cast<char>(b), 0};
    std::string out;
    AppendSingleByteAsUtf8(&out, text);
    EXPECT_EQ(out, WideToUtf8(SingleByteToWide(text))) << "byte " << b;
  }
}

TEST(TableFormat, TsvRowsReadBackThroughTheSplitter) {
  std::mt19937 random(4242);
  TableWriter writer;
  BeginTable(&writer, nullptr, FormatTsv, {"A", "B", "C"});
  for (int round = 0; round < 2000; ++round) {
    const std::vector<std::string> values = {RandomValue(random), RandomValue(random),
                                             RandomValue(random)};
    const char* cells[3] = {values[0].c_str(), values[1].c_str(), values[2].c_str()};
    writer.buffer.clear();
    WriteTableRow(&writer, cells, 3);
    ASSERT_EQ(writer.buffer.back(), '\n');
    const std::string line = writer.buffer.substr(0, writer.buffer.size() - 1);
    ASSERT_EQ(line.find_first_of("\n\r"), std::string::npos) << "a raw line end inside a row";
    std::vector<std::string> split;
    std::string error;
    ASSERT_TRUE(SplitTsvLine(line, &split, &error)) << error;
    ASSERT_EQ(split.size(), 3u) << line;
    for (int k = 0; k < 3; ++k) ASSERT_EQ(ToSingleByte(split[k]), values[k]) << line;
  }
}

TEST(TableFormat, CsvRowsReadBackAsRfc4180) {
  std::mt19937 random(99);
  TableWriter writer;
  BeginTable(&writer, nullptr, FormatCsv, {"Na,me", "Qu\"ote"});
  WriteTableHeader(&writer);
  EXPECT_EQ(writer.buffer, "\"Na,me\",\"Qu\"\"ote\"\r\n");
  for (int round = 0; round < 2000; ++round) {
    const std::vector<std::string> values = {RandomValue(random), RandomValue(random)};
    const char* cells[2] = {values[0].c_str(), values[1].c_str()};
    writer.buffer.clear();
    WriteTableRow(&writer, cells, 2);
    const auto rows = ReadCsv(writer.buffer);
    ASSERT_EQ(rows.size(), 1u) << writer.buffer;
    ASSERT_EQ(rows[0].size(), 2u) << writer.buffer;
    for (int k = 0; k < 2; ++k) ASSERT_EQ(ToSingleByte(rows[0][k]), values[k]) << writer.buffer;
  }
}

TEST(TableFormat, JsonEscapesQuotesBackslashesAndControls) {
  TableWriter writer;
  BeginTable(&writer, nullptr, FormatJson, {"Na\"me", "X"});
  WriteTableHeader(&writer);
  EXPECT_TRUE(writer.buffer.empty());  // JSON lines name the fields in every object
  const char* cells[2] = {"a\"b\\c\n\t\x01\x1F\x7F", "\xCF\xE5\xF2\xF0"};
  WriteTableRow(&writer, cells, 2);
  EXPECT_EQ(writer.buffer,
            "{\"Na\\\"me\":\"a\\\"b\\\\c\\n\\t\\u0001\\u001f\x7F\",\"X\":\"\xD0\x9F\xD0\xB5\xD1\x82"
            "\xD1\x80\"}\n");
}

// Two fields of one name would give JSON objects with a repeated key, of which every parser
// keeps one: the later ones get a suffix that no column has.
TEST(TableFormat, JsonKeysAreUniqueAndTheOtherHeadersKeepTheNames) {
  TableWriter writer;
  const std::vector<std::string> names = {"Name", "Name", "Name_2", "Name", "X"};
  BeginTable(&writer, nullptr, FormatJson, names);
  EXPECT_EQ(writer.columns, (std::vector<std::string>{"Name", "Name_3", "Name_2", "Name_4", "X"}));
  const char* cells[5] = {"a", "b", "c", "d", "e"};
  WriteTableRow(&writer, cells, 5);
  EXPECT_EQ(writer.buffer,
            "{\"Name\":\"a\",\"Name_3\":\"b\",\"Name_2\":\"c\",\"Name_4\":\"d\",\"X\":\"e\"}\n");
  for (OutputFormat format : {FormatTsv, FormatCsv}) {
    BeginTable(&writer, nullptr, format, names);
    WriteTableHeader(&writer);
    EXPECT_EQ(writer.buffer, format == FormatTsv ? "Name\tName\tName_2\tName\tX\n"
                                                 : "Name,Name,Name_2,Name,X\r\n");
  }
}

// With one column, an empty value must not become an empty line in CSV, which readers skip.
TEST(TableFormat, ALoneEmptyCsvCellIsQuoted) {
  TableWriter writer;
  const char* empty[1] = {""};
  const char* word[1] = {"w"};
  BeginTable(&writer, nullptr, FormatCsv, {""});
  WriteTableHeader(&writer);
  WriteTableRow(&writer, empty, 1);
  WriteTableRow(&writer, word, 1);
  EXPECT_EQ(writer.buffer, "\"\"\r\n\"\"\r\nw\r\n");
  const char* two[2] = {"", ""};
  BeginTable(&writer, nullptr, FormatCsv, {"A", "B"});
  WriteTableRow(&writer, two, 2);
  EXPECT_EQ(writer.buffer, ",\r\n");  // a comma keeps the record
}

TEST(TableFormat, SplitterRefusesUnknownAndUnfinishedEscapes) {
  std::vector<std::string> cells;
  std::string error;
  EXPECT_TRUE(SplitTsvLine("a\\\\b\\tc\td\\n\\r\t", &cells, &error));
  EXPECT_EQ(cells, (std::vector<std::string>{"a\\b\tc", "d\n\r", ""}));
  EXPECT_TRUE(SplitTsvLine("", &cells, &error));
  EXPECT_EQ(cells, (std::vector<std::string>{""}));
  EXPECT_FALSE(SplitTsvLine("a\\x", &cells, &error));
  EXPECT_NE(error.find("\\x"), std::string::npos);
  EXPECT_FALSE(SplitTsvLine("abc\\", &cells, &error));
}

}  // namespace

// Rows are written straight into the buffer; every byte a value can hold, in every format, on
// a terminal and off it, comes out as the cell functions write it from the value's UTF-8 text
// (controls shown as '?' on a terminal, but for the escapes the format keeps).
TEST(TableFormat, RowsAreWhatTheCellFunctionsWriteForEveryByte) {
  for (int format = FormatTsv; format <= FormatJson; ++format) {
    for (bool terminal : {false, true}) {
      for (int b = 1; b < 256; ++b) {
        const std::string lone(1, static_cast<char>(b));
        const std::string value = "a" + lone + "\xC9" + lone + lone;
        const char* values[] = {value.c_str(), "", "x,y"};
        TableWriter writer;
        BeginTable(&writer, stdout, static_cast<OutputFormat>(format), {"K", "K", "\xD0\x98"});
        writer.terminal = terminal;
        WriteTableRow(&writer, values, 3);
        std::string expected = format == FormatJson ? "{" : "";
        for (int i = 0; i < 3; ++i) {
          std::string utf8;
          AppendSingleByteAsUtf8(&utf8, values[i]);
          for (char& c : utf8) {
            const unsigned char u = static_cast<unsigned char>(c);
            const bool kept = format != FormatCsv && (c == '\t' || c == '\n' || c == '\r');
            if (terminal && (u < 0x20 || u == 0x7F) && !kept) c = '?';
          }
          if (i > 0) expected += format == FormatTsv ? "\t" : ",";
          if (format == FormatTsv) AppendTsvCell(&expected, utf8);
          if (format == FormatCsv) AppendCsvCell(&expected, utf8);
          if (format == FormatJson) {
            AppendJsonString(&expected, writer.columns[i]);
            expected += ":";
            AppendJsonString(&expected, utf8);
          }
        }
        expected += format == FormatJson ? "}\n" : format == FormatCsv ? "\r\n" : "\n";
        ASSERT_EQ(writer.buffer, expected) << "format " << format << " byte " << b;
      }
    }
  }
}
