#include "ui/main_window_win32.h"

#include <commctrl.h>

#include <cwchar>

#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "res/resource.h"
#include "search/text_match.h"
#include "settings/installed_databases.h"
#include "settings/registry_values_win32.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/desktop_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/language_ui_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/registry_win32.h"
#include "ui/scan_cache_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "ui/window_layout_win32.h"

namespace {

// WM_DPICHANGED, named here for the headers of older Windows versions.
constexpr UINT kDpiChangedMessage = 0x02E0;
constexpr wchar_t kMainClassName[] = L"Vostrel";
constexpr wchar_t kMainTitle[] = L"Vostrel/Corvinet v2.04";
static_assert(kTabNameCount == kPageCount, "one translated name per tab");
// A desktop window that can be resized and maximized; it never shrinks below the layout.
constexpr DWORD kMainStyle =
    WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;
// A remembered size beyond this (in 96-DPI units) is taken for a damaged value.
constexpr int kLargestRememberedSide = 16384;
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
wchar_t TabCaptions[kPageCount][kTabNameCapacity];

bool ShutdownDone = false;
// Posted when a size below the layout's was raised (OnWindowPosChanging).
constexpr UINT kHandBackSize = WM_APP + 20;
bool SizeHandBackPosted = false;
const wchar_t* DirectoryOverride = nullptr;
wchar_t DirectoryOverrideBuffer[kMaxPathChars];
int ScreenHeightOverride = 0;
int DpiOverride = 0;

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
  SendMessageW(TabControl, TCM_SETPADDING, 0,
               MAKELPARAM(ScaleToDpi(kTabPadding), ScaleToDpi(kTabVerticalPadding)));
  RECT client;
  GetClientRect(window, &client);
  MoveWindow(TabControl, -2, 0, client.right + 4, client.bottom, FALSE);

  for (int i = 0; i < kPageCount; ++i) {
    wchar_t translation[kLanguageValueCapacity];
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    if (TranslateKey(kFirstTabNameKey + i, translation)) {
      lstrcpynW(TabCaptions[i], translation, kTabNameCapacity);
      item.pszText = TabCaptions[i];
    } else {
      item.pszText = const_cast<wchar_t*>(kPageClasses[i].defaultCaption);
    }
    SendMessageW(TabControl, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  CurrentPage = SearchPage;

  RECT tabClient;
  GetClientRect(TabControl, &tabClient);
  const int pageTop = ScaleToDpi(kPageTop);
  for (int i = 0; i < kPageCount; ++i) {
    PageWindows[i] =
        CreateWindowExW(WS_EX_CLIENTEDGE, kPageClasses[i].className, L"", WS_CHILD, 0, pageTop,
                        tabClient.right, tabClient.bottom - pageTop, TabControl,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdFirstPage + i)),
                        ApplicationInstance, nullptr);
    if (!PageWindows[i]) {
      DestroyWindow(window);
      return 0;
    }
  }

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

LRESULT OnSize(HWND, UINT, WPARAM wParam, LPARAM) {
  if (wParam != SIZE_MINIMIZED) LayOutMainWindow();
  return 0;
}

// The smallest outer size the window may have: the layout's client area and the frame.
SIZE SmallestWindowSize(HWND window) {
  const SIZE client = LayoutClientSize();
  return OuterSizeForClient(client.cx, client.cy,
                            static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), 0);
}

// The smallest the window may be made is the layout's size.
LRESULT OnGetMinMaxInfo(HWND window, UINT, WPARAM, LPARAM lParam) {
  auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
  const SIZE smallest = SmallestWindowSize(window);
  info->ptMinTrackSize.x = smallest.cx;
  info->ptMinTrackSize.y = smallest.cy;
  return 0;
}

