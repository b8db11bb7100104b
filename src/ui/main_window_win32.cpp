#include "ui/main_window_win32.h"

#include <commctrl.h>

#include <cwchar>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "res/resource.h"
#include "search/text_match.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/desktop_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/language_ui_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/registry_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui/search_worker_win32.h"

namespace {

constexpr wchar_t kMainClassName[] = L"Vostrel";
constexpr wchar_t kMainTitle[] = L"Vostrel/Corvinet v2.04";
constexpr int kTabCaptionCapacity = 128;  // 127 characters and the terminator
constexpr int kPageTop = 24;              // the pages start below the tab strip
constexpr DWORD kMainStyle = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kTabPadding = 3;
constexpr int kTabVerticalPadding = 3;

struct PageClass {
  const wchar_t* className;
  WNDPROC procedure;
  const wchar_t* defaultCaption;
};

// In PageIndex order. The Exit page only exists so that its tab has a page; it is never shown.
const PageClass kPageClasses[kPageCount] = {
    {L"SearchWnd", SearchPageProc, L"Search"}, {L"ResultWnd", ResultPageProc, L"Result"},
    {L"SetupWnd", SetupPageProc, L"Setup"},    {L"AboutWnd", AboutPageProc, L"About"},
    {L"Exit", DefWindowProcW, L"Exit"},
};

// Translated tab captions live as long as the program: the tab control keeps no copy we own.
wchar_t TabCaptions[kPageCount][kTabCaptionCapacity];

bool ShutdownDone = false;
const wchar_t* DirectoryOverride = nullptr;
wchar_t DirectoryOverrideBuffer[kMaxPathChars];
int ScreenHeightOverride = 0;

HWND PageById(int index) {
  return TabControl ? GetDlgItem(TabControl, IdFirstPage + index) : nullptr;
}

LRESULT OnCreate(HWND window, UINT, WPARAM, LPARAM) {
  MainWindow = window;
  // The handheld's command bar is left out: the desktop has no such bar.
  TabControl = CreateWindowExW(
      0, WC_TABCONTROLW, L"Tab1",
      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP | TCS_FLATBUTTONS, 50, 50, 100, 100,
      window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdTabControl)), ApplicationInstance,
      nullptr);
  if (!IsWindow(TabControl)) {
    TabControl = nullptr;
    return 0;
  }
  UseMessageFont(TabControl);
  // Half the desktop's padding beside each tab name: with it the five tabs of the portrait
  // window fit its 240 pixels, as they did on the handheld, instead of hiding Exit behind
  // the strip's arrows.
  SendMessageW(TabControl, TCM_SETPADDING, 0, MAKELPARAM(kTabPadding, kTabVerticalPadding));
  RECT client;
  GetClientRect(window, &client);
  MoveWindow(TabControl, -2, 0, client.right + 4, client.bottom, FALSE);

  for (int i = 0; i < kPageCount; ++i) {
    wchar_t translation[kLanguageValueCapacity];
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    if (TranslateKey(700 + i, translation)) {
      lstrcpynW(TabCaptions[i], translation, kTabCaptionCapacity);
      item.pszText = TabCaptions[i];
    } else {
      item.pszText = const_cast<wchar_t*>(kPageClasses[i].defaultCaption);
    }
    SendMessageW(TabControl, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  CurrentPage = SearchPage;

  RECT tabClient;
  GetClientRect(TabControl, &tabClient);
  for (int i = 0; i < kPageCount; ++i) {
    PageWindows[i] =
        CreateWindowExW(WS_EX_CLIENTEDGE, kPageClasses[i].className, L"", WS_CHILD, 0, kPageTop,
                        tabClient.right, tabClient.bottom - kPageTop, TabControl,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdFirstPage + i)),
                        ApplicationInstance, nullptr);
    if (!PageWindows[i]) {
      DestroyWindow(window);
      return 0;
    }
  }

  BuildFoldTable();
  const int selected = SelectedInstalledEntry(PageWindows[SearchPage]);
  if (selected >= 0) LoadSchema(InstalledDatabaseList.entries[selected].path);
  ShowWindow(PageById(SearchPage), SW_SHOW);
  return 0;
}

