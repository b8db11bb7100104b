// The settings key, opened around every single read or write, never held.
#include "settings/registry_values_win32.h"

#include <cstring>

#include "db/codepage.h"
#include "db/database_header.h"
#include "i18n/language_file.h"

const wchar_t kSettingsKeyPath[] = L"SOFTWARE\\Halvane\\Vostrel";

namespace {

// The handheld ignored the access mask and opened with 0; a desktop grants exactly what is
// asked for, so ask for the rights each kind of access needs.
LONG OpenSettingsKeyForRead(const SettingsKey& settings, HKEY* key) {
  return RegOpenKeyExW(settings.root, kSettingsKeyPath, 0, KEY_QUERY_VALUE, key);
}

void Fail(RegistryFailure* failure, RegistryFailure::Call call, LONG code) {
  if (failure == nullptr) return;
  failure->call = call;
  failure->code = code;
}

}  // namespace

bool OpenSettingsKeyForWriting(const SettingsKey& settings, HKEY* key, RegistryFailure* failure) {
  DWORD disposition = 0;
  wchar_t noClass[] = L"";
  const LONG status = RegCreateKeyExW(settings.root, kSettingsKeyPath, 0, noClass, 0, KEY_SET_VALUE,
                                      nullptr, key, &disposition);
  if (status == ERROR_SUCCESS) return true;
  Fail(failure, RegistryFailure::CreateKey, status);
  return false;
}

int StoreLastDatabase(const SettingsKey& settings, const char* singleBytePath,
                      RegistryFailure* failure) {
  HKEY key;
  if (!OpenSettingsKeyForWriting(settings, &key, failure)) return -1;
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
  if (status == ERROR_SUCCESS) return 0;
  Fail(failure, RegistryFailure::SetValue, status);
  return -2;
}

bool LoadLastDatabase(const SettingsKey& settings, wchar_t* out, RegistryFailure* failure) {
  constexpr DWORD kCapacityBytes = 2080;
  constexpr DWORD kCapacityChars = kCapacityBytes / sizeof(wchar_t);
  out[0] = L'\0';
  HKEY key;
  LONG status = OpenSettingsKeyForRead(settings, &key);
  if (status != ERROR_SUCCESS) {
    Fail(failure, RegistryFailure::OpenKey, status);
    return false;
  }
  DWORD type = 0;
  DWORD size = kCapacityBytes;
  status = RegQueryValueExW(key, L"Last db", nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    out[0] = L'\0';
    Fail(failure, RegistryFailure::QueryValue, status);
    return false;
  }
  // The stored data need not carry its terminator.
  DWORD end = size / sizeof(wchar_t);
  out[end < kCapacityChars ? end : kCapacityChars - 1] = L'\0';
  return true;
}

void ReadLanguageSetting(const SettingsKey& settings, wchar_t* out) {
  constexpr DWORD kCapacityBytes = kLanguageNameCapacity * sizeof(wchar_t);  // 64
  out[0] = L'\0';
  HKEY key;
  if (OpenSettingsKeyForRead(settings, &key) != ERROR_SUCCESS) return;
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

int StoreLanguage(const SettingsKey& settings, const wchar_t* language, RegistryFailure* failure) {
  HKEY key;
  if (!OpenSettingsKeyForWriting(settings, &key, failure)) return -1;
  // The whole 32-character buffer is stored; zeroed behind the name so that nothing left over
  // from an earlier, longer name goes with it.
  wchar_t buffer[kLanguageNameCapacity] = {};
  lstrcpynW(buffer, language, kLanguageNameCapacity);
  // A value the registry could not take (its hive on a full or read-only disk) is no saved
  // language: the caller says so instead of asking for a restart that would change nothing.
  const LONG status = RegSetValueExW(key, L"Language", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(buffer), sizeof buffer);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS) return 0;
  Fail(failure, RegistryFailure::SetValue, status);
  return -2;
}

bool StoreColumnWidths(const SettingsKey& settings, const int* widths, int count,
                       RegistryFailure* failure) {
  HKEY key;
  if (!OpenSettingsKeyForWriting(settings, &key, failure)) return false;
  bool stored = true;
  for (int column = 0; column < count; ++column) {
    // A column of 3 pixels or less (or one that does not exist) keeps its stored width.
    if (widths[column] <= 3) continue;
    wchar_t name[16];
    wsprintfW(name, L"Col%dWidth", column);
    const DWORD value = static_cast<DWORD>(widths[column]);
    const LONG status = RegSetValueExW(key, name, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (status != ERROR_SUCCESS && stored) {
      Fail(failure, RegistryFailure::SetValue, status);
      stored = false;
    }
  }
  RegCloseKey(key);
  return stored;
}

bool StoreWindowPlacement(const SettingsKey& settings, int width, int height, bool maximized,
                          RegistryFailure* failure) {
  HKEY key;
  if (!OpenSettingsKeyForWriting(settings, &key, failure)) return false;
  const DWORD size = static_cast<DWORD>(MAKELONG(width, height));
  const DWORD zoomed = maximized ? 1 : 0;
  RegSetValueExW(key, L"Window size", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size),
                 sizeof size);
  RegSetValueExW(key, L"Window maximized", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zoomed),
                 sizeof zoomed);
  RegCloseKey(key);
  return true;
}

bool LoadWindowPlacement(const SettingsKey& settings, int* width, int* height, bool* maximized) {
  HKEY key;
  if (OpenSettingsKeyForRead(settings, &key) != ERROR_SUCCESS) return false;
  DWORD values[2] = {};
  bool read = true;
  const wchar_t* names[2] = {L"Window size", L"Window maximized"};
  for (int i = 0; i < 2 && read; ++i) {
    DWORD type = 0;
    DWORD bytes = sizeof values[i];
    read = RegQueryValueExW(key, names[i], nullptr, &type, reinterpret_cast<BYTE*>(&values[i]),
                            &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD && bytes == sizeof values[i];
  }
  RegCloseKey(key);
  if (!read) return false;
  *width = LOWORD(values[0]);
  *height = HIWORD(values[0]);
  *maximized = values[1] == 1;
  return true;
}
