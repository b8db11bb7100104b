// The line rules of "vostrel.ini" and the in-memory list they fill.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/file_system.h"
#include "settings/installed_databases.h"
#include "test_support.h"

namespace {

struct Parsed {
  bool ok;
  std::string path;
  std::string name;
};

Parsed Parse(const std::string& line) {
  InstalledDatabase entry;
  memset(&entry, 'G', sizeof entry);  // garbage that must not leak into the result
  if (!ParseInstalledDatabaseLine(line.c_str(), &entry)) return {false, "", ""};
  EXPECT_LT(strnlen(entry.path, sizeof entry.path), sizeof entry.path);
  EXPECT_LT(strnlen(entry.name, sizeof entry.name), sizeof entry.name);
  return {true, entry.path, entry.name};
}

TEST(InstalledListLineTest, ShortLinesAndLinesWithoutSemicolonAreSkipped) {
  EXPECT_FALSE(Parse("ab;c\r\n").ok);  // 6 characters with the line end
  Parsed seven = Parse("ab;cd\r\n");
  ASSERT_TRUE(seven.ok);
  EXPECT_EQ(seven.path, "ab");
  EXPECT_EQ(seven.name, "cd");
  EXPECT_FALSE(Parse("C:\\no semicolon.db\r\n").ok);
  EXPECT_FALSE(Parse("").ok);
  EXPECT_FALSE(Parse("\r\n").ok);
}

TEST(InstalledListLineTest, PathEndsAtTheFirstSemicolonNameAtTheFirstCr) {
  Parsed p = Parse("\\Storage Card\\city.zdb;City; old\r\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.path, "\\Storage Card\\city.zdb");
  EXPECT_EQ(p.name, "City; old");

  Parsed cr = Parse("C:\\a.db;Alpha\rtrailing\r\n");
  ASSERT_TRUE(cr.ok);
  EXPECT_EQ(cr.name, "Alpha");

  // Without a line end the name runs to the end of what was read.
  Parsed last = Parse("C:\\a.db;Alpha");
  ASSERT_TRUE(last.ok);
  EXPECT_EQ(last.name, "Alpha");

  // An empty name is an entry too.
  Parsed empty = Parse("C:\\a.db;\r\n");
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.name, "");
}

TEST(InstalledListLineTest, LineFeedOnlyLineKeepsTheLineFeedInTheName) {
  Parsed p = Parse("C:\\a.db;Alpha\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.name, "Alpha\n");
}

TEST(InstalledListLineTest, NamesAreCutTo63AndOverlongPathsRefused) {
  std::string name(100, 'n');
  name[62] = 'E';
  Parsed cut = Parse("C:\\a.db;" + name + "\r\n");
  ASSERT_TRUE(cut.ok);
  EXPECT_EQ(cut.name.size(), 63u);
  EXPECT_EQ(cut.name.back(), 'E');

  std::string path259 = "C:\\" + std::string(256, 'p');
  Parsed fits = Parse(path259 + ";Long\r\n");
  ASSERT_TRUE(fits.ok);
  EXPECT_EQ(fits.path, path259);
  EXPECT_FALSE(Parse(path259 + "p;Too long\r\n").ok);
}

TEST(InstalledListLineTest, EntriesTooShortToBeWrittenBackAreSkipped) {
  // Seven characters read, but the entry "a", "b" would be saved as "a;b\r\n" and vanish at
  // the next load.
  EXPECT_FALSE(Parse("a;b\rjunk\r\n").ok);
  EXPECT_TRUE(Parse("ab;cd\rjunk\r\n").ok);
}

TEST(InstalledListLineTest, SavedLineIsPathSemicolonNameCrLf) {
  InstalledDatabase entry = {};
  strcpy(entry.path, "C:\\\xCC\xEE\xF1\xEA\xE2\xE0.db");  // "Москва" in Windows-1251
  strcpy(entry.name, "\xCC\xEE\xF1\xEA\xE2\xE0 2004");
  EXPECT_EQ(FormatInstalledDatabaseLine(entry),
            "C:\\\xCC\xEE\xF1\xEA\xE2\xE0.db;\xCC\xEE\xF1\xEA\xE2\xE0 2004\r\n");
  Parsed back = Parse(FormatInstalledDatabaseLine(entry));
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back.path, entry.path);
  EXPECT_EQ(back.name, entry.name);
}

class InstalledListReadTest : public testing::Test {
 protected:
  // Reads the bytes as the list file; returns the indexes visited.
  std::vector<int> Read(const std::string& bytes, int* added) {
    std::wstring path = temp_.File(L"vostrel.ini");
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    FILE* file = OpenFileWide(path.c_str(), L"rb");
    EXPECT_NE(file, nullptr);
    std::vector<int> visited;
    if (!file) return visited;
    *added = ReadInstalledDatabases(
        &list_, file,
        [](void* context, int index) { static_cast<std::vector<int>*>(context)->push_back(index); },
        &visited);
    fclose(file);
    return visited;
  }

