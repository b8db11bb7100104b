// Find DB and Install on real windows, files and registry under Wine. Each test builds a device
// folder of its own (the finder's root) with nested directories of valid, broken, installed and
// oddly named database files, all written by the project's own database writer.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "db/database_header.h"
#include "db/database_writer.h"
#include "db/file_system.h"
#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "win32_test_support.h"

namespace {

constexpr DWORD kSetupListStyle = WS_CHILD | 0x00B00001;  // as the Setup page creates list 1302
const wchar_t kLimitWarning[] = L"Warning! Limit of searching is reached.";

std::string SingleByte(const std::wstring& wide) {
  std::string out;
  EXPECT_TRUE(WideToSingleByteStrict(wide, &out));
  return out;
}

std::wstring Wide(const char* singleByte) { return SingleByteToWide(singleByte); }

std::vector<DatabaseRecord> Subscribers(int count) {
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < count; ++i) {
    records.push_back({std::to_string(2000000 + i), "IVANOV " + std::to_string(i), "LENINA UL.",
                       std::to_string(i % 90 + 1), std::to_string(i % 7 + 1)});
  }
  return records;
}

std::wstring ListText(const std::wstring& title, int records, const std::wstring& path) {
  return title + L" [" + std::to_wstring(records) + L"] " + path;
}

std::vector<std::wstring> ListBoxTexts(HWND list) {
  std::vector<std::wstring> texts;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring text(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(wcslen(text.c_str()));
    texts.push_back(text);
  }
  return texts;
}

std::set<std::wstring> FoundPaths() {
  std::set<std::wstring> paths;
  for (int i = 0; i < FoundDatabaseList.count; ++i) {
    paths.insert(Wide(FoundDatabaseList.entries[i].path));
  }
  return paths;
}

int FoundIndexOf(const std::wstring& path) {
  for (int i = 0; i < FoundDatabaseList.count; ++i) {
    if (Wide(FoundDatabaseList.entries[i].path) == path) return i;
  }
  return -1;
}

int LineCount(const std::string& bytes) {
  return static_cast<int>(std::count(bytes.begin(), bytes.end(), '\n'));
}

