// Text that a database file controls must reach the user's terminal without its control
// characters. The field table of "info" already shows each of them as '?', so that a crafted
// field name cannot clear the screen, retitle the terminal window or move the cursor; the
// messages that name a field must hold to the same rule, since they go to the same terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "test_support.h"

namespace {

// Erase the screen, then set the terminal's window title: 11 bytes, within the 15 of a name.
const char kEscapingName[] = "\x1b[2J\x1b]0;X\x07";

// C0 controls other than the line ends, DEL, and the C1 controls (U+0080 to
// U+009F, C2 80 to C2 9F in UTF-8).
bool HoldsControlCharacters(const std::string& utf8) {
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    // Lines end in LF, or CR LF where stderr is a Windows text stream.
    if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

// The text with its control characters spelled out, for a failure message that does not itself
// play with the terminal.
std::string Visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\n') || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool WriteStoredSchema(const std::wstring& path, const std::vector<FieldDescriptor>& fields,
                       const std::vector<DatabaseRecord>& records) {
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  options.version = 12;
  options.descriptors = fields;
  return WriteFixture(path, options, records);
}

}  // namespace

TEST(HostileCliMessages, FieldTableOfInfoShowsNoControlCharacters) {
  TempDir dir;
  const std::wstring path = dir.File(L"escape.fdb");
  ASSERT_TRUE(WriteStoredSchema(path, {MakeField(kEscapingName, 1, 0, 0, 1, 1, 1, 10)}, {{"A"}}));
  const CliResult r = RunCli({"info", WideToUtf8(path)});
  ASSERT_EQ(r.exitCode, 0) << Visible(r.err);
  EXPECT_FALSE(HoldsControlCharacters(r.out)) << Visible(r.out);
}

TEST(HostileCliMessages, RefusedSchemaMessageShowsNoControlCharactersOfAFieldName) {
  TempDir dir;
  const std::wstring path = dir.File(L"escape.fdb");
  // There is no eleventh criterion box: the schema is refused, and the message names the field.
  ASSERT_TRUE(WriteStoredSchema(path, {MakeField(kEscapingName, 1, 0, 0, 11, 1, 1, 10)}, {{"A"}}));
  for (const char* command : {"info", "search"}) {
    const CliResult r = RunCli({command, WideToUtf8(path)});
    EXPECT_EQ(r.exitCode, 2) << command;
    EXPECT_NE(r.err.find("search index 11"), std::string::npos)
        << command << ": " << Visible(r.err);
    EXPECT_FALSE(HoldsControlCharacters(r.err)) << command << ": " << Visible(r.err);
  }
}

TEST(HostileCliMessages, ListOfSearchableFieldsShowsNoControlCharacters) {
  TempDir dir;
  const std::wstring path = dir.File(L"escape.fdb");
  ASSERT_TRUE(WriteStoredSchema(path, {MakeField(kEscapingName, 1, 0, 0, 1, 1, 1, 10)}, {{"A"}}));
  const CliResult r = RunCli({"search", WideToUtf8(path), "Bogus=1"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no searchable field 'Bogus'"), std::string::npos) << Visible(r.err);
  EXPECT_FALSE(HoldsControlCharacters(r.err)) << Visible(r.err);
}

// Names and words given on the command line come back in messages. A name holding escape
// sequences or a line feed must neither reach the terminal raw nor split the one-line message
// in two.
TEST(HostileCliMessages, ArgumentsInMessagesShowNoControlCharactersAndKeepToOneLine) {
  TempDir dir;
  const std::string base = WideToUtf8(dir.path) + "/";
  const std::string name = base + "\x1b]0;owned\x07\nforged line\x1b[2J.db";
  const std::string table = base + "t.tsv";
  ASSERT_TRUE(WriteFileBytes(dir.File(L"t.tsv"), "Phone\tName\tStreet\tHouse\tFlat\n"));
  const std::string db = base + "ok.db";
  ASSERT_TRUE(WriteFixture(dir.File(L"ok.db"), FixtureOptions(VariantPlain), SampleRecords()));
  const std::vector<std::vector<std::string>> oneLine = {
      {"info", name},
      {"search", name},
      {"make", name, base + "out.db"},
      {"make", table, base + "missing\x1b[2J\ndir/out.db"},
      {"make", "--schema", name, table, base + "out.fdb"},
      {"search", "--format", "\x1b[2J\nx", db},
      {"search", db, "\x1b]0;t\x07\nName=1"},
      {"search", db, "\x1b[2J\n"},
  };
  for (const std::vector<std::string>& args : oneLine) {
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << Visible(args[0] + " " + args[1]);
    EXPECT_FALSE(HoldsControlCharacters(r.err)) << Visible(r.err);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << Visible(r.err);
  }
  // Usage errors add the usage text after their first line.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"\x1b[2Jbogus"},
                                             {"info", "-\x1b[2J"},
                                             {"search", "-\x07x", db},
                                             {"make", "-\x1b", "a", "b"}}) {
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_FALSE(HoldsControlCharacters(r.err)) << Visible(r.err);
  }
}
