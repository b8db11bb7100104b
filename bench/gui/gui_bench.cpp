// vostrel-gui-bench: runs the real application in this process, presses Start the way a tap
// would, and measures what the user waits for: the time from Start to the final status line,
// the time a header click takes to sort the list, and the memory the listed rows cost.
//
//   vostrel-gui-bench.exe DATABASE POSITION=TEXT [--sort-column C] [--searches N]
//                         [--paint-interval MS]
//   vostrel-gui-bench.exe --bare-list N
//
// DATABASE is a Windows path; POSITION is the criterion's search position (0 = the first
// criteria box) and TEXT what is typed into it. Prints one line of key=value figures per search.
// --bare-list measures instead what a list view alone takes for N items inserted the way the
// program inserts its rows, but with no rows behind them.
// The application gets a scratch directory under %TEMP% and a scratch registry key under
// HKCU\Software\VostrelBench, both removed at the end.
#include <windows.h>
// commctrl.h and psapi.h need the base Windows types first.
#include <commctrl.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "db/codepage.h"
#include "search/result_row.h"
#include "settings/registry_win32.h"
#include "ui/app_globals_win32.h"
#include "ui/main_window_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
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

// Serves this thread's messages until the worker has ended, sleeping only in the wait.
void PumpUntilWorkerEnds() {
  while (SearchWorkerActive()) {
    MsgWaitForMultipleObjects(1, &SearchWorkerThread, FALSE, INFINITE, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
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
  int bareList = -1;       // >= 0: measure a bare list view of this many items instead
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--sort-column" && i + 1 < argc) {
      options->sortColumn = _wtoi(argv[++i]);
    } else if (a == L"--bare-list" && i + 1 < argc) {
      options->bareList = _wtoi(argv[++i]);
    } else if (a == L"--paint-interval" && i + 1 < argc) {
      options->paintInterval = _wtoi(argv[++i]);
    } else if (a == L"--searches" && i + 1 < argc) {
      options->searches = _wtoi(argv[++i]);
    } else if (options->database.empty()) {
      options->database = a;
    } else if (options->position < 0 && a.find(L'=') != std::wstring::npos) {
      options->position = _wtoi(a.substr(0, a.find(L'=')).c_str());
      options->text = a.substr(a.find(L'=') + 1);
    } else {
      return false;
    }
  }
  if (options->bareList >= 0) return options->database.empty();
  return !options->database.empty() && options->searches >= 1 && options->sortColumn >= 0;
}

