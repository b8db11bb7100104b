// Loading "vostrel.ini" into the Search page's database selector, saving it, and the Setup
// page's check of every installed file.
#include "ui/installed_databases_win32.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <string_view>

#include "db/codepage.h"
#include "db/database_header.h"
#include "db/file_system.h"
#include "i18n/format_text.h"
#include "i18n/ui_strings.h"
#include "settings/database_finder.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "ui/search_worker_win32.h"

constexpr int kLastDatabaseCapacity = 2080 / sizeof(wchar_t);

wchar_t InstalledListPath[kMaxPathChars] = {};

namespace {

struct LoadContext {
  HWND selector;
  const wchar_t* lastPath;
  bool selected;
};

void AddLoadedEntry(void* context, int index) {
  LoadContext* load = static_cast<LoadContext*>(context);
  const InstalledDatabase& entry = InstalledDatabaseList.entries[index];
  wchar_t wide[kMaxPathChars];
  SingleByteToWide(entry.name, strnlen(entry.name, sizeof entry.name), wide, kMaxPathChars);
  SendMessageW(load->selector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide));
  SingleByteToWide(entry.path, strnlen(entry.path, sizeof entry.path), wide, kMaxPathChars);
  // The entry whose path equals "Last db" is preselected; a later entry with the same path
  // takes the selection over. A "Last db" that could not be read is empty, and an entry whose
  // path is empty equals it, as the handheld's comparison found.
  if (wcscmp(wide, load->lastPath) == 0) {
    SendMessageW(load->selector, CB_SETCURSEL, index, 0);
    load->selected = true;
  }
}

void ShowCannotSave(HWND owner) {
  wchar_t text[kMessageBufferCapacity];
  FormatText(text, kMessageBufferCapacity, UiText(TextListNotSaved), {InstalledListPath});
  ShowMessageBox(owner, text, UiText(TextError), MB_OK);
}

bool WriteEntryLine(FILE* file, const InstalledDatabase& entry) {
  std::string line = FormatInstalledDatabaseLine(entry);
  return fwrite(line.data(), 1, line.size(), file) == line.size();
}

// Closes the file; false when anything written did not reach it.
// The list is written to a file beside it and swapped in only when every byte arrived, so a
// full card or a failing write never leaves the user with an emptied or cut list. Opening the
// list itself for appending first proves it can be replaced, without touching its content.
bool ListPathWritable() {
  FILE* probe = OpenFileWide(InstalledListPath, L"ab");
  if (!probe) return false;
  fclose(probe);
  return true;
}

// The file being written beside the list: a new file of its own, under a name no longer than
// the list's own (so that wherever the list can be written, so can it).
std::wstring PendingList;

FILE* OpenPendingList() {
  if (InstalledListPath[0] == L'\0' || !ListPathWritable()) return nullptr;
  const wchar_t* slash = wcsrchr(InstalledListPath, L'\\');
  const size_t nameLength = wcslen(slash != nullptr ? slash + 1 : InstalledListPath);
  return CreateTemporaryBeside(InstalledListPath, &PendingList, nameLength);
}

bool FinishWriting(FILE* file, bool writtenSoFar) {
  bool flushed = fflush(file) == 0;
  bool closed = fclose(file) == 0;
  if (writtenSoFar && flushed && closed &&
      ReplaceFileWide(PendingList.c_str(), InstalledListPath)) {
    ForgetTemporaryFile(PendingList.c_str());
    return true;
  }
  RemoveTemporaryFile(PendingList.c_str());
  return false;
}

}  // namespace

int LoadInstalledDatabases(HWND page) {
  // The file first: without it the list and the selector stay exactly as they are.
  FILE* file = OpenFileWide(InstalledListPath, L"rb");
  if (!file) return -1;

  wchar_t lastPath[kLastDatabaseCapacity];
  ReadLastDatabase(page, lastPath);

  HWND selector = GetDlgItem(page, IdDatabaseSelector);
  SendMessageW(selector, CB_RESETCONTENT, 0, 0);
  LoadContext load = {selector, lastPath, false};
  ReadInstalledDatabases(&InstalledDatabaseList, file, AddLoadedEntry, &load);
  if (!load.selected) SendMessageW(selector, CB_SETCURSEL, 0, 0);
  UpdateWindow(selector);
  fclose(file);
  return 0;
}

int SaveInstalledDatabases(HWND owner) {
  FILE* file = OpenPendingList();
  if (!file) {
    ShowCannotSave(owner);
    return -1;
  }
  bool written = true;
  for (int i = 0; i < InstalledDatabaseList.count; ++i) {
    written = WriteEntryLine(file, InstalledDatabaseList.entries[i]) && written;
  }
  // A list that did not reach the disk is not reported as saved.
  if (!FinishWriting(file, written)) {
    ShowCannotSave(owner);
    return -1;
  }
  return 0;
}