LRESULT OnNotify(HWND, UINT, WPARAM, LPARAM lParam) {
  const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
  if (!header || header->code != TCN_SELCHANGE || header->idFrom != IdTabControl) return 0;
  const int selected = static_cast<int>(SendMessageW(TabControl, TCM_GETCURSEL, 0, 0));
  if (selected == ExitPage) {
    CloseApplication(MainWindow);
  } else {
    ShowPage(selected);
  }
  return 0;
}

LRESULT OnExitCommand(HWND, int, HWND, int) { return CloseApplication(MainWindow); }
LRESULT OnSetupCommand(HWND, int, HWND, int) {
  SelectPage(SetupPage);
  return 0;
}
LRESULT OnAboutCommand(HWND, int, HWND, int) {
  SelectPage(AboutPage);
  return 0;
}

const CommandMapEntry kMainCommands[] = {
    {IDM_EXIT, OnExitCommand},
    {IDM_SETUP, OnSetupCommand},
    {IDM_ABOUT, OnAboutCommand},
};

LRESULT OnCommand(HWND window, UINT, WPARAM wParam, LPARAM lParam) {
  return DispatchCommandMap(kMainCommands, window, wParam, lParam);
}

LRESULT OnShutdown(HWND, UINT, WPARAM, LPARAM) { return ShutdownApplication(); }

const MessageMapEntry kMainMessages[] = {
    {WM_CREATE, OnCreate},    {WM_NOTIFY, OnNotify},  {WM_COMMAND, OnCommand},
    {WM_DESTROY, OnShutdown}, {WM_CLOSE, OnShutdown},
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kMainMessages, window, message, wParam, lParam);
}

bool RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure,
                         HBRUSH background) {
  WNDCLASSW wc = {};
  wc.style = 0;
  wc.lpfnWndProc = procedure;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.lpszClassName = name;
  return RegisterClassW(&wc) != 0;
}

}  // namespace

int LayoutVariantForScreenHeight(int screenHeight) {
  return screenHeight < kPortraitMinScreenHeight ? 1 : 0;
}

void ApplicationDirectoryFromModulePath(const wchar_t* modulePath, wchar_t* out) {
  const wchar_t* lastSlash = wcsrchr(modulePath, L'\\');
  if (!lastSlash) {
    lstrcpynW(out, L"\\", kMaxPathChars);
    return;
  }
  size_t length = static_cast<size_t>(lastSlash - modulePath) + 1;
  if (length > static_cast<size_t>(kMaxPathChars - 1)) length = kMaxPathChars - 1;
  wmemcpy(out, modulePath, length);
  out[length] = L'\0';
}

int InitApplication(HINSTANCE instance) {
  // The handheld's static-control colour has no desktop index; the button face is the colour
  // that desktop statics and dialogs use.
  if (!RegisterWindowClass(instance, kMainClassName, MainWindowProc,
                           GetSysColorBrush(COLOR_BTNFACE))) {
    return 1;
  }

  if (DirectoryOverride) {
    lstrcpynW(ApplicationDirectory, DirectoryOverride, kMaxPathChars);
  } else {
    wchar_t modulePath[kMaxPathChars] = {};
    GetModuleFileNameW(nullptr, modulePath, kMaxPathChars);
    modulePath[kMaxPathChars - 1] = L'\0';
    ApplicationDirectoryFromModulePath(modulePath, ApplicationDirectory);
  }

  if (!OpenLanguageFile(&TheLanguageFile, ApplicationDirectory, L"vostrel.lng")) return 1;
  CurrentLanguage[0] = L'\0';
  ReadLanguageSetting(CurrentLanguage);
  CurrentLanguage[kLanguageNameCapacity - 1] = L'\0';
  if (CurrentLanguage[0] == L'\0') lstrcpynW(CurrentLanguage, L"RUSSIAN", kLanguageNameCapacity);
  SelectLanguageSection(&TheLanguageFile, CurrentLanguage);
  ApplyLanguageToUiStrings(&TheLanguageFile);

  const HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  for (const PageClass& page : kPageClasses) {
    if (!RegisterWindowClass(instance, page.className, page.procedure, white)) return 2;
  }
  return 0;
}

