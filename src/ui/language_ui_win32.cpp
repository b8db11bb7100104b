// The language file's start-up message, and the Setup page's language selector and Save button.
#include "ui/language_ui_win32.h"

#include <string>

#include "i18n/ui_strings.h"
#include "ui/app_globals_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"

bool OpenLanguageFile(LanguageFile* lang, const wchar_t* directory, const wchar_t* name) {
  std::wstring path = std::wstring(directory) + name;
  // A path the file functions cannot take is a file that cannot be opened.
  if (path.size() < MAX_PATH && OpenLanguageFileAt(lang, path.c_str())) return true;
  lang->file = nullptr;
  // No translation is loaded yet, so the caption is the built-in one.
  std::wstring text = L"Could not open Language file - " + path;
  ShowMessageBox(nullptr, text.c_str(), L"Error", MB_OK);
  return false;
}

void FillLanguageList(LanguageFile* lang, HWND page) {
  HWND list = GetDlgItem(page, IdLanguageSelector);
  int counter = 0;
  ForEachLanguageName(lang, [&](const wchar_t* name) {
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    // The last name that matches stays selected.
    if (lstrcmpiW(name, CurrentLanguage) == 0) SendMessageW(list, CB_SETCURSEL, counter, 0);
    ++counter;
  });
}

int SaveLanguageChoice(HWND page, int notificationCode) {
  if (notificationCode != 0) return 0;
  HWND list = GetDlgItem(page, IdLanguageSelector);
  LRESULT selection = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (selection == CB_ERR) return 0;
  // The list only holds names from the language file (at most 14 characters), but the buffer
  // is measured anyway: a longer text is cut to what CurrentLanguage holds.
  LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, selection, 0);
  if (length == CB_ERR) return 0;
  std::wstring name(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(list, CB_GETLBTEXT, selection, reinterpret_cast<LPARAM>(&name[0]));
  lstrcpynW(CurrentLanguage, name.c_str(), kLanguageNameCapacity);

  if (WriteLanguageSetting(page, CurrentLanguage) != 0) return -1;
  // Fixed text: the running program keeps the language it started with.
  ShowMessageBox(page, L"You need to restart program in order to apply changes.", UiText(TextInfo),
                 MB_OK);
  return 0;
}