// Removes a tree without following links and without the 260-character limit.
void RemoveTree(const std::wstring& directory) {
  const std::wstring base = L"\\\\?\\" + directory;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((base + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = directory + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(full);
      } else {
        SetFileAttributesW((L"\\\\?\\" + full).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((L"\\\\?\\" + full).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(base.c_str());
}

// The device that Find DB walks: the scratch application directory stands in for the drive
// the program lives on, as on the handheld.
class Device {
 public:
  explicit Device(const ScratchAppDirectory& app)
      : root_(app.Path().substr(0, app.Path().size() - 1)) {
    SetFinderRootForTests(root_.c_str());
  }
  ~Device() {
    for (const std::wstring& tree : trees_) RemoveTree(tree);
    SetFinderRootForTests(nullptr);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::wstring& Root() const { return root_; }
  std::wstring PathOf(const std::wstring& relative) const { return root_ + L"\\" + relative; }

  // Creates every directory of relative below the root; returns its full path.
  std::wstring Directory(const std::wstring& relative) {
    size_t start = 0;
    while (start <= relative.size()) {
      size_t end = relative.find(L'\\', start);
      if (end == std::wstring::npos) end = relative.size();
      const std::wstring path = PathOf(relative.substr(0, end));
      if (start == 0) trees_.push_back(path);
      CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
      start = end + 1;
    }
    return PathOf(relative);
  }

  // A valid database of the variant its name asks for, holding `records` subscribers.
  std::wstring Database(const std::wstring& relative, const std::string& title, int records) {
    MakeParent(relative);
    const std::wstring path = PathOf(relative);
    DatabaseWriterOptions options;
    options.variant = DatabaseVariantOf(path.c_str());
    options.title = title;
    std::string error;
    EXPECT_TRUE(WriteDatabaseFile(path.c_str(), options, Subscribers(records), &error)) << error;
    return path;
  }

  std::wstring RawFile(const std::wstring& relative, const std::string& bytes) {
    MakeParent(relative);
    const std::wstring path = PathOf(relative);
    EXPECT_TRUE(WriteRawFile(path.c_str(), bytes, false));
    return path;
  }

  std::wstring Copy(const std::wstring& from, const std::wstring& relative) {
    MakeParent(relative);
    const std::wstring path = PathOf(relative);
    EXPECT_TRUE(CopyFileW((L"\\\\?\\" + from).c_str(), (L"\\\\?\\" + path).c_str(), FALSE));
    return path;
  }

 private:
  void MakeParent(const std::wstring& relative) {
    const size_t slash = relative.rfind(L'\\');
    if (slash != std::wstring::npos) Directory(relative.substr(0, slash));
  }

  std::wstring root_;
  std::vector<std::wstring> trees_;
};

// Symbolic links of the host, made through Wine: it shows them as directories flagged as
// reparse points (it makes none itself, as a program under Windows would). The links go again
// when the object does, before the device folder is removed.
class HostLinks {
 public:
  HostLinks() = default;
  ~HostLinks() {
    for (const std::string& link : links_) RunHost(L"Z:\\bin\\rm", "rm -f \"" + link + "\"");
  }
  HostLinks(const HostLinks&) = delete;
  HostLinks& operator=(const HostLinks&) = delete;

  // Makes link (a new name) lead to target; false where there is no host to make it on.
  bool Make(const std::wstring& target, const std::wstring& link) {
    const std::string to = UnixPath(target), at = UnixPath(link);
    if (to.empty() || at.empty() || !RunHost(L"Z:\\bin\\ln", "ln -s \"" + to + "\" \"" + at + "\""))
      return false;
    links_.push_back(at);
    // Wine does not wait for a host program as for its own; the link shows when it is made.
    // A busy machine can take seconds; the wait ends as soon as the link shows.
    for (int i = 0; i < 600; ++i) {
      const DWORD attributes = GetFileAttributesW(link.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      Sleep(50);
    }
    return false;
  }

 private:
  static std::string UnixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr) return std::string();
    char* name = unixName(path.c_str());
    if (name == nullptr) return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
  }

  static bool RunHost(const wchar_t* program, const std::string& commandLine) {
    std::wstring line = Utf8ToWide(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
      return false;
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }

  std::vector<std::string> links_;
};

// A Setup page stand-in for the scan: a window with list 1302 as the page creates it.
class FinderScan : public ::testing::Test {
 protected:
  void SetUp() override {
    InstalledDatabaseList.count = 0;
    FoundDatabaseList.count = 0;
    FoundDatabaseList.longest = 0;
    list_ = setup_.AddChild(L"Listbox", IdFoundList, kSetupListStyle);
    ASSERT_NE(list_, nullptr);
  }
  void TearDown() override { InstalledDatabaseList.count = 0; }

  int Extent() const { return static_cast<int>(SendMessageW(list_, LB_GETHORIZONTALEXTENT, 0, 0)); }

  // The list box and the found list agree entry by entry, and the extent follows the longest.
  void ExpectListMatchesFoundEntries(
      const std::map<std::wstring, std::pair<std::wstring, int>>& expected) {
    const std::vector<std::wstring> texts = ListBoxTexts(list_);
    ASSERT_EQ(texts.size(), static_cast<size_t>(FoundDatabaseList.count));
    size_t longest = 0;
    for (int i = 0; i < FoundDatabaseList.count; ++i) {
      const std::wstring path = Wide(FoundDatabaseList.entries[i].path);
      auto it = expected.find(path);
      ASSERT_NE(it, expected.end()) << "unexpected entry " << i;
      EXPECT_EQ(texts[i], ListText(it->second.first, it->second.second, path)) << "entry " << i;
      EXPECT_EQ(Wide(FoundDatabaseList.entries[i].name), it->second.first);
      longest = std::max(longest, texts[i].size());
    }
    EXPECT_EQ(FoundDatabaseList.longest, static_cast<int>(longest));
    EXPECT_EQ(Extent(), FoundDatabaseList.count > 0 ? 7 * static_cast<int>(longest) : 0);
  }

  MessageBoxRecorder boxes_;
  ScratchAppDirectory app_;
  Device device_{app_};
  TestWindow setup_;
  HWND list_ = nullptr;
};

TEST_F(FinderScan, ListsEveryValidDatabaseNotYetInstalledAtAnyDepth) {
  std::map<std::wstring, std::pair<std::wstring, int>> expected;
  auto valid = [&](const std::wstring& relative, const char* title, int records) {
    expected[device_.Database(relative, title, records)] = {Wide(title), records};
  };
  valid(L"alpha.db", "Alpha", 3);
  valid(L"X.DB", "Four letters", 1);  // the shortest usable name, in capitals
  valid(L"sub\\B2.DB", "Beta", 5);
  valid(L"sub\\deeper\\c3.Zdb", "Gamma", 7);
  valid(L"sub\\deeper\\d4.FDB", "Delta", 2);
  valid(L"folder.db\\e5.zdb", "Epsilon", 4);  // a directory named like a database is entered
  valid(L"sub\\Case.db", "Case", 6);

  device_.Database(L".db", "Three characters", 1);
  device_.Database(L"sub\\data.dbx", "Other extension", 1);
  device_.Database(L"sub\\zdb", "No extension", 1);
  device_.Database(L"sub\\deeper\\list.db.txt", "Renamed", 1);
  device_.RawFile(L"sub\\broken.zdb", "not a database at all");
  device_.RawFile(L"empty.db", "");
  device_.RawFile(L"sub\\deeper\\short.fdb", std::string(10, '\x0c'));
  const std::wstring installed = device_.Database(L"sub\\installed.db", "Installed", 2);
  AppendInstalledDatabase(&InstalledDatabaseList, "Installed", SingleByte(installed).c_str());
  // Installed paths are compared exactly: another spelling of a path does not hide its file.
  AppendInstalledDatabase(&InstalledDatabaseList, "Case",
                          SingleByte(device_.PathOf(L"SUB\\CASE.DB")).c_str());

  // Whatever the list held before is gone.
  SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"stale entry"));
  FoundDatabaseList.count = 42;
  FoundDatabaseList.longest = 500;

  EXPECT_EQ(FindDatabases(setup_.Handle(), 0), 0);

  std::set<std::wstring> wanted;
  for (const auto& entry : expected) wanted.insert(entry.first);
  EXPECT_EQ(FoundPaths(), wanted);
  ExpectListMatchesFoundEntries(expected);
  EXPECT_EQ(boxes_.Count(), 0u) << "invalid files are passed over silently";

  // A second Find DB rebuilds the same list instead of adding to it.
  FindDatabases(setup_.Handle(), 0);
  EXPECT_EQ(FoundDatabaseList.count, static_cast<int>(expected.size()));
  ExpectListMatchesFoundEntries(expected);
}

// Find DB does not follow links: a link back up to the device folder (a loop), a link to a
// folder of databases elsewhere in it and one to a folder outside it are passed over, so the
// walk ends, stays on the device and lists each database once, under its own path.
TEST_F(FinderScan, LinksBelowTheRootAreNotFollowed) {
  const std::wstring real = device_.Database(L"real\\a.db", "A", 1);
  device_.Directory(L"sub");
  HostLinks links;
  if (!links.Make(device_.Root(), device_.PathOf(L"sub\\loop")))
    GTEST_SKIP() << "no host symbolic links to be had here";
  ASSERT_TRUE(links.Make(device_.PathOf(L"real"), device_.PathOf(L"sub\\again")));
  TempDir elsewhere;
  ASSERT_TRUE(WriteFixture(elsewhere.File(L"away.db"), FixtureOptions(VariantPlain, L"Away"),
                           SampleRecords()));
  ASSERT_TRUE(links.Make(elsewhere.path, device_.PathOf(L"sub\\out")));
  ASSERT_NE(GetFileAttributesW(device_.PathOf(L"sub\\out\\away.db").c_str()),
            INVALID_FILE_ATTRIBUTES);
  // The links lead where they should: the walk could follow them if it did not skip them.
  ASSERT_NE(GetFileAttributesW(device_.PathOf(L"sub\\again\\a.db").c_str()),
            INVALID_FILE_ATTRIBUTES);
  ASSERT_NE(GetFileAttributesW(device_.PathOf(L"sub\\loop\\real\\a.db").c_str()),
            INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(FindDatabases(setup_.Handle(), 0), 0);
  EXPECT_EQ(FoundPaths(), std::set<std::wstring>{real});
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(FinderScan, DeviceWithoutDatabasesLeavesAnEmptyListWithoutExtent) {
  device_.RawFile(L"readme.txt", "hello");
  device_.Directory(L"empty\\also empty");
  device_.RawFile(L"docs\\broken.db", "\x0b garbage");
  SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"stale entry"));
  SendMessageW(list_, LB_SETHORIZONTALEXTENT, 640, 0);

  FindDatabases(setup_.Handle(), 0);

  EXPECT_EQ(FoundDatabaseList.count, 0);
  EXPECT_EQ(FoundDatabaseList.longest, 0);
  EXPECT_TRUE(ListBoxTexts(list_).empty());
  EXPECT_EQ(Extent(), 0);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(FinderScan, FocusNotificationsRunNothing) {
  device_.Database(L"alpha.db", "Alpha", 3);
  SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"kept"));
  SendMessageW(list_, LB_SETCURSEL, 0, 0);
  FoundDatabaseList.count = 1;
  lstrcpynA(FoundDatabaseList.entries[0].path, SingleByte(device_.PathOf(L"alpha.db")).c_str(),
            520);

  EXPECT_EQ(FindDatabases(setup_.Handle(), BN_SETFOCUS), 0);
  EXPECT_EQ(InstallFoundDatabase(setup_.Handle(), BN_KILLFOCUS), 0);

  EXPECT_EQ(ListBoxTexts(list_), std::vector<std::wstring>{L"kept"});
  EXPECT_EQ(FoundDatabaseList.count, 1);
  EXPECT_EQ(InstalledDatabaseList.count, 0);
  EXPECT_FALSE(app_.FileExists(L"vostrel.ini"));
}

TEST_F(FinderScan, TitlesAndPathsBecomeWindows1251Text) {
  // "Москва" and a directory "Справочники" in Windows-1251.
  const std::string moscow = "\xCC\xEE\xF1\xEA\xE2\xE0";
  const std::wstring directory =
      L"\x0421\x043F\x0440\x0430\x0432\x043E\x0447\x043D\x0438\x043A\x0438";
  const std::wstring cyrillic = device_.Database(directory + L"\\city.zdb", moscow, 3);
  const std::string longTitle(50, 'T');  // the most a header holds
  const std::wstring wide = device_.Database(L"long.fdb", longTitle, 1);
  // Names that Windows-1251 cannot spell would be installed as paths that open nothing.
  device_.Database(L"\x03A9mega.db", "Greek", 1);
  device_.Database(L"\x65E5\x672C\\tokyo.db", "Japan", 1);

  FindDatabases(setup_.Handle(), 0);

  ASSERT_EQ(FoundPaths(), (std::set<std::wstring>{cyrillic, wide}));
  const int city = FoundIndexOf(cyrillic);
  EXPECT_EQ(std::string(FoundDatabaseList.entries[city].name), moscow);
  EXPECT_EQ(std::string(FoundDatabaseList.entries[city].path), SingleByte(cyrillic));
  EXPECT_EQ(ListBoxTexts(list_)[city],
            ListText(L"\x041C\x043E\x0441\x043A\x0432\x0430", 3, cyrillic));
  EXPECT_EQ(std::string(FoundDatabaseList.entries[FoundIndexOf(wide)].name), longTitle);
}

TEST_F(FinderScan, PathsBeyond259CharactersAreNotListed) {
  // A directory of exactly 254 characters still holds a usable "w.db" (259 characters).
  const size_t rootLength = device_.Root().size();
  ASSERT_LT(rootLength, 200u);
  const std::wstring dir254 = device_.Directory(std::wstring(253 - rootLength, L'a'));
  const std::wstring dir255 = device_.Directory(std::wstring(254 - rootLength, L'b'));
  ASSERT_EQ(dir254.size(), 254u);
  const std::wstring source = device_.Database(L"source.db", "Source", 2);
  const std::wstring fits = device_.Copy(source, dir254.substr(rootLength + 1) + L"\\w.db");
  device_.Copy(source, dir254.substr(rootLength + 1) + L"\\ww.db");  // 260 characters
  device_.Copy(source, dir255.substr(rootLength + 1) + L"\\w.db");
  // Deeper still: far past what a path may hold, and past the pattern buffer of a level.
  std::wstring deep = dir255.substr(rootLength + 1);
  for (int i = 0; i < 3; ++i) deep += L"\\" + std::wstring(200, static_cast<wchar_t>(L'c' + i));
  device_.Directory(deep);
  device_.Copy(source, deep + L"\\deep.db");
  ASSERT_EQ(fits.size(), 259u);

  FindDatabases(setup_.Handle(), 0);

  EXPECT_EQ(FoundPaths(), (std::set<std::wstring>{source, fits}));
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(FinderScan, HundredFoundEndsEachDirectoryThatMeetsAnotherWithOneWarning) {
  const std::wstring source = device_.Database(L"source.fdb", "Many", 1);
  std::set<std::wstring> first;
  for (int i = 0; i < 101; ++i) {
    first.insert(device_.Copy(source, L"p\\db" + std::to_wstring(i) + L".fdb"));
    device_.Copy(source, L"q\\db" + std::to_wstring(i) + L".fdb");
  }
  RemoveFileWide(source.c_str());

  auto expectWarnings = [&](size_t count) {
    ASSERT_EQ(boxes_.Count(), count);
    for (const RecordedMessageBox& box : boxes_.All()) {
      EXPECT_EQ(box.text, kLimitWarning);
      EXPECT_EQ(box.caption, UiText(901));
      EXPECT_EQ(box.owner, setup_.Handle());
    }
  };

  // One directory of 101: the 101st ends it with one warning.
  SetFinderRootForTests(device_.PathOf(L"p").c_str());
  FindDatabases(setup_.Handle(), 0);
  EXPECT_EQ(FoundDatabaseList.count, 100);
  EXPECT_EQ(ListBoxTexts(list_).size(), 100u);
  for (const std::wstring& path : FoundPaths()) EXPECT_EQ(first.count(path), 1u);
  expectWarnings(1);

  // Two of them: whichever comes first fills the list and warns. The handheld warned again at
  // the other's first valid file; on a desktop the warning comes once per walk and the walk
  // ends with it. Nothing is added past 100 either way.
  boxes_.Clear();
  SetFinderRootForTests(device_.Root().c_str());
  FindDatabases(setup_.Handle(), 0);
  EXPECT_EQ(FoundDatabaseList.count, 100);
  EXPECT_EQ(ListBoxTexts(list_).size(), 100u);
  expectWarnings(1);
  size_t longest = 0;
  for (const std::wstring& text : ListBoxTexts(list_)) longest = std::max(longest, text.size());
  EXPECT_EQ(FoundDatabaseList.longest, static_cast<int>(longest));
  EXPECT_EQ(Extent(), 7 * static_cast<int>(longest));
}

// ---------------------------------------------------------------------------------------------
// Install, on the application's own windows.

class FinderInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    InstalledDatabaseList.count = 0;
    FoundDatabaseList.count = 0;
    app_.CopyRepositoryLanguageFile();
    SetApplicationDirectoryForTests(app_.Path().c_str());
  }

  void TearDown() override {
    ResetApplicationForTests();
    SetApplicationDirectoryForTests(nullptr);
    InstalledDatabaseList.count = 0;
  }

  void StartApplication() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_EQ(InitApplication(instance), 0);
    ASSERT_NE(CreateMainWindow(instance, SW_HIDE), nullptr);
    setup_ = PageWindows[SetupPage];
    search_ = PageWindows[SearchPage];
    ASSERT_NE(setup_, nullptr);
    ASSERT_NE(search_, nullptr);
    list_ = GetDlgItem(setup_, IdFoundList);
    selector_ = GetDlgItem(search_, IdDatabaseSelector);
    PumpWaitingMessages();
    // Start-up may report the missing "Last db" of a fresh registry; that is not ours.
    boxes_.Clear();
  }

  void Click(HWND page, int id, int code = BN_CLICKED) {
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(GetDlgItem(page, id)));
  }

  void FindAndSelect(const std::wstring& path) {
    Click(setup_, IdFindButton);
    const int index = FoundIndexOf(path);
    ASSERT_GE(index, 0) << "not found by Find DB";
    SendMessageW(list_, LB_SETCURSEL, index, 0);
  }

  std::string IniFile() const {
    std::string bytes;
    app_.ReadFile(L"vostrel.ini", &bytes);
    return bytes;
  }

  std::wstring LastDatabase() const {
    std::wstring value;
    registry_.GetString(L"Last db", &value);
    return value;
  }

  std::string IniLine(const std::wstring& path, const std::string& name) const {
    return SingleByte(path) + ";" + name + "\r\n";
  }

  MessageBoxRecorder boxes_;
  ScratchAppDirectory app_;
  ScratchSettingsRoot registry_;
  Device device_{app_};
  HWND setup_ = nullptr;
  HWND search_ = nullptr;
  HWND list_ = nullptr;
  HWND selector_ = nullptr;
};

