// vostrel-cli make run as a separate program (under Wine its Windows build): the names it
// writes, and the records it writes being found by search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/codepage.h"
#include "test_support.h"

namespace {

const char kTable[] = "Phone\tName\tStreet\tHouse\tFlat\n1234567\tPETROV\tSADOVAYA\t12\t5\n";

}  // namespace

// Windows drops the dots and spaces that end a name: "out.db." would replace "out.db", and
// "sub./x.db" would go into "sub". Each such name is refused and nothing is written; elsewhere
// a folder keeps the name it is given.
TEST(CliMake, NamesThatWindowsWouldChangeAreRefusedAndNothingIsWritten) {
  struct Case {
    const wchar_t* output;
    bool folder;  // the dotted part is a folder: refused on Windows only
    const char* words;
  };
  const Case cases[] = {
      {L"out.db.", false, "the name ends in a dot or a space"},
      {L"out.db ", false, "the name ends in a dot or a space"},
      {L"out.zdb..", false, "(it would write 'out.zdb' instead)"},
      {L"out.db. .", false, "(it would write 'out.db' instead)"},
      {L"sub./x.db", true, "the folder name 'sub.' ends in a dot or a space"},
      {L"sub /x.db", true, "the folder name 'sub ' ends in a dot or a space"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.File(L"t.tsv"), kTable));
    ASSERT_TRUE(WriteFileBytes(dir.File(L"out.db"), "someone's file"));
    ASSERT_TRUE(WriteFileBytes(dir.File(L"out.zdb"), "someone's file"));
#ifdef _WIN32
    // Where the file would land if the name were taken as Windows takes it.
    ASSERT_TRUE(MakeDirectory(dir.File(L"sub")));
    const bool refused = true;
#else
    if (c.folder) {
      ASSERT_TRUE(MakeDirectory(dir.File(std::wstring(c.output, 4))));
    }
    const bool refused = !c.folder;
#endif
    const std::vector<std::wstring> before = ListDirectory(dir.path);
    const CliResult r =
        RunCli({"make", WideToUtf8(dir.File(L"t.tsv")), WideToUtf8(dir.File(c.output))});
    const std::string shown = WideToUtf8(c.output);
    if (!refused) {
      EXPECT_EQ(r.exitCode, 0) << shown << ": " << r.err;
      EXPECT_TRUE(ReadFileBytes(dir.File(c.output)).size() > 29) << shown;
      continue;
    }
    EXPECT_EQ(r.exitCode, 2) << shown;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << shown << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ListDirectory(dir.path), before) << shown;
    EXPECT_EQ(ReadFileBytes(dir.File(L"out.db")), "someone's file") << shown;
    EXPECT_EQ(ReadFileBytes(dir.File(L"out.zdb")), "someone's file") << shown;
#ifdef _WIN32
    EXPECT_TRUE(ListDirectory(dir.File(L"sub")).empty()) << shown;
#endif
  }
}

// A number is bounded by its bytes, not by the field's maxLength: the built-in Phone holds
// 16777215 (8 digits, maxLength 7), and a prefix, a substring and a pattern all find it.
TEST(CliMake, ANumberLongerThanAPhoneCriterionIsWrittenAndFound) {
  TempDir dir;
  const std::string table = WideToUtf8(dir.File(L"t.tsv"));
  const std::string db = WideToUtf8(dir.File(L"wide.zdb"));
  ASSERT_TRUE(
      WriteFileBytes(dir.File(L"t.tsv"), std::string(kTable) + "16777215\tBIG\tSADOVAYA\t1\t2\n"));
  const CliResult made = RunCli({"make", table, db});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  for (const char* criterion : {"phone=1677", "phone=7772", "phone=1*15", "phone=?67*"}) {
    const CliResult r = RunCli({"search", db, criterion});
    EXPECT_EQ(r.exitCode, 0) << criterion << ": " << r.err;
    EXPECT_EQ(r.out, "Phone\tName\tStreet\tHouse\tFlat\n16777215\tBIG\tSADOVAYA\t1\t2\n")
        << criterion;
  }
}
