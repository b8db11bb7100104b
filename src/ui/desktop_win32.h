// What makes the handheld program at home on a desktop, without changing its pages, controls,
// rectangles or texts: the desktop's message font, statics painted on the white pages, and the
// keyboard (Tab between controls, Ctrl+Tab between pages, Enter to start, Esc to stop, the
// result list's keys and the clipboard).
#pragma once
#include <windows.h>

#include <string>

// The font the desktop uses for dialogs and messages (the non-client metrics' message font),
// created once. A handheld's system font was about this size; a desktop's system font is far
// wider, and the fixed rectangles of the pages were laid out for the former.
HFONT MessageFont();
// Gives a control the message font (without repainting it: controls get it at creation).
void UseMessageFont(HWND control);
// Releases the font; the next MessageFont() creates it again. For the test reset.
void ReleaseMessageFont();
// Creates the message font anew at WindowDpi (after a DPI change) and returns the old one,
// which the caller deletes once no control uses it.
HFONT RenewMessageFont();
// The DPI the system reports for the screen (LogPixels under Wine).
int SystemDpi();

// WM_CTLCOLORSTATIC of a white page: the static's text is drawn on white, not on the grey
// that the desktop gives statics.
LRESULT WhiteStaticColors(HDC dc);

// The window's outer size for a client area of width x height with this style.
SIZE OuterSizeForClient(int width, int height, DWORD style, DWORD exStyle);

// Handles a key press of the message loop that the program gives a meaning on the desktop;
// true when it was handled (the message must then not be dispatched).
bool HandleDesktopKey(const MSG& message);

// The first control of the page that takes the keyboard, in reading order; nullptr when none.
HWND FirstFocusableControl(HWND page);

// Puts the selected rows of the result list on the clipboard as Unicode text, tab-separated
// with a header line: the column names, then one line per row, each cell escaped as the
// command line's TSV does (backslash, tab, line feed and carriage return as \\ \t \n \r), each
// line ended by a line feed. False when nothing is selected or the clipboard cannot be had.
bool CopySelectedRows(HWND owner);
