// Find DB on a device of 100,000 files, on the application's own windows under Wine: the walk
// lists what the old walk on the user-interface thread listed, in its order, while the window
// answers posted messages, the list fills and the wait cursor shows; pressing
// Find DB again or Esc cancels and keeps what is listed; Install during a walk installs and
// rescans; closing or resetting the program stops the walk; Stop, Esc and the close box end a
// walk held inside a slow or a huge folder (a stand-in for the disk) at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "db/database_header.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui_harness.h"

namespace {

constexpr int kTopDirectories = 100;
constexpr int kLeavesPerTop = 20;
constexpr int kFilesPerLeaf = 50;  // 100 x 20 x 50 = 100,000 plain files

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring LeafPath(const std::wstring& root, int leaf) {
  return root + L"\\t" + std::to_wstring(leaf / kLeavesPerTop) + L"\\d" +
         std::to_wstring(leaf % kLeavesPerTop);
}

// Every 15th leaf holds a valid database (133 of them, past the limit of 100) and, off by
// four, another a broken one.
std::wstring DatabaseIn(const std::wstring& root, int leaf) {
  return LeafPath(root, leaf) + L"\\city" + std::to_wstring(leaf) + L".db";
}

// Creating 100,000 files costs Wine about ten seconds and deleting them as much again, so the
// tree is built once per Wine prefix and only read afterwards; a marker written last tells a
// complete tree from an interrupted one.
const std::wstring& DeviceTree() {
  static std::wstring root;
  if (!root.empty()) return root;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  root = std::wstring(temp) + L"vostrel-walk-tree-1";
  const std::wstring marker = root + L"\\complete";
  if (Exists(marker)) return root;
  CreateDirectoryW(root.c_str(), nullptr);
  for (int top = 0; top < kTopDirectories; ++top) {
    CreateDirectoryW((root + L"\\t" + std::to_wstring(top)).c_str(), nullptr);
    for (int i = 0; i < kLeavesPerTop; ++i) {
      const int leaf = top * kLeavesPerTop + i;
      const std::wstring dir = LeafPath(root, leaf);
      CreateDirectoryW(dir.c_str(), nullptr);
      for (int f = 0; f < kFilesPerLeaf; ++f) {
        HANDLE file = CreateFileW((dir + L"\\f" + std::to_wstring(f) + L".txt").c_str(),
                                  GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      }
      if (leaf % 15 == 7) {
        WriteFixture(DatabaseIn(root, leaf),
                     FixtureOptions(VariantPlain, L"City " + std::to_wstring(leaf)),
                     NumberedRecords(1 + leaf % 5));
      }
      if (leaf % 15 == 11) WriteFileBytes(dir + L"\\broken.zdb", "not a database");
    }
  }
  WriteFileBytes(marker, "");
  return root;
}

struct WalkResult {
  std::vector<std::wstring> texts;
  std::vector<std::wstring> paths;
  int warnings = 0;
};

// The walk as it ran on the user-interface thread before, for the names this tree holds.
void OldWalk(const std::wstring& directory, const std::set<std::wstring>& installed,
             WalkResult* out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = directory + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      OldWalk(path, installed, out);
      continue;
    }
    const std::wstring tail = name.size() >= 4 ? name.substr(name.size() - 4) : L"";
    if ((tail != L".zdb" && tail.substr(1) != L".db") || installed.count(path)) continue;
    DatabaseHeader header;
    bool viaGz = false;
    if (OpenDatabase(path.c_str(), &header, &viaGz) != OpenOk) continue;
    if (out->texts.size() == 100) {
      ++out->warnings;
      break;
    }
    out->texts.push_back(std::wstring(header.title) + L" [" + std::to_wstring(header.recordCount) +
                         L"] " + path);
    out->paths.push_back(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

WalkResult OldWalkOf(const std::set<std::wstring>& installed) {
  WalkResult result;
  OldWalk(DeviceTree(), installed, &result);
  return result;
}

std::vector<std::wstring> ListedTexts() {
  HWND list = SetupControl(IdFoundList);
  std::vector<std::wstring> texts;
  for (int i = 0; i < SendMessageW(list, LB_GETCOUNT, 0, 0); ++i) {
    std::wstring text(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(wcslen(text.c_str()));
    texts.push_back(text);
  }
  return texts;
}

int Listed() {
  return static_cast<int>(SendMessageW(SetupControl(IdFoundList), LB_GETCOUNT, 0, 0));
}

// The list box, the found list and the extent agree, and hold the first entries of expected.
void ExpectListedPrefixOf(const WalkResult& expected, size_t count) {
  ASSERT_LE(count, expected.texts.size());
  const std::vector<std::wstring> texts = ListedTexts();
  EXPECT_EQ(texts,
            std::vector<std::wstring>(expected.texts.begin(), expected.texts.begin() + count));
  ASSERT_EQ(FoundDatabaseList.count, static_cast<int>(texts.size()));
  size_t longest = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(SingleByteToWide(FoundDatabaseList.entries[i].path), expected.paths[i]);
    longest = std::max(longest, texts[i].size());
  }
  EXPECT_EQ(SendMessageW(SetupControl(IdFoundList), LB_GETHORIZONTALEXTENT, 0, 0),
            static_cast<LRESULT>(7 * longest));
}

// Posts a message to the user-interface thread from a thread of its own, the next one a few
// milliseconds after the last was answered, and notes on the user-interface thread whether a
// walk was running and what it had listed. The test's action runs after the note, on the
// user-interface thread, and may run messages itself. The walk is paced by the answers: it
// lists one more database each time the window has answered, so what the probe sees does not
// depend on how fast the disk or the machine is.
class Probe {
 public:
  struct Answer {
    bool walking;
    int listed;
    bool waitCursor;
    std::wstring findButton;  // Find DB's caption
    std::wstring folderLine;  // what the Setup page says of the folder the walk is in
    int sequence;             // the probe's messages are numbered from 1 as they are posted
  };

  explicit Probe(std::function<void(const Answer&)> action) : action_(std::move(action)) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"FinderWalkProbe";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              wc.hInstance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    answered_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    gate_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetWalkGateForTests(gate_);
    thread_ = CreateThread(nullptr, 0, Poster, this, 0, nullptr);
  }
  ~Probe() {
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    SetWalkGateForTests(nullptr);
    CloseHandle(thread_);
    CloseHandle(gate_);
    CloseHandle(answered_);
    DestroyWindow(window_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  const std::vector<Answer>& Answers() const { return answers_; }
  // The number of the last message posted so far: any answer with a higher one was posted
  // after this call, behind whatever this thread had posted before it.
  int Posted() const { return posted_.load(); }
  int AnswersWhileWalking() const {
    return static_cast<int>(std::count_if(answers_.begin(), answers_.end(),
                                          [](const Answer& answer) { return answer.walking; }));
  }

 private:
  static DWORD WINAPI Poster(LPVOID parameter) {
    Probe& probe = *static_cast<Probe*>(parameter);
    while (!probe.stop_) {
      PostMessageW(probe.window_, WM_APP, static_cast<WPARAM>(++probe.posted_), 0);
      while (!probe.stop_ && WaitForSingleObject(probe.answered_, 50) == WAIT_TIMEOUT) {
      }
      SetEvent(probe.gate_);
      Sleep(5);
    }
    return 0;
  }

  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* probe = reinterpret_cast<Probe*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != WM_APP || !probe) return DefWindowProcW(window, message, wParam, lParam);
    Answer answer = {DatabaseSearchRunning(), 0, false, L"", L"", static_cast<int>(wParam)};
    if (PageWindows[SetupPage]) {
      answer.listed = Listed();
      answer.findButton = WindowText(SetupControl(IdFindButton));
      answer.folderLine = WindowText(SetupControl(IdWalkFolder));
      // What the pointer over the list shows: the list asks its page first.
      HWND list = SetupControl(IdFoundList);
      SendMessageW(list, WM_SETCURSOR, reinterpret_cast<WPARAM>(list),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
      answer.waitCursor = GetCursor() == LoadCursorW(nullptr, IDC_WAIT);
    }
    probe->answers_.push_back(answer);
    SetEvent(probe->answered_);
    if (probe->action_) probe->action_(answer);
    return 0;
  }

  std::function<void(const Answer&)> action_;
  std::vector<Answer> answers_;
  HWND window_ = nullptr;
  HANDLE thread_ = nullptr;
  HANDLE answered_ = nullptr;
  HANDLE gate_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> posted_{0};
};

class FinderWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = DeviceTree();
    SetFinderRootForTests(root_.c_str());
  }
  void TearDown() override { SetFinderRootForTests(nullptr); }

  void Start(AppUnderTest& app) {
    ASSERT_EQ(app.Start(), 0);
    boxes_.Clear();
  }
  void Press(int id) { SendCommand(PageWindows[SetupPage], id); }

  void ExpectOnlyLimitWarnings(size_t count) {
    ASSERT_EQ(boxes_.Count(), count);
    for (const RecordedMessageBox& box : boxes_.All()) {
      EXPECT_EQ(box.text, L"Warning! Limit of searching is reached.");
      EXPECT_EQ(box.owner, PageWindows[SetupPage]);
    }
  }

  MessageBoxRecorder boxes_;
  std::wstring root_;
};

TEST_F(FinderWalk, ListsWhatTheOldWalkListedWhileTheWindowAnswersAndTheListFills) {
  AppUnderTest app;
  const std::wstring installed = DatabaseIn(root_, 22);
  app.Directory().WriteFile(L"vostrel.ini", Cp1251(installed) + ";City 22\r\n");
  Start(app);
  const WalkResult expected = OldWalkOf({installed});
  ASSERT_EQ(expected.texts.size(), 100u);
  ASSERT_GT(expected.warnings, 1);

  Probe probe(nullptr);
  Press(IdFindButton);

  EXPECT_FALSE(DatabaseSearchRunning());
  ExpectListedPrefixOf(expected, 100);
  // Once per walk, where the old walk warned for every folder the full list ended.
  ExpectOnlyLimitWarnings(1);
  EXPECT_GE(probe.AnswersWhileWalking(), 3);
  bool partlyListed = false;
  int exactFolders = 0;
  for (const Probe::Answer& answer : probe.Answers()) {
    if (!answer.walking) continue;
    EXPECT_TRUE(answer.waitCursor);
    EXPECT_EQ(answer.findButton, L"Stop") << "the button shows that a walk runs";
    partlyListed = partlyListed || (answer.listed > 0 && answer.listed < 100);
    if (answer.listed == 0) continue;
    // The folder the walk is in: at the latest when a database is listed, the folder of that
    // database, where the walk waits for the probe's next answer.
    EXPECT_EQ(answer.folderLine.rfind(L"Looking in " + root_, 0), 0u) << answer.folderLine;
    const std::wstring& last = expected.paths[static_cast<size_t>(answer.listed) - 1];
    if (answer.folderLine == L"Looking in " + last.substr(0, last.rfind(L'\\'))) ++exactFolders;
  }
  EXPECT_TRUE(partlyListed) << "the list fills as the walk goes";
  EXPECT_GT(exactFolders, 0);
  EXPECT_EQ(WindowText(SetupControl(IdWalkFolder)), L"") << "the folder line goes with the walk";
  HWND list = SetupControl(IdFoundList);
  SendMessageW(list, WM_SETCURSOR, reinterpret_cast<WPARAM>(list),
               MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_NE(GetCursor(), LoadCursorW(nullptr, IDC_WAIT)) << "the wait cursor goes with the walk";
  EXPECT_EQ(WindowText(SetupControl(IdFindButton)), L"Find DB");
}

TEST_F(FinderWalk, FindDbPressedAgainOrEscCancelsAndKeepsWhatIsListed) {
  AppUnderTest app;
  Start(app);
  const WalkResult expected = OldWalkOf({});
  struct Way {
    const char* name;
    std::function<void()> cancel;
    bool atOnce;  // a press acts before it returns; a posted key when it is dispatched
  };
  const Way ways[] = {
      {"Find DB pressed again", [this] { Press(IdFindButton); }, true},
      {"Esc", [] { PostMessageW(SetupControl(IdFoundList), WM_KEYDOWN, VK_ESCAPE, 0); }, false},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    int listedAtCancel = -1;
    Probe probe([&](const Probe::Answer& answer) {
      if (listedAtCancel >= 0 || !answer.walking || answer.listed < 10) return;
      listedAtCancel = answer.listed;
      way.cancel();
    });
    Press(IdFindButton);

    ASSERT_GE(listedAtCancel, 10);
    EXPECT_FALSE(DatabaseSearchRunning());
    if (way.atOnce) {
      EXPECT_EQ(Listed(), listedAtCancel);
    } else {
      EXPECT_GE(Listed(), listedAtCancel);
    }
    EXPECT_LT(Listed(), 100);
    ExpectListedPrefixOf(expected, static_cast<size_t>(Listed()));
    EXPECT_EQ(boxes_.Count(), 0u);
  }
}

TEST_F(FinderWalk, InstallDuringAWalkInstallsAndRescansWhileTheWindowAnswers) {
  AppUnderTest app;
  Start(app);
  std::wstring chosen;
  std::wstring chosenTitle;
  bool walkingAfterInstall = true;
  int answersBeforeInstall = 0;
  Probe* watching = nullptr;
  Probe probe([&](const Probe::Answer& answer) {
    if (!chosen.empty() || !answer.walking || answer.listed < 5) return;
    answersBeforeInstall = watching->AnswersWhileWalking();
    SendMessageW(SetupControl(IdFoundList), LB_SETCURSEL, 2, 0);
    chosen = SingleByteToWide(FoundDatabaseList.entries[2].path);
    chosenTitle = SingleByteToWide(FoundDatabaseList.entries[2].name);
    Press(IdInstallButton);
    walkingAfterInstall = DatabaseSearchRunning();
  });
  watching = &probe;
  Press(IdFindButton);

  ASSERT_FALSE(chosen.empty());
  EXPECT_FALSE(walkingAfterInstall) << "Install returns when its rescan is over";
  const WalkResult expected = OldWalkOf({chosen});
  ExpectListedPrefixOf(expected, expected.texts.size());
  ExpectOnlyLimitWarnings(1);
  std::wstring lastDatabase;
  ASSERT_TRUE(app.Registry().GetString(L"Last db", &lastDatabase));
  EXPECT_EQ(lastDatabase, chosen);
  EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)),
            std::vector<std::wstring>{chosenTitle});
  EXPECT_EQ(ComboBoxSelection(SearchControl(IdDatabaseSelector)), 0);
  EXPECT_EQ(SelectedDatabaseHeader.title, chosenTitle);
  // The rescan lists a database only after an answer, so it listed all it did while the window
  // answered.
  EXPECT_GE(probe.AnswersWhileWalking() - answersBeforeInstall, 3);
}

