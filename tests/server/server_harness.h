// Starting the real vostrel-server on a free loopback port for a test, and talking to it.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct RunningServer {
  pid_t pid = -1;
  int port = 0;
};

// Starts vostrel-server --listen 127.0.0.1:0 --quiet ARGS... and reads the port it prints.
// False (with a GoogleTest failure) when it does not come up.
bool StartServer(const std::vector<std::string>& args, RunningServer* server);
// SIGTERM, then waits; the exit status (0 expected), -1 when it did not exit by itself.
int StopServer(RunningServer* server);
// Waits up to `seconds` for the server to end by itself: its exit status, or -1 while it runs.
int WaitForServerExit(RunningServer* server, int seconds);

// Sends bytes as they are over a new connection to the loopback port and returns all that comes
// back until the server closes it ("" when it cannot connect).
std::string RawExchange(int port, const std::string& bytes);
// The status of a raw HTTP answer (0 when there is none).
int RawStatus(const std::string& answer);

// Percent-encodes every byte but the unreserved ones.
std::string UrlEncode(const std::string& text);
