// Helpers for the tests that drive real Win32 windows, files and the registry under Wine.
// Implemented in tests/win32/support_win32_test.cpp, so only vostrel_win32_tests can use them.
//
//   MessageBoxRecorder   replaces every message box of the program by a record of it
//   ScratchAppDirectory  a private application directory; points ApplicationDirectory and
//                        InstalledListPath at it while it lives, and removes it afterwards
//   ScratchSettingsRoot  a private registry root (HKCU\Software\VostrelTests\<pid>-<n>) that
//                        the settings code uses instead of HKEY_LOCAL_MACHINE while it lives
//   TestWindow           a hidden top-level window standing in for a page, with child controls
//
// Typical use:
//   MessageBoxRecorder boxes;
//   ScratchAppDirectory app;
//   ScratchSettingsRoot registry;
//   app.WriteFile(L"vostrel.ini", "C:\\a.db;Alpha\r\n");
//   TestWindow page;
//   HWND combo = page.AddComboBox(1100);
//   ... LoadInstalledDatabases(page.Handle()) ...
//   ASSERT_EQ(boxes.Count(), 1u);
//   EXPECT_EQ(boxes.At(0).caption, L"RegOpenKeyEx:");
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// One message box as the program asked for it.
struct RecordedMessageBox {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT type;
};

// Records every ShowMessageBox call (from any thread) instead of showing a modal box; each call
// answers IDOK. Only one recorder may live at a time; the destructor restores the real boxes.
class MessageBoxRecorder {
 public:
  MessageBoxRecorder();
  ~MessageBoxRecorder();
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  size_t Count() const;
  RecordedMessageBox At(size_t index) const;  // a copy; index must be below Count()
  std::vector<RecordedMessageBox> All() const;
  void Clear();
};

// A fresh directory under the temporary folder, ending in a backslash. While it lives,
// ApplicationDirectory is this directory and InstalledListPath is its "vostrel.ini"; the old
// values come back and the directory with everything in it is deleted on destruction.
class ScratchAppDirectory {
 public:
  ScratchAppDirectory();
  ~ScratchAppDirectory();
  ScratchAppDirectory(const ScratchAppDirectory&) = delete;
  ScratchAppDirectory& operator=(const ScratchAppDirectory&) = delete;

  const std::wstring& Path() const { return path_; }  // with the trailing backslash
  std::wstring FilePath(const std::wstring& name) const { return path_ + name; }
  // Writes (or replaces) a file of the directory with exactly these bytes.
  void WriteFile(const std::wstring& name, const std::string& bytes) const;
  // The bytes of a file of the directory; false when it cannot be read.
  bool ReadFile(const std::wstring& name, std::string* bytes) const;
  bool FileExists(const std::wstring& name) const;
  // Copies the repository's vostrel.lng into the directory.
  void CopyRepositoryLanguageFile() const;

 private:
  std::wstring path_;
  std::wstring savedApplicationDirectory_;
  std::wstring savedInstalledListPath_;
};

// A fresh registry key HKCU\Software\VostrelTests\<pid>-<n>, handed to SetSettingsRootForTests
// while the object lives: the settings key is then <root>\SOFTWARE\Halvane\Vostrel. The root
// starts empty (the settings key does not exist, as on a first run). Deleted on destruction.
class ScratchSettingsRoot {
 public:
  ScratchSettingsRoot();
  ~ScratchSettingsRoot();
  ScratchSettingsRoot(const ScratchSettingsRoot&) = delete;
  ScratchSettingsRoot& operator=(const ScratchSettingsRoot&) = delete;

  HKEY Root() const { return root_; }
  // Creates the settings key without any value ("key present, value missing").
  void CreateSettingsKey() const;
  bool SettingsKeyExists() const;
  // Values of the settings key. Readers return false when the key or value is missing.
  void SetString(const wchar_t* name, const std::wstring& value) const;
  bool GetString(const wchar_t* name, std::wstring* value) const;
  // The raw value: its type and every byte of its data.
  bool GetRaw(const wchar_t* name, DWORD* type, std::string* data) const;
  void SetDword(const wchar_t* name, DWORD value) const;
  bool GetDword(const wchar_t* name, DWORD* value) const;

 private:
  std::wstring subkey_;  // below HKEY_CURRENT_USER
  HKEY root_ = nullptr;
};

// A root that makes every open and create of the settings key fail: an invalid key handle.
// Pass it to SetSettingsRootForTests (and nullptr afterwards), or use FailingSettingsRoot.
HKEY InvalidSettingsRoot();
// While it lives, the settings code sees InvalidSettingsRoot(); restores HKEY_LOCAL_MACHINE.
class FailingSettingsRoot {
 public:
  FailingSettingsRoot();
  ~FailingSettingsRoot();
  FailingSettingsRoot(const FailingSettingsRoot&) = delete;
  FailingSettingsRoot& operator=(const FailingSettingsRoot&) = delete;
};

// A hidden top-level window that stands in for a page: a parent for controls with the ids
// that the code under test looks up with GetDlgItem. Destroyed with its children.
class TestWindow {
 public:
  TestWindow();
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND Handle() const { return window_; }
  // A combobox child as the pages create theirs (no combo-box type bits).
  HWND AddComboBox(int id) const;
  HWND AddChild(const wchar_t* className, int id, DWORD style, const wchar_t* text = L"") const;

 private:
  HWND window_ = nullptr;
};

// The item texts and the selection (CB_ERR when none) of a combobox.
std::vector<std::wstring> ComboBoxItems(HWND combo);
int ComboBoxSelection(HWND combo);

// Runs the window messages that are waiting for this thread (never blocks).
void PumpWaitingMessages();
