// vostrel-gui-bench: runs the real application in this process, presses Start the way a tap
// would, and measures what the user waits for: the time from Start to the final status line,
// how long the window takes to answer input while the scan runs, the time a header click takes
// to sort the list, what selecting the whole list costs (Ctrl+A, then Ctrl+C, then one click on
// a row), how long a second Start blocks the window over the listed rows, the memory the listed
// rows cost, and (timed by the caller) how soon the process is gone after a close.
//
//   vostrel-gui-bench.exe DATABASE [POSITION=TEXT] [--sort-column C] [--searches N]
//                         [--paint-interval MS] [--then DATABASE2 [--then-searches M]]
//                         [--scan-only]
//
// DATABASE is a Windows path; POSITION is the criterion's search position (0 = the first
// criteria box) and TEXT what is typed into it; without one every record is listed. Prints one
// line of key=value figures per search, then close_at_ns= (the system time, in nanoseconds
// since 1970, at which the close was asked), and exits with the application's exit code.
// --then installs DATABASE2 as a second entry: after the N searches of DATABASE it is selected
// in the Search page's selector, the criterion typed again, and searched M times (default 1).
// --scan-only measures the searches alone (no sort, no selection: for a handful of rows).
// The application gets a scratch directory under %TEMP% and a scratch registry key under
// HKCU\Software\VostrelBench, both removed at the end.
#include <windows.h>
// commctrl.h and psapi.h need the base Windows types first.
#include <commctrl.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "db/codepage.h"
#include "search/result_row.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/main_window_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "ui/result_list_win32.h"
#include "ui/search_worker_win32.h"

namespace {

LARGE_INTEGER g_frequency;
LONGLONG g_finalStatusAt = 0;
WNDPROC g_statusPrevious = nullptr;
int g_messageBoxes = 0;

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double Millis(LONGLONG from, LONGLONG to) {
  return static_cast<double>(to - from) * 1000.0 / static_cast<double>(g_frequency.QuadPart);
}

// The moment the final status text arrives is the moment the user sees the search done.
LRESULT CALLBACK TimingStatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT && lParam &&
      wcsncmp(reinterpret_cast<const wchar_t*>(lParam), L"Scaned: ", 8) == 0)
    g_finalStatusAt = Now();
  return CallWindowProcW(g_statusPrevious, window, message, wParam, lParam);
}

int CountingMessageBox(HWND, const wchar_t* text, const wchar_t*, UINT) {
  ++g_messageBoxes;
  fwprintf(stderr, L"vostrel-gui-bench: the application said: %ls\n", text);
  return IDOK;
}

SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  return counters.PrivateUsage;
}

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters;
}

// Bytes of the listed texts: each string with its terminator, as UTF-16.
unsigned long long RowTextBytes(int rows) {
  unsigned long long bytes = 0;
  for (int i = 0; i < rows; ++i) {
    ResultRow row = ResultRowAt(i);
    if (!row) continue;
    for (int k = 0; k < TheFieldTable.displayCount; ++k)
      if (row[k]) bytes += (wcslen(row[k]) + 1) * sizeof(wchar_t);
  }
  return bytes;
}

// True when the column reads in lstrcmpiW order from top to bottom.
bool ColumnInOrder(int rows, int column) {
  for (int i = 1; i < rows; ++i) {
    ResultRow a = ResultRowAt(i - 1), b = ResultRowAt(i);
    if (!a || !b || lstrcmpiW(a[column], b[column]) > 0) return false;
  }
  return true;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

struct Options {
  std::wstring database;
  int position = -1;
  std::wstring text;
  int sortColumn = 1;
  int searches = 2;
  int paintInterval = -1;  // -1: the program's own
  std::wstring then;       // a second database, searched after the first
  int thenSearches = 1;
  bool scanOnly = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--sort-column" && i + 1 < argc) {
      options->sortColumn = _wtoi(argv[++i]);
    } else if (a == L"--paint-interval" && i + 1 < argc) {
      options->paintInterval = _wtoi(argv[++i]);
    } else if (a == L"--searches" && i + 1 < argc) {
      options->searches = _wtoi(argv[++i]);
    } else if (a == L"--then" && i + 1 < argc) {
      options->then = argv[++i];
    } else if (a == L"--then-searches" && i + 1 < argc) {
      options->thenSearches = _wtoi(argv[++i]);
    } else if (a == L"--scan-only") {
      options->scanOnly = true;
    } else if (options->database.empty()) {
      options->database = a;
    } else if (options->position < 0 && a.find(L'=') != std::wstring::npos) {
      options->position = _wtoi(a.substr(0, a.find(L'=')).c_str());
      options->text = a.substr(a.find(L'=') + 1);
    } else {
      return false;
    }
  }
  return !options->database.empty() && options->searches >= 1 && options->sortColumn >= 0 &&
         options->thenSearches >= 1;
}

