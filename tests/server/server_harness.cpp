#include "server_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

bool StartServer(const std::vector<std::string>& args, RunningServer* server) {
  std::vector<std::string> argv = {VOSTREL_SERVER_PATH, "--listen", "127.0.0.1:0", "--quiet"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(&a[0]);
  raw.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execv(raw[0], raw.data());
    _exit(127);
  }
  close(out[1]);
  server->pid = pid;
  FILE* in = fdopen(out[0], "r");
  char line[256] = {};
  const bool read = in != nullptr && fgets(line, sizeof line, in) != nullptr;
  if (in != nullptr) fclose(in);
  const char* colon = read ? strrchr(line, ':') : nullptr;
  server->port = colon != nullptr ? atoi(colon + 1) : 0;
  EXPECT_GT(server->port, 0) << "the server said: " << line;
  if (server->port <= 0) StopServer(server);
  return server->port > 0;
}

int StopServer(RunningServer* server) {
  if (server->pid <= 0) return -1;
  kill(server->pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < 200; ++waited) {
    if (waitpid(server->pid, &status, WNOHANG) == server->pid) {
      server->pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(server->pid, SIGKILL);
  waitpid(server->pid, &status, 0);
  server->pid = -1;
  return -1;
}

int WaitForServerExit(RunningServer* server, int seconds) {
  int status = 0;
  for (int waited = 0; server->pid > 0 && waited < seconds * 20; ++waited) {
    if (waitpid(server->pid, &status, WNOHANG) == server->pid) {
      server->pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

std::string RawExchange(int port, const std::string& bytes) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return "";
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buffer[4096];
    ssize_t n;
    // Until the server closes, or the answer's length is there: after a request line or header
    // too long to read the server answers, then waits for the connection's time limit.
    while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) {
      answer.append(buffer, static_cast<size_t>(n));
      const size_t headEnd = answer.find("\r\n\r\n");
      const size_t length = answer.find("Content-Length: ");
      if (headEnd != std::string::npos && length != std::string::npos && length < headEnd &&
          answer.size() >= headEnd + 4 + std::stoul(answer.substr(length + 16)))
        break;
    }
  }
  close(s);
  return answer;
}

int RawStatus(const std::string& answer) {
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || answer.size() < 12) return 0;
  return atoi(answer.c_str() + 9);
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}
