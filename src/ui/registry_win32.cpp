// The settings key HKEY_LOCAL_MACHINE\SOFTWARE\Halvane\Vostrel: opened around every single read
// or write, never held.
#include "ui/registry_win32.h"

#include <commctrl.h>

#include <cstring>

#include "db/codepage.h"
#include "db/database_header.h"
#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "ui/message_box_win32.h"

const wchar_t kSettingsKeyPath[] = L"SOFTWARE\\Halvane\\Vostrel";

static HKEY g_settingsRoot = nullptr;  // nullptr: HKEY_LOCAL_MACHINE

static HKEY SettingsRoot() { return g_settingsRoot ? g_settingsRoot : HKEY_LOCAL_MACHINE; }

void SetSettingsRootForTests(HKEY root) { g_settingsRoot = root; }

// The handheld ignored the access mask and opened with 0; a desktop grants exactly what is
// asked for, so ask for the rights each kind of access needs.
static LONG OpenSettingsKeyForRead(HKEY* key) {
  return RegOpenKeyExW(SettingsRoot(), kSettingsKeyPath, 0, KEY_QUERY_VALUE, key);
}

static void ShowErrorCode(HWND owner, LONG code, const wchar_t* caption) {
  wchar_t text[64];
  wsprintfW(text, L"Error code - %d", static_cast<int>(code));
  ShowMessageBox(owner, text, caption, MB_OK);
}

bool OpenSettingsKeyForWrite(HWND owner, HKEY* key) {
  DWORD disposition = 0;
  wchar_t noClass[] = L"";
  LONG status = RegCreateKeyExW(SettingsRoot(), kSettingsKeyPath, 0, noClass, 0, KEY_SET_VALUE,
                                nullptr, key, &disposition);
  if (status == ERROR_SUCCESS) return true;
  wchar_t text[128];
  wsprintfW(text, L"RegCreateKeyEx '%s' - %d", kSettingsKeyPath, static_cast<int>(status));
  ShowMessageBox(owner, text, UiText(TextError), MB_OK);
  return false;
}

int WriteLastDatabase(HWND owner, const char* singleBytePath) {
  HKEY key;
  if (!OpenSettingsKeyForWrite(owner, &key)) return -1;
  // The value is written from a zeroed buffer with a data size of 512 bytes (256 characters),
  // as it always was. A usable path may have up to 259 characters, though: such a path is
  // stored whole with its terminator instead of being cut.
  wchar_t path[kMaxPathChars] = {};
  size_t length =
      SingleByteToWide(singleBytePath, strnlen(singleBytePath, kMaxPathChars), path, kMaxPathChars);
  DWORD dataSize = 512;
  if ((length + 1) * sizeof(wchar_t) > dataSize)
    dataSize = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
  LONG status =
      RegSetValueExW(key, L"Last db", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), dataSize);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : -2;
}

void ReadLastDatabase(HWND owner, wchar_t* out) {
  constexpr DWORD kCapacityBytes = 2080;
  constexpr DWORD kCapacityChars = kCapacityBytes / sizeof(wchar_t);
  out[0] = L'\0';
  HKEY key;
  LONG status = OpenSettingsKeyForRead(&key);
  if (status != ERROR_SUCCESS) {
    ShowErrorCode(owner, status, L"RegOpenKeyEx:");
    return;
  }
  DWORD type = 0;
  DWORD size = kCapacityBytes;
  status = RegQueryValueExW(key, L"Last db", nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    out[0] = L'\0';
    ShowErrorCode(owner, status, L"RegQueryValueEx:");
    return;
  }
  // The stored data need not carry its terminator.
  DWORD end = size / sizeof(wchar_t);
  out[end < kCapacityChars ? end : kCapacityChars - 1] = L'\0';
}

void ReadLanguageSetting(wchar_t* out) {
  constexpr DWORD kCapacityBytes = kLanguageNameCapacity * sizeof(wchar_t);  // 64
  out[0] = L'\0';
  HKEY key;
  if (OpenSettingsKeyForRead(&key) != ERROR_SUCCESS) return;
  DWORD type = 0;
  DWORD size = kCapacityBytes;
  LONG status =
      RegQueryValueExW(key, L"Language", nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    out[0] = L'\0';
    return;
  }
  DWORD end = size / sizeof(wchar_t);
  out[end < kLanguageNameCapacity ? end : kLanguageNameCapacity - 1] = L'\0';
}

int WriteLanguageSetting(HWND owner, const wchar_t* language) {
  HKEY key;
  if (!OpenSettingsKeyForWrite(owner, &key)) return -1;
  // The whole 32-character buffer is stored; zeroed behind the name so that nothing left over
  // from an earlier, longer name goes with it.
  wchar_t buffer[kLanguageNameCapacity] = {};
  lstrcpynW(buffer, language, kLanguageNameCapacity);
  RegSetValueExW(key, L"Language", 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer), sizeof buffer);
  RegCloseKey(key);
  return 0;
}

void SaveColumnWidths(HWND listView) {
  HKEY key;
  if (!OpenSettingsKeyForWrite(listView, &key)) return;
  for (int column = 0; column < 5; ++column) {
    LRESULT width = SendMessageW(listView, LVM_GETCOLUMNWIDTH, column, 0);
    // A column of 3 pixels or less (or one that does not exist) keeps its stored width.
    if (width <= 3) continue;
    wchar_t name[16];
    wsprintfW(name, L"Col%dWidth", column);
    DWORD value = static_cast<DWORD>(width);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  RegCloseKey(key);
}