// A report-style list view with five columns, filled with items whose texts are all asked
// for (as the Result page's are): what the list itself keeps per item.
int MeasureBareList(int count) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  HWND parent = CreateWindowExW(0, L"static", L"", WS_OVERLAPPEDWINDOW, 0, 0, 240, 295, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 230,
                              200, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!list) {
    fputs("vostrel-gui-bench: no list view\n", stderr);
    return 1;
  }
  for (int j = 0; j < 5; ++j) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(L"C");
    column.cx = 50;
    SendMessageW(list, LVM_INSERTCOLUMNW, j, reinterpret_cast<LPARAM>(&column));
  }
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  const SIZE_T before = Memory().WorkingSetSize;
  const LONGLONG start = Now();
  for (int i = 0; i < count; ++i) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
    item.iItem = i;
    item.pszText = LPSTR_TEXTCALLBACKW;
    item.lParam = i + 1;
    const int index =
        static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    for (int column = 1; column < 5; ++column) {
      LVITEMW sub = {};
      sub.iSubItem = column;
      sub.pszText = LPSTR_TEXTCALLBACKW;
      SendMessageW(list, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&sub));
    }
  }
  const LONGLONG end = Now();
  const PROCESS_MEMORY_COUNTERS after = Memory();
  printf("bare_items=%d insert_ms=%.1f working_before=%llu working_after=%llu\n",
         static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)), Millis(start, end),
         static_cast<unsigned long long>(before),
         static_cast<unsigned long long>(after.WorkingSetSize));
  DestroyWindow(parent);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fputs(
        "usage: vostrel-gui-bench DATABASE [POSITION=TEXT] [--sort-column C] [--searches N]\n"
        "                         [--paint-interval MS]\n"
        "       vostrel-gui-bench --bare-list N\n",
        stderr);
    return 2;
  }
  QueryPerformanceFrequency(&g_frequency);
  if (options.bareList >= 0) return MeasureBareList(options.bareList);

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"vostrel-gui-bench-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(directory.c_str(), nullptr);
  char singleBytePath[520] = {};
  WideToSingleByte(options.database.c_str(), singleBytePath, sizeof singleBytePath);
  if (!WriteBytes(directory + L"vostrel.lng", "[RUSSIAN]\r\n") ||
      !WriteBytes(directory + L"vostrel.ini", std::string(singleBytePath) + ";Bench\r\n")) {
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
  HWND searchPage = PageWindows[SearchPage];
  if (options.position >= 0) {
    HWND edit = GetDlgItem(searchPage, IdFirstCriterionEdit + 4 * options.position);
    if (!edit) {
      fputs("vostrel-gui-bench: no criteria box at that position\n", stderr);
      return 2;
    }
    SetWindowTextW(edit, options.text.c_str());
  }
  HWND status = GetDlgItem(PageWindows[ResultPage], IdStatusLine);
  g_statusPrevious = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TimingStatusProc)));

  int exitCode = 0;
  for (int search = 1; search <= options.searches; ++search) {
    const SIZE_T privateBefore = PrivateBytes();
    const SIZE_T workingBefore = Memory().WorkingSetSize;
    g_finalStatusAt = 0;
    const LONGLONG start = Now();
    SendMessageW(searchPage, WM_COMMAND, MAKEWPARAM(IdStartButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(searchPage, IdStartButton)));
    PumpUntilWorkerEnds();
    if (!g_finalStatusAt) {
      fputs("vostrel-gui-bench: the search ended without its final status line\n", stderr);
      exitCode = 1;
      break;
    }
    const SIZE_T privateAfter = PrivateBytes();
    const PROCESS_MEMORY_COUNTERS after = Memory();
    const int rows = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
    const unsigned long long textBytes = RowTextBytes(rows);

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
    const LONGLONG sortEnd = Now();
    const bool sorted =
        options.sortColumn < TheFieldTable.displayCount && ColumnInOrder(rows, options.sortColumn);

    wchar_t statusText[256] = {};
    GetWindowTextW(status, statusText, 256);
    printf(
        "search=%d rows=%d gui_ms=%.1f sort_ms=%.1f sorted=%s text_bytes=%llu "
        "private_before=%llu private_after=%llu working_before=%llu working_after=%llu "
        "working_peak=%llu status=\"%ls\"\n",
        search, rows, Millis(start, g_finalStatusAt), Millis(sortStart, sortEnd),
        sorted ? "yes" : "no", textBytes, static_cast<unsigned long long>(privateBefore),
        static_cast<unsigned long long>(privateAfter),
        static_cast<unsigned long long>(workingBefore),
        static_cast<unsigned long long>(after.WorkingSetSize),
        static_cast<unsigned long long>(after.PeakWorkingSetSize), statusText);
    fflush(stdout);
    if (!sorted) exitCode = 1;
  }
  if (g_messageBoxes) exitCode = 1;

  SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_statusPrevious));
  SendMessageW(MainWindow, WM_CLOSE, 0, 0);
  ResetApplicationForTests();
  SetSettingsRootForTests(nullptr);
  SetMessageBoxHook(nullptr);
  RegCloseKey(root);
  RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
  DeleteFileW((directory + L"vostrel.lng").c_str());
  DeleteFileW((directory + L"vostrel.ini").c_str());
  RemoveDirectoryW(directory.c_str());
  return exitCode;
}