int CheckInstalledDatabases(HWND owner) {
  // Opened before anything is checked: when it cannot be written, nothing is checked.
  FILE* file = OpenPendingList();
  if (!file) {
    ShowCannotSave(owner);
    return -1;
  }
  const char* scanned = ActiveScanDatabase();
  int bad = 0;
  bool written = true;
  for (int i = 0; i < InstalledDatabaseList.count; ++i) {
    const InstalledDatabase& entry = InstalledDatabaseList.entries[i];
    // A running search keeps its plain database file open without sharing, so opening it now
    // would fail and drop a good database. The file being searched is known to be usable.
    if (scanned && strcmp(scanned, entry.path) == 0) {
      written = WriteEntryLine(file, entry) && written;
      continue;
    }
    wchar_t path[kMaxPathChars];
    DatabaseHeader header;
    bool viaGz = false;
    if (!InstalledPathToWide(entry.path, path) || OpenDatabase(path, &header, &viaGz) != OpenOk) {
      wchar_t text[kMessageBufferCapacity];
      FormatText(text, kMessageBufferCapacity, UiText(TextBadDatabase), {path});
      ShowMessageBox(owner, text, UiText(TextError), MB_OK);
      ++bad;
      continue;
    }
    written = WriteEntryLine(file, entry) && written;
  }
  if (!FinishWriting(file, written)) {
    ShowCannotSave(owner);
    return -1;
  }

  if (bad == 0) {
    ShowMessageBox(owner, UiText(TextAllDatabasesGood), UiText(TextInfo), MB_OK);
  } else {
    wchar_t text[kMessageBufferCapacity];
    FormatText(text, kMessageBufferCapacity, UiText(TextWrongDatabases), {bad});
    ShowMessageBox(owner, text, UiText(TextInfo), MB_OK);
  }
  return 0;
}

int SelectedInstalledEntry(HWND searchPage) {
  const int selected =
      static_cast<int>(SendDlgItemMessageW(searchPage, IdDatabaseSelector, CB_GETCURSEL, 0, 0));
  if (selected < 0 || selected >= InstalledDatabaseList.count) return -1;
  return selected;
}

bool InstalledPathToWide(const char* singleBytePath, wchar_t* out) {
  out[0] = L'\0';
  const size_t length = strnlen(singleBytePath, kDatabasePathCapacity);
  if (length == 0) return true;
  const std::wstring given = SingleByteToWide(std::string_view(singleBytePath, length));
  const std::wstring directory = ApplicationDirectory;
  const bool directoryHasDrive = directory.size() >= 2 && directory[1] == L':';
  auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };

  // Made absolute as Windows would for a program whose current folder is its own and that has
  // no current folder on any other drive: the answer never depends on where it was started.
  std::wstring absolute;
  if (given.size() >= 2 && given[1] == L':') {
    if (given.size() >= 3 && isSeparator(given[2])) {
      absolute = given;
    } else if (directoryHasDrive && towupper(given[0]) == towupper(directory[0])) {
      absolute = directory + given.substr(2);  // "C:x.db" on the program's drive
    } else {
      absolute = given.substr(0, 2) + L"\\" + given.substr(2);  // the drive's root
    }
  } else if (isSeparator(given[0])) {
    // "\\server\share\..." stands as it is; "\dir\x.db" is on the program's drive.
    absolute = given.size() >= 2 && isSeparator(given[1]) ? given
                                                          : DeviceRootOf(directory.c_str()) + given;
  } else {
    absolute = directory + given;
  }
  // Every open takes it for a file that is not there (file_system.h); it is left unresolved,
  // since resolved it would read "\\.\NUL", and the message that says so names the file.
  if (NamesAWindowsDevice(absolute)) {
    if (absolute.size() > static_cast<size_t>(kMaxUsablePathChars)) return false;
    wmemcpy(out, absolute.c_str(), absolute.size() + 1);
    return true;
  }
  // "." and ".." resolved, separators made backslashes: the path the open would take, and the
  // one Find DB meets the file under. Longer than a usable path it is refused, since cut it
  // would name another file.
  wchar_t full[2 * kDatabasePathCapacity];
  const DWORD fullLength =
      GetFullPathNameW(absolute.c_str(), 2 * kDatabasePathCapacity, full, nullptr);
  if (fullLength == 0 || fullLength > static_cast<DWORD>(kMaxUsablePathChars)) return false;
  wmemcpy(out, full, fullLength + 1);
  return true;
}

void ResetInstalledDatabasesForTests() {
  InstalledListPath[0] = L'\0';
  InstalledDatabaseList.count = 0;
}
