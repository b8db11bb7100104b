// Signing in and out, the gate in front of the calls, and the page's way to end a server of its
// own user (docs/api.md).
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>

#include "server/api.h"

namespace {

// Calls that a page needs before it has signed in: its texts speak the sign-in form.
bool OpenToAll(const std::string& path) {
  return path.rfind("/api/", 0) != 0 || path == "/api/session" || path == "/api/languages" ||
         path == "/api/texts";
}

// The host a request names, without its port.
std::string HostName(const std::string& host) {
  if (!host.empty() && host[0] == '[') return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.find(':'));
}

bool LoopbackName(const std::string& name) {
  // No Host at all is no browser's request (every browser names the host).
  return name.empty() || name == "[::1]" || IsLoopbackHost(name);
}

// A JSON body's calls are not what a form of another site can send without asking first.
bool JsonBody(const httplib::Request& request) {
  return request.get_header_value("Content-Type").rfind("application/json", 0) == 0;
}

void AnswerSession(ServerState* state, const httplib::Request& request,
                   httplib::Response& response) {
  nlohmann::json answer;
  answer["password"] = state->gate.PasswordRequired();
  answer["signedIn"] =
      !state->gate.PasswordRequired() ||
      state->gate.ValidSession(SessionFromCookies(request.get_header_value("Cookie")));
  answer["quit"] = state->options.quitFromPage;
  response.set_content(answer.dump(), "application/json");
}

void AnswerSignIn(ServerState* state, const httplib::Request& request,
                  httplib::Response& response) {
  if (!JsonBody(request)) {
    AnswerError(&response, 415, "send {\"password\": ...} as application/json");
    return;
  }
  const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("password") || !body["password"].is_string()) {
    AnswerError(&response, 400, "send {\"password\": ...} as application/json");
    return;
  }
  nlohmann::json answer;
  answer["signedIn"] = true;
  if (!state->gate.PasswordRequired()) {
    response.set_content(answer.dump(), "application/json");
    return;
  }
  std::string token;
  int retry = 0;
  switch (state->gate.SignIn(request.remote_addr, body["password"].get<std::string>(), &token,
                             &retry)) {
    case SignInResult::kSignedIn:
      response.set_header("Set-Cookie", SessionCookie(token, state->https));
      response.set_content(answer.dump(), "application/json");
      return;
    case SignInResult::kWrongPassword:
      response.set_header("Retry-After", std::to_string(retry));
      AnswerError(&response, 401, "wrong password");
      return;
    case SignInResult::kSlowedDown:
      response.set_header("Retry-After", std::to_string(retry));
      AnswerError(&response, 429, "too many wrong passwords: try again later");
      return;
  }
}

void AnswerSignOut(ServerState* state, const httplib::Request& request,
                   httplib::Response& response) {
  state->gate.EndSession(SessionFromCookies(request.get_header_value("Cookie")));
  response.set_header("Set-Cookie", EndedSessionCookie(state->https));
  nlohmann::json answer;
  answer["signedIn"] = !state->gate.PasswordRequired();
  response.set_content(answer.dump(), "application/json");
}

void AnswerQuit(ServerState* state, const httplib::Request& request, httplib::Response& response) {
  if (!state->options.quitFromPage) {
    AnswerError(&response, 404, "this server is not ended from its page");
    return;
  }
  if (!JsonBody(request)) {
    AnswerError(&response, 415, "send {} as application/json");
    return;
  }
  response.set_content("{\"quit\":true}", "application/json");
  // The server's watch ends it once this answer is on its way.
  state->quitAsked = SteadyMilliseconds();
}

}  // namespace

bool LetIn(ServerState* state, const httplib::Request& request, httplib::Response* response) {
  // A loopback server is for this machine: a page of another site whose name has been pointed
  // at 127.0.0.1 (DNS rebinding) names its own host, and is not answered.
  if (IsLoopbackHost(state->options.host) &&
      !LoopbackName(HostName(request.get_header_value("Host")))) {
    AnswerError(response, 421, "this server answers only to a loopback host name");
    return false;
  }
  if (!state->gate.PasswordRequired() || OpenToAll(request.path)) return true;
  if (state->gate.ValidSession(SessionFromCookies(request.get_header_value("Cookie")))) return true;
  AnswerError(response, 401, "sign in first");
  return false;
}

void RegisterSessionCalls(httplib::Server* server, ServerState* state) {
  server->Get("/api/session",
              [state](const httplib::Request& request, httplib::Response& response) {
                AnswerSession(state, request, response);
              });
  server->Post("/api/session",
               [state](const httplib::Request& request, httplib::Response& response) {
                 AnswerSignIn(state, request, response);
               });
  server->Delete("/api/session",
                 [state](const httplib::Request& request, httplib::Response& response) {
                   AnswerSignOut(state, request, response);
                 });
  server->Post("/api/quit", [state](const httplib::Request& request, httplib::Response& response) {
    AnswerQuit(state, request, response);
  });
}
