// What vostrel-server is told on its command line, and the limits it keeps.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port, printed once listening
  std::vector<std::string> dataFolders;
  std::vector<std::string> files;
  std::string languageFile;  // empty: vostrel.lng beside the program
  bool quiet = false;
  int threads = 72;           // connections served at once (each holds a thread while open)
  int maxScans = 0;           // scans at once; 0: one per processor
  int maxQueue = 64;          // searches waiting for a walk before 503
  size_t resultBytes = 0;     // kept result sets; 0: an eighth of physical memory, at most 2 GiB
  size_t poolBytes = 0;       // kept inflated records; 0: a quarter of physical memory
  int idleExitSeconds = 0;    // ends after this long without a request; 0: never
  bool quitFromPage = false;  // the page may end the server (one user's own)
  bool hashPassword = false;  // only make a password's hash
  // Read at the start; a blank file sets nothing (the service is handed blank ones where the
  // administrator has made none).
  std::string passwordFile;
  std::string tlsCert;
  std::string tlsKey;
};

// Reads the arguments (after the program's name). Returns false when the program ends here
// with *exitCode: 0 after --help or --version, 2 after saying why the arguments are refused.
bool ParseServerArguments(const std::vector<std::string>& args, ServerOptions* options,
                          int* exitCode);

// True for an address that only this machine reaches: 127.0.0.0/8, ::1, localhost.
bool IsLoopbackHost(const std::string& host);

// Physical memory in bytes (0 when unknown).
size_t PhysicalMemoryBytes();