TEST_F(FinderInstall, InstallSelectsTheNewDatabaseLoadsItsSchemaAndDropsItFromTheList) {
  const std::wstring one = device_.Database(L"one.db", "One", 3);
  const std::wstring two = device_.Database(L"cities\\two.zdb", "Two", 5);
  StartApplication();
  EXPECT_EQ(GetDlgItem(search_, IdFirstCriterionEdit), nullptr) << "nothing installed yet";

  FindAndSelect(two);
  Click(setup_, IdInstallButton);

  EXPECT_EQ(boxes_.Count(), 0u);
  EXPECT_EQ(IniFile(), IniLine(two, "Two"));
  EXPECT_EQ(LastDatabase(), two);
  EXPECT_EQ(ComboBoxItems(selector_), std::vector<std::wstring>{L"Two"});
  EXPECT_EQ(ComboBoxSelection(selector_), 0);
  EXPECT_NE(GetDlgItem(search_, IdFirstCriterionEdit), nullptr) << "criteria of the new schema";
  EXPECT_STREQ(SelectedDatabaseHeader.title, L"Two");
  EXPECT_EQ(FoundPaths(), std::set<std::wstring>{one});
  EXPECT_EQ(ListBoxTexts(list_), std::vector<std::wstring>{ListText(L"One", 3, one)});

  FindAndSelect(one);
  Click(setup_, IdInstallButton);

  EXPECT_EQ(IniFile(), IniLine(two, "Two") + IniLine(one, "One"));
  EXPECT_EQ(LastDatabase(), one);
  EXPECT_EQ(ComboBoxItems(selector_), (std::vector<std::wstring>{L"Two", L"One"}));
  EXPECT_EQ(ComboBoxSelection(selector_), 1);
  EXPECT_STREQ(SelectedDatabaseHeader.title, L"One");
  EXPECT_EQ(FoundDatabaseList.count, 0);
  EXPECT_TRUE(ListBoxTexts(list_).empty());
  EXPECT_EQ(SendMessageW(list_, LB_GETHORIZONTALEXTENT, 0, 0), 0);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(FinderInstall, InstallWithoutASelectionDoesNothing) {
  device_.Database(L"one.db", "One", 3);
  StartApplication();
  Click(setup_, IdFindButton);
  ASSERT_EQ(FoundDatabaseList.count, 1);
  SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);

  Click(setup_, IdInstallButton);
  Click(setup_, IdInstallButton, BN_SETFOCUS);

  EXPECT_EQ(InstalledDatabaseList.count, 0);
  EXPECT_FALSE(app_.FileExists(L"vostrel.ini"));
  EXPECT_EQ(LastDatabase(), L"");
  EXPECT_TRUE(ComboBoxItems(selector_).empty());
  EXPECT_EQ(FoundDatabaseList.count, 1);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(FinderInstall, FiftyInstallsFillTheListAndTheFiftyFirstIsRefused) {
  const std::wstring source = device_.Database(L"source.zdb", "Town", 2);
  for (int i = 0; i < 50; ++i) device_.Copy(source, L"towns\\town" + std::to_wstring(i) + L".zdb");
  StartApplication();
  Click(setup_, IdFindButton);
  ASSERT_EQ(FoundDatabaseList.count, 51);

  for (int i = 0; i < 50; ++i) {
    SendMessageW(list_, LB_SETCURSEL, 0, 0);
    const std::wstring chosen = Wide(FoundDatabaseList.entries[0].path);
    Click(setup_, IdInstallButton);
    ASSERT_EQ(InstalledDatabaseList.count, i + 1);
    EXPECT_EQ(LineCount(IniFile()), i + 1);
    EXPECT_EQ(LastDatabase(), chosen);
    EXPECT_EQ(ComboBoxSelection(selector_), i);
    EXPECT_EQ(FoundDatabaseList.count, 50 - i);
    EXPECT_EQ(FoundIndexOf(chosen), -1);
  }
  ASSERT_EQ(boxes_.Count(), 0u);

  // The 51st: refused whatever is selected. The text is the translated one of the running
  // language (Russian here); the caption stays the built-in "Info" even though the language
  // translates the caption of the other messages.
  const std::string iniBefore = IniFile();
  std::wstring expected = UiText(905);
  ASSERT_NE(expected.find(L"%i"), std::wstring::npos);
  expected.replace(expected.find(L"%i"), 2, L"50");
  ASSERT_NE(std::wstring(UiText(901)), L"Info") << "the test wants a translated caption";
  SendMessageW(list_, LB_SETCURSEL, 0, 0);
  Click(setup_, IdInstallButton);

  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, expected);
  EXPECT_EQ(boxes_.At(0).caption, L"Info");
  EXPECT_EQ(boxes_.At(0).owner, setup_);
  EXPECT_EQ(IniFile(), iniBefore);
  EXPECT_EQ(InstalledDatabaseList.count, 50);
  EXPECT_EQ(FoundDatabaseList.count, 1);
}

