#include "server/server_options.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/command_options.h"
#include "cli/terminal_text.h"

namespace {

const char kServerUsage[] =
    "Usage: vostrel-server [--listen ADDR:PORT] [--data DIR]... [--lng FILE] [--quiet] [FILE]...\n"
    "       vostrel-server --hash-password\n"
    "\n"
    "Answers searches of the database files named, and of every database file (.db, .zdb,\n"
    ".fdb that open as databases) under each --data folder, over HTTP as JSON, TSV or CSV\n"
    "(docs/api.md). A file added, replaced or removed in a folder is seen without a restart.\n"
    "\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:8080; port 0 takes a free port).\n"
    "                      An address other than loopback needs --password-file.\n"
    "  --password-file F   ask for the password whose hash F holds (empty F: no password)\n"
    "  --tls-cert F        serve HTTPS with this certificate (PEM; chain after it)...\n"
    "  --tls-key F         ...and its private key (PEM); both empty: plain HTTP\n"
    "  --data DIR          serve every database below DIR (may be given several times)\n"
    "  --lng FILE          the language file (default: vostrel.lng beside the program)\n"
    "  --quiet             no line per request on standard error\n"
    "  --threads N         connections served at once (default 72)\n"
    "  --max-scans N       walks of the records at once (default: one per processor)\n"
    "  --max-queue N       searches waiting for a walk; beyond them 503 (default 64)\n"
    "  --result-memory MB  kept result sets (default: an eighth of memory, at most 2048)\n"
    "  --pool-memory MB    kept records of the files, inflated (default: a quarter of memory)\n"
    "  --idle-exit S       end after S seconds without a request (default: never)\n"
    "  --quit-from-page    the page may end the server (a server of one user's own)\n"
    "  --hash-password     read a password (twice on a terminal) and print the hash that a\n"
    "                      --password-file holds\n"
    "  --version           the version\n"
    "\n"
    "Once listening it prints \"listening on http://ADDR:PORT\" on standard output.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 2 when it cannot start.\n";

const CommandOption kServerOptions[] = {
    {"--listen", "ADDR:PORT", true},      {"--data", "a folder", true},
    {"--lng", "a language file", true},   {"--quiet", nullptr, false},
    {"--threads", "a number", true},      {"--max-scans", "a number", true},
    {"--max-queue", "a number", true},    {"--result-memory", "megabytes", true},
    {"--pool-memory", "megabytes", true}, {"--idle-exit", "seconds", true},
    {"--password-file", "a file", true},  {"--tls-cert", "a file", true},
    {"--tls-key", "a file", true},        {"--quit-from-page", nullptr, false},
    {"--hash-password", nullptr, false}};

// A whole number from low to high, or false after saying so.
bool TakeNumber(const char* option, const std::string& value, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  const long n = value.empty() ? -1 : strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || errno != 0 || n < low || n > high) {
    fprintf(stderr, "vostrel-server: %s takes a number from %ld to %ld, not '%s'\n", option, low,
            high, TerminalSafeUtf8(value).c_str());
    return false;
  }
  *out = n;
  return true;
}

bool TakeListen(ServerOptions* options, const std::string& value) {
  const size_t colon = value.rfind(':');
  long port = 0;
  if (colon == std::string::npos || colon == 0) {
    fprintf(stderr, "vostrel-server: --listen takes ADDR:PORT, not '%s'\n",
            TerminalSafeUtf8(value).c_str());
    return false;
  }
  if (!TakeNumber("--listen", value.substr(colon + 1), 0, 65535, &port)) return false;
  std::string host = value.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  options->host = host;
  options->port = static_cast<int>(port);
  return true;
}

bool TakeServerOption(void* context, const CommandOption& option, const std::string& value) {
  ServerOptions* options = static_cast<ServerOptions*>(context);
  const std::string name = option.name;
  long n = 0;
  if (name == "--listen") return TakeListen(options, value);
  if (name == "--data") options->dataFolders.push_back(value);
  if (name == "--lng") options->languageFile = value;
  if (name == "--quiet") options->quiet = true;
  if (name == "--quit-from-page") options->quitFromPage = true;
  if (name == "--hash-password") options->hashPassword = true;
  if (name == "--password-file") options->passwordFile = value;
  if (name == "--tls-cert") options->tlsCert = value;
  if (name == "--tls-key") options->tlsKey = value;
  if (name == "--threads") {
    if (!TakeNumber(option.name, value, 4, 4096, &n)) return false;
    options->threads = static_cast<int>(n);
  } else if (name == "--max-scans") {
    if (!TakeNumber(option.name, value, 1, 4096, &n)) return false;
    options->maxScans = static_cast<int>(n);
  } else if (name == "--max-queue") {
    if (!TakeNumber(option.name, value, 0, 100000, &n)) return false;
    options->maxQueue = static_cast<int>(n);
  } else if (name == "--result-memory") {
    if (!TakeNumber(option.name, value, 1, 1L << 30, &n)) return false;
    options->resultBytes = static_cast<size_t>(n) << 20;
  } else if (name == "--pool-memory") {
    if (!TakeNumber(option.name, value, 0, 1L << 30, &n)) return false;
    options->poolBytes = static_cast<size_t>(n) << 20;
  } else if (name == "--idle-exit") {
    if (!TakeNumber(option.name, value, 1, 100000000, &n)) return false;
    options->idleExitSeconds = static_cast<int>(n);
  }
  return true;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.x.y.z, each part a number up to 255.
  unsigned parts[4];
  char tail = 0;
  if (sscanf(host.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4)
    return false;
  for (unsigned p : parts)
    if (p > 255) return false;
  return parts[0] == 127 && host.find_first_not_of("0123456789.") == std::string::npos;
}

size_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<size_t>(pages) * static_cast<size_t>(pageSize);
}

bool ParseServerArguments(const std::vector<std::string>& args, ServerOptions* options,
                          int* exitCode) {
  for (const std::string& word : args) {
    if (word == "--") break;
    if (word == "--version") {
      // VOSTREL_VERSION is the build's project version, the one the package and the pages carry.
      fputs("vostrel-server " VOSTREL_VERSION "\n", stdout);
      *exitCode = 0;
      return false;
    }
  }
  const CommandSyntax syntax = {
      kServerUsage,   "vostrel-server",
      kServerOptions, static_cast<int>(sizeof kServerOptions / sizeof kServerOptions[0]),
      false,          TakeServerOption,
      options};
  return ParseCommandLine(args, syntax, &options->files, exitCode);
}
