#include "ui_harness.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <mutex>

#include "db/codepage.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/search_worker_win32.h"

namespace {

// A hang guard only: a healthy run takes a small fraction of it.
constexpr DWORD kPumpBoundMs = 120000;

bool g_quitSeen = false;

std::mutex g_statusLock;
std::vector<std::wstring> g_statusTexts;
WNDPROC g_statusPrevious = nullptr;

LRESULT CALLBACK RecordingStatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT && lParam) {
    std::lock_guard<std::mutex> hold(g_statusLock);
    g_statusTexts.push_back(reinterpret_cast<const wchar_t*>(lParam));
  }
  return CallWindowProcW(g_statusPrevious, window, message, wParam, lParam);
}

}  // namespace

std::string LanguageFileWithDefaults(const std::string& extraEntries) {
  return "[RUSSIAN]\r\n" + extraEntries + "[ENGLISH]\r\n700=Search\r\n";
}

AppUnderTest::AppUnderTest() {
  ResetApplicationForTests();
  g_quitSeen = false;
  SetApplicationDirectoryForTests(directory_.Path().c_str());
  directory_.WriteFile(L"vostrel.lng", LanguageFileWithDefaults());
  // "Last db" present, so loading the list shows no first-run message unless a test wants one.
  registry_.SetString(L"Last db", L"");
}

AppUnderTest::~AppUnderTest() {
  ResetApplicationForTests();
  g_quitSeen = false;
}

std::string AppUnderTest::SingleBytePath(const std::wstring& name) const {
  char path[520] = {};
  WideToSingleByte(FilePath(name).c_str(), path, sizeof path);
  return path;
}

void AppUnderTest::InstallDatabases(
    const std::vector<std::pair<std::wstring, std::string>>& entries) {
  std::string lines;
  for (const auto& entry : entries)
    lines += SingleBytePath(entry.first) + ";" + entry.second + "\r\n";
  directory_.WriteFile(L"vostrel.ini", lines);
}

void AppUnderTest::WriteDatabase(const std::wstring& name,
                                 const std::vector<DatabaseRecord>& records,
                                 DatabaseVariant variant,
                                 const std::vector<FieldDescriptor>& descriptors) {
  DatabaseWriterOptions options = FixtureOptions(variant, L"Test");
  if (!descriptors.empty()) {
    options.version = 12;
    options.descriptors = descriptors;
  }
  ASSERT_TRUE(WriteFixture(FilePath(name), options, records));
}

int AppUnderTest::Start(int screenHeight) {
  SetApplicationDirectoryForTests(directory_.Path().c_str());
  SetScreenHeightForTests(screenHeight);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const int result = InitApplication(instance);
  if (result != 0) return result;
  return CreateMainWindow(instance, SW_SHOW) ? 0 : 16;
}

std::vector<DatabaseRecord> NumberedRecords(int count, const std::string& namePrefix) {
  std::vector<DatabaseRecord> records;
  records.reserve(count);
  for (int i = 0; i < count; ++i) {
    records.push_back({std::to_string(1000000 + i), namePrefix + std::to_string(i), "STREET",
                       std::to_string(i % 100), std::to_string(i % 7)});
  }
  return records;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1100] = {};
  GetWindowTextW(window, text, 1100);
  return text;
}

HWND SearchControl(int id) { return GetDlgItem(PageWindows[SearchPage], id); }
HWND ResultControl(int id) { return GetDlgItem(PageWindows[ResultPage], id); }
HWND SetupControl(int id) { return GetDlgItem(PageWindows[SetupPage], id); }
HWND AboutControl(int id) { return GetDlgItem(PageWindows[AboutPage], id); }

RECT ChildRect(HWND control) {
  RECT r = {};
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void SendCommand(HWND page, int id, int notificationCode) {
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, notificationCode),
               reinterpret_cast<LPARAM>(GetDlgItem(page, id)));
}