// Input latency while a scan runs: a probe thread posts a message to the UI thread every 10 ms
// and waits for it to be taken from the queue; posted messages wait behind the same work that
// keyboard and mouse input waits behind.
constexpr UINT kProbeMessage = WM_APP + 77;
struct Probe {
  DWORD uiThread = 0;
  HANDLE stop = nullptr;
  HANDLE answered = nullptr;
  HANDLE thread = nullptr;
  std::atomic<LONGLONG> postedAt{0};
  LONGLONG worst = 0;
};
Probe g_probe;

DWORD WINAPI ProbeThread(LPVOID) {
  while (WaitForSingleObject(g_probe.stop, 10) == WAIT_TIMEOUT) {
    ResetEvent(g_probe.answered);
    g_probe.postedAt.store(Now());
    if (!PostThreadMessageW(g_probe.uiThread, kProbeMessage, 0, 0)) break;
    HANDLE events[2] = {g_probe.answered, g_probe.stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) break;
  }
  return 0;
}

void StartProbe() {
  g_probe.uiThread = GetCurrentThreadId();
  g_probe.worst = 0;
  ResetEvent(g_probe.stop);
  g_probe.thread = CreateThread(nullptr, 0, ProbeThread, nullptr, 0, nullptr);
}

void StopProbe() {
  SetEvent(g_probe.stop);
  if (g_probe.thread) {
    WaitForSingleObject(g_probe.thread, INFINITE);
    CloseHandle(g_probe.thread);
    g_probe.thread = nullptr;
  }
}

// True when the message was the probe's.
bool AnswerProbe(const MSG& message) {
  if (message.message != kProbeMessage || message.hwnd) return false;
  const LONGLONG waited = Now() - g_probe.postedAt.load();
  if (waited > g_probe.worst) g_probe.worst = waited;
  SetEvent(g_probe.answered);
  return true;
}

