// Find DB and Install on the Setup page: walk the drive that holds the program for database
// files, list the valid ones that are not installed yet in list 1302, and install the one the
// user picks. Everything runs on the user-interface thread inside the button's handler.
#include "settings/database_finder_win32.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "db/codepage.h"
#include "db/database_header.h"
#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "settings/installed_databases_win32.h"
#include "settings/registry_win32.h"
#include "ui/app_globals_win32.h"
#include "ui/message_box_win32.h"
#include "ui/schema_controls_win32.h"

FoundDatabaseListType FoundDatabaseList;

namespace {

constexpr int kFoundListId = 1302;
constexpr int kDatabaseSelectorId = 1100;
// The search pattern of one directory level: the directory, "\*.*" and the terminator.
constexpr size_t kPatternCapacity = 520;
// A file path needs a backslash and a name of at least four characters after its directory,
// and must stay within the 259 characters every user of a path can take. A directory whose
// path is longer cannot hold a usable file at any depth, so it is not entered at all; this
// also bounds the recursion when links that are not flagged as such make a loop.
constexpr size_t kMaxScannedDirectoryChars = kMaxUsablePathChars - 5;
constexpr int kPixelsPerCharacter = 7;
constexpr wchar_t kLimitWarning[] = L"Warning! Limit of searching is reached.";
// The installed-list-full message keeps this caption whatever the language.
constexpr wchar_t kFixedInfoCaption[] = L"Info";
constexpr int kInfoCaptionKey = 901;
constexpr int kMaxInstalledKey = 905;

// Empty: the root of the drive that holds the application directory.
wchar_t g_finderRoot[kMaxPathChars];
// The Setup page of the scan in progress: parent of list 1302 and owner of the warning.
HWND g_setupPage = nullptr;

// The drive part of a path, the directory that stands for "the root": "C:" for "C:\app\",
// "\\server\share" for a network path, and "" for a path without one (the current drive).
std::wstring DrivePrefixOf(const wchar_t* path) {
  if (path[0] != L'\0' && path[1] == L':') return std::wstring(path, 2);
  if (path[0] == L'\\' && path[1] == L'\\') {
    // Server and share: everything before the fourth backslash.
    int separators = 2;
    size_t i = 2;
    for (; path[i] != L'\0'; ++i) {
      if (path[i] == L'\\' && ++separators == 4) break;
    }
    return std::wstring(path, i);
  }
  return std::wstring();
}

std::wstring ResolveDirectory(const wchar_t* directory) {
  if (directory != nullptr && directory[0] != L'\0') return directory;
  if (g_finderRoot[0] != L'\0') return g_finderRoot;
  return DrivePrefixOf(ApplicationDirectory);
}

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

// ".zdb" or ".fdb" as the last four characters, or ".db" as the last three, of a name of at
// least four characters, in any letter case.
bool IsDatabaseFileName(const wchar_t* name) {
  const size_t length = wcslen(name);
  if (length <= 3) return false;
  const wchar_t* lastFour = name + length - 4;
  if (EqualsIgnoringCase(lastFour, L".zdb") || EqualsIgnoringCase(lastFour, L".fdb")) return true;
  return EqualsIgnoringCase(name + length - 3, L".db");
}

bool IsInstalled(const std::wstring& fullPath) {
  wchar_t installed[kMaxPathChars];
  for (int i = 0; i < InstalledDatabaseList.count; ++i) {
    const char* path = InstalledDatabaseList.entries[i].path;
    SingleByteToWide(path, strnlen(path, kDatabasePathCapacity), installed, kMaxPathChars);
    if (fullPath == installed) return true;
  }
  return false;
}

// A replaceable text with one number, such as "Max db file = %i". Translations come from the
// language file, so the text is never handed to printf as a format: the first %i or %d takes
// the number, "%%" is a percent sign, and anything else is shown as written.
std::wstring FormatWithNumber(const wchar_t* text, int number) {
  std::wstring out;
  bool filled = false;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (p[0] == L'%' && p[1] == L'%') {
      out += L'%';
      ++p;
    } else if (!filled && p[0] == L'%' && (p[1] == L'i' || p[1] == L'd')) {
      out += std::to_wstring(number);
      filled = true;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// Lists one valid database: entry and list-box text are added together, so a list-box index
// is always an index into FoundDatabaseList.
void AddFoundDatabase(const DatabaseHeader& header, const std::wstring& fullPath,
                      const std::string& singleBytePath) {
  InstalledDatabase& entry = FoundDatabaseList.entries[FoundDatabaseList.count];
  WideToSingleByte(header.title, entry.name, kDatabaseNameCapacity);
  entry.path[singleBytePath.copy(entry.path, kDatabasePathCapacity - 1)] = '\0';
  ++FoundDatabaseList.count;

  const std::wstring text =
      std::wstring(header.title) + L" [" + std::to_wstring(header.recordCount) + L"] " + fullPath;
  const int length = static_cast<int>(text.size());
  if (length > FoundDatabaseList.longest) FoundDatabaseList.longest = length;
  SendDlgItemMessageW(g_setupPage, kFoundListId, LB_ADDSTRING, 0,
                      reinterpret_cast<LPARAM>(text.c_str()));
}

}  // namespace

void SetFinderRootForTests(const wchar_t* root) {
  g_finderRoot[0] = L'\0';
  if (root == nullptr) return;
  size_t length = wcslen(root);
  while (length > 0 && (root[length - 1] == L'\\' || root[length - 1] == L'/')) --length;
  if (length >= kMaxPathChars) return;
  wmemcpy(g_finderRoot, root, length);
  g_finderRoot[length] = L'\0';
}

int FindDatabases(HWND setupPage, int notificationCode) {
  if (notificationCode != 0) return 0;
  g_setupPage = setupPage;
  FoundDatabaseList.count = 0;
  SendDlgItemMessageW(setupPage, kFoundListId, LB_RESETCONTENT, 0, 0);
  FoundDatabaseList.longest = 0;
  ScanDirectory(L"");
  return 0;
}

void ScanDirectory(const wchar_t* directory) {
  const std::wstring dir = ResolveDirectory(directory);
  std::wstring pattern = dir + L"\\*.*";
  if (pattern.size() >= kPatternCapacity) return;

  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = found.cFileName;
    if (EqualsIgnoringCase(name, L".") || EqualsIgnoringCase(name, L"..")) continue;
    const std::wstring fullPath = dir + L"\\" + name;

    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // Links and junctions are not followed: they could lead back up the tree forever or
      // list the same files twice under other names.
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      if (fullPath.size() <= kMaxScannedDirectoryChars) ScanDirectory(fullPath.c_str());
      continue;
    }
    if (!IsDatabaseFileName(name)) continue;
    if (fullPath.size() > static_cast<size_t>(kMaxUsablePathChars)) continue;
    if (IsInstalled(fullPath)) continue;
    // The installed list keeps single-byte paths; a path with a character that code page
    // cannot hold would be stored as a different path that opens nothing.
    std::string singleBytePath;
    if (!WideToSingleByteStrict(fullPath, &singleBytePath)) continue;

    DatabaseHeader header;
    bool viaGz = false;
    if (OpenDatabase(fullPath.c_str(), &header, &viaGz) != OpenOk) continue;

    if (FoundDatabaseList.count >= kMaxFoundDatabases) {
      ShowMessageBox(g_setupPage, kLimitWarning, UiText(kInfoCaptionKey), MB_OK);
      break;
    }
    AddFoundDatabase(header, fullPath, singleBytePath);
  } while (FindNextFileW(search, &found));

