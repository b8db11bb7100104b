// vostrel-gui-drive: starts the real vostrel.exe as a process, as a user would, and drives it
// from this process through its window messages: Start pressed on the Search page, timed until
// the status line shows the final counts; then a close, timed until the process is gone.
//
//   vostrel-gui-drive.exe VOSTREL_EXE DATABASE [--searches N] [--language FILE] [--poll MS]
//                         [--no-probe]
//
// VOSTREL_EXE and DATABASE are Windows paths. The program is copied into a scratch application
// directory under %TEMP% with the language file (FILE, else a minimal one) and a vostrel.ini
// that installs DATABASE; "Last db" under HKLM\SOFTWARE\Halvane\Vostrel names it for the run and
// is put back afterwards. Prints one line of key=value figures per search (rows and scanned as
// the final status line reads them, gui_ms from the posted Start to that line, latency_ms the
// longest a message sent to the main window waited during the scan), then one line with close_ms
// and the exit code. --poll sets how often the status line is read (default every 1 ms);
// --no-probe sends nothing to the window during a scan. Exits 0 when every search ended with
// its final status line and the program ended with exit code 0.
//
// The status line of another process is read without a message (the system keeps the text of
// every window), so watching it costs the program nothing; the program hands its status texts
// to its window at each repaint, which is what the user sees too.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "ui/page_controls_win32.h"