void ClickSearch(int id, int notificationCode) {
  SendCommand(PageWindows[SearchPage], id, notificationCode);
}

void TapTab(int index) {
  SendMessageW(TabControl, TCM_SETCURSEL, index, 0);
  NMHDR header = {};
  header.hwndFrom = TabControl;
  header.idFrom = IdTabControl;
  header.code = TCN_SELCHANGE;
  SendMessageW(MainWindow, WM_NOTIFY, IdTabControl, reinterpret_cast<LPARAM>(&header));
}

void SelectDatabase(int index) {
  SendMessageW(SearchControl(IdDatabaseSelector), CB_SETCURSEL, index, 0);
  SendCommand(PageWindows[SearchPage], IdDatabaseSelector, CBN_SELENDOK);
}

void TypeCriterion(int searchPosition, const std::wstring& text) {
  SetWindowTextW(SearchControl(CriterionEditId(searchPosition)), text.c_str());
}

void PumpOnce() {
  MSG message;
  bool any = false;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    any = true;
    if (message.message == WM_QUIT) {
      g_quitSeen = true;
      continue;
    }
    DispatchLoopMessage(message);
  }
  if (!any) MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
}

void ClickHeader(int column, int fromId) {
  NMLISTVIEW click = {};
  click.hdr.hwndFrom = ResultListView;
  click.hdr.idFrom = fromId;
  click.hdr.code = LVN_COLUMNCLICK;
  click.iItem = -1;
  click.iSubItem = column;
  SendMessageW(PageWindows[ResultPage], WM_NOTIFY, fromId, reinterpret_cast<LPARAM>(&click));
}

bool BoundReached(DWORD start) { return GetTickCount() - start > kPumpBoundMs; }

bool WaitForWorker() {
  return PumpUntil([] { return !SearchWorkerActive(); });
}

bool StartHeldScan(int rows) {
  SetWorkerHoldForTests(rows);
  ClickSearch(IdStartButton);
  return PumpUntil([] { return WorkerHeldForTests() || !SearchWorkerActive(); }) &&
         WorkerHeldForTests();
}

bool FinishHeldScan() {
  SetWorkerHoldForTests(0);
  ResumeHeldWorkerForTests();
  return WaitForWorker();
}

void PumpFor(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) PumpOnce();
}

bool QuitPosted() {
  PumpOnce();
  return g_quitSeen;
}

int ListItemCount() {
  return static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring ListCell(int item, int column) {
  wchar_t text[300] = {};
  LVITEMW request = {};
  request.iSubItem = column;
  request.pszText = text;
  request.cchTextMax = 300;
  SendMessageW(ResultListView, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&request));
  return text;
}

std::vector<std::wstring> ListColumn(int column) {
  std::vector<std::wstring> cells;
  for (int i = 0; i < ListItemCount(); ++i) cells.push_back(ListCell(i, column));
  return cells;
}

std::vector<std::wstring> ListHeaders() {
  std::vector<std::wstring> headers;
  for (int j = 0;; ++j) {
    wchar_t text[64] = {};
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT;
    column.pszText = text;
    column.cchTextMax = 64;
    if (!SendMessageW(ResultListView, LVM_GETCOLUMNW, j, reinterpret_cast<LPARAM>(&column))) break;
    headers.push_back(text);
  }
  return headers;
}

StatusLineRecorder::StatusLineRecorder()
    : status_(ResultControl(IdStatusLine)), previous_(nullptr) {
  {
    std::lock_guard<std::mutex> hold(g_statusLock);
    g_statusTexts.clear();
  }
  previous_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(status_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingStatusProc)));
  g_statusPrevious = previous_;
}

StatusLineRecorder::~StatusLineRecorder() {
  if (IsWindow(status_))
    SetWindowLongPtrW(status_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
}

std::vector<std::wstring> StatusLineRecorder::Texts() const {
  std::lock_guard<std::mutex> hold(g_statusLock);
  return g_statusTexts;
}
