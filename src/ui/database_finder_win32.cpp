// Find DB and Install on the Setup page: walk the drive that holds the program for database
// files, list the valid ones that are not installed yet in list 1302, and install the one the
// user picks.
//
// On a desktop that drive is a whole disk (under Wine, often the host's entire file system),
// so the walk runs on a thread of its own and hands what it finds to the user-interface
// thread, which lists it, shows the limit warning and, below the buttons, the folder the walk is
// in. Slicing the walk into steps run from the message loop was the other way; it was not taken
// because one directory listing or one open of a candidate file can block for seconds or for
// good (a sleeping disk, a network share, a huge folder that the system reads whole before its
// first entry, a device) and no slicing cuts that short, whereas a thread of its own keeps the
// window answering whatever the disk does. For the same reason nothing here ever waits for the
// walker: Stop (Find DB pressed again), Esc and Install end the walk for the window at once, and
// the walker, stuck in a call of the system, ends by itself when the call returns, listing
// nothing more; the program's close gives it a moment and then leaves it to the process's end.
// The button's handler still returns only when the walk is over, as its callers and the Install
// steps expect, but it waits in a message loop of its own, as a modal dialog does: the window
// answers and the keyboard works meanwhile.
#include "ui/database_finder_win32.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "db/codepage.h"
#include "i18n/format_text.h"
#include "i18n/ui_strings.h"
#include "settings/database_finder.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/main_window_win32.h"
#include "ui/message_box_win32.h"
#include "ui/message_map_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/registry_win32.h"
#include "ui/schema_controls_win32.h"

FoundDatabaseListType FoundDatabaseList;

namespace {

constexpr int kPixelsPerCharacter = 7;
constexpr wchar_t kLimitWarning[] = L"Warning! Limit of searching is reached.";
// The installed-list-full message keeps this caption whatever the language.
constexpr wchar_t kFixedInfoCaption[] = L"Info";
constexpr int kInfoCaptionKey = 901;
// Posted by the walker to the sink window when it has queued something for this thread.
constexpr UINT kWalkNewsMessage = WM_APP + 1;
constexpr wchar_t kSinkClassName[] = L"VostrelFinderSink";
// The Setup page shows the folder the walk is in this often.
constexpr UINT_PTR kFolderTimer = 1;
constexpr UINT kFolderRefreshMs = 100;
// How long the program's close gives a stopped walker to end before it leaves it behind.
constexpr DWORD kCloseWaitMs = 100;

// Empty: the root of the drive that holds the application directory.
wchar_t g_finderRoot[kMaxPathChars];
// Test seams: when set, the walker waits for this event after each database it lists; and it
// lists directories through this call instead of the disk's.
std::atomic<HANDLE> g_walkGate{nullptr};
std::atomic<WalkListingForTests> g_walkListing{nullptr};
// Walker threads that have not ended yet, those left behind included.
std::atomic<int> g_walkersAlive{0};

// What the walker hands to the user-interface thread, in the order of the walk.
struct WalkNews {
  bool limitReached = false;  // else a valid database to list
  FoundDatabase database = {};
};

// One walk, owned together by the user-interface thread and the walker: it lives until both
// are done with it, so a walker left behind in a call of the system never touches freed memory.
// The user-interface thread sets the inputs before the walker starts; the news queue and the
// folder between them are locked.
struct Walk : DatabaseWalkVisitor {
  // Inputs.
  HWND setupPage = nullptr;
  HWND sink = nullptr;
  std::wstring root;
  // The installed paths as the walk starts. The installed list may change while the walk runs
  // (Check, the steps of Install); the walk lists what a walk at its start would have listed.
  std::vector<std::wstring> installedPaths;
  WalkListingForTests listing = nullptr;

  // Shared by both threads.
  std::atomic<bool> cancel{false};
  std::mutex lock;
  std::vector<WalkNews> news;  // under lock
  bool newsPosted = false;     // under lock: a kWalkNewsMessage is on its way
  bool ended = false;          // under lock: the walker has nothing more to say
  std::wstring folder;         // under lock: the directory the walk lists now

  // The walker's own; outcome is read by the other thread once ended is seen.
  DatabaseWalkOutcome outcome;
  bool limitMet = false;
  bool Cancelled() override { return limitMet || cancel.load(); }
  void Found(const FoundDatabase& database) override;
  void LimitReached() override;
  void InDirectory(const std::wstring& directory) override {
    std::lock_guard<std::mutex> hold(lock);
    folder = directory;
  }
  bool ListDirectory(const std::wstring& directory,
                     const std::function<bool(const DirectoryEntry& entry)>& visit) override {
    if (listing) return listing(directory, visit);
    return ForEachDirectoryEntry(directory, visit);
  }

