// Start-up, the main window with its tab control and five pages, page switching and the
// orderly shutdown.
#pragma once
#include <windows.h>

constexpr int kPortraitMinScreenHeight = 295;

// 0 on success; 1 when the main class could not be registered or the language file is missing
// (its message shown); 2 when a page class could not be registered.
int InitApplication(HINSTANCE instance);
// The main window, or nullptr when it could not be created.
HWND CreateMainWindow(HINSTANCE instance, int showCommand);
// GetMessageW and DispatchLoopMessage until WM_QUIT; returns its wParam.
int RunMessageLoop();
// One message of the loop: the keys the program handles itself (see desktop_win32.h), or
// TranslateMessage and DispatchMessageW.
void DispatchLoopMessage(const MSG& message);

void SelectPage(int index);
void ShowPage(int index);
LRESULT CloseApplication(HWND window);
// Bound to WM_CLOSE and WM_DESTROY; does its work once.
LRESULT ShutdownApplication();

// 1 (landscape 640 x 240) below 295 pixels, else 0 (portrait 240 x 295).
int LayoutVariantForScreenHeight(int screenHeight);
// The directory part of a module path, keeping its last backslash; "\" when it has none.
// out holds kMaxPathChars characters.
void ApplicationDirectoryFromModulePath(const wchar_t* modulePath, wchar_t* out);

// Test seams. They never change what the shipped program does: the program leaves them unset.
// A directory used instead of the executable's (must end in a backslash); nullptr to unset.
void SetApplicationDirectoryForTests(const wchar_t* directory);
// A screen height used instead of the system's; 0 to unset.
void SetScreenHeightForTests(int height);
// A DPI used instead of the system's; 0 to unset.
void SetDpiForTests(int dpi);
// Closes and destroys whatever a previous start left, unregisters the program's window classes
// and resets the module state, so a test can start the application again in-process.
void ResetApplicationForTests();
