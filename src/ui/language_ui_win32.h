// The Win32 halves of the language file: the start-up message, the Setup page's language
// selector (1308) and its Save button (1309).
#pragma once
#include <windows.h>

#include "i18n/language_file.h"

// Opens ApplicationDirectory + name; on failure shows "Could not open Language file - %s"
// (no owner, caption "Error") and returns false.
bool OpenLanguageFile(LanguageFile* lang, const wchar_t* directory, const wchar_t* name);
void FillLanguageList(LanguageFile* lang, HWND page);
int SaveLanguageChoice(HWND page, int notificationCode);
