// The Setup page: language choice and the installed-database commands. The work behind each
// command belongs to the settings and language modules; this page only routes to them.
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/desktop_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/language_ui_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/schema_controls_win32.h"

namespace {

LRESULT OnFind(HWND page, int, HWND, int code) { return FindDatabases(page, code); }
LRESULT OnInstall(HWND page, int, HWND, int code) { return InstallFoundDatabase(page, code); }
LRESULT OnCheck(HWND page, int, HWND, int code) {
  if (code != BN_CLICKED) return 0;
  CheckInstalledDatabases(page);
  // Whatever the check found, the Search page's selector follows the rewritten list.
  LoadInstalledDatabases(PageWindows[SearchPage]);
  // The refilled selector may now show another database than the one whose fields are loaded
  // (its entry was dropped, or "Last db" names another); criteria and columns must follow it,
  // or a search would decode one file with another file's fields.
  FollowSelectedDatabase();
  return 0;
}
LRESULT OnFoundList(HWND, int, HWND, int) { return 0; }
LRESULT OnSaveLanguage(HWND page, int, HWND, int code) { return SaveLanguageChoice(page, code); }

const CommandMapEntry kSetupCommands[] = {
    {IdFindButton, OnFind},     {IdInstallButton, OnInstall},           {IdCheckButton, OnCheck},
    {IdFoundList, OnFoundList}, {IdSaveLanguageButton, OnSaveLanguage},
};

LRESULT OnCreate(HWND page, UINT, WPARAM, LPARAM) {
  BuildPageControls(page, SetupControls, kSetupControlCount, WS_CHILD | WS_VISIBLE, true);
  FillLanguageList(&TheLanguageFile, page);
  return 0;
}

LRESULT OnCommand(HWND page, UINT, WPARAM wParam, LPARAM lParam) {
  return DispatchCommandMap(kSetupCommands, page, wParam, lParam);
}

// While Find DB walks, the page and its controls show the wait cursor: the walk runs behind
// the window, which keeps answering, and the list fills as it goes.
LRESULT OnSetCursor(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DatabaseSearchRunning() && LOWORD(lParam) == HTCLIENT) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    return TRUE;
  }
  return DefWindowProcW(page, message, wParam, lParam);
}

LRESULT OnCtlColorStatic(HWND, UINT, WPARAM wParam, LPARAM) {
  return WhiteStaticColors(reinterpret_cast<HDC>(wParam));
}

const MessageMapEntry kSetupMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_COMMAND, OnCommand},
    {WM_SETCURSOR, OnSetCursor},
    {WM_CTLCOLORSTATIC, OnCtlColorStatic},
};

}  // namespace

LRESULT CALLBACK SetupPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kSetupMessages, window, message, wParam, lParam);
}
