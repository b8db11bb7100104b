// vostrel.exe itself, started as a process on a prepared application directory: it must come
// up, and closing it, idle or in the middle of a scan, must end it with exit code 0.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ui/page_controls_win32.h"
#include "ui_harness.h"

namespace {

// A hang guard only; a healthy start or close takes a small fraction of it.
constexpr DWORD kProcessBoundMs = 60000;
const wchar_t kMachineKey[] = L"SOFTWARE\\Halvane\\Vostrel";

std::wstring BuiltExecutable() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  path = path.substr(0, path.rfind(L'\\'));  // the tests' build folder
  path = path.substr(0, path.rfind(L'\\'));  // the build folder
  return path + L"\\src\\vostrel.exe";
}

// The program reads "Last db" from the machine's settings key; a first run would stop at a
// modal message. The key of this private test prefix is set for the run and put back after.
class MachineLastDatabase {
 public:
  explicit MachineLastDatabase(const std::wstring& path) {
    HKEY key;
    existed_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (existed_) {
      wchar_t old[1040] = {};
      DWORD size = sizeof old - sizeof(wchar_t);
      hadValue_ = RegQueryValueExW(key, L"Last db", nullptr, nullptr, reinterpret_cast<BYTE*>(old),
                                   &size) == ERROR_SUCCESS;
      saved_ = old;
      RegCloseKey(key);
    }
    Write(path);
  }
  ~MachineLastDatabase() {
    if (!existed_) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
    } else if (hadValue_) {
      Write(saved_);
    } else {
      HKEY key;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"Last db");
        RegCloseKey(key);
      }
    }
  }

 private:
  static void Write(const std::wstring& value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"Last db", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  bool existed_ = false;
  bool hadValue_ = false;
  std::wstring saved_;
};

struct ProcessWindows {
  DWORD processId;
  HWND main;
  std::vector<std::wstring> dismissedBoxes;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  ProcessWindows* found = reinterpret_cast<ProcessWindows*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != found->processId) return TRUE;
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (std::wstring(name) == L"Vostrel") found->main = window;
  if (std::wstring(name) == L"#32770") {
    // A message box of the program would wait for a tap forever: note it and answer it.
    found->dismissedBoxes.push_back(WindowText(GetDlgItem(window, 0xFFFF)));
    PostMessageW(window, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

// A running vostrel.exe from the given application directory, ended by the test.
class RunningProgram {
 public:
  explicit RunningProgram(const std::wstring& directory) {
    const std::wstring exe = directory + L"vostrel.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              directory.c_str(), &startup, &info_) != 0;
    if (started_) windows_.processId = info_.dwProcessId;
  }
  ~RunningProgram() {
    if (!started_) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(info_.hProcess, 99);
      WaitForSingleObject(info_.hProcess, kProcessBoundMs);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  bool Started() const { return started_; }

  // Waits for the finished main window (answering any message box on the way).
  HWND MainWindowOf() {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kProcessBoundMs) {
      windows_.main = nullptr;
      EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows_));
      // The window is listed while it is still being built: wait until it is shown, which
      // happens after all its pages and controls exist.
      if (windows_.main && IsWindowVisible(windows_.main)) return windows_.main;
      if (WaitForSingleObject(info_.hProcess, 50) != WAIT_TIMEOUT) return nullptr;
    }
    return nullptr;
  }
  const std::vector<std::wstring>& DismissedBoxes() const { return windows_.dismissedBoxes; }

  // The exit code, or -1 when the program did not end within the bound.
  long ExitCode() {
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(info_.hProcess, 50) == WAIT_TIMEOUT) {
      EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows_));
      if (GetTickCount() - start > kProcessBoundMs) return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<long>(code);
  }

 private:
  PROCESS_INFORMATION info_ = {};
  bool started_ = false;
  ProcessWindows windows_ = {0, nullptr, {}};
};

class UiProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = BuiltExecutable();
    if (GetFileAttributesW(exe_.c_str()) == INVALID_FILE_ATTRIBUTES) {
      GTEST_SKIP() << "vostrel.exe is not built next to the tests";
    }
    ASSERT_TRUE(CopyFileW(exe_.c_str(), app_.FilePath(L"vostrel.exe").c_str(), FALSE));
    app_.WriteDatabase(L"large.db", NumberedRecords(300000));
    app_.InstallDatabases({{L"large.db", "Large"}});
  }
  AppUnderTest app_;
  std::wstring exe_;
};

std::wstring ChildText(HWND main, int page, int id) {
  return WindowText(GetDlgItem(GetDlgItem(GetDlgItem(main, IdTabControl), 5 + page), id));
}

}  // namespace

TEST_F(UiProcess, StartsWithItsTitleAndClosesWithExitCode0) {
  MachineLastDatabase last(app_.FilePath(L"large.db"));
  RunningProgram program(app_.Directory().Path());
  ASSERT_TRUE(program.Started());
  HWND main = program.MainWindowOf();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowText(main), L"Vostrel/Corvinet v2.04");
  EXPECT_EQ(ChildText(main, 0, IdStartButton), L"Start");
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.ExitCode(), 0);
  EXPECT_TRUE(program.DismissedBoxes().empty());
}

// The executable carries its manifest: the common controls of version 6, the DPI declaration
// (per monitor, with the older systems' fallback) and the supported systems.
TEST_F(UiProcess, TheExecutableCarriesItsManifest) {
  HMODULE image = LoadLibraryExW(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, SizeofResource(image, found));
  FreeLibrary(image);
  for (const char* part :
       {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"", ">true/pm</dpiAware>",
        ">PerMonitorV2, PerMonitor</dpiAwareness>", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

TEST_F(UiProcess, ClosingDuringAScanEndsCleanlyEveryTime) {
  MachineLastDatabase last(app_.FilePath(L"large.db"));
  for (int round = 0; round < 3; ++round) {
    RunningProgram program(app_.Directory().Path());
    ASSERT_TRUE(program.Started());
    HWND main = program.MainWindowOf();
    ASSERT_NE(main, nullptr);
    HWND searchPage = GetDlgItem(GetDlgItem(main, IdTabControl), 5);
    PostMessageW(searchPage, WM_COMMAND, MAKEWPARAM(IdStartButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(searchPage, IdStartButton)));
    // Close once the scan has listed its first rows.
    const DWORD start = GetTickCount();
    while (ChildText(main, 0, IdStartButton) != L"Stop" ||
           ChildText(main, 1, IdStatusLine).find(L'/') == std::wstring::npos) {
      ASSERT_LT(GetTickCount() - start, kProcessBoundMs) << "the scan never started";
      Sleep(10);
    }
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.ExitCode(), 0) << "round " << round;
    EXPECT_TRUE(program.DismissedBoxes().empty());
  }
}