HWND CreateMainWindow(HINSTANCE instance, int showCommand) {
  ApplicationInstance = instance;
  INITCOMMONCONTROLSEX controls = {sizeof controls,
                                   ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  const int screenHeight =
      ScreenHeightOverride > 0 ? ScreenHeightOverride : GetSystemMetrics(SM_CYSCREEN);
  LayoutVariant = LayoutVariantForScreenHeight(screenHeight);
  const int width = LayoutVariant == 1 ? 640 : 240;
  const int height = LayoutVariant == 1 ? 240 : 295;

  // The layout's size is the client area's: on a desktop the caption and the borders come on
  // top, and the close box and the system menu close the program as the Exit tab does.
  const SIZE outer = OuterSizeForClient(width, height, kMainStyle, 0);
  HWND window =
      CreateWindowExW(0, kMainClassName, kMainTitle, kMainStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
  if (!window || !IsWindow(window)) return nullptr;
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  if (HWND first = FirstFocusableControl(PageWindows[SearchPage])) SetFocus(first);
  return window;
}

void DispatchLoopMessage(const MSG& message) {
  if (HandleDesktopKey(message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

int RunMessageLoop() {
  MSG message = {};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchLoopMessage(message);
  return static_cast<int>(message.wParam);
}

void ShowPage(int index) {
  if (index < 0 || index >= kPageCount || index == CurrentPage) return;
  ShowWindow(PageById(CurrentPage), SW_HIDE);
  CurrentPage = index;
  ShowWindow(PageById(index), SW_SHOW);
  // The keyboard follows the page: a hidden page's control cannot keep it.
  if (GetActiveWindow() == MainWindow) {
    if (HWND first = FirstFocusableControl(PageById(index))) SetFocus(first);
  }
}

void SelectPage(int index) {
  SendMessageW(TabControl, TCM_SETCURSEL, index, 0);
  ShowPage(index);
}

LRESULT CloseApplication(HWND window) {
  SendMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT ShutdownApplication() {
  // Bound to WM_CLOSE and WM_DESTROY: whichever comes second finds everything released.
  if (ShutdownDone) return 0;
  ShutdownDone = true;
  if (ResultListView) SaveColumnWidths(ResultListView);
  // A Find DB walk lists into the Setup page and shows its warnings there: it ends first.
  StopDatabaseSearchAndWait();
  // The worker appends rows and reads the field table: it must be gone before either goes.
  StopSearchWorkerAndWait();
  // Frees every row before the list and its columns are emptied, then the field table.
  ClearSchema();
  CloseLanguageFile(&TheLanguageFile);
  PostQuitMessage(0);
  return 0;
}

void SetApplicationDirectoryForTests(const wchar_t* directory) {
  if (!directory) {
    DirectoryOverride = nullptr;
    return;
  }
  lstrcpynW(DirectoryOverrideBuffer, directory, kMaxPathChars);
  DirectoryOverride = DirectoryOverrideBuffer;
}

void SetScreenHeightForTests(int height) { ScreenHeightOverride = height; }

void ResetApplicationForTests() {
  StopDatabaseSearchAndWait();
  if (MainWindow && IsWindow(MainWindow)) DestroyWindow(MainWindow);
  StopSearchWorkerAndWait();
  ClearSchema();
  if (TheLanguageFile.file) CloseLanguageFile(&TheLanguageFile);
  TheLanguageFile = LanguageFile();

  // A posted quit (or anything else left) must not reach the next start.
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }

  const HINSTANCE instance = ApplicationInstance ? ApplicationInstance : GetModuleHandleW(nullptr);
  UnregisterClassW(kMainClassName, instance);
  for (const PageClass& page : kPageClasses) UnregisterClassW(page.className, instance);

  // This module's state and the program's shared globals.
  ApplicationInstance = nullptr;
  ApplicationDirectory[0] = L'\0';
  LayoutVariant = 0;
  MainWindow = nullptr;
  TabControl = nullptr;
  for (HWND& page : PageWindows) page = nullptr;
  CurrentPage = 0;
  SearchStopFlag.store(1);
  ResultListView = nullptr;
  MessageBuffer[0] = L'\0';
  CurrentLanguage[0] = L'\0';
  for (auto& caption : TabCaptions) caption[0] = L'\0';
  ShutdownDone = false;
  // Each module puts back its own.
  ResetUiStrings();
  ResetSearchWorkerForTests();
  ResetSearchPageForTests();
  ResetResultListForTests();
  ResetInstalledDatabasesForTests();
  ResetSchemaForTests();
  ReleaseMessageFont();
  DirectoryOverride = nullptr;
  ScreenHeightOverride = 0;
}
