// Find DB and Install on the Setup page: walk the drive that holds the program for database
// files, list the valid ones that are not installed yet in list 1302, and install the one the
// user picks.
//
// On a desktop that drive is a whole disk (under Wine, often the host's entire file system),
// so the walk runs on a thread of its own and hands what it finds to the user-interface
// thread, which lists it and shows the limit warning. Slicing the walk into steps run from the
// message loop was the other way; it was not taken because one directory listing or one open
// of a candidate file can block for seconds (a sleeping disk, a network share, a removable
// drive) and no slicing cuts that short, whereas a thread of its own keeps the window answering
// whatever the disk does. The button's handler still returns only when the walk is over, as its
// callers and the Install steps expect, but it waits in a message loop of its own, as a modal
// dialog does: the window answers, the keyboard works, Find DB pressed again (or Esc) cancels,
// and closing the program stops the walker and waits for it.
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

// Empty: the root of the drive that holds the application directory.
wchar_t g_finderRoot[kMaxPathChars];
// Test seam: when set, the walker waits for this event after each database it lists.
std::atomic<HANDLE> g_walkGate{nullptr};

// What the walker hands to the user-interface thread, in the order of the walk.
struct WalkNews {
  bool limitReached = false;  // else a valid database to list
  FoundDatabase database = {};
};

// One walk. The user-interface thread sets the inputs before the walker starts and reads the
// walker's own fields only after it has ended; the news queue between them is locked.
struct Walk : DatabaseWalkVisitor {
  ~Walk() override {
    if (resume) CloseHandle(resume);
  }

  // Inputs.
  HWND setupPage = nullptr;
  HWND sink = nullptr;
  std::wstring root;
  // The installed paths as the walk starts. The installed list may change while the walk runs
  // (Check, the steps of Install); the walk lists what a walk at its start would have listed.
  std::vector<std::wstring> installedPaths;

  // Shared by both threads.
  std::atomic<bool> cancel{false};
  // Set when the user-interface thread has shown a limit warning, and on cancel: the walker
  // waits for it after each warning, so warnings come one at a time, as the walk reaches them.
  HANDLE resume = nullptr;
  std::mutex lock;
  std::vector<WalkNews> news;  // under lock
  bool newsPosted = false;     // under lock: a kWalkNewsMessage is on its way
  bool ended = false;          // under lock: the walker has nothing more to say

  // The walker's own: what the walk told, and its visitor calls.
  DatabaseWalkOutcome outcome;
  bool Cancelled() override { return cancel.load(); }
  void Found(const FoundDatabase& database) override;
  void LimitReached() override;

  // The user-interface thread's own.
  HANDLE thread = nullptr;
  // Find DB's caption before the walk: while it walks the button reads "Stop", as pressing it
  // then stops the walk, and that shows that a walk is running.
  std::wstring findCaption;
  bool stopped = false;   // by shutdown: nothing more is listed or shown
  bool finished = false;  // the walker has ended and been waited for
  bool applying = false;  // ApplyWalkNews is on the stack
};

// The walk under way, or nullptr. Walks run one at a time; each is owned by the call that
// started it, which does not return before the walk has finished.
Walk* g_walk = nullptr;
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

// The walk leaves the directory once the user has seen the warning.
void Walk::LimitReached() {
  WalkNews news;
  news.limitReached = true;
  Tell(*this, &news, false);
  WaitForSingleObject(resume, INFINITE);
}

DWORD WINAPI WalkThread(LPVOID parameter) {
  Walk& walk = *static_cast<Walk*>(parameter);
  walk.outcome = WalkForDatabases(walk.root, walk.installedPaths, kMaxFoundDatabases, walk);
  Tell(walk, nullptr, true);
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

// Lists what the walker has found and shows the warnings it has met, in the walk's order.
// Once the walk is cancelled nothing more is listed: the list stays as the user last saw it.
void ApplyWalkNews(Walk& walk) {
  // A warning's message box runs messages; a wake-up that arrives meanwhile finds this call
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
      if (walk.cancel.load()) break;
      if (!news.limitReached) {
        AddFoundDatabase(walk.setupPage, news);
        listed = true;
        continue;
      }
      if (listed) SetHorizontalExtent(walk.setupPage);
      listed = false;
      ShowMessageBox(walk.setupPage, kLimitWarning, UiText(kInfoCaptionKey), MB_OK);
      SetEvent(walk.resume);
    }
    if (listed) SetHorizontalExtent(walk.setupPage);
  }
  walk.applying = false;
}

bool WalkerHasEnded(Walk& walk) {
  std::lock_guard<std::mutex> hold(walk.lock);
  return walk.ended;
}

