// Every message box of the program goes through here, so tests can record owner, text and
// caption instead of blocking on a modal window.
#pragma once
#include <windows.h>

using MessageBoxHook = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type = MB_OK);
// Replaces MessageBoxW; nullptr restores it.
void SetMessageBoxHook(MessageBoxHook hook);