TEST_F(FinderWalk, ClosingOrResettingTheProgramStopsTheWalk) {
  struct Way {
    const char* name;
    std::function<void()> stop;
    bool quits;
  };
  const Way ways[] = {
      {"close", [] { SendMessageW(MainWindow, WM_CLOSE, 0, 0); }, true},
      {"reset", [] { ResetApplicationForTests(); }, false},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    AppUnderTest app;
    Start(app);
    bool stopped = false;
    bool runningAfterStop = true;
    Probe probe([&](const Probe::Answer& answer) {
      if (stopped || !answer.walking || answer.listed < 1) return;
      stopped = true;
      way.stop();
      runningAfterStop = DatabaseSearchRunning();
    });
    Press(IdFindButton);

    ASSERT_TRUE(stopped);
    EXPECT_FALSE(runningAfterStop) << "the walk has ended before the stop returns";
    EXPECT_LT(FoundDatabaseList.count, 100);
    EXPECT_EQ(boxes_.Count(), 0u);
    EXPECT_EQ(QuitPosted(), way.quits);
  }
}

// A folder that stands in for the disk. The slow one does not answer until the test lets it (a
// sleeping disk, a network share, a device, or a folder of millions of names, which the system
// reads whole before it gives the first); the huge one gives names without end, one by one.
struct StandInFolder {
  HANDLE entered = nullptr;  // set once the walk is inside the folder
  HANDLE release = nullptr;  // lets the slow folder's call return, ends the huge one's list
  std::atomic<bool> inside{false};
  std::atomic<bool> stopped{false};  // set once the test's stop has acted
  std::atomic<int> lateEntries{0};   // names the walk took after the stop had acted
};
StandInFolder g_standIn;

