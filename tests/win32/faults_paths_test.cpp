// Paths at and past what the program can use: Find DB on a deeply nested device folder, an
// application directory too long for its own files, and the installed list written to a device
// that is full. Files deeper than the usual path limit are made and removed through "\\?\"
// paths, which do not have it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "settings/installed_databases.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui_harness.h"

// In faults_import_patch.cpp.
void* ReplaceImportedFunction(const char* dllName, const char* functionName, void* replacement);

namespace {

std::wstring Unlimited(const std::wstring& path) { return L"\\\\?\\" + path; }

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Unlimited(directory + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(Unlimited(full).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Unlimited(full).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(Unlimited(directory).c_str());
}

// Removes a scratch directory with everything in it, however deep, once the objects declared
// after it (which hold it open and try to remove it with ordinary paths) are gone.
class TreeRemover {
 public:
  TreeRemover() = default;
  ~TreeRemover() {
    if (!directory_.empty()) RemoveTree(directory_);
  }
  TreeRemover(const TreeRemover&) = delete;
  TreeRemover& operator=(const TreeRemover&) = delete;
  // A path with or without its trailing backslash.
  void Set(std::wstring directory) {
    if (!directory.empty() && directory.back() == L'\\') directory.pop_back();
    directory_ = directory;
  }

 private:
  std::wstring directory_;
};

bool MakeDirectoryBeyondMaxPath(const std::wstring& path) {
  return CreateDirectoryW(Unlimited(path).c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteAnyFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(Unlimited(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                             &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// The bytes of a file at any depth; "<missing>" when it cannot be read.
std::string ReadAnyFile(const std::wstring& path) {
  HANDLE file = CreateFileW(Unlimited(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

// A directory below root whose path (without trailing backslash) has exactly `length`
// characters, made of a few long names. Empty when root is already longer.
std::wstring DirectoryOfLength(const std::wstring& root, size_t length) {
  if (length < root.size() + 2) return std::wstring();
  std::wstring path = root;
  while (path.size() < length) {
    size_t name = length - path.size() - 1;
    if (name > 100) name = name - 100 >= 2 ? 100 : name - 2;  // never leave a one-char rest
    path += L"\\" + std::wstring(name, L'p');
    if (!MakeDirectoryBeyondMaxPath(path)) return std::wstring();
  }
  return path;
}

std::string SingleByte(const std::wstring& wide) {
  std::string out;
  EXPECT_TRUE(WideToSingleByteStrict(wide, &out));
  return out;
}

std::set<std::wstring> FoundPaths() {
  std::set<std::wstring> paths;
  for (int i = 0; i < FoundDatabaseList.count; ++i) {
    paths.insert(SingleByteToWide(FoundDatabaseList.entries[i].path));
  }
  return paths;
}

// The names of the files and folders directly in a directory (given with its backslash).
std::set<std::wstring> FilesIn(const std::wstring& directory) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// The list file that the stand-in below treats as read-only.
std::wstring g_readOnlyList;

// Windows refuses to open a read-only file for writing; Wine run by root does not (root may
// write any file), so this stand-in for the C runtime's open answers as Windows does.
FILE* __cdecl OpenRespectingReadOnly(const wchar_t* path, const wchar_t* mode) {
  if (path != nullptr && _wcsicmp(path, g_readOnlyList.c_str()) == 0 &&
      (wcschr(mode, L'w') != nullptr || wcschr(mode, L'a') != nullptr ||
       wcschr(mode, L'+') != nullptr)) {
    errno = EACCES;
    return nullptr;
  }
  // Through the C runtime itself: this program's import now leads here.
  using Real = FILE*(__cdecl*)(const wchar_t*, const wchar_t*);
  static const Real real = reinterpret_cast<Real>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_wfopen")));
  return real(path, mode);
}

// A write to a device that has no room left: nothing is written.
size_t __cdecl WriteToFullDevice(const void*, size_t, size_t, FILE*) {
  errno = ENOSPC;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Find DB on a deeply nested device

TEST(FaultsPaths, FindDatabasesWalksDeepTreesAndSkipsWhatLiesBeyondUsablePaths) {
  TreeRemover remover;
  MessageBoxRecorder boxes;
  ScratchAppDirectory device;
  remover.Set(device.Path());
  const std::wstring root = device.Path().substr(0, device.Path().size() - 1);
  ASSERT_LT(root.size(), 120u) << "the short chain below must stay within reach";
  SetFinderRootForTests(root.c_str());
  InstalledDatabaseList.count = 0;
  TestWindow setup;
  HWND list = setup.AddChild(L"Listbox", IdFoundList, WS_CHILD | 0x00B00001);
  ASSERT_NE(list, nullptr);

  const std::wstring source = root + L"\\source.db";
  ASSERT_TRUE(WriteFixture(source, FixtureOptions(VariantPlain, L"Deep"), SampleRecords()));
  std::set<std::wstring> expected = {source};
  auto copyTo = [&](const std::wstring& path) {
    ASSERT_TRUE(CopyFileW(Unlimited(source).c_str(), Unlimited(path).c_str(), FALSE));
    if (path.size() <= static_cast<size_t>(kMaxUsablePathChars)) expected.insert(path);
  };

  // Sixty levels of one-letter names: every level is within reach.
  std::wstring shallow = root;
  for (int level = 1; level <= 60; ++level) {
    shallow += L"\\d";
    ASSERT_TRUE(MakeDirectoryBeyondMaxPath(shallow));
    if (level == 1 || level % 20 == 0) copyTo(shallow + L"\\a" + std::to_wstring(level) + L".db");
  }
  // Sixty levels of longer names with a database on each: the paths pass 259 characters part
  // of the way down, and the directories below that are not worth entering.
  std::wstring deep = root + L"\\b";
  ASSERT_TRUE(MakeDirectoryBeyondMaxPath(deep));
  int reachable = 0;
  for (int level = 1; level <= 60; ++level) {
    deep += L"\\level" + std::wstring(level < 10 ? L"0" : L"") + std::to_wstring(level);
    ASSERT_TRUE(MakeDirectoryBeyondMaxPath(deep));
    const std::wstring file = deep + L"\\x.db";
    if (file.size() <= static_cast<size_t>(kMaxUsablePathChars)) ++reachable;
    copyTo(file);
  }
  ASSERT_GT(reachable, 0);
  ASSERT_LT(reachable, 60) << "the long chain must pass the limit";
  ASSERT_GT(deep.size(), 500u);

  EXPECT_EQ(FindDatabases(setup.Handle(), 0), 0);

  EXPECT_EQ(FoundPaths(), expected);
  EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(expected.size()));
  EXPECT_EQ(boxes.Count(), 0u);
  SetFinderRootForTests(nullptr);
}

// ---------------------------------------------------------------------------------------------
// An application directory too long for its files

// "vostrel.lng" and "vostrel.ini" have the same length, so the language file decides: a
// directory that leaves room for both starts, one character more ends the start-up with the
// language file's message, and no file of a cut name is opened instead.
TEST(FaultsPaths, ApplicationDirectoryTooLongForItsFilesEndsTheStartUp) {
  for (const size_t directoryLength : {248u, 249u}) {  // trailing backslash included
    SCOPED_TRACE(testing::Message() << "directory of " << directoryLength << " characters");
    TreeRemover remover;
    MessageBoxRecorder boxes;
    AppUnderTest app;
    remover.Set(app.Directory().Path());
    const std::wstring root = app.Directory().Path().substr(0, app.Directory().Path().size() - 1);
    const std::wstring directory = DirectoryOfLength(root, directoryLength - 1) + L"\\";
    ASSERT_EQ(directory.size(), directoryLength);
    app.WriteDatabase(L"city.db", SampleRecords());
    const std::string listLine = app.SingleBytePath(L"city.db") + ";City\r\n";
    const std::string decoyLine = app.SingleBytePath(L"city.db") + ";Decoy\r\n";
    ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.lng", LanguageFileWithDefaults()));
    ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.ln", LanguageFileWithDefaults()));
    ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.ini", listLine));
    ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.in", decoyLine));

    SetApplicationDirectoryForTests(directory.c_str());
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const int started = InitApplication(instance);
    if (directoryLength == 248) {
      ASSERT_EQ(started, 0);
      ASSERT_NE(CreateMainWindow(instance, SW_SHOW), nullptr);
      EXPECT_STREQ(InstalledListPath, (directory + L"vostrel.ini").c_str());
      EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)),
                std::vector<std::wstring>{L"City"});
      // A check rewrites the list at its full 259-character path.
      SendCommand(PageWindows[SetupPage], IdCheckButton);
      ASSERT_EQ(boxes.Count(), 1u);
      EXPECT_EQ(boxes.At(0).text, L"All installed db files - ok!");
      EXPECT_EQ(ReadAnyFile(directory + L"vostrel.ini"), listLine);
    } else {
      EXPECT_EQ(started, 1);
      EXPECT_EQ(MainWindow, nullptr);
      ASSERT_EQ(boxes.Count(), 1u);
      EXPECT_EQ(boxes.At(0).text, L"Could not open Language file - " + directory + L"vostrel.lng");
      EXPECT_EQ(boxes.At(0).caption, L"Error");
      EXPECT_EQ(boxes.At(0).owner, nullptr);
      EXPECT_EQ(ReadAnyFile(directory + L"vostrel.ini"), listLine);
    }
    EXPECT_EQ(ReadAnyFile(directory + L"vostrel.in"), decoyLine);
    // Nothing may hold the files when the tree goes.
    ResetApplicationForTests();
  }
}

// The Search page keeps its own guard: given a directory whose "vostrel.ini" does not fit, it
// loads no list and a check saves none, rather than reading or truncating a file of a cut name.
TEST(FaultsPaths, SearchPageUsesNoListWhosePathDoesNotFit) {
  TreeRemover remover;
  MessageBoxRecorder boxes;
  AppUnderTest app;
  remover.Set(app.Directory().Path());
  const std::wstring root = app.Directory().Path().substr(0, app.Directory().Path().size() - 1);
  const std::wstring directory = DirectoryOfLength(root, 248) + L"\\";
  ASSERT_EQ(directory.size(), 249u);
  app.WriteDatabase(L"city.db", SampleRecords());
  const std::string listLine = app.SingleBytePath(L"city.db") + ";City\r\n";
  ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.ini", listLine));
  ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.in", listLine));

  // The language file comes from the scratch directory; the pages then see the long one.
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  ASSERT_EQ(InitApplication(instance), 0);
  lstrcpynW(ApplicationDirectory, directory.c_str(), kMaxPathChars);
  ASSERT_NE(CreateMainWindow(instance, SW_SHOW), nullptr);

  EXPECT_STREQ(InstalledListPath, L"");
  EXPECT_TRUE(ComboBoxItems(SearchControl(IdDatabaseSelector)).empty());
  EXPECT_EQ(TheFieldTable.fieldCount, 0);
  EXPECT_EQ(boxes.Count(), 0u);

  SendCommand(PageWindows[SetupPage], IdCheckButton);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text.rfind(L"Could not open ini file for save - ", 0), 0u);
  EXPECT_EQ(boxes.At(0).caption, L"Error");
  EXPECT_EQ(ReadAnyFile(directory + L"vostrel.ini"), listLine);
  EXPECT_EQ(ReadAnyFile(directory + L"vostrel.in"), listLine);
  ResetApplicationForTests();
}

// Windows refuses a path of 260 characters or more (without "\\?\"); Wine does not. These
// stand-ins for the file calls refuse such paths as Windows does, so a write that would only
// work under Wine shows here.
namespace {

using CreateFileWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                            DWORD, HANDLE);
using WideOpenFunction = FILE*(__cdecl*)(const wchar_t*, const wchar_t*);
using MoveFileExWFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
CreateFileWFunction RealCreateFileW;
WideOpenFunction RealWideOpen;
MoveFileExWFunction RealMoveFileExW;

bool PastPathLimit(const wchar_t* path) {
  return path != nullptr && wcsncmp(path, L"\\\\?\\", 4) != 0 && wcslen(path) >= MAX_PATH;
}

HANDLE WINAPI CreateFileWithinPathLimit(LPCWSTR path, DWORD access, DWORD share,
                                        LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                        DWORD flags, HANDLE templateFile) {
  if (PastPathLimit(path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  return RealCreateFileW(path, access, share, security, disposition, flags, templateFile);
}

FILE* __cdecl OpenWithinPathLimit(const wchar_t* path, const wchar_t* mode) {
  if (PastPathLimit(path)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  return RealWideOpen(path, mode);
}

BOOL WINAPI MoveWithinPathLimit(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (PastPathLimit(from) || PastPathLimit(to)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return RealMoveFileExW(from, to, flags);
}

}  // namespace

// The list's path has 259 characters, the most a path may have: its new content is written
// under a temporary name no longer than "vostrel.ini", so the save works where writing the list
// itself would, and nothing is left beside it.
TEST(FaultsPaths, ListAtThePathLimitIsSavedBesideItselfWithinTheLimit) {
  TreeRemover remover;
  MessageBoxRecorder boxes;
  AppUnderTest app;
  remover.Set(app.Directory().Path());
  const std::wstring root = app.Directory().Path().substr(0, app.Directory().Path().size() - 1);
  const std::wstring directory = DirectoryOfLength(root, 247) + L"\\";
  ASSERT_EQ((directory + L"vostrel.ini").size(), 259u);
  app.WriteDatabase(L"city.db", SampleRecords());
  const std::string listLine = app.SingleBytePath(L"city.db") + ";City\r\n";
  ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.lng", LanguageFileWithDefaults()));
  ASSERT_TRUE(WriteAnyFile(directory + L"vostrel.ini", listLine));
  SetApplicationDirectoryForTests(directory.c_str());
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  ASSERT_EQ(InitApplication(instance), 0);
  ASSERT_NE(CreateMainWindow(instance, SW_SHOW), nullptr);

  RealCreateFileW = reinterpret_cast<CreateFileWFunction>(ReplaceImportedFunction(
      "kernel32.dll", "CreateFileW", reinterpret_cast<void*>(CreateFileWithinPathLimit)));
  RealWideOpen = reinterpret_cast<WideOpenFunction>(ReplaceImportedFunction(
      "msvcrt.dll", "_wfopen", reinterpret_cast<void*>(OpenWithinPathLimit)));
  RealMoveFileExW = reinterpret_cast<MoveFileExWFunction>(ReplaceImportedFunction(
      "kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(MoveWithinPathLimit)));
  const bool limited = RealCreateFileW && RealWideOpen && RealMoveFileExW;
  if (limited) SendCommand(PageWindows[SetupPage], IdCheckButton);
  if (RealCreateFileW)
    ReplaceImportedFunction("kernel32.dll", "CreateFileW",
                            reinterpret_cast<void*>(RealCreateFileW));
  if (RealWideOpen)
    ReplaceImportedFunction("msvcrt.dll", "_wfopen", reinterpret_cast<void*>(RealWideOpen));
  if (RealMoveFileExW)
    ReplaceImportedFunction("kernel32.dll", "MoveFileExW",
                            reinterpret_cast<void*>(RealMoveFileExW));
  ASSERT_TRUE(limited) << "the file calls are not imported where expected";

  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"All installed db files - ok!");
  EXPECT_EQ(ReadAnyFile(directory + L"vostrel.ini"), listLine);
  EXPECT_EQ(ListDirectory(directory.substr(0, directory.size() - 1)),
            (std::vector<std::wstring>{L"vostrel.ini", L"vostrel.lng"}));
  ResetApplicationForTests();
}

// ---------------------------------------------------------------------------------------------
// A full device

// Wine shows the host's root as drive Z:, and Linux has a device that is always full: every
// write to it fails for want of space, as on a full storage card.
TEST(FaultsPaths, InstalledListOnAFullDeviceIsReportedNotPassedAsSaved) {
  const wchar_t kFullDevice[] = L"Z:\\dev\\full";
  {
    FILE* probe = _wfopen(kFullDevice, L"wb");
    if (!probe) GTEST_SKIP() << "no full device to write to here";
    const bool fails = fputs("probe", probe) < 0 || fflush(probe) != 0;
    fclose(probe);
    if (!fails) GTEST_SKIP() << "the device here takes writes";
  }
  MessageBoxRecorder boxes;
  ScratchAppDirectory app;  // restores the list path afterwards
  TestWindow owner;
  ASSERT_TRUE(
      WriteFixture(app.FilePath(L"city.db"), FixtureOptions(VariantPlain), SampleRecords()));
  InstalledDatabaseList.count = 0;
  for (int i = 0; i < 3; ++i) {
    AppendInstalledDatabase(&InstalledDatabaseList, ("City " + std::to_string(i)).c_str(),
                            SingleByte(app.FilePath(L"city.db")).c_str());
  }
  lstrcpynW(InstalledListPath, kFullDevice, kMaxPathChars);
  const std::wstring cannotSave =
      L"Could not open ini file for save - " + std::wstring(kFullDevice);

  EXPECT_EQ(SaveInstalledDatabases(owner.Handle()), -1);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, cannotSave);
  EXPECT_EQ(boxes.At(0).caption, L"Error");
  EXPECT_EQ(boxes.At(0).owner, owner.Handle());

  // A check of good files that cannot store its result does not report them all well.
  boxes.Clear();
  EXPECT_EQ(CheckInstalledDatabases(owner.Handle()), -1);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, cannotSave);
  InstalledDatabaseList.count = 0;
}

// A list that cannot be rewritten (a write that fails part-way on a full storage card, or a list
// file that is read-only) must not be emptied or cut: the failure is reported, the previous list
// survives byte for byte on disk and in the Search page's selector (which Check and Install
// reload from the file), and nothing is left beside it. The read-only list is refused as
// Windows refuses it (see OpenRespectingReadOnly). Check rewrites the list; Install appends
// the database it installs.
TEST(FaultsPaths, ListThatCannotBeWrittenKeepsItsPreviousContent) {
  enum Failure { WriteFails, ReadOnlyList };
  enum Action { Check, Install };
  struct Case {
    const char* what;
    Failure failure;
    Action action;
  };
  const Case cases[] = {
      {"Check, every write fails", WriteFails, Check},
      {"Install, every write fails", WriteFails, Install},
      {"Check, the list is read-only", ReadOnlyList, Check},
      {"Install, the list is read-only", ReadOnlyList, Install},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(L"one.db", SampleRecords());
    app.WriteDatabase(L"two.db", SampleRecords());
    app.WriteDatabase(L"new.db", SampleRecords());  // what Find DB offers to Install
    app.InstallDatabases({{L"one.db", "One"}, {L"two.db", "Two"}});
    std::string before;
    ASSERT_TRUE(app.Directory().ReadFile(L"vostrel.ini", &before));
    const std::wstring root = app.Directory().Path();
    SetFinderRootForTests(root.substr(0, root.size() - 1).c_str());
    ASSERT_EQ(app.Start(), 0);
    if (c.action == Install) {
      SendCommand(PageWindows[SetupPage], IdFindButton);
      ASSERT_EQ(SendMessageW(SetupControl(IdFoundList), LB_GETCOUNT, 0, 0), 1);
      SendMessageW(SetupControl(IdFoundList), LB_SETCURSEL, 0, 0);
    }
    const std::set<std::wstring> filesBefore = FilesIn(root);

    void* realWrite = nullptr;
    void* realOpen = nullptr;
    if (c.failure == WriteFails) {
      realWrite = ReplaceImportedFunction("msvcrt.dll", "fwrite",
                                          reinterpret_cast<void*>(WriteToFullDevice));
      ASSERT_NE(realWrite, nullptr) << "fwrite is not imported where expected";
    } else {
      ASSERT_TRUE(
          SetFileAttributesW(app.FilePath(L"vostrel.ini").c_str(), FILE_ATTRIBUTE_READONLY));
      g_readOnlyList = app.FilePath(L"vostrel.ini");
      realOpen = ReplaceImportedFunction("msvcrt.dll", "_wfopen",
                                         reinterpret_cast<void*>(OpenRespectingReadOnly));
      ASSERT_NE(realOpen, nullptr) << "_wfopen is not imported where expected";
    }
    SendCommand(PageWindows[SetupPage], c.action == Check ? IdCheckButton : IdInstallButton);
    if (realWrite) ReplaceImportedFunction("msvcrt.dll", "fwrite", realWrite);
    if (realOpen) ReplaceImportedFunction("msvcrt.dll", "_wfopen", realOpen);
    g_readOnlyList.clear();
    SetFileAttributesW(app.FilePath(L"vostrel.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFinderRootForTests(nullptr);

    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.At(0).text,
              L"Could not open ini file for save - " + app.FilePath(L"vostrel.ini"));
    EXPECT_EQ(boxes.At(0).caption, L"Error");
    EXPECT_EQ(boxes.At(0).owner, PageWindows[SetupPage]);
    std::string after;
    ASSERT_TRUE(app.Directory().ReadFile(L"vostrel.ini", &after));
    EXPECT_EQ(after, before);
    EXPECT_EQ(FilesIn(root), filesBefore) << "nothing is left beside the list";
    EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)),
              (std::vector<std::wstring>{L"One", L"Two"}));
    EXPECT_EQ(TheFieldTable.searchCount, 5);
  }
}