namespace {

// The tab control holds the pages as its children 5, 6, ...: Search first, Result second.
constexpr int kFirstPageId = 5;
constexpr DWORD kBoundMs = 120000;  // a hang guard only
const wchar_t kMachineKey[] = L"SOFTWARE\\Halvane\\Vostrel";

LARGE_INTEGER g_frequency;

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double Millis(LONGLONG from, LONGLONG to) {
  return static_cast<double>(to - from) * 1000.0 / static_cast<double>(g_frequency.QuadPart);
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

// "Last db" of the machine's settings key, set for the run and put back as it was.
class LastDatabase {
 public:
  explicit LastDatabase(const std::wstring& path) {
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
    ok_ = Write(path);
  }
  ~LastDatabase() {
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
  bool Ok() const { return ok_; }

 private:
  static bool Write(const std::wstring& value) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return false;
    const bool ok =
        RegSetValueExW(key, L"Last db", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }
  bool existed_ = false;
  bool hadValue_ = false;
  bool ok_ = false;
  std::wstring saved_;
};

struct Found {
  DWORD processId;
  HWND main;
  int boxes;
};

BOOL CALLBACK FindWindows(HWND window, LPARAM context) {
  Found* found = reinterpret_cast<Found*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != found->processId) return TRUE;
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (wcscmp(name, L"Vostrel") == 0) found->main = window;
  if (wcscmp(name, L"#32770") == 0) {
    // A message box would wait for a tap forever: say what it said and answer it.
    fwprintf(stderr, L"vostrel-gui-drive: the program said: %ls\n",
             TextOf(GetDlgItem(window, 0xFFFF)).c_str());
    ++found->boxes;
    PostMessageW(window, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

// Input latency during a scan: a thread sends a message to the main window every 10 ms and
// times how long the program takes to answer it (input waits behind the same work).
struct Probe {
  HWND main = nullptr;
  HANDLE stop = nullptr;
  HANDLE thread = nullptr;
  std::atomic<LONGLONG> worst{0};
};
Probe g_probe;

DWORD WINAPI ProbeThread(LPVOID) {
  while (WaitForSingleObject(g_probe.stop, 10) == WAIT_TIMEOUT) {
    const LONGLONG sent = Now();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(g_probe.main, WM_NULL, 0, 0, SMTO_NORMAL, kBoundMs, &result)) break;
    const LONGLONG waited = Now() - sent;
    if (waited > g_probe.worst.load()) g_probe.worst.store(waited);
  }
  return 0;
}

// The two numbers of the final status line ("...: SCANNED, ...: RESULTS").
bool FinalCounts(const std::wstring& text, long long* scanned, long long* results) {
  std::vector<long long> numbers;
  for (size_t i = 0; i < text.size();) {
    if (iswdigit(text[i])) {
      size_t end = i;
      while (end < text.size() && iswdigit(text[end])) ++end;
      numbers.push_back(_wtoi64(text.substr(i, end - i).c_str()));
      i = end;
    } else {
      ++i;
    }
  }
  if (numbers.size() != 2) return false;
  *scanned = numbers[0];
  *results = numbers[1];
  return true;
}

struct DriveArgs {
  std::wstring exe, database, language;
  int searches = 1;
  int pollMs = 1;
  bool probe = true;
};

bool ParseDriveArgs(int argc, wchar_t** argv, DriveArgs* args) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--searches" && i + 1 < argc) {
      args->searches = _wtoi(argv[++i]);
    } else if (a == L"--language" && i + 1 < argc) {
      args->language = argv[++i];
    } else if (a == L"--poll" && i + 1 < argc) {
      args->pollMs = _wtoi(argv[++i]);
    } else if (a == L"--no-probe") {
      args->probe = false;
    } else if (args->exe.empty()) {
      args->exe = a;
    } else if (args->database.empty()) {
      args->database = a;
    } else {
      args->exe.clear();
      break;
    }
  }
  return !args->exe.empty() && !args->database.empty() && args->searches >= 1;
}

// A scratch application directory: the program, its language file and a vostrel.ini that
// installs the database.
bool PrepareDirectory(const DriveArgs& args, const std::wstring& directory,
                      const std::wstring& copy) {
  CreateDirectoryW(directory.c_str(), nullptr);
  char installed[1040] = {};
  WideCharToMultiByte(CP_ACP, 0, args.database.c_str(), -1, installed, sizeof installed, nullptr,
                      nullptr);
  return CopyFileW(args.exe.c_str(), copy.c_str(), FALSE) &&
         (args.language.empty()
              ? WriteBytes(directory + L"vostrel.lng", "[RUSSIAN]\r\n")
              : CopyFileW(args.language.c_str(), (directory + L"vostrel.lng").c_str(), FALSE)) &&
         WriteBytes(directory + L"vostrel.ini", std::string(installed) + ";Bench\r\n");
}

// Waits for the finished main window: it is shown once all its pages and controls exist.
bool AwaitMainWindow(const PROCESS_INFORMATION& info, Found* found) {
  const DWORD start = GetTickCount();
  while (!(found->main && IsWindowVisible(found->main))) {
    found->main = nullptr;
    EnumWindows(FindWindows, reinterpret_cast<LPARAM>(found));
    if (GetTickCount() - start > kBoundMs || WaitForSingleObject(info.hProcess, 20) != WAIT_TIMEOUT)
      break;
  }
  return found->main && IsWindowVisible(found->main);
}

struct DriveWindows {
  HWND searchPage;
  HWND startButton;
  HWND status;
};

// Polls until the status line shows a search's final counts; the text it last read goes to
// *text, and the time it saw them (0 if never) is returned.
LONGLONG AwaitFinalStatus(const DriveArgs& args, const PROCESS_INFORMATION& info, Found* found,
                          const DriveWindows& windows, const std::wstring& before,
                          const std::wstring& startCaption, std::wstring* text) {
  // The scan shows its progress ("found/scanned") and Start/Stop reads "Stop"; at its end
  // Start/Stop reads as before and the status line shows the final counts. Polled: the program
  // repaints the line at most every 100 ms. A scan so short that the poll saw neither still
  // ends with a status line other than the one before it, unless the counts are the same as
  // the last search's, which the progress or Stop then tells.
  bool scanSeen = false;
  const DWORD waitStart = GetTickCount();
  while (GetTickCount() - waitStart < kBoundMs) {
    *text = TextOf(windows.status);
    const std::wstring caption = TextOf(windows.startButton);
    const bool progress = text->find(L'/') != std::wstring::npos;
    if (progress || caption != startCaption) scanSeen = true;
    long long scannedNow = 0, resultsNow = 0;
    if (!progress && caption == startCaption && (scanSeen || *text != before) &&
        FinalCounts(*text, &scannedNow, &resultsNow))
      return Now();
    if (WaitForSingleObject(info.hProcess, args.pollMs) != WAIT_TIMEOUT) break;
    EnumWindows(FindWindows, reinterpret_cast<LPARAM>(found));
  }
  return 0;
}

// One search from Start to the final status line, printed; false when it never ended.
bool TimeOneSearch(int search, const DriveArgs& args, const PROCESS_INFORMATION& info, Found* found,
                   const DriveWindows& windows) {
  g_probe.worst.store(0);
  ResetEvent(g_probe.stop);
  const std::wstring before = TextOf(windows.status);
  const std::wstring startCaption = TextOf(windows.startButton);
  const LONGLONG start = Now();
  PostMessageW(windows.searchPage, WM_COMMAND, MAKEWPARAM(IdStartButton, BN_CLICKED),
               reinterpret_cast<LPARAM>(windows.startButton));
  if (args.probe) g_probe.thread = CreateThread(nullptr, 0, ProbeThread, nullptr, 0, nullptr);
  std::wstring text;
  const LONGLONG finalAt =
      AwaitFinalStatus(args, info, found, windows, before, startCaption, &text);
  SetEvent(g_probe.stop);
  if (g_probe.thread) {
    WaitForSingleObject(g_probe.thread, INFINITE);
    CloseHandle(g_probe.thread);
    g_probe.thread = nullptr;
  }
  long long scanned = -1, results = -1;
  if (!finalAt || !FinalCounts(text, &scanned, &results)) {
    fwprintf(stderr,
             L"vostrel-gui-drive: search %d ended without its final status line "
             L"(it reads \"%ls\")\n",
             search, text.c_str());
    return false;
  }
  // Let the last paint and anything queued behind it go before the next Start.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(found->main, WM_NULL, 0, 0, SMTO_NORMAL, kBoundMs, &ignored);
  char status[512] = {};
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, status, sizeof status, nullptr, nullptr);
  printf("search=%d rows=%lld scanned=%lld gui_ms=%.1f latency_ms=%.1f status=\"%s\"\n", search,
         results, scanned, Millis(start, finalAt), Millis(0, g_probe.worst.load()), status);
  fflush(stdout);
  return true;
}

