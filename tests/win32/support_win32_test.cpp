// The shared helpers of the Win32 tests (see tests/support/win32_test_support.h).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "ui/app_globals_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/message_box_win32.h"
#include "ui/registry_win32.h"
#include "win32_test_support.h"

// ---------------------------------------------------------------------------------------------
// Message boxes

static std::mutex g_boxesLock;
static std::vector<RecordedMessageBox> g_boxes;
static bool g_recorderAlive = false;

// Like a real box, the recorded one takes the keyboard from the control that had it.
static int RecordMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  {
    std::lock_guard<std::mutex> hold(g_boxesLock);
    g_boxes.push_back({owner, text ? text : L"", caption ? caption : L"", type});
  }
  if (GetFocus()) SetFocus(nullptr);
  return IDOK;
}

MessageBoxRecorder::MessageBoxRecorder() {
  std::lock_guard<std::mutex> hold(g_boxesLock);
  EXPECT_FALSE(g_recorderAlive) << "two message box recorders at once";
  g_recorderAlive = true;
  g_boxes.clear();
  SetMessageBoxHook(RecordMessageBox);
}

MessageBoxRecorder::~MessageBoxRecorder() {
  SetMessageBoxHook(nullptr);
  std::lock_guard<std::mutex> hold(g_boxesLock);
  g_boxes.clear();
  g_recorderAlive = false;
}

size_t MessageBoxRecorder::Count() const {
  std::lock_guard<std::mutex> hold(g_boxesLock);
  return g_boxes.size();
}

RecordedMessageBox MessageBoxRecorder::At(size_t index) const {
  std::lock_guard<std::mutex> hold(g_boxesLock);
  if (index >= g_boxes.size()) {
    ADD_FAILURE() << "no message box number " << index << " (" << g_boxes.size() << " shown)";
    return {nullptr, L"", L"", 0};
  }
  return g_boxes[index];
}

std::vector<RecordedMessageBox> MessageBoxRecorder::All() const {
  std::lock_guard<std::mutex> hold(g_boxesLock);
  return g_boxes;
}

void MessageBoxRecorder::Clear() {
  std::lock_guard<std::mutex> hold(g_boxesLock);
  g_boxes.clear();
}

// ---------------------------------------------------------------------------------------------
// Scratch application directory

static std::atomic<int> g_scratchCounter{0};

static void DeleteTree(const std::wstring& directory) {  // directory ends in a backslash
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = directory + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(full + L"\\");
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

ScratchAppDirectory::ScratchAppDirectory() {
  wchar_t temp[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, temp);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, static_cast<DWORD>(MAX_PATH));
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::wstring candidate = std::wstring(temp) + L"vostrel-test-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(g_scratchCounter++);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate + L"\\";
  }
  EXPECT_FALSE(path_.empty()) << "no scratch directory could be made";

  savedApplicationDirectory_ = ApplicationDirectory;
  savedInstalledListPath_ = InstalledListPath;
  lstrcpynW(ApplicationDirectory, path_.c_str(), kMaxPathChars);
  lstrcpynW(InstalledListPath, (path_ + L"vostrel.ini").c_str(), kMaxPathChars);
}

ScratchAppDirectory::~ScratchAppDirectory() {
  lstrcpynW(ApplicationDirectory, savedApplicationDirectory_.c_str(), kMaxPathChars);
  lstrcpynW(InstalledListPath, savedInstalledListPath_.c_str(), kMaxPathChars);
  if (!path_.empty()) DeleteTree(path_);
}

void ScratchAppDirectory::WriteFile(const std::wstring& name, const std::string& bytes) const {
  FILE* file = _wfopen(FilePath(name).c_str(), L"wb");
  ASSERT_NE(file, nullptr) << "cannot write the scratch file";
  if (!bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  fclose(file);
}

bool ScratchAppDirectory::ReadFile(const std::wstring& name, std::string* bytes) const {
  FILE* file = _wfopen(FilePath(name).c_str(), L"rb");
  if (!file) return false;
  bytes->clear();
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, got);
  fclose(file);
  return true;
}

