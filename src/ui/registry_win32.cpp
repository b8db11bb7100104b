// The registry settings as the user interface uses them: each failure is told to the user in a
// message box owned by the window that asked.
#include "ui/registry_win32.h"

#include <commctrl.h>

#include "i18n/ui_strings.h"
#include "ui/app_globals_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"

namespace {

constexpr int kSavedColumns = 5;

}  // namespace

void ShowRegistryFailure(HWND owner, const RegistryFailure& failure) {
  wchar_t text[128];
  if (failure.call == RegistryFailure::CreateKey) {
    wsprintfW(text, L"RegCreateKeyEx '%s' - %d", kSettingsKeyPath, static_cast<int>(failure.code));
    ShowMessageBox(owner, text, UiText(TextError), MB_OK);
    return;
  }
  wsprintfW(text, L"Error code - %d", static_cast<int>(failure.code));
  const wchar_t* caption = failure.call == RegistryFailure::OpenKey    ? L"RegOpenKeyEx:"
                           : failure.call == RegistryFailure::SetValue ? L"RegSetValueEx:"
                                                                       : L"RegQueryValueEx:";
  ShowMessageBox(owner, text, caption, MB_OK);
}

void SetSettingsRootForTests(HKEY root) {
  TheSettingsKey.root = root != nullptr ? root : HKEY_LOCAL_MACHINE;
}

void ReadLanguageSetting(wchar_t* out) { ReadLanguageSetting(TheSettingsKey, out); }

bool OpenSettingsKeyForWrite(HWND owner, HKEY* key) {
  RegistryFailure failure;
  if (OpenSettingsKeyForWriting(TheSettingsKey, key, &failure)) return true;
  ShowRegistryFailure(owner, failure);
  return false;
}

int WriteLastDatabase(HWND owner, const char* singleBytePath) {
  RegistryFailure failure;
  const int result = StoreLastDatabase(TheSettingsKey, singleBytePath, &failure);
  if (result != 0) ShowRegistryFailure(owner, failure);
  return result;
}

void ReadLastDatabase(HWND owner, wchar_t* out) {
  RegistryFailure failure;
  if (!LoadLastDatabase(TheSettingsKey, out, &failure)) ShowRegistryFailure(owner, failure);
}

int WriteLanguageSetting(HWND owner, const wchar_t* language) {
  RegistryFailure failure;
  const int result = StoreLanguage(TheSettingsKey, language, &failure);
  if (result != 0) ShowRegistryFailure(owner, failure);
  return result;
}

void SaveColumnWidths(HWND listView) {
  int widths[kSavedColumns];
  for (int column = 0; column < kSavedColumns; ++column)
    // Saved in 96-DPI units, so that a user's widths survive a change of screen.
    widths[column] =
        ScaleFromDpi(static_cast<int>(SendMessageW(listView, LVM_GETCOLUMNWIDTH, column, 0)));
  RegistryFailure failure;
  if (!StoreColumnWidths(TheSettingsKey, widths, kSavedColumns, &failure))
    ShowRegistryFailure(listView, failure);
}
