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
// The Search page window that received the last Start/Stop command (the Search page before
// any): the owner of the worker's message box and the parent of the controls it disables and
// restores.
HWND SearchCommandPage();
// The one-line summary of the criteria of the last search (at most 255 characters).
const wchar_t* LastQuerySummary();
void ResetSearchPageForTests();
LRESULT ResetCriteria(HWND page, int controlId, HWND control, int notificationCode);

// Result page.
int CALLBACK CompareResultRows(LPARAM rowA, LPARAM rowB, LPARAM column);
void ShowRowDetails();
// Sorts the list by a column, ascending, or descending when the rows are sorted ascending by
// that column already: the order LVM_SORTITEMS with CompareResultRows gives (or its reverse,
// equal texts keeping their order), reached faster in a long list.
void SortResultList(HWND listView, int column);
// The rows are back in file order (a new search, a new schema): the next click sorts
// ascending, and no header shows an arrow.
void ForgetResultSort();
// Test seam: how the sort builds a text's sort key; nullptr restores the platform's. A builder
// writes at most capacity bytes and returns how many it wrote, or 0 on failure (with
// ERROR_INSUFFICIENT_BUFFER as the last error when more room would do).
using SortKeyBuilder = int (*)(const wchar_t* text, unsigned char* key, int capacity);
void SetSortKeyBuilderForTests(SortKeyBuilder builder);