bool SlowFolder(const std::wstring&, const std::function<bool(const DirectoryEntry&)>&) {
  g_standIn.inside = true;
  SetEvent(g_standIn.entered);
  // Bounded only so that a walk that cannot be stopped fails the test instead of hanging it.
  WaitForSingleObject(g_standIn.release, 60000);
  g_standIn.inside = false;
  return true;
}

bool HugeFolder(const std::wstring&, const std::function<bool(const DirectoryEntry&)>& visit) {
  g_standIn.inside = true;
  DirectoryEntry entry;
  for (int i = 0; i < 50000000; ++i) {
    entry.name = L"f" + std::to_wstring(i) + L".txt";
    const bool afterStop = g_standIn.stopped.load();
    const bool goOn = visit(entry);
    if (afterStop && goOn) ++g_standIn.lateEntries;
    if (i == 1000) SetEvent(g_standIn.entered);
    if (!goOn || WaitForSingleObject(g_standIn.release, 0) == WAIT_OBJECT_0) break;
  }
  g_standIn.inside = false;
  return true;
}

// Stop (Find DB pressed again), Esc and the close box end the walk for the window at once while
// the walker is held inside a slow folder's listing, and the huge folder's at the very next
// name: the first answer posted after the stop sees no walk, the button and the folder line are
// back, and the walker ends by itself once its call returns. Before, the window waited for the
// walker: Stop and Esc took effect only when the disk answered, and the close box hung.
TEST_F(FinderWalk, StopEscAndTheCloseBoxEndAWalkHeldInASlowOrHugeFolderAtOnce) {
  struct Folder {
    const char* name;
    WalkListingForTests listing;
    bool heldInside;  // the walker stays inside the call until released
  };
  const Folder folders[] = {{"slow folder", SlowFolder, true}, {"huge folder", HugeFolder, false}};
  struct Way {
    const char* name;
    std::function<void()> stop;
    bool quits;
  };
  const Way ways[] = {
      {"Find DB pressed again", [this] { Press(IdFindButton); }, false},
      // The key as the message loop hands it on, so that it has acted when this returns.
      {"Esc",
       [] {
         MSG key = {SetupControl(IdFoundList), WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
         DispatchLoopMessage(key);
       },
       false},
      {"close box", [] { SendMessageW(MainWindow, WM_CLOSE, 0, 0); }, true},
  };
  g_standIn.entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_standIn.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (const Folder& folder : folders) {
    for (const Way& way : ways) {
      SCOPED_TRACE(std::string(folder.name) + ", " + way.name);
      ResetEvent(g_standIn.entered);
      ResetEvent(g_standIn.release);
      g_standIn.stopped = false;
      g_standIn.lateEntries = 0;
      AppUnderTest app;
      Start(app);
      SetWalkListingForTests(folder.listing);
      int stoppedAfter = -1;  // the last probe message posted before the stop had acted
      bool insideAfterStop = false;
      bool walkingAfterStop = false;
      Probe* watching = nullptr;
      Probe probe([&](const Probe::Answer& answer) {
        if (stoppedAfter < 0) {
          if (!answer.walking || WaitForSingleObject(g_standIn.entered, 0) != WAIT_OBJECT_0) return;
          way.stop();
          g_standIn.stopped = true;
          insideAfterStop = g_standIn.inside.load();
          stoppedAfter = watching->Posted();
          return;
        }
        // Posted after the stop had acted.
        if (answer.sequence > stoppedAfter && answer.walking) {
          walkingAfterStop = true;
          SetEvent(g_standIn.release);  // a walk that did not stop ends with its folder
        }
      });
      watching = &probe;
      Press(IdFindButton);

      ASSERT_GE(stoppedAfter, 0) << "the walk never reached the folder";
      EXPECT_FALSE(walkingAfterStop);
      EXPECT_FALSE(DatabaseSearchRunning());
      if (folder.heldInside) {
        EXPECT_TRUE(insideAfterStop) << "the stop waited for the folder's call";
        EXPECT_TRUE(g_standIn.inside.load()) << "Find DB returned only when the call did";
      }
      EXPECT_EQ(g_standIn.lateEntries.load(), 0);
      EXPECT_EQ(WindowText(SetupControl(IdFindButton)), L"Find DB");
      EXPECT_EQ(WindowText(SetupControl(IdWalkFolder)), L"");
      EXPECT_EQ(QuitPosted(), way.quits);
      EXPECT_EQ(boxes_.Count(), 0u);

      // The walker left behind ends by itself once its call returns.
      SetEvent(g_standIn.release);
      for (int i = 0; i < 3000 && WalkersAliveForTests() > 0; ++i) Sleep(10);
      EXPECT_EQ(WalkersAliveForTests(), 0);
      SetWalkListingForTests(nullptr);
    }
  }
  CloseHandle(g_standIn.entered);
  CloseHandle(g_standIn.release);
}

}  // namespace
