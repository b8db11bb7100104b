// Identifiers of the program's resources (res/vostrel.rc).
//
// The application icon is deliberately not given a number here: its resource name is the
// string "IDI_VOSTREL", which the About page's icon static carries as its window text and the
// window class can load by name.
#pragma once

// The menu and the menu-bar description share one id; they are different resource types.
#define IDM_VOSTREL 60

// Menu commands, handled by the main window whether or not a menu is attached.
#define IDM_EXIT 500
#define IDM_SETUP 501
#define IDM_ABOUT 502

// Strings of the menu bar.
#define IDS_MENU_SEPARATOR 104
#define IDS_MENU_FILE 105
#define IDS_MENU_HELP 106

// Command ids of the two drop-down buttons of the menu bar description.
#define IDB_MENU_FILE 40001
#define IDB_MENU_HELP 40002
