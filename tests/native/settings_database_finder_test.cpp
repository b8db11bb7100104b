// The walk of Find DB over a real directory tree: which files it tells, that it never follows a
// link to a directory, and how the limit and a cancel end it. Runs natively (the POSIX listing)
// and under Wine (the Windows one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "db/codepage.h"
#include "db/file_system.h"
#include "settings/database_finder.h"
#include "test_support.h"

namespace {

struct Recorder : DatabaseWalkVisitor {
  bool Cancelled() override {
    return cancelAfter >= 0 && static_cast<int>(paths.size()) >= cancelAfter;
  }
  void Found(const FoundDatabase& database) override {
    EXPECT_LT(strnlen(database.entry.path, kDatabasePathCapacity), size_t{kDatabasePathCapacity});
    paths.push_back(SingleByteToWide(database.entry.path));
    texts.push_back(database.text);
  }
  void LimitReached() override { ++limitsReached; }

  int cancelAfter = -1;
  std::vector<std::wstring> paths;
  std::vector<std::wstring> texts;
  int limitsReached = 0;
};

std::vector<std::wstring> Sorted(std::vector<std::wstring> paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool WriteDatabase(const std::wstring& path, DatabaseVariant variant, const std::wstring& title) {
  return WriteFixture(path, FixtureOptions(variant, title), SampleRecords());
}

bool MakeDirectories(const TempDir& dir, std::initializer_list<std::wstring> names) {
  for (const std::wstring& name : names) {
    if (!MakeDirectory(dir.File(name))) return false;
  }
  return true;
}

TEST(DatabaseWalk, TellsEveryValidDatabaseNotYetInstalledAtAnyDepthAndNothingElse) {
  TempDir dir;
  ASSERT_TRUE(MakeDirectories(dir, {L"deep", L"deep/er", L"other"}));
  const std::wstring longDirectory = L"other/" + std::wstring(240, L'd');
  ASSERT_TRUE(MakeDirectories(dir, {longDirectory}));
  struct Case {
    std::wstring name;
    DatabaseVariant variant;  // VariantPlain with garbage for a file that is no database
    bool database;
    bool listed;
  };
  const std::vector<Case> cases = {
      {L"a.zdb", VariantZdb, true, true},
      {L"deep/er/B.ZDB", VariantZdb, true, true},
      {L"deep/c.Fdb", VariantFdb, true, true},
      {L"deep/plain.db", VariantPlain, true, true},
      {L"Москва.zdb", VariantZdb, true, true},                // Cyrillic fits Windows-1251
      {L"日本.zdb", VariantZdb, true, false},                 // no Windows-1251 path for it
      {L"installed.zdb", VariantZdb, true, false},            // already installed
      {L".db", VariantPlain, true, false},                    // a name of three characters
      {L"notes.txt", VariantZdb, true, false},                // a database under another name
      {L"broken.zdb", VariantZdb, false, false},              // the right name, not a database
      {longDirectory + L"/x.db", VariantPlain, true, false},  // a path beyond 259 characters
  };
  for (const Case& c : cases) {
    if (c.database) {
      ASSERT_TRUE(WriteDatabase(dir.File(c.name), c.variant, L"Город"));
    } else {
      ASSERT_TRUE(WriteFileBytes(dir.File(c.name), "not a database at all"));
    }
  }
  std::vector<std::wstring> expected;
  for (const Case& c : cases) {
    if (c.listed) expected.push_back(dir.File(c.name));
  }

  Recorder recorder;
  const DatabaseWalkOutcome outcome =
      WalkForDatabases(dir.path, {dir.File(L"installed.zdb")}, kMaxFoundDatabases, recorder);
  EXPECT_TRUE(outcome.rootListed);
  EXPECT_EQ(outcome.found, static_cast<int>(expected.size()));
  EXPECT_EQ(Sorted(recorder.paths), Sorted(expected));
  EXPECT_EQ(recorder.limitsReached, 0);
  const auto a = std::find(recorder.paths.begin(), recorder.paths.end(), dir.File(L"a.zdb"));
  ASSERT_NE(a, recorder.paths.end());
  EXPECT_EQ(recorder.texts[a - recorder.paths.begin()], L"Город [3] " + dir.File(L"a.zdb"));

  Recorder nowhere;
  EXPECT_FALSE(WalkForDatabases(dir.File(L"missing"), {}, kMaxFoundDatabases, nowhere).rootListed);
  EXPECT_TRUE(nowhere.paths.empty());
}

#ifndef _WIN32
TEST(DatabaseWalk, LinksToDirectoriesAreNotFollowedLinksToFilesAre) {
  TempDir outside;
  TempDir dir;
  ASSERT_TRUE(WriteDatabase(outside.File(L"linked.zdb"), VariantZdb, L"L"));
  ASSERT_TRUE(WriteDatabase(dir.File(L"own.zdb"), VariantZdb, L"O"));
  ASSERT_EQ(symlink(PathToNative(outside.path.c_str()).c_str(),
                    PathToNative(dir.File(L"folder").c_str()).c_str()),
            0);
  ASSERT_EQ(symlink(".", PathToNative(dir.File(L"loop").c_str()).c_str()), 0);
  ASSERT_EQ(symlink(PathToNative(outside.File(L"linked.zdb").c_str()).c_str(),
                    PathToNative(dir.File(L"file.zdb").c_str()).c_str()),
            0);
  ASSERT_EQ(symlink("nowhere", PathToNative(dir.File(L"dangling.zdb").c_str()).c_str()), 0);

  Recorder recorder;
  WalkForDatabases(dir.path, {}, kMaxFoundDatabases, recorder);
  EXPECT_EQ(Sorted(recorder.paths), Sorted({dir.File(L"file.zdb"), dir.File(L"own.zdb")}));
}
#endif

// The host's /proc, /sys and /dev are views of the kernel: a walk through them does not end,
// and some of their reads never return. They are never entered; folders of the same names
// anywhere else are walked as any other.
TEST(DatabaseWalk, TheHostsProcSysAndDevAreNotEnteredFoldersOfTheirNamesAre) {
  TempDir dir;
  ASSERT_TRUE(MakeDirectories(dir, {L"proc", L"Sys", L"dev"}));
  ASSERT_TRUE(WriteDatabase(dir.File(L"proc/a.zdb"), VariantZdb, L"A"));
  ASSERT_TRUE(WriteDatabase(dir.File(L"Sys/b.zdb"), VariantZdb, L"B"));
  ASSERT_TRUE(WriteDatabase(dir.File(L"dev/c.zdb"), VariantZdb, L"C"));
  for (const wchar_t* name : {L"proc", L"Sys", L"dev"})
    EXPECT_FALSE(IsHostSystemFolder(dir.File(name))) << PathToNative(dir.File(name).c_str());
  Recorder recorder;
  WalkForDatabases(dir.path, {}, kMaxFoundDatabases, recorder);
  EXPECT_EQ(recorder.paths.size(), 3u);

#ifdef _WIN32
  // Under Wine drive Z: is the host's root; Windows has no such folders.
  if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name") == nullptr)
    GTEST_SKIP() << "not under Wine";
  const std::vector<std::wstring> system = {L"Z:\\proc", L"z:\\SYS", L"Z:\\dev\\", L"Z:/proc"};
#else
  const std::vector<std::wstring> system = {L"/proc", L"/sys", L"/dev/", L"//proc"};
#endif
  for (const std::wstring& path : system)
    EXPECT_TRUE(IsHostSystemFolder(path)) << PathToNative(path.c_str());

  // From the host's root the walk asks for every folder there but those three (each listed
  // here as empty, so the walk stays at the root).
  struct RootOnly : Recorder {
    std::wstring root;
    std::vector<std::wstring> asked;
    bool ListDirectory(const std::wstring& directory,
                       const std::function<bool(const DirectoryEntry& entry)>& visit) override {
      if (directory == root) return ForEachDirectoryEntry(directory, visit);
      asked.push_back(directory);
      return true;
    }
  };
  RootOnly walk;
#ifdef _WIN32
  walk.root = L"Z:";
#endif
  WalkForDatabases(walk.root, {}, kMaxFoundDatabases, walk);
  EXPECT_FALSE(walk.asked.empty());
  for (const std::wstring& asked : walk.asked) {
    EXPECT_FALSE(IsHostSystemFolder(asked)) << PathToNative(asked.c_str());
    EXPECT_NE(asked, system[0]);
  }
}

TEST(DatabaseWalk, TheLimitEndsEachDirectoryThatMeetsAnotherAndACancelEndsTheWalk) {
  TempDir dir;
  ASSERT_TRUE(MakeDirectories(dir, {L"one", L"two"}));
  for (const wchar_t* name :
       {L"one/1.zdb", L"one/2.zdb", L"one/3.zdb", L"two/1.zdb", L"two/2.zdb", L"two/3.zdb"}) {
    ASSERT_TRUE(WriteDatabase(dir.File(name), VariantZdb, L"T"));
  }
  Recorder limited;
  EXPECT_EQ(WalkForDatabases(dir.path, {}, 2, limited).found, 2);
  EXPECT_EQ(limited.paths.size(), 2u);
  EXPECT_EQ(limited.limitsReached, 2);  // once in each directory

  Recorder cancelled;
  cancelled.cancelAfter = 1;
  EXPECT_EQ(WalkForDatabases(dir.path, {}, kMaxFoundDatabases, cancelled).found, 1);
  EXPECT_EQ(cancelled.limitsReached, 0);
}

TEST(DatabaseWalk, TheDeviceRootIsTheDrivePartOfTheProgramsPath) {
  EXPECT_EQ(DeviceRootOf(L"C:\\Program Files\\Vostrel\\"), L"C:");
  EXPECT_EQ(DeviceRootOf(L"\\\\server\\share\\apps\\vostrel\\"), L"\\\\server\\share");
  EXPECT_EQ(DeviceRootOf(L"\\\\server\\share"), L"\\\\server\\share");
  EXPECT_EQ(DeviceRootOf(L"\\Storage Card\\Vostrel\\"), L"");
  EXPECT_EQ(DeviceRootOf(L""), L"");
}

}  // namespace
