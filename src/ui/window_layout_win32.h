// The main window's layout on a desktop. The window may grow beyond the layout's size, never
// below it: the tab control fills it, the pages fill the tab control, the Result page's list
// and the Setup page's list box take the growth, and the controls under them move down with
// them; every other control keeps its place. Every length is the control tables' (96-DPI
// units) scaled to WindowDpi.
#pragma once
#include <windows.h>

#include "ui/page_controls_win32.h"

// The pages start this far below the top of the tab control (96-DPI units): under the strip.
constexpr int kPageTop = 24;

// The client size of the layout (240 x 295 or 640 x 240) at WindowDpi.
SIZE LayoutClientSize();
// Notes the table row a control was created from, so that a new size can place it again.
void RememberControlRow(HWND control, const ControlSpec* row);
// On a new client size: the tab control, the pages and the table controls take their places.
void LayOutMainWindow();
// On a new DPI: every page control's rectangle and the result columns' widths are scaled from
// the old DPI to WindowDpi, and every control gets font (the message font at the new DPI).
void RescalePageControls(int oldDpi, HFONT font);
