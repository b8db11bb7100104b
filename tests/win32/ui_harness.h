// Starting the whole application in-process for a test and driving it the way taps would:
// commands, tab changes and list notifications sent to the real windows.
//
//   MessageBoxRecorder boxes;
//   AppUnderTest app;                      // scratch app directory and registry root
//   app.InstallDatabases({{L"a.db", "A"}}); // vostrel.ini lines for files in the directory
//   ASSERT_EQ(app.Start(), 0);             // InitApplication + CreateMainWindow
//   ClickSearch(IdStartButton);
//   ASSERT_TRUE(WaitForWorker());
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "db/database_writer.h"
#include "ui/page_controls_win32.h"
#include "win32_test_support.h"

// A language file whose RUSSIAN section (the default language) is empty: every text keeps its
// built-in English default. extraEntries ("key=text\r\n" lines, Windows-1251) go into it.
std::string LanguageFileWithDefaults(const std::string& extraEntries = "");

class AppUnderTest {
 public:
  AppUnderTest();
  ~AppUnderTest();
  AppUnderTest(const AppUnderTest&) = delete;
  AppUnderTest& operator=(const AppUnderTest&) = delete;

  ScratchAppDirectory& Directory() { return directory_; }
  ScratchSettingsRoot& Registry() { return registry_; }
  std::wstring FilePath(const std::wstring& name) const { return directory_.FilePath(name); }
  // The single-byte path of a file of the app directory, as vostrel.ini holds it.
  std::string SingleBytePath(const std::wstring& name) const;

  // Writes vostrel.ini: one line per (file name in the app directory, display name).
  void InstallDatabases(const std::vector<std::pair<std::wstring, std::string>>& entries);
  // Writes a database file into the app directory with the project's writer.
  void WriteDatabase(const std::wstring& name, const std::vector<DatabaseRecord>& records,
                     DatabaseVariant variant = VariantPlain,
                     const std::vector<FieldDescriptor>& descriptors = {});

  // InitApplication and, when it succeeds, CreateMainWindow. Returns InitApplication's result,
  // or 16 when no window came.
  int Start(int screenHeight = 480);

 private:
  ScratchAppDirectory directory_;
  ScratchSettingsRoot registry_;
};

// count records of the built-in schema: phone 1000000 + i, name namePrefix + i, street,
// house and flat.
std::vector<DatabaseRecord> NumberedRecords(int count, const std::string& namePrefix = "NAME");

std::wstring WindowText(HWND window);
HWND SearchControl(int id);
HWND ResultControl(int id);
HWND SetupControl(int id);
HWND AboutControl(int id);
// The control's rectangle in its parent's client coordinates.
RECT ChildRect(HWND control);

// A WM_COMMAND as a control sends it to its page.
void SendCommand(HWND page, int id, int notificationCode = BN_CLICKED);
void ClickSearch(int id, int notificationCode = BN_CLICKED);
// Selects a tab as a tap would: the tab control changes, then the main window hears of it.
void TapTab(int index);
void SelectDatabase(int index);  // CB_SETCURSEL, then CBN_SELENDOK
void TypeCriterion(int searchPosition, const std::wstring& text);
// A tap on a result column's header, as the list (or, with fromId, another control) reports it.
void ClickHeader(int column, int fromId = IdResultList);

// Pumps this thread's messages until no worker is alive (false after a generous bound).
bool WaitForWorker();
// Starts a search that the worker holds after `rows` rows; true once it holds.
bool StartHeldScan(int rows);
// Lets a held scan go on to its end; true once the worker has ended.
bool FinishHeldScan();
// Pumps messages until the predicate holds (false after a generous bound).
template <typename Predicate>
bool PumpUntil(Predicate done);
void PumpFor(DWORD milliseconds);
bool QuitPosted();  // true once a WM_QUIT has been seen by the pumps (cleared by AppUnderTest)

int ListItemCount();
std::wstring ListCell(int item, int column);
std::vector<std::wstring> ListColumn(int column);
std::vector<std::wstring> ListHeaders();

// Records every text the status line is given, in order, on the UI thread.
class StatusLineRecorder {
 public:
  StatusLineRecorder();
  ~StatusLineRecorder();
  StatusLineRecorder(const StatusLineRecorder&) = delete;
  StatusLineRecorder& operator=(const StatusLineRecorder&) = delete;
  std::vector<std::wstring> Texts() const;

 private:
  HWND status_;
  WNDPROC previous_;
};

// ---- template implementation

void PumpOnce();
bool BoundReached(DWORD start);

template <typename Predicate>
bool PumpUntil(Predicate done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (BoundReached(start)) return false;
    PumpOnce();
  }
  return true;
}