// Under Wine a window manager sizes the window on its own: the smallest size above is not
// passed on to it (Wine tells the manager no smallest size for a window that can be resized),
// and the size it chose reaches the window afterwards. Raised to the smallest size here, that
// size would hold for the program while the manager kept showing the window at its own, with
// the bottom of the pages (the list's scroll bar, the status line) cut off. So a size below the
// smallest one is raised, and once the manager's message is over the window's real size is
// handed back to it.
LRESULT OnWindowPosChanging(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
  if (position && !(position->flags & SWP_NOSIZE) && !IsIconic(window) && !IsZoomed(window)) {
    const SIZE smallest = SmallestWindowSize(window);
    if (position->cx < smallest.cx || position->cy < smallest.cy) {
      if (position->cx < smallest.cx) position->cx = smallest.cx;
      if (position->cy < smallest.cy) position->cy = smallest.cy;
      if (!SizeHandBackPosted) SizeHandBackPosted = PostMessageW(window, kHandBackSize, 0, 0);
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// The window keeps its size and place; the frame's recalculation makes Wine give its size to
// the window manager again.
LRESULT OnHandBackSize(HWND window, UINT, WPARAM, LPARAM) {
  SizeHandBackPosted = false;
  SetWindowPos(window, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  return 0;
}

// The window moved to a screen of another DPI (Windows): everything is scaled to it and the
// window takes the size the system suggests.
LRESULT OnDpiChanged(HWND window, UINT, WPARAM wParam, LPARAM lParam) {
  const int dpi = LOWORD(wParam);
  if (dpi <= 0 || dpi == WindowDpi) return 0;
  const int oldDpi = WindowDpi;
  WindowDpi = dpi;
  HFONT old = RenewMessageFont();
  RescalePageControls(oldDpi, MessageFont());
  SendMessageW(TabControl, TCM_SETPADDING, 0,
               MAKELPARAM(ScaleToDpi(kTabPadding), ScaleToDpi(kTabVerticalPadding)));
  if (old) DeleteObject(old);
  if (const RECT* suggested = reinterpret_cast<const RECT*>(lParam)) {
    SetWindowPos(window, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  LayOutMainWindow();
  return 0;
}

const MessageMapEntry kMainMessages[] = {
    {WM_CREATE, OnCreate},
    {WM_NOTIFY, OnNotify},
    {WM_COMMAND, OnCommand},
    {WM_DESTROY, OnShutdown},
    {WM_CLOSE, OnShutdown},
    {WM_SIZE, OnSize},
    {WM_GETMINMAXINFO, OnGetMinMaxInfo},
    {WM_WINDOWPOSCHANGING, OnWindowPosChanging},
    {kHandBackSize, OnHandBackSize},
    {kDpiChangedMessage, OnDpiChanged},
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

// A size remembered from the last run, when it is no smaller than the layout's and not absurd;
// anything else (a missing or damaged value) leaves the layout's size.
void RestoreRememberedSize(HWND window, bool* maximized) {
  int width = 0, height = 0;
  if (!LoadWindowPlacement(TheSettingsKey, &width, &height, maximized)) return;
  const SIZE layout = LayoutClientSize();
  const int scaledWidth = ScaleToDpi(width), scaledHeight = ScaleToDpi(height);
  if (scaledWidth < layout.cx || scaledHeight < layout.cy || width > kLargestRememberedSide ||
      height > kLargestRememberedSide) {
    *maximized = false;
    return;
  }
  const SIZE outer = OuterSizeForClient(scaledWidth, scaledHeight, kMainStyle, 0);
  SetWindowPos(window, nullptr, 0, 0, outer.cx, outer.cy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Stores the window's restored client size (in 96-DPI units) and whether it is maximized. The
// restored size is kept even while the window is maximized; it is the outer size, so the frame
// comes off. Stored right after the column widths: a key that cannot be written has been
// reported for those already, once is enough.
void SaveWindowPlacement(HWND window) {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof placement;
  if (!GetWindowPlacement(window, &placement)) return;
  const SIZE frame = OuterSizeForClient(0, 0, kMainStyle, 0);
  const RECT& normal = placement.rcNormalPosition;
  const int width = ScaleFromDpi(normal.right - normal.left - frame.cx);
  const int height = ScaleFromDpi(normal.bottom - normal.top - frame.cy);
  StoreWindowPlacement(TheSettingsKey, width, height, placement.showCmd == SW_SHOWMAXIMIZED,
                       nullptr);
}

// The program's own icon in the caption, the task bar and Alt+Tab, in the sizes the desktop
// uses for each (the About page shows it too). Without its resources (the tests) nothing shows.
void ShowProgramIcon(HWND window, HINSTANCE instance) {
  const struct {
    WPARAM kind;
    int width, height;
  } sizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : sizes) {
    HANDLE icon = LoadImageW(instance, L"IDI_VOSTREL", IMAGE_ICON, GetSystemMetrics(size.width),
                             GetSystemMetrics(size.height), LR_SHARED);
    if (icon) SendMessageW(window, WM_SETICON, size.kind, reinterpret_cast<LPARAM>(icon));
  }
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
  ApplyLanguageToUiStrings(&UiStringTable, &TheLanguageFile);

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

  WindowDpi = DpiOverride > 0 ? DpiOverride : SystemDpi();
  const int screenHeight =
      ScreenHeightOverride > 0 ? ScreenHeightOverride : GetSystemMetrics(SM_CYSCREEN);
  // The layouts were made for a handheld's screen at 96 DPI: the height that picks one is
  // counted in those units.
  LayoutVariant = LayoutVariantForScreenHeight(MulDiv(screenHeight, 96, WindowDpi));

  // The layout's size is the client area's: on a desktop the caption and the borders come on
  // top, and the close box and the system menu close the program as the Exit tab does.
  const SIZE layout = LayoutClientSize();
  const SIZE outer = OuterSizeForClient(layout.cx, layout.cy, kMainStyle, 0);
  HWND window =
      CreateWindowExW(0, kMainClassName, kMainTitle, kMainStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
  if (!window || !IsWindow(window)) return nullptr;
  ShowProgramIcon(window, instance);
  bool maximized = false;
  RestoreRememberedSize(window, &maximized);
  if (maximized &&
      (showCommand == SW_SHOW || showCommand == SW_SHOWNORMAL || showCommand == SW_SHOWDEFAULT))
    showCommand = SW_SHOWMAXIMIZED;
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
  if (MainWindow) SaveWindowPlacement(MainWindow);
  // A Find DB walk lists into the Setup page and shows its warnings there: it ends first.
  StopDatabaseSearch();
  // The worker appends rows and reads the field table: it must be gone before either goes.
  StopSearchWorkerAndWait();
  // Frees every row before the list and its columns are emptied, then the kept records and the
  // field table.
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

void SetDpiForTests(int dpi) { DpiOverride = dpi; }

void ResetApplicationForTests() {
  StopDatabaseSearch();
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
  WindowDpi = 96;
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
  SizeHandBackPosted = false;
  // Each module puts back its own.
  ResetUiStrings();
  ResetSearchWorkerForTests();
  ResetSearchPageForTests();
  ResetResultListForTests();
  ResetInstalledDatabasesForTests();
  ResetSchemaForTests();
  ResetScanCacheForTests();
  ReleaseMessageFont();
  DirectoryOverride = nullptr;
  ScreenHeightOverride = 0;
  DpiOverride = 0;
}