TEST_F(FinderInstall, WhenTheListCannotBeSavedTheCriteriaFollowTheSelector) {
  const std::wstring old = device_.Database(L"old.fdb", "Old", 4);
  const std::wstring fresh = device_.Database(L"new\\fresh.db", "Fresh", 6);
  app_.WriteFile(L"vostrel.ini", IniLine(old, "Old"));
  registry_.SetString(L"Last db", old);
  StartApplication();
  ASSERT_STREQ(SelectedDatabaseHeader.title, L"Old");
  // A directory in place of the list file: it can be neither written nor read.
  ASSERT_TRUE(DeleteFileW(app_.FilePath(L"vostrel.ini").c_str()));
  ASSERT_TRUE(CreateDirectoryW(app_.FilePath(L"vostrel.ini").c_str(), nullptr));

  FindAndSelect(fresh);
  Click(setup_, IdInstallButton);
  RemoveDirectoryW(app_.FilePath(L"vostrel.ini").c_str());

  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).caption, UiText(900));
  EXPECT_NE(boxes_.At(0).text.find(L"vostrel.ini"), std::wstring::npos);
  EXPECT_EQ(LastDatabase(), fresh) << "the installation goes on after the failed save";
  EXPECT_EQ(ComboBoxItems(selector_), std::vector<std::wstring>{L"Old"});
  EXPECT_EQ(ComboBoxSelection(selector_), 0);
  // The selector still shows Old, so Old's fields stay: a search now scans Old's file.
  EXPECT_STREQ(SelectedDatabaseHeader.title, L"Old");
}