  TempDir temp_;
  InstalledDatabaseListType list_ = {};
};

TEST_F(InstalledListReadTest, SixtyLinesLoadTheFirstFifty) {
  std::string bytes;
  for (int i = 0; i < 60; ++i)
    bytes += "C:\\db" + std::to_string(i) + ".db;Base " + std::to_string(i) + "\r\n";
  int added = -1;
  std::vector<int> visited = Read(bytes, &added);
  EXPECT_EQ(added, 50);
  EXPECT_EQ(list_.count, 50);
  ASSERT_EQ(visited.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(visited[i], i);
  EXPECT_STREQ(list_.entries[49].path, "C:\\db49.db");
  EXPECT_STREQ(list_.entries[49].name, "Base 49");
}

TEST_F(InstalledListReadTest, SkippedLinesUseNoEntryAndEveryLoadStartsAfresh) {
  int added = -1;
  Read("C:\\a.db;Alpha\r\nC:\\b.db;Beta\r\nC:\\c.db;Gamma\r\n", &added);
  ASSERT_EQ(added, 3);
  Read("garbage without separator\r\nab;c\r\n\r\nC:\\d.db;Delta\r\n", &added);
  EXPECT_EQ(added, 1);
  EXPECT_EQ(list_.count, 1);
  EXPECT_STREQ(list_.entries[0].path, "C:\\d.db");
  EXPECT_STREQ(list_.entries[0].name, "Delta");

  Read("", &added);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(list_.count, 0);
}

TEST_F(InstalledListReadTest, EachPieceOfAnOverlongLineIsReadAsALine) {
  // 511 bytes a piece: the first piece is an entry with its name cut to 63; the rest of the
  // line is a line of its own, here one with a ";" that makes a second entry.
  std::string first = "C:\\long.db;" + std::string(500, 'n');
  ASSERT_EQ(first.size(), 511u);
  int added = -1;
  Read(first + "rest;of the line\r\nC:\\next.db;Next\r\n", &added);
  ASSERT_EQ(added, 3);
  EXPECT_STREQ(list_.entries[0].path, "C:\\long.db");
  EXPECT_EQ(strlen(list_.entries[0].name), 63u);
  EXPECT_STREQ(list_.entries[1].path, "rest");
  EXPECT_STREQ(list_.entries[1].name, "of the line");
  EXPECT_STREQ(list_.entries[2].path, "C:\\next.db");
}

TEST_F(InstalledListReadTest, AppendFillsTheNextEntryUpToFifty) {
  AppendInstalledDatabase(&list_, "Alpha", "C:\\a.db");
  std::string longName(80, 'x');
  AppendInstalledDatabase(&list_, longName.c_str(), "C:\\b.db");
  ASSERT_EQ(list_.count, 2);
  EXPECT_STREQ(list_.entries[0].name, "Alpha");
  EXPECT_STREQ(list_.entries[0].path, "C:\\a.db");
  EXPECT_EQ(strlen(list_.entries[1].name), 63u);

  for (int i = 2; i < 60; ++i) AppendInstalledDatabase(&list_, "More", "C:\\more.db");
  EXPECT_EQ(list_.count, kMaxInstalledDatabases);
}

}  // namespace