  // The user-interface thread's own.
  HANDLE thread = nullptr;
  // Find DB's caption before the walk: while it walks the button reads "Stop", as pressing it
  // then stops the walk, and that shows that a walk is running.
  std::wstring findCaption;
  std::wstring shownFolder;  // what the Setup page shows of folder
  bool stopped = false;      // by the program's close: nothing more is listed or shown
  bool finished = false;     // over for the window (the walker may still be in a call)
  bool applying = false;     // ApplyWalkNews is on the stack
};

// The walk under way, or nothing. Walks run one at a time for the window; a walker left behind
// by a stop keeps its own walk alive and is heard no more.
std::shared_ptr<Walk> g_walk;
HWND g_sink = nullptr;

std::wstring RootDirectory() {
  if (g_finderRoot[0] != L'\0') return g_finderRoot;
  return DeviceRootOf(ApplicationDirectory);
}

// ---- the walker's side

// Queues news for the user-interface thread and wakes it unless a wake-up is already on its
// way (ended alone marks the end of the walk).
void Tell(Walk& walk, WalkNews* news, bool ended) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(walk.lock);
    if (news) walk.news.push_back(std::move(*news));
    if (ended) walk.ended = true;
    wake = !walk.newsPosted;
    walk.newsPosted = true;
  }
  if (wake) PostMessageW(walk.sink, kWalkNewsMessage, 0, 0);
}

void Walk::Found(const FoundDatabase& database) {
  WalkNews news;
  news.database = database;
  Tell(*this, &news, false);
  const HANDLE gate = g_walkGate.load();
  if (!gate) return;
  while (!cancel.load() && WaitForSingleObject(gate, 10) == WAIT_TIMEOUT) {
  }
}

// The handheld warned once for every directory the full list ended, each a modal box while the
// walk went on; on a disk of thousands of folders that was a storm of boxes that no Stop could
// reach. Here the warning comes once and the walk ends with it: nothing more could be listed, so
// the list is the same.
void Walk::LimitReached() {
  limitMet = true;
  WalkNews news;
  news.limitReached = true;
  Tell(*this, &news, false);
}

DWORD WINAPI WalkThread(LPVOID parameter) {
  {
    const std::unique_ptr<std::shared_ptr<Walk>> owner(
        static_cast<std::shared_ptr<Walk>*>(parameter));
    Walk& walk = **owner;
    walk.outcome = WalkForDatabases(walk.root, walk.installedPaths, kMaxFoundDatabases, walk);
    Tell(walk, nullptr, true);
  }
  --g_walkersAlive;
  return 0;
}

// ---- the user-interface thread's side

void SetHorizontalExtent(HWND setupPage) {
  const int extent =
      FoundDatabaseList.count > 0 ? ScaleToDpi(kPixelsPerCharacter * FoundDatabaseList.longest) : 0;
  SendDlgItemMessageW(setupPage, IdFoundList, LB_SETHORIZONTALEXTENT, extent, 0);
}

// Lists one valid database: entry and list-box text are added together, so a list-box index
// is always an index into FoundDatabaseList.
void AddFoundDatabase(HWND setupPage, const WalkNews& news) {
  if (FoundDatabaseList.count >= kMaxFoundDatabases) return;
  FoundDatabaseList.entries[FoundDatabaseList.count] = news.database.entry;
  ++FoundDatabaseList.count;
  const int length = static_cast<int>(news.database.text.size());
  if (length > FoundDatabaseList.longest) FoundDatabaseList.longest = length;
  SendDlgItemMessageW(setupPage, IdFoundList, LB_ADDSTRING, 0,
                      reinterpret_cast<LPARAM>(news.database.text.c_str()));
}

// Shows, below the buttons, the folder the walk lists now.
void ShowWalkFolder(Walk& walk) {
  std::wstring folder;
  {
    std::lock_guard<std::mutex> hold(walk.lock);
    folder = walk.folder;
  }
  if (folder == walk.shownFolder) return;
  walk.shownFolder = folder;
  // A drive's root is the drive and its backslash.
  if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
  wchar_t text[kMessageBufferCapacity];
  FormatText(text, kMessageBufferCapacity, UiText(TextWalkingFolder), {folder.c_str()});
  SetDlgItemTextW(walk.setupPage, IdWalkFolder, text);
}

