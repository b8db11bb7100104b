// vostrel-server: the directory answered over HTTP to many people at once (docs/api.md).
#include <httplib.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/file_system.h"
#include "server/api.h"
#include "server/auth.h"
#include "server/server_options.h"
#include "server/static_files.h"

namespace {

// Bounds of what a request may bring; the library itself refuses a URL or a header line over
// 8 KiB (its build fixes those).
constexpr size_t kMaxBodyBytes = 64 << 10;
// One walk of a city's file answers many lookups for little more than one (the command line's
// --queries): a queue of this many empties in one walk.
constexpr int kQueriesPerWalk = 64;
// While one walk runs, the next waits this long for more searches of its file: with many clients
// at once it carries far more of them, and a lone search never waits (bench/README.md).
constexpr int kGatherMs = 8;

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

// One line of standard input, without echo on a terminal.
bool ReadPasswordLine(const char* prompt, std::string* line) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    fputs(prompt, stderr);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fputs("\n", stderr);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return got || !line->empty();
}

// --hash-password: the line a password file holds, for the password on standard input.
int PrintPasswordHash() {
  std::string password;
  std::string again;
  if (!ReadPasswordLine("Password: ", &password) || password.empty()) {
    fputs("vostrel-server: no password given\n", stderr);
    return 2;
  }
  if (isatty(STDIN_FILENO) == 1 &&
      (!ReadPasswordLine("The same again: ", &again) || again != password)) {
    fputs("vostrel-server: the two passwords differ\n", stderr);
    return 2;
  }
  std::string error;
  const std::string hash = HashPassword(password, &error);
  if (hash.empty()) {
    fprintf(stderr, "vostrel-server: %s\n", error.c_str());
    return 2;
  }
  printf("%s\n", hash.c_str());
  return 0;
}

// The whole of a small settings file (a hash, a certificate); false after saying why not.
bool ReadSettingFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  if (in) all << in.rdbuf();
  if (!in || all.str().size() > (1 << 20)) {
    fprintf(stderr, "vostrel-server: %s: cannot read it\n", TerminalSafeUtf8(path).c_str());
    return false;
  }
  *text = all.str();
  return true;
}

// Nothing but white space: a file that sets nothing.
bool Blank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The password and the certificate. A blank file sets nothing: the service is handed blank
// ones where the administrator has made none. A listener that other machines reach must have a
// password, and is warned when it has no TLS.
bool PrepareAccess(ServerState* state) {
  ServerOptions& options = state->options;
  std::string text;
  if (!options.passwordFile.empty()) {
    if (!ReadSettingFile(options.passwordFile, &text)) return false;
    const size_t start = text.find_first_not_of(" \t\r\n");
    const std::string hash =
        Blank(text) ? "" : text.substr(start, text.find_first_of(" \t\r\n", start) - start);
    std::string error;
    if (!hash.empty() && !state->gate.SetPasswordHash(hash, &error)) {
      fprintf(stderr, "vostrel-server: %s: %s\n", TerminalSafeUtf8(options.passwordFile).c_str(),
              error.c_str());
      return false;
    }
  }
  if (!options.tlsCert.empty() || !options.tlsKey.empty()) {
    std::string key;
    if (options.tlsCert.empty() || options.tlsKey.empty() ||
        !ReadSettingFile(options.tlsCert, &text) || !ReadSettingFile(options.tlsKey, &key) ||
        Blank(text) != Blank(key)) {
      fputs("vostrel-server: HTTPS needs both --tls-cert and --tls-key, each a PEM file\n", stderr);
      return false;
    }
    state->https = !Blank(text);
  }
  if (IsLoopbackHost(options.host)) return true;
  if (!state->gate.PasswordRequired()) {
    fprintf(stderr,
            "vostrel-server: %s is not a loopback address: a listener that other machines reach "
            "needs a password (--password-file; vostrel-server --hash-password makes one)\n",
            TerminalSafeUtf8(options.host).c_str());
    return false;
  }
  if (!state->https)
    fputs(
        "vostrel-server: warning: no --tls-cert and --tls-key: the password and the directory "
        "cross the network in clear\n",
        stderr);
  return true;
}

bool PrepareState(ServerState* state) {
  const ServerOptions& options = state->options;
  if (!PrepareAccess(state)) return false;
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
  state->gate.checksAtOnce = static_cast<int>(processors > 0 ? processors : 1);
  // As many walks at once as processors (more only share them); the searches that arrive while
  // they run wait, a bounded number, and go together in the next walk of their file.
  const int walks =
      options.maxScans != 0 ? options.maxScans : static_cast<int>(processors > 0 ? processors : 1);
  state->batcher = NewSearchBatcher(walks, kQueriesPerWalk, options.maxQueue, kGatherMs);
  ListServedDatabases(&state->catalog);  // the first walk, before any request waits for it
  return true;
}

// The socket the server listens on, as the library made it.
int ListeningSocket = -1;

void ConfigureServer(httplib::Server* server, ServerState* state) {
  // The library would share the port with any other program of this user that asks
  // (SO_REUSEPORT): a second server on a port in use must fail, not take half its clients.
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ListeningSocket = sock;
  });
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

// The server of one user's browser ends when its page's Quit asks (a moment later, so that the
// answer gets out), or with --idle-exit once nobody has asked it anything for that long, rather
// than staying for good after the browser is gone.
void StopWhenAsked(httplib::Server* server, ServerState* state, const std::atomic<bool>* ended) {
  const int64_t idle = int64_t{state->options.idleExitSeconds} * 1000;
  while (!*ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t now = SteadyMilliseconds();
    const int64_t quit = state->quitAsked;
    if ((quit != 0 && now - quit >= 200) || (idle > 0 && now - state->lastRequest >= idle)) {
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
  if (state.options.hashPassword) {
    if (argc != 2) {
      fputs("vostrel-server: --hash-password takes nothing else\n", stderr);
      return 2;
    }
    return PrintPasswordHash();
  }
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
  std::unique_ptr<httplib::Server> serving;
  if (state.https) {
    auto secure = std::make_unique<httplib::SSLServer>(state.options.tlsCert.c_str(),
                                                       state.options.tlsKey.c_str());
    if (!secure->is_valid()) {
      fputs(
          "vostrel-server: the --tls-cert and --tls-key files are not a PEM certificate and its "
          "key\n",
          stderr);
      return 2;
    }
    serving = std::move(secure);
  } else {
    serving = std::make_unique<httplib::Server>();
  }
  httplib::Server& server = *serving;
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
  // The library listens with a backlog of 5. Many clients connecting at once overflowed it, and
  // each connection whose handshake was dropped waited for TCP's retries: 1, 3, 7 s.
  if (ListeningSocket >= 0) listen(ListeningSocket, SOMAXCONN);
  const bool v6 = state.options.host.find(':') != std::string::npos;
  printf("listening on %s://%s%s%s:%d\n", state.https ? "https" : "http", v6 ? "[" : "",
         state.options.host.c_str(), v6 ? "]" : "", port);
  fflush(stdout);
  std::thread waiter(WaitForSignals, &server, signals);
  waiter.detach();
  state.lastRequest = SteadyMilliseconds();
  std::atomic<bool> ended{false};
  std::thread idleWatch;
  if (state.options.idleExitSeconds > 0 || state.options.quitFromPage)
    idleWatch = std::thread(StopWhenAsked, &server, &state, &ended);
  server.listen_after_bind();
  ended = true;
  if (idleWatch.joinable()) idleWatch.join();
  FreeSearchBatcher(state.batcher);
  FreeRecordPool(state.pool);
  return 0;
}