// The close a user asks for with the rows listed, until the process is gone; false when it
// did not exit cleanly or a message box showed.
bool CloseAndReport(const PROCESS_INFORMATION& info, Found* found) {
  const LONGLONG closeAt = Now();
  PostMessageW(found->main, WM_CLOSE, 0, 0);
  const DWORD closeStart = GetTickCount();
  while (WaitForSingleObject(info.hProcess, 5) == WAIT_TIMEOUT &&
         GetTickCount() - closeStart < kBoundMs)
    EnumWindows(FindWindows, reinterpret_cast<LPARAM>(found));
  const LONGLONG goneAt = Now();
  DWORD code = 259;
  GetExitCodeProcess(info.hProcess, &code);
  printf("close_ms=%.1f exit_code=%lu message_boxes=%d\n", Millis(closeAt, goneAt),
         static_cast<unsigned long>(code), found->boxes);
  fflush(stdout);
  return code == 0 && found->boxes == 0;
}

// Runs the searches in the started program and closes it: 0, or 1 when something failed.
int DriveProgram(const DriveArgs& args, const PROCESS_INFORMATION& info, Found* found) {
  if (!AwaitMainWindow(info, found)) {
    fputs("vostrel-gui-drive: the program showed no window\n", stderr);
    return 1;
  }
  WaitForInputIdle(info.hProcess, 10000);
  Sleep(300);  // the first paints of the window are no part of a search
  HWND tab = GetDlgItem(found->main, IdTabControl);
  DriveWindows windows;
  windows.searchPage = GetDlgItem(tab, kFirstPageId);
  windows.startButton = GetDlgItem(windows.searchPage, IdStartButton);
  windows.status = GetDlgItem(GetDlgItem(tab, kFirstPageId + 1), IdStatusLine);
  g_probe.main = found->main;
  g_probe.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int exitCode = 0;
  for (int search = 1; search <= args.searches && exitCode == 0; ++search)
    if (!TimeOneSearch(search, args, info, found, windows)) exitCode = 1;
  if (!CloseAndReport(info, found)) exitCode = 1;
  CloseHandle(g_probe.stop);
  return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DriveArgs args;
  if (!ParseDriveArgs(argc, argv, &args)) {
    fputs(
        "usage: vostrel-gui-drive VOSTREL_EXE DATABASE [--searches N] [--language FILE] "
        "[--poll MS] [--no-probe]\n",
        stderr);
    return 2;
  }
  QueryPerformanceFrequency(&g_frequency);

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"vostrel-gui-drive-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  const std::wstring copy = directory + L"vostrel.exe";
  const bool prepared = PrepareDirectory(args, directory, copy);
  int exitCode = 0;
  {
    LastDatabase last(args.database);
    if (!prepared || !last.Ok()) {
      fputs("vostrel-gui-drive: cannot prepare the application directory or its settings\n",
            stderr);
      exitCode = 2;
    }
    PROCESS_INFORMATION info = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + copy + L"\"";
    if (exitCode == 0 && !CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                         nullptr, directory.c_str(), &startup, &info)) {
      fputs("vostrel-gui-drive: cannot start the program\n", stderr);
      exitCode = 2;
    }
    Found found = {info.dwProcessId, nullptr, 0};
    if (exitCode == 0) exitCode = DriveProgram(args, info, &found);
    if (info.hProcess) {
      if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, 10000);
      }
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    }
  }
  DeleteFileW(copy.c_str());
  DeleteFileW((directory + L"vostrel.lng").c_str());
  DeleteFileW((directory + L"vostrel.ini").c_str());
  RemoveDirectoryW(directory.c_str());
  return exitCode;
}