  const int extent =
      FoundDatabaseList.count > 0 ? kPixelsPerCharacter * FoundDatabaseList.longest : 0;
  SendDlgItemMessageW(g_setupPage, kFoundListId, LB_SETHORIZONTALEXTENT, extent, 0);
  FindClose(search);
}

int InstallFoundDatabase(HWND setupPage, int notificationCode) {
  if (notificationCode != 0) return 0;
  if (InstalledDatabaseList.count >= kMaxInstalledDatabases) {
    const std::wstring text = FormatWithNumber(UiText(kMaxInstalledKey), kMaxInstalledDatabases);
    ShowMessageBox(setupPage, text.c_str(), kFixedInfoCaption, MB_OK);
    return 0;
  }
  const LRESULT selected = SendDlgItemMessageW(setupPage, kFoundListId, LB_GETCURSEL, 0, 0);
  if (selected < 0 || selected >= FoundDatabaseList.count) return 0;

  // The rescan below rebuilds the found list, so the new entry is taken from here on.
  const InstalledDatabase chosen = FoundDatabaseList.entries[selected];
  AppendInstalledDatabase(chosen.name, chosen.path);

  FindDatabases(setupPage, 0);
  SaveInstalledDatabases(setupPage);
  if (WriteLastDatabase(setupPage, chosen.path) == -2) return 0;

  HWND searchPage = PageWindows[SearchPage];
  LoadInstalledDatabases(searchPage);
  // The criteria follow the entry that the selector now shows. That is the new database
  // whenever the list was saved and "Last db" stored; if either failed, the reloaded selector
  // shows another entry, and loading the new schema under it would search that entry's file
  // with the new database's fields.
  const LRESULT shown = SendDlgItemMessageW(searchPage, kDatabaseSelectorId, CB_GETCURSEL, 0, 0);
  if (shown >= 0 && shown < InstalledDatabaseList.count) {
    LoadSchema(InstalledDatabaseList.entries[shown].path);
  }
  return 0;
}
