// The Search page: database selector, criteria, Reset and Start/Stop.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>

#include <cstring>
#include <string>

#include "db/codepage.h"
#include "i18n/format_text.h"
#include "i18n/ui_strings.h"
#include "search/query_criteria.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/desktop_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/main_window_win32.h"
#include "ui/message_box_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/registry_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui/search_worker_win32.h"

namespace {

constexpr int kCriterionTextCapacity = static_cast<int>(kMaxCriterionChars) + 1;
constexpr int kQuerySummaryCapacity = 256;

HWND SearchCommandWindow = nullptr;
wchar_t QuerySummary[kQuerySummaryCapacity] = {};
// What was typed into each criteria box at the last Start, by search position: the summary
// shows a criterion as typed, which a folded criterion no longer holds.
std::wstring TypedCriteria[kMaxSearchFields];

// The summary goes where the final status will stand, so it is readable in full until the
// scan's first status update replaces it.
void ShowQuerySummary() {
  const std::wstring summary =
      ComposeQuerySummary(&TheFieldTable, UiText(TextQuery), TypedCriteria);
  lstrcpynW(QuerySummary, summary.c_str(), kQuerySummaryCapacity);
  HWND status = GetDlgItem(PageWindows[ResultPage], IdStatusLine);
  const ControlRect& r =
      RectForLayout(*ControlRowById(ResultControls, kResultControlCount, IdStatusLine));
  MoveWindow(status, r.x, r.y, r.width + ScaleToDpi(kFinalStatusExtraWidth), r.height, TRUE);
  SetWindowTextW(status, QuerySummary);
}

// Tells why the database cannot be searched; when its file shows no problem now, ifUsable
// stands for what went wrong (nothing for DatabaseUsable).
void TellWhyNotSearchable(HWND page, const char* singleBytePath, DatabaseProblem ifUsable) {
  DatabaseProblem problem = ProblemOfDatabase(singleBytePath);
  if (problem == DatabaseUsable) problem = ifUsable;
  wchar_t widePath[kMaxPathChars] = {};
  if (!InstalledPathToWide(singleBytePath, widePath))
    SingleByteToWide(singleBytePath, strnlen(singleBytePath, kDatabasePathCapacity), widePath,
                     kMaxPathChars);
  ShowDatabaseProblem(page, widePath, problem);
}

LRESULT OnDatabaseSelected(HWND page, int, HWND, int notificationCode) {
  if (notificationCode != CBN_SELENDOK) return 0;
  const int selected = SelectedInstalledEntry(page);
  if (selected < 0) return 0;
  // A database that cannot be searched says why at once, rather than leaving the page without
  // criteria boxes and no word about it.
  const char* path = InstalledDatabaseList.entries[selected].path;
  if (LoadSchema(path) != SchemaLoaded) TellWhyNotSearchable(page, path, DatabaseUsable);
  return 0;
}

const CommandMapEntry kSearchCommands[] = {
    {IdStartButton, ToggleSearch},
    {IdResetButton, ResetCriteria},
    {IdDatabaseSelector, OnDatabaseSelected},
};

LRESULT OnCreate(HWND page, UINT, WPARAM, LPARAM) {
  BuildPageControls(page, SearchControls, kSearchControlCount, WS_CHILD | WS_VISIBLE, true);
  // A directory so long that the list's name does not fit leaves the path empty: nothing is
  // loaded rather than some other file.
  const size_t directoryLength = wcslen(ApplicationDirectory);
  const wchar_t kListName[] = L"vostrel.ini";
  if (directoryLength + wcslen(kListName) < static_cast<size_t>(kMaxPathChars)) {
    lstrcpynW(InstalledListPath, ApplicationDirectory, kMaxPathChars);
    lstrcatW(InstalledListPath, kListName);
  } else {
    InstalledListPath[0] = L'\0';
  }
  LoadInstalledDatabases(page);
  return 0;
}

LRESULT OnCtlColorStatic(HWND, UINT, WPARAM wParam, LPARAM) {
  return WhiteStaticColors(reinterpret_cast<HDC>(wParam));
}

LRESULT OnCommand(HWND page, UINT, WPARAM wParam, LPARAM lParam) {
  return DispatchCommandMap(kSearchCommands, page, wParam, lParam);
}

const MessageMapEntry kSearchMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_CTLCOLORSTATIC, OnCtlColorStatic},
    {WM_COMMAND, OnCommand},
};

}  // namespace