// Lists what the walker has found and shows the warning it has met, in the walk's order.
// Once the walk is cancelled nothing more is listed: the list stays as the user last saw it.
void ApplyWalkNews(Walk& walk) {
  // The warning's message box runs messages; a wake-up that arrives meanwhile finds this call
  // still busy and leaves the news to it.
  if (walk.applying) return;
  walk.applying = true;
  for (;;) {
    std::vector<WalkNews> batch;
    {
      std::lock_guard<std::mutex> hold(walk.lock);
      batch.swap(walk.news);
      walk.newsPosted = false;
    }
    if (batch.empty()) break;
    bool listed = false;
    for (const WalkNews& news : batch) {
      if (walk.cancel.load() || walk.stopped) break;
      if (!news.limitReached) {
        AddFoundDatabase(walk.setupPage, news);
        listed = true;
        continue;
      }
      if (listed) SetHorizontalExtent(walk.setupPage);
      listed = false;
      ShowMessageBox(walk.setupPage, kLimitWarning, UiText(kInfoCaptionKey), MB_OK);
    }
    if (listed) SetHorizontalExtent(walk.setupPage);
  }
  if (!walk.finished) ShowWalkFolder(walk);
  walk.applying = false;
}

bool WalkerHasEnded(Walk& walk) {
  std::lock_guard<std::mutex> hold(walk.lock);
  return walk.ended;
}

// Ends the walk for the window, once: the button, the folder line and the cursor come back.
// After a walker that has ended, what it told last is listed and the list gets its extent;
// a cancelled walk keeps what is listed, with its extent, and a walker still busy is left
// behind (it ends by itself, heard no more).
void EndWalk(Walk& walk, bool walkerEnded) {
  if (walk.finished) return;
  walk.finished = true;
  if (g_walk.get() == &walk) {
    KillTimer(walk.sink, kFolderTimer);
    g_walk.reset();
  }
  if (walk.thread) {
    CloseHandle(walk.thread);
    walk.thread = nullptr;
  }
  if (IsWindow(walk.setupPage)) {
    if (!walk.findCaption.empty())
      SetDlgItemTextW(walk.setupPage, IdFindButton, walk.findCaption.c_str());
    SetDlgItemTextW(walk.setupPage, IdWalkFolder, L"");
  }
  if (walkerEnded && !walk.stopped) {
    ApplyWalkNews(walk);
    // As each directory's enumeration ends: an extent for what is listed, or none. A root
    // that could not be enumerated leaves the extent alone.
    if (walk.outcome.rootListed) SetHorizontalExtent(walk.setupPage);
  } else if (!walk.stopped) {
    SetHorizontalExtent(walk.setupPage);
  }
  HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
  if (GetCursor() == wait) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
}

// The program closes: nothing more is listed or shown, and the walker gets a moment to end.
void StopWalk(Walk& walk) {
  walk.stopped = true;
  walk.cancel.store(true);
  if (walk.thread) WaitForSingleObject(walk.thread, kCloseWaitMs);
  EndWalk(walk, false);
}

LRESULT OnWalkNews(HWND, UINT, WPARAM, LPARAM) {
  const std::shared_ptr<Walk> walk = g_walk;
  if (!walk) return 0;
  ApplyWalkNews(*walk);
  if (WalkerHasEnded(*walk) && !walk->applying) EndWalk(*walk, true);
  return 0;
}

LRESULT OnFolderTimer(HWND, UINT, WPARAM wParam, LPARAM) {
  const std::shared_ptr<Walk> walk = g_walk;
  if (wParam == kFolderTimer && walk) ShowWalkFolder(*walk);
  return 0;
}

const MessageMapEntry kSinkMessages[] = {
    {kWalkNewsMessage, OnWalkNews},
    {WM_TIMER, OnFolderTimer},
};

// A message-only window that the walker's wake-ups are posted to. Being a window, its
// messages are dispatched by every loop that runs on this thread, a message box's included,
// so the list keeps filling whichever loop runs.
LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchMessageMap(kSinkMessages, window, message, wParam, lParam);
}

HWND SinkWindow() {
  if (g_sink && IsWindow(g_sink)) return g_sink;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  if (!GetClassInfoW(instance, kSinkClassName, &wc)) {
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = instance;
    wc.lpszClassName = kSinkClassName;
    if (!RegisterClassW(&wc)) return nullptr;
  }
  g_sink = CreateWindowExW(0, kSinkClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                           nullptr);
  return g_sink;
}

// Runs this thread's messages as the main loop does, its keys included (Esc cancels the walk
// there), until the walk is over for the window.
void WaitForWalk(Walk& walk) {
  while (!walk.finished) {
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // The program is ending: the walk stops, and the quit goes on to the main loop.
        StopWalk(walk);
        PostQuitMessage(static_cast<int>(message.wParam));
        return;
      }
      DispatchLoopMessage(message);
      continue;
    }
    // A message sent from another thread may have ended the walk inside PeekMessageW.
    if (walk.finished) break;
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &walk.thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) EndWalk(walk, true);
  }
}