TEST_F(FinderInstall, WhenTheSettingsKeyFailsTheInstallationGoesOn) {
  const std::wstring old = device_.Database(L"old.zdb", "Old", 4);
  const std::wstring fresh = device_.Database(L"fresh.db", "Fresh", 6);
  app_.WriteFile(L"vostrel.ini", IniLine(old, "Old"));
  StartApplication();
  FindAndSelect(fresh);
  boxes_.Clear();
  {
    FailingSettingsRoot failing;
    Click(setup_, IdInstallButton);
  }
  SetSettingsRootForTests(registry_.Root());

  EXPECT_EQ(IniFile(), IniLine(old, "Old") + IniLine(fresh, "Fresh"));
  ASSERT_EQ(boxes_.Count(), 2u);
  EXPECT_EQ(boxes_.At(0).text.rfind(L"RegCreateKeyEx", 0), 0u);
  EXPECT_EQ(boxes_.At(1).caption, L"RegOpenKeyEx:");
  // Without "Last db" the reloaded selector shows its first entry, and the criteria follow it.
  EXPECT_EQ(ComboBoxItems(selector_), (std::vector<std::wstring>{L"Old", L"Fresh"}));
  EXPECT_EQ(ComboBoxSelection(selector_), 0);
  EXPECT_STREQ(SelectedDatabaseHeader.title, L"Old");
}

TEST_F(FinderInstall, InstallDuringASearchStopsItBeforeTheSchemaChanges) {
  const std::wstring big = device_.Database(L"big.db", "Big", 20000);
  const std::wstring fresh = device_.Database(L"fresh.zdb", "Fresh", 3);
  app_.WriteFile(L"vostrel.ini", IniLine(big, "Big"));
  StartApplication();
  FindAndSelect(fresh);

  // The worker needs this thread for every window call it makes; without pumping messages
  // here it cannot finish, so it is certainly alive when Install runs.
  Click(search_, IdStartButton);
  ASSERT_TRUE(SearchWorkerActive());
  Click(setup_, IdInstallButton);

  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_STREQ(SelectedDatabaseHeader.title, L"Fresh");
  EXPECT_EQ(ComboBoxSelection(selector_), 1);
  EXPECT_EQ(IniFile(), IniLine(big, "Big") + IniLine(fresh, "Fresh"));
  PumpWaitingMessages();
  EXPECT_EQ(boxes_.Count(), 0u);
}

}  // namespace