// Waits for the walker's thread (it has ended or is about to), lists what it told last and
// gives the list its extent. Runs once per walk, from whichever loop sees the end first.
void FinishWalk(Walk& walk) {
  if (walk.finished) return;
  WaitForSingleObject(walk.thread, INFINITE);
  CloseHandle(walk.thread);
  walk.thread = nullptr;
  walk.finished = true;
  if (g_walk == &walk) g_walk = nullptr;
  if (!walk.findCaption.empty() && IsWindow(walk.setupPage))
    SetDlgItemTextW(walk.setupPage, IdFindButton, walk.findCaption.c_str());
  if (!walk.stopped) {
    ApplyWalkNews(walk);
    // As each directory's enumeration ends: an extent for what is listed, or none. A root
    // that could not be enumerated leaves the extent alone.
    if (walk.outcome.rootListed) SetHorizontalExtent(walk.setupPage);
  }
  HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
  if (GetCursor() == wait) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
}

void StopWalk(Walk& walk) {
  walk.stopped = true;
  walk.cancel.store(true);
  SetEvent(walk.resume);
  FinishWalk(walk);
}

LRESULT OnWalkNews(HWND, UINT, WPARAM, LPARAM) {
  if (!g_walk) return 0;
  Walk& walk = *g_walk;
  ApplyWalkNews(walk);
  if (WalkerHasEnded(walk) && !walk.applying) FinishWalk(walk);
  return 0;
}

const MessageMapEntry kSinkMessages[] = {
    {kWalkNewsMessage, OnWalkNews},
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
// there), until the walk has finished.
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
    // A message sent from another thread may have finished the walk inside PeekMessageW.
    if (walk.finished) break;
    const DWORD woke =
        MsgWaitForMultipleObjectsEx(1, &walk.thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) FinishWalk(walk);
  }
}

// Empties the found list and list 1302 and starts a walk. A walk already under way is
// cancelled and waited for first, so walks never overlap. False when the program began to
// close meanwhile; *started is then, or when no thread could be had, left empty.
bool StartWalk(HWND setupPage, std::unique_ptr<Walk>* started) {
  started->reset();
  while (g_walk) {
    Walk& previous = *g_walk;
    CancelDatabaseSearch();
    WaitForWalk(previous);
    if (previous.stopped) return false;
  }

  FoundDatabaseList.count = 0;
  SendDlgItemMessageW(setupPage, IdFoundList, LB_RESETCONTENT, 0, 0);
  FoundDatabaseList.longest = 0;

  auto walk = std::make_unique<Walk>();
  walk->setupPage = setupPage;
  walk->sink = SinkWindow();
  walk->root = RootDirectory();
  wchar_t installed[kMaxPathChars];
  for (int i = 0; i < InstalledDatabaseList.count; ++i) {
    const char* path = InstalledDatabaseList.entries[i].path;
    // Compared with the paths the walk finds, which are whole.
    if (!InstalledPathToWide(path, installed))
      SingleByteToWide(path, strnlen(path, kDatabasePathCapacity), installed, kMaxPathChars);
    walk->installedPaths.push_back(installed);
  }
  walk->resume = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!walk->sink || !walk->resume) return true;
  walk->thread = CreateThread(nullptr, 0, WalkThread, walk.get(), 0, nullptr);
  if (!walk->thread) return true;
  g_walk = walk.get();
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  wchar_t caption[kLanguageValueCapacity] = {};
  GetDlgItemTextW(setupPage, IdFindButton, caption, kLanguageValueCapacity);
  walk->findCaption = caption;
  SetDlgItemTextW(setupPage, IdFindButton, UiText(TextStop));
  *started = std::move(walk);
  return true;
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

bool DatabaseSearchRunning() { return g_walk != nullptr; }

void CancelDatabaseSearch() {
  if (!g_walk) return;
  g_walk->cancel.store(true);
  SetEvent(g_walk->resume);
}

void StopDatabaseSearchAndWait() {
  if (g_walk) StopWalk(*g_walk);
}

int FindDatabases(HWND setupPage, int notificationCode) {
  if (notificationCode != 0) return 0;
  if (g_walk) {
    CancelDatabaseSearch();
    return 0;
  }
  std::unique_ptr<Walk> walk;
  StartWalk(setupPage, &walk);
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
  AppendInstalledDatabase(chosen.name, chosen.path);

  // The rescan takes the installed list as it is now, so it lists what it always did; the
  // installation does not wait for a walk of the whole disk but goes on beside it, and the
  // call returns once both are done.
  std::unique_ptr<Walk> rescan;
  if (!StartWalk(setupPage, &rescan)) return 0;
  CompleteInstallation(setupPage, chosen);
  if (rescan) WaitForWalk(*rescan);
  return 0;
}