// Empties the found list and list 1302 and starts a walk; a walk under way is cancelled first,
// so walks never overlap for the window. Nothing when no thread could be had.
std::shared_ptr<Walk> StartWalk(HWND setupPage) {
  CancelDatabaseSearch();

  FoundDatabaseList.count = 0;
  SendDlgItemMessageW(setupPage, IdFoundList, LB_RESETCONTENT, 0, 0);
  FoundDatabaseList.longest = 0;

  auto walk = std::make_shared<Walk>();
  walk->setupPage = setupPage;
  walk->sink = SinkWindow();
  walk->root = RootDirectory();
  walk->listing = g_walkListing.load();
  wchar_t installed[kMaxPathChars];
  for (int i = 0; i < InstalledDatabaseList.count; ++i) {
    const char* path = InstalledDatabaseList.entries[i].path;
    // Compared with the paths the walk finds, which are whole.
    if (!InstalledPathToWide(path, installed))
      SingleByteToWide(path, strnlen(path, kDatabasePathCapacity), installed, kMaxPathChars);
    walk->installedPaths.push_back(installed);
  }
  if (!walk->sink) return nullptr;
  auto* walkersShare = new std::shared_ptr<Walk>(walk);
  ++g_walkersAlive;
  walk->thread = CreateThread(nullptr, 0, WalkThread, walkersShare, 0, nullptr);
  if (!walk->thread) {
    delete walkersShare;
    --g_walkersAlive;
    return nullptr;
  }
  g_walk = walk;
  SetTimer(walk->sink, kFolderTimer, kFolderRefreshMs, nullptr);
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  wchar_t caption[kLanguageValueCapacity] = {};
  GetDlgItemTextW(setupPage, IdFindButton, caption, kLanguageValueCapacity);
  walk->findCaption = caption;
  SetDlgItemTextW(setupPage, IdFindButton, UiText(TextStop));
  return walk;
}

// Steps of Install after the rescan has started: store the list and "Last db", refill the
// Search page's selector and load the schema of the database it shows.
void CompleteInstallation(HWND setupPage, const InstalledDatabase& chosen) {
  SaveInstalledDatabases(setupPage);
  if (WriteLastDatabase(setupPage, chosen.path) == -2) return;

  HWND searchPage = PageWindows[SearchPage];
  LoadInstalledDatabases(searchPage);
  // The criteria follow the entry that the selector now shows. That is the new database
  // whenever the list was saved and "Last db" stored; if either failed, the reloaded selector
  // shows another entry, and loading the new schema under it would search that entry's file
  // with the new database's fields.
  const int shown = SelectedInstalledEntry(searchPage);
  if (shown >= 0) LoadSchema(InstalledDatabaseList.entries[shown].path);
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

void SetWalkGateForTests(HANDLE gate) { g_walkGate.store(gate); }

void SetWalkListingForTests(WalkListingForTests listing) { g_walkListing.store(listing); }

int WalkersAliveForTests() { return g_walkersAlive.load(); }

bool DatabaseSearchRunning() { return g_walk != nullptr; }

void CancelDatabaseSearch() {
  const std::shared_ptr<Walk> walk = g_walk;
  if (!walk) return;
  walk->cancel.store(true);
  EndWalk(*walk, false);
}

void StopDatabaseSearch() {
  const std::shared_ptr<Walk> walk = g_walk;
  if (walk) StopWalk(*walk);
}

int FindDatabases(HWND setupPage, int notificationCode) {
  if (notificationCode != 0) return 0;
  if (g_walk) {
    CancelDatabaseSearch();
    return 0;
  }
  const std::shared_ptr<Walk> walk = StartWalk(setupPage);
  if (walk) WaitForWalk(*walk);
  return 0;
}

int InstallFoundDatabase(HWND setupPage, int notificationCode) {
  if (notificationCode != 0) return 0;
  if (InstalledDatabaseList.count >= kMaxInstalledDatabases) {
    wchar_t text[kMessageBufferCapacity];
    FormatText(text, kMessageBufferCapacity, UiText(TextTooManyDatabases),
               {kMaxInstalledDatabases});
    ShowMessageBox(setupPage, text, kFixedInfoCaption, MB_OK);
    return 0;
  }
  const LRESULT selected = SendDlgItemMessageW(setupPage, IdFoundList, LB_GETCURSEL, 0, 0);
  if (selected < 0 || selected >= FoundDatabaseList.count) return 0;

  // The rescan below rebuilds the found list, so the new entry is taken from here on.
  const InstalledDatabase chosen = FoundDatabaseList.entries[selected];
  AppendInstalledDatabase(&InstalledDatabaseList, chosen.name, chosen.path);

  // The rescan takes the installed list as it is now, so it lists what it always did; the
  // installation does not wait for a walk of the whole disk but goes on beside it, and the
  // call returns once both are done.
  const std::shared_ptr<Walk> rescan = StartWalk(setupPage);
  CompleteInstallation(setupPage, chosen);
  if (rescan) WaitForWalk(*rescan);
  return 0;
}