bool ScratchAppDirectory::FileExists(const std::wstring& name) const {
  return GetFileAttributesW(FilePath(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The repository lives in the host's file system; under Wine a Unix path becomes a DOS path
// through Wine's own export, elsewhere it is taken as it stands.
static std::wstring RepositoryPath(const char* relative) {
  std::string unixPath = std::string(VOSTREL_SOURCE_DIR) + "/" + relative;
  using ToDos = wchar_t*(CDECL*)(const char*);
  auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (toDos) {
    wchar_t* dos = toDos(unixPath.c_str());
    if (dos) {
      std::wstring result = dos;
      HeapFree(GetProcessHeap(), 0, dos);
      return result;
    }
  }
  std::wstring wide(unixPath.begin(), unixPath.end());
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

void ScratchAppDirectory::CopyRepositoryLanguageFile() const {
  std::wstring source = RepositoryPath("vostrel.lng");
  EXPECT_TRUE(CopyFileW(source.c_str(), FilePath(L"vostrel.lng").c_str(), FALSE))
      << "cannot copy the repository's vostrel.lng";
}

// ---------------------------------------------------------------------------------------------
// Registry roots

ScratchSettingsRoot::ScratchSettingsRoot() {
  subkey_ = L"Software\\VostrelTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(g_scratchCounter++);
  RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str());  // a leftover of a crashed run
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &root_, nullptr);
  EXPECT_EQ(status, ERROR_SUCCESS) << "cannot create the scratch registry root";
  SetSettingsRootForTests(root_);
}

ScratchSettingsRoot::~ScratchSettingsRoot() {
  SetSettingsRootForTests(nullptr);
  if (root_) RegCloseKey(root_);
  RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str());
  // Remove the parent too when no other test process uses it.
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VostrelTests");
}

void ScratchSettingsRoot::CreateSettingsKey() const {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(root_, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ScratchSettingsRoot::SettingsKeyExists() const {
  HKEY key;
  if (RegOpenKeyExW(root_, kSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void ScratchSettingsRoot::SetString(const wchar_t* name, const std::wstring& value) const {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(root_, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ScratchSettingsRoot::GetRaw(const wchar_t* name, DWORD* type, std::string* data) const {
  HKEY key;
  if (RegOpenKeyExW(root_, kSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    data->assign(size, '\0');
    status =
        RegQueryValueExW(key, name, nullptr, type,
                         reinterpret_cast<BYTE*>(data->empty() ? nullptr : &(*data)[0]), &size);
    data->resize(size);
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool ScratchSettingsRoot::GetString(const wchar_t* name, std::wstring* value) const {
  DWORD type = 0;
  std::string data;
  if (!GetRaw(name, &type, &data) || type != REG_SZ) return false;
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
  size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  *value = text;
  return true;
}

void ScratchSettingsRoot::SetDword(const wchar_t* name, DWORD value) const {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(root_, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(
      RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ScratchSettingsRoot::GetDword(const wchar_t* name, DWORD* value) const {
  DWORD type = 0;
  std::string data;
  if (!GetRaw(name, &type, &data) || type != REG_DWORD || data.size() != sizeof(DWORD))
    return false;
  memcpy(value, data.data(), sizeof(DWORD));
  return true;
}

HKEY InvalidSettingsRoot() {
  // Not a predefined key and never handed out by the registry: every call on it fails with
  // ERROR_INVALID_HANDLE.
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x0BADBAD0));
}

FailingSettingsRoot::FailingSettingsRoot() { SetSettingsRootForTests(InvalidSettingsRoot()); }
FailingSettingsRoot::~FailingSettingsRoot() { SetSettingsRootForTests(nullptr); }

// ---------------------------------------------------------------------------------------------
// Windows

TestWindow::TestWindow() {
  // A static window is enough for a parent: the code under test only finds children by id.
  window_ = CreateWindowExW(0, L"static", L"test page", WS_POPUP, 0, 0, 240, 270, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  EXPECT_NE(window_, nullptr) << "cannot create the test window";
}

TestWindow::~TestWindow() {
  if (window_) DestroyWindow(window_);
  PumpWaitingMessages();
}

HWND TestWindow::AddChild(const wchar_t* className, int id, DWORD style,
                          const wchar_t* text) const {
  HWND child = CreateWindowExW(0, className, text, WS_CHILD | style, 5, 5, 200, 80, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
  EXPECT_NE(child, nullptr) << "cannot create a child control";
  return child;
}

HWND TestWindow::AddComboBox(int id) const {
  return AddChild(L"combobox", id, WS_BORDER | WS_VSCROLL);
}

std::vector<std::wstring> ComboBoxItems(HWND combo) {
  std::vector<std::wstring> items;
  LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
    if (length < 0) break;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(length));
    items.push_back(text);
  }
  return items;
}

int ComboBoxSelection(HWND combo) {
  return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

void PumpWaitingMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}
