// The window procedures of the four working pages (each a MessageMap dispatcher) and the page
// operations that other modules call.
#pragma once
#include <windows.h>

LRESULT CALLBACK SearchPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ResultPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK SetupPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK AboutPageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Search page commands.
LRESULT ToggleSearch(HWND page, int controlId, HWND control, int notificationCode);
void PrepareQuery();
LRESULT ResetCriteria(HWND page, int controlId, HWND control, int notificationCode);

// Result page.
int CALLBACK CompareResultRows(LPARAM rowA, LPARAM rowB, LPARAM column);
void ShowRowDetails();