LRESULT CALLBACK SearchPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kSearchMessages, window, message, wParam, lParam);
}

LRESULT ResetCriteria(HWND, int, HWND, int notificationCode) {
  if (notificationCode != BN_CLICKED) return 0;
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    SetWindowTextW(static_cast<HWND>(TheFieldTable.searchMap[j]->editHandle), L"");
  }
  return 0;
}

LRESULT ToggleSearch(HWND page, int, HWND, int notificationCode) {
  if (notificationCode != BN_CLICKED) return 0;
  SearchCommandWindow = page;
  if (SearchStopFlag.load() == 0) {
    SearchStopFlag.store(1);  // the worker stops after the record in hand
    return 0;
  }
  // The flag is also set while a stopped worker is still finishing: one worker at a time.
  if (SearchWorkerActive()) return 0;
  ForgetEndedSearchWorker();
  PrepareQuery();
  return 0;
}

void PrepareQuery() {
  HWND page = SearchCommandWindow;
  // Without an installed entry there is nothing to remember or to scan.
  const int selected = SelectedInstalledEntry(page);
  if (selected < 0) return;

  // A character that Windows-1251 cannot hold would become '?', a wildcard, and the search would
  // look for something other than what was typed: such a search does not start.
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    wchar_t typed[kCriterionTextCapacity] = {};
    GetWindowTextW(static_cast<HWND>(TheFieldTable.searchMap[j]->editHandle), typed,
                   kCriterionTextCapacity);
    std::string unused;
    if (!WideToSingleByteStrict(typed, &unused)) {
      wchar_t text[kMessageBufferCapacity];
      FormatText(text, kMessageBufferCapacity, UiText(TextNoSuchLetters), {typed});
      ShowMessageBox(page, text, UiText(TextError), MB_OK);
      return;
    }
  }

  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    FieldDescriptor* field = TheFieldTable.searchMap[j];
    wchar_t typed[kCriterionTextCapacity] = {};
    GetWindowTextW(static_cast<HWND>(field->editHandle), typed, kCriterionTextCapacity);
    SetFieldCriterion(field, typed);
    if (j < kMaxSearchFields) TypedCriteria[j] = typed;
  }
  const InstalledDatabase& entry = InstalledDatabaseList.entries[selected];
  WriteLastDatabase(page, entry.path);

  FreeResultRows();
  SendMessageW(ResultListView, LVM_DELETEALLITEMS, 0, 0);
  const LRESULT extended = SendMessageW(ResultListView, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  SendMessageW(ResultListView, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, extended | LVS_EX_FULLROWSELECT);
  ShowQuerySummary();
  SelectPage(ResultPage);

  // A database whose fields could not be loaded (unusable descriptors) cannot be decoded:
  // the search ends at once, as for a file that no longer opens, rather than listing rows
  // without columns.
  if (!SchemaLoadedFor(entry.path)) {
    RestoreSearchControls();
    // Refused when they were loaded yet usable now: the file has changed since, and selecting
    // it again loads the fields it now holds.
    TellWhyNotSearchable(page, entry.path, DatabaseFieldsChanged);
    return;
  }

  SearchStopFlag.store(0);
  if (!StartSearchWorker(entry.path)) {
    // A clear flag stands for a running scan; without a thread there is none.
    SearchStopFlag.store(1);
    RestoreSearchControls();
  }
}

HWND SearchCommandPage() {
  return SearchCommandWindow ? SearchCommandWindow : PageWindows[SearchPage];
}

const wchar_t* LastQuerySummary() { return QuerySummary; }

void ResetSearchPageForTests() {
  SearchCommandWindow = nullptr;
  QuerySummary[0] = L'\0';
}
