// vostrel-server: the directory answered over HTTP to many people at once (docs/api.md).
#include <httplib.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/file_system.h"
#include "server/api.h"
#include "server/server_options.h"
#include "server/static_files.h"

namespace {

// Bounds of what a request may bring; the library itself refuses a URL or a header line over
// 8 KiB (its build fixes those).
constexpr size_t kMaxBodyBytes = 64 << 10;
// One walk of a city's file answers many lookups for little more than one (the command line's
// --queries): a queue of this many empties in one walk.
constexpr int kQueriesPerWalk = 64;

// The language file beside the program, or in the share folder of an installed one.
std::wstring DefaultLanguageFile() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return L"vostrel.lng";
  std::string folder(self, static_cast<size_t>(length));
  folder = folder.substr(0, folder.rfind('/'));
  const std::string beside = folder + "/vostrel.lng";
  if (access(beside.c_str(), R_OK) == 0) return PathFromArgument(beside);
  return PathFromArgument(folder + "/../share/vostrel/vostrel.lng");
}

bool PrepareState(ServerState* state) {
  const ServerOptions& options = state->options;
  for (const std::string& file : options.files) {
    const std::wstring path = PathFromArgument(file);
    if (LoadDatabase(path, nullptr, nullptr, nullptr) == nullptr) {
      fprintf(stderr, "vostrel-server: %s: not a database that can be searched\n",
              TerminalSafeUtf8(file).c_str());
      return false;
    }
    state->catalog.namedFiles.push_back(path);
  }
  for (const std::string& folder : options.dataFolders) {
    const uint32_t attributes = GetPathAttributes(PathFromArgument(folder).c_str());
    if (attributes == kNoFile || (attributes & kIsDirectory) == 0) {
      fprintf(stderr, "vostrel-server: %s: no such folder\n", TerminalSafeUtf8(folder).c_str());
      return false;
    }
    state->catalog.dataFolders.push_back(PathFromArgument(folder));
  }
  const std::wstring language =
      options.languageFile.empty() ? DefaultLanguageFile() : PathFromArgument(options.languageFile);
  state->haveTexts = LoadLanguageTexts(language.c_str(), &state->texts);
  if (!state->haveTexts && !options.languageFile.empty()) {
    fprintf(stderr, "vostrel-server: %s: cannot read the language file\n",
            TerminalSafeUtf8(options.languageFile).c_str());
    return false;
  }
  const size_t memory = PhysicalMemoryBytes();
  size_t results = options.resultBytes != 0 ? options.resultBytes : memory / 8;
  if (options.resultBytes == 0 && (results == 0 || results > (size_t{2} << 30)))
    results = size_t{2} << 30;
  state->results.limit = results;
  state->pool = NewRecordPool(options.poolBytes != 0 ? options.poolBytes : memory / 4);
  const unsigned processors = std::thread::hardware_concurrency();
  // As many walks at once as processors (more only share them); the searches that arrive while
  // they run wait, a bounded number, and go together in the next walk of their file.
  const int walks =
      options.maxScans != 0 ? options.maxScans : static_cast<int>(processors > 0 ? processors : 1);
  state->batcher = NewSearchBatcher(walks, kQueriesPerWalk, options.maxQueue);
  ListServedDatabases(&state->catalog);  // the first walk, before any request waits for it
  return true;
}

void ConfigureServer(httplib::Server* server, ServerState* state) {
  const int threads = state->options.threads;
  // One thread per open connection in this library: sized for many keep-alive clients.
  server->new_task_queue = [threads] {
    return new httplib::ThreadPool(static_cast<size_t>(threads));
  };
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000);
  server->set_keep_alive_timeout(5);
  server->set_read_timeout(10);
  server->set_write_timeout(10);
  server->set_payload_max_length(kMaxBodyBytes);
  RegisterApi(server, state);
  RegisterStaticFiles(server);
}

// SIGINT and SIGTERM end the server: a thread of its own waits for them, since the library's
// stop may not be called from a signal handler.
void WaitForSignals(httplib::Server* server, sigset_t signals) {
  int signal = 0;
  sigwait(&signals, &signal);
  server->stop();
}

// --idle-exit: the server of one user's browser ends once nobody has asked it anything for
// that long, rather than staying for good after the browser is gone.
void StopWhenIdle(httplib::Server* server, ServerState* state, const std::atomic<bool>* ended) {
  const int64_t idle = int64_t{state->options.idleExitSeconds} * 1000;
  while (!*ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (SteadyMilliseconds() - state->lastRequest >= idle) {
      server->stop();
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ServerState state;
  int exitCode = 2;
  if (!ParseServerArguments(std::vector<std::string>(argv + 1, argv + argc), &state.options,
                            &exitCode))
    return exitCode;
  if (!PrepareState(&state)) return 2;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client gone while its answer is written is a failed write
  // Result sets are freed as they go out of the bound: their blocks (4 KiB to 4 MiB) are mapped
  // from 1 MiB on and so given back to the system when freed. Left to itself the C library
  // raises this threshold after the first large free, and freed sets stay in the process.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  httplib::Server server;
  ConfigureServer(&server, &state);
  int port = state.options.port;
  if (port == 0)
    port = server.bind_to_any_port(state.options.host);
  else if (!server.bind_to_port(state.options.host, port))
    port = -1;
  if (port <= 0) {
    fprintf(stderr, "vostrel-server: cannot listen on %s:%d\n", state.options.host.c_str(),
            state.options.port);
    return 2;
  }
  const bool v6 = state.options.host.find(':') != std::string::npos;
  printf("listening on http://%s%s%s:%d\n", v6 ? "[" : "", state.options.host.c_str(),
         v6 ? "]" : "", port);
  fflush(stdout);
  std::thread waiter(WaitForSignals, &server, signals);
  waiter.detach();
  state.lastRequest = SteadyMilliseconds();
  std::atomic<bool> ended{false};
  std::thread idleWatch;
  if (state.options.idleExitSeconds > 0)
    idleWatch = std::thread(StopWhenIdle, &server, &state, &ended);
  server.listen_after_bind();
  ended = true;
  if (idleWatch.joinable()) idleWatch.join();
  FreeSearchBatcher(state.batcher);
  FreeRecordPool(state.pool);
  return 0;
}
