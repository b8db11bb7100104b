// vostrel-cli info run as a separate program: paths with Cyrillic letters reach the engine
// intact (on Windows through the wide command line), and refusals keep stdout empty.
#include <gtest/gtest.h>

#include <string>

#include "db/codepage.h"
#include "test_support.h"

TEST(DbInfoCli, ReportsAFileWithACyrillicNameAndTitle) {
  TempDir dir;
  const std::wstring path = dir.File(L"Новгород.Zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb, L"Великий Новгород"), SampleRecords()));
  const CliResult r = RunCli({"info", "--json", WideToUtf8(path)});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("{\"variant\":\"zdb\",\"version\":11,\"fieldCount\":5,\"recordCount\":3,"
                        "\"title\":\"Великий Новгород\",\"headerSize\":29,\"numberWidth\":7,",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "]}\n");
}

TEST(DbInfoCli, RefusalsGoToStderrWithExitCode2) {
  TempDir dir;
  const std::wstring shortFile = dir.File(L"Короткий.db");
  ASSERT_TRUE(WriteFileBytes(shortFile, std::string(20, '\0')));
  struct Case {
    std::wstring path;
    const char* words;
  };
  // A file whose content is no database says so before the technical reason.
  const std::wstring textFile = dir.File(L"Текст.zdb");
  ASSERT_TRUE(WriteFileBytes(textFile, "A text file that someone saved under a database name.\n"));
  for (const Case& c :
       {Case{dir.File(L"Нет.fdb"), "no such file"},
        Case{shortFile, "not a Vostrel database: file too short for a database header"},
        Case{textFile, "not a Vostrel database: unsupported version 120"}}) {
    for (const char* command : {"info", "search"}) {
      const CliResult r = RunCli({command, WideToUtf8(c.path)});
      EXPECT_EQ(r.exitCode, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find(WideToUtf8(c.path) + ": " + c.words), std::string::npos) << r.err;
    }
  }
  const CliResult usage = RunCli({"info"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_EQ(usage.out, "");
}