// Serves this thread's messages until the worker has ended, sleeping only in the wait.
void PumpUntilWorkerEnds() {
  while (SearchWorkerActive()) {
    HANDLE worker = SearchWorkerHandle();
    MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (AnswerProbe(message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

// Serves every message that is waiting, as the program's own loop does.
void PumpPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchLoopMessage(message);
}

// A key pressed with Ctrl held on the result list, through the program's own message loop.
void ControlKeyOnList(UINT key) {
  BYTE state[256] = {};
  GetKeyboardState(state);
  BYTE pressed[256];
  memcpy(pressed, state, sizeof pressed);
  pressed[VK_CONTROL] = 0x80;
  SetKeyboardState(pressed);
  PostMessageW(ResultListView, WM_KEYDOWN, key, 0);
  PumpPending();
  SetKeyboardState(state);
}

// The lines of the clipboard's text.
long long ClipboardLines() {
  long long lines = -1;
  if (!OpenClipboard(nullptr)) return lines;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* text = static_cast<const wchar_t*>(GlobalLock(data))) {
      lines = 0;
      for (; *text; ++text) lines += *text == L'\n';
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return lines;
}

// What selecting the whole list costs: Ctrl+A; Ctrl+A then Ctrl+C until the clipboard holds
// the text; a click on one row after Ctrl+A, which deselects the rest. Each ends with the list
// painted.
struct SelectionFigures {
  double selectAllMs = 0, copyMs = 0, clickMs = 0;
  long long copiedLines = 0;
  int selectedAfterClick = -1;
};
SelectionFigures MeasureSelection() {
  SelectionFigures figures;
  SetFocus(ResultListView);
  LONGLONG start = Now();
  ControlKeyOnList('A');
  UpdateWindow(ResultListView);
  figures.selectAllMs = Millis(start, Now());

  start = Now();
  ControlKeyOnList('C');
  figures.copyMs = figures.selectAllMs + Millis(start, Now());
  figures.copiedLines = ClipboardLines();

  RECT item = {};
  item.left = LVIR_BOUNDS;
  SendMessageW(ResultListView, LVM_GETITEMRECT, 2, reinterpret_cast<LPARAM>(&item));
  const LPARAM at = MAKELPARAM(item.left + 5, (item.top + item.bottom) / 2);
  start = Now();
  PostMessageW(ResultListView, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(ResultListView, WM_LBUTTONUP, 0, at);
  PumpPending();
  UpdateWindow(ResultListView);
  figures.clickMs = Millis(start, Now());
  figures.selectedAfterClick =
      static_cast<int>(SendMessageW(ResultListView, LVM_GETSELECTEDCOUNT, 0, 0));
  return figures;
}

// The wall clock in nanoseconds since 1970, comparable with the shell's date +%s%N.
unsigned long long UnixNanoseconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000ull) * 100ull;
}

// Types the criterion into its box; false when there is no box at that position.
bool TypeCriterion(const Options& options) {
  if (options.position < 0) return true;
  HWND edit = GetDlgItem(PageWindows[SearchPage], CriterionEditId(options.position));
  if (!edit) return false;
  SetWindowTextW(edit, options.text.c_str());
  return true;
}

// Selects installed entry index in the Search page's selector, as a tap on it would.
void SelectDatabase(int index) {
  HWND page = PageWindows[SearchPage];
  HWND selector = GetDlgItem(page, IdDatabaseSelector);
  SendMessageW(selector, CB_SETCURSEL, index, 0);
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(IdDatabaseSelector, CBN_SELENDOK),
               reinterpret_cast<LPARAM>(selector));
}

// One search from the Start command to the final status line, then (unless scanOnly) a sort and
// the selection figures; prints its line. 0 when it held, 1 when its figures do not hold, -1
// when it ended without its final status line (no further search is then measured).
int MeasureSearch(const Options& options, int search, int database, HWND status) {
  HWND searchPage = PageWindows[SearchPage];
  const SIZE_T privateBefore = PrivateBytes();
  const SIZE_T workingBefore = Memory().WorkingSetSize;
  g_finalStatusAt = 0;
  // The Start command runs on the UI thread: over listed rows it frees them first, and the
  // window answers nothing until it returns.
  const LONGLONG start = Now();
  SendMessageW(searchPage, WM_COMMAND, MAKEWPARAM(IdStartButton, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(searchPage, IdStartButton)));
  const LONGLONG started = Now();
  StartProbe();
  PumpUntilWorkerEnds();
  StopProbe();
  if (!g_finalStatusAt) {
    fputs("vostrel-gui-bench: the search ended without its final status line\n", stderr);
    return -1;
  }
  const SIZE_T privateAfter = PrivateBytes();
  const PROCESS_MEMORY_COUNTERS after = Memory();
  const int rows = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  const unsigned long long textBytes = RowTextBytes(rows);

  double sortMs = 0;
  bool sorted = true;
  SelectionFigures selection;
  if (!options.scanOnly) {
    // A tap on the header: the notification the list sends its page, then the repaint.
    NMLISTVIEW click = {};
    click.hdr.hwndFrom = ResultListView;
    click.hdr.idFrom = IdResultList;
    click.hdr.code = LVN_COLUMNCLICK;
    click.iItem = -1;
    click.iSubItem = options.sortColumn;
    const LONGLONG sortStart = Now();
    SendMessageW(PageWindows[ResultPage], WM_NOTIFY, IdResultList,
                 reinterpret_cast<LPARAM>(&click));
    UpdateWindow(ResultListView);
    sortMs = Millis(sortStart, Now());
    sorted =
        options.sortColumn < TheFieldTable.displayCount && ColumnInOrder(rows, options.sortColumn);
    selection = MeasureSelection();
  }

  wchar_t statusText[256] = {};
  GetWindowTextW(status, statusText, 256);
  printf(
      "search=%d database=%d rows=%d gui_ms=%.1f start_ms=%.1f latency_ms=%.1f sort_ms=%.1f "
      "sorted=%s text_bytes=%llu private_before=%llu private_after=%llu working_before=%llu "
      "working_after=%llu working_peak=%llu select_all_ms=%.1f copy_ms=%.1f copied_lines=%lld "
      "click_ms=%.1f selected_after_click=%d status=\"%ls\"\n",
      search, database, rows, Millis(start, g_finalStatusAt), Millis(start, started),
      Millis(0, g_probe.worst), sortMs, sorted ? "yes" : "no", textBytes,
      static_cast<unsigned long long>(privateBefore), static_cast<unsigned long long>(privateAfter),
      static_cast<unsigned long long>(workingBefore),
      static_cast<unsigned long long>(after.WorkingSetSize),
      static_cast<unsigned long long>(after.PeakWorkingSetSize), selection.selectAllMs,
      selection.copyMs, selection.copiedLines, selection.clickMs, selection.selectedAfterClick,
      statusText);
  fflush(stdout);
  if (options.scanOnly) return 0;
  return sorted && selection.copiedLines == rows + 1 && selection.selectedAfterClick == 1 ? 0 : 1;
}

// The searches of the first database, then (with --then) those of the second. The process's
// exit code: 0 when every search held.
int RunSearches(const Options& options, HWND status) {
  int search = 0;
  int exitCode = 0;
  for (int database = 1; database <= (options.then.empty() ? 1 : 2); ++database) {
    if (database == 2) {
      SelectDatabase(1);
      if (!TypeCriterion(options)) return 2;
    }
    const int count = database == 1 ? options.searches : options.thenSearches;
    for (int i = 0; i < count; ++i) {
      const int held = MeasureSearch(options, ++search, database, status);
      if (held < 0) return 1;
      if (held > 0) exitCode = 1;
    }
  }
  return exitCode;
}

// The installed list: the database, and the second one when there is one.
std::string InstalledList(const Options& options) {
  char path[520] = {};
  WideToSingleByte(options.database.c_str(), path, sizeof path);
  std::string list = std::string(path) + ";Bench\r\n";
  if (!options.then.empty()) {
    char then[520] = {};
    WideToSingleByte(options.then.c_str(), then, sizeof then);
    list += std::string(then) + ";Then\r\n";
  }
  return list;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fputs(
        "usage: vostrel-gui-bench DATABASE [POSITION=TEXT] [--sort-column C] [--searches N]\n"
        "                         [--paint-interval MS] [--then DATABASE2 [--then-searches M]]\n"
        "                         [--scan-only]\n",
        stderr);
    return 2;
  }
  QueryPerformanceFrequency(&g_frequency);

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"vostrel-gui-bench-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(directory.c_str(), nullptr);
  if (!WriteBytes(directory + L"vostrel.lng", "[RUSSIAN]\r\n") ||
      !WriteBytes(directory + L"vostrel.ini", InstalledList(options))) {
    fputs("vostrel-gui-bench: cannot write the scratch application directory\n", stderr);
    return 2;
  }

  const std::wstring rootPath =
      L"Software\\VostrelBench\\" + std::to_wstring(GetCurrentProcessId());
  HKEY root = nullptr, settings = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, rootPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &root, nullptr) != ERROR_SUCCESS ||
      RegCreateKeyExW(root, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings,
                      nullptr) != ERROR_SUCCESS) {
    fputs("vostrel-gui-bench: cannot create the scratch registry key\n", stderr);
    return 2;
  }
  RegSetValueExW(settings, L"Last db", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(options.database.c_str()),
                 static_cast<DWORD>((options.database.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(settings);
  SetSettingsRootForTests(root);
  SetMessageBoxHook(CountingMessageBox);
  SetApplicationDirectoryForTests(directory.c_str());
  if (options.paintInterval >= 0) SetListPaintIntervalForTests(options.paintInterval);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (InitApplication(instance) != 0 || !CreateMainWindow(instance, SW_SHOW)) {
    fputs("vostrel-gui-bench: the application did not start\n", stderr);
    return 1;
  }
  if (!TypeCriterion(options)) {
    fputs("vostrel-gui-bench: no criteria box at that position\n", stderr);
    return 2;
  }
  HWND status = GetDlgItem(PageWindows[ResultPage], IdStatusLine);
  g_statusPrevious = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TimingStatusProc)));

  g_probe.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_probe.answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int exitCode = RunSearches(options, status);
  if (g_messageBoxes) exitCode = 1;
  SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_statusPrevious));

  // The close a user asks for with rows listed: the program's own shutdown and message loop,
  // then the process ends as the program's would, once the scratch settings are removed.
  printf("close_at_ns=%llu\n", UnixNanoseconds());
  fflush(stdout);
  PostMessageW(MainWindow, WM_CLOSE, 0, 0);
  const int applicationExit = RunMessageLoop();
  SetSettingsRootForTests(nullptr);
  RegCloseKey(root);
  RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
  DeleteFileW((directory + L"vostrel.lng").c_str());
  DeleteFileW((directory + L"vostrel.ini").c_str());
  RemoveDirectoryW(directory.c_str());
  return exitCode != 0 ? exitCode : applicationExit;
}
