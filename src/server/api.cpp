// The calls of the API and what every answer carries: security headers, JSON errors, a line
// per request on standard error.
#include "server/api.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "server/text_checks.h"

namespace {

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json DescribeFields(const FieldTable& schema) {
  nlohmann::json fields = nlohmann::json::array();
  for (int i = 0; i < schema.fieldCount; ++i) {
    const FieldDescriptor& f = schema.fields[i];
    nlohmann::json field;
    field["name"] = WideToUtf8(f.displayName);
    field["type"] = f.type == FieldText ? "text" : f.type == FieldInteger ? "integer" : "other";
    field["searchable"] = f.searchIndex > 0;
    field["listed"] = f.displayIndex > 0;
    field["maxLength"] = f.maxLength;
    field["upperCase"] = (f.flags & UpperCaseInput) != 0;
    field["languageKey"] = f.languageKey;  // the language file's name of a built-in field, or 0
    fields.push_back(field);
  }
  return fields;
}

const char* VariantName(DatabaseVariant variant) {
  return variant == VariantZdb ? "zdb" : variant == VariantFdb ? "fdb" : "db";
}

void AnswerDatabases(ServerState* state, httplib::Response& response) {
  nlohmann::json list = nlohmann::json::array();
  for (const ServedPointer& served : ListServedDatabases(&state->catalog)) {
    const Database& database = *served->database;
    nlohmann::json entry;
    entry["id"] = served->id;
    entry["file"] = served->fileName;
    entry["title"] = WideToUtf8(database.header.title);
    entry["records"] = database.header.recordCount;
    entry["variant"] = VariantName(DatabaseVariantOf(served->path.c_str()));
    entry["fields"] = DescribeFields(database.schema);
    list.push_back(entry);
  }
  nlohmann::json answer;
  answer["databases"] = list;
  response.set_content(Dump(answer), "application/json");
}

// Every file the server would serve, opened now: those that cannot be used, and why.
void AnswerCheck(ServerState* state, httplib::Response& response) {
  nlohmann::json list = nlohmann::json::array();
  for (const CheckedFile& checked : CheckServableFiles(&state->catalog)) {
    nlohmann::json entry;
    entry["file"] = checked.fileName;
    entry["usable"] = checked.usable;
    if (checked.usable)
      entry["id"] = checked.id;
    else
      entry["problem"] = checked.problem;
    list.push_back(entry);
  }
  nlohmann::json answer;
  answer["files"] = list;
  response.set_content(Dump(answer), "application/json");
}

void AnswerLanguages(ServerState* state, httplib::Response& response) {
  nlohmann::json names = nlohmann::json::array();
  for (const LanguageSection& section : state->texts.sections)
    names.push_back(WideToUtf8(section.name));
  nlohmann::json answer;
  answer["languages"] = names;
  response.set_content(Dump(answer), "application/json");
}

void AnswerTexts(ServerState* state, const httplib::Request& request, httplib::Response& response) {
  const std::string name = request.get_param_value("lang");
  if (!ValidUtf8(name) || name.empty()) {
    AnswerError(&response, 400, "lang names a language of /api/languages");
    return;
  }
  const LanguageSection* section = FindLanguageSection(state->texts, Utf8ToWide(name));
  if (section == nullptr) {
    AnswerError(&response, 404,
                state->haveTexts ? "the language file has no such language"
                                 : "the server has no language file");
    return;
  }
  nlohmann::json texts = nlohmann::json::object();
  for (const auto& text : section->texts)
    texts[std::to_string(text.first)] = WideToUtf8(text.second);
  nlohmann::json answer;
  answer["language"] = WideToUtf8(section->name);
  answer["texts"] = texts;
  response.set_content(Dump(answer), "application/json");
}

const char* StatusWords(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "no such call";
    case 405:
      return "method not allowed";
    case 413:
      return "the request is too large";
    case 414:
      return "the URL is too long";
    case 431:
      return "the headers are too large";
    case 503:
      return "too busy: try again";
    default:
      return status >= 500 ? "the server failed" : "refused";
  }
}

// When the request started, for the log: requests of one connection run on its one thread.
thread_local std::chrono::steady_clock::time_point RequestStart;
thread_local bool RequestTimed = false;

void LogRequest(const httplib::Request& request, const httplib::Response& response) {
  double ms = 0;
  if (RequestTimed) {
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - RequestStart)
             .count();
    RequestTimed = false;
  }
  // The path only: criteria are what people look for and stay out of logs.
  fprintf(stderr, "%s %s %d %.1f ms\n", TerminalSafeUtf8(request.method).c_str(),
          TerminalSafeUtf8(request.path).c_str(), response.status, ms);
}

}  // namespace

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void RegisterApi(httplib::Server* server, ServerState* state) {
  server->set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                               {"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"}});
  server->set_pre_routing_handler([state](const httplib::Request& request,
                                          httplib::Response& response) {
    state->lastRequest = SteadyMilliseconds();
    RequestStart = std::chrono::steady_clock::now();
    RequestTimed = true;
    // Debian's library compresses with brotli at its slowest quality whenever a client accepts
    // it, as every browser does: a page of rows cost many times its making, and a whole city's
    // CSV never finished (bench/README.md). The request the library hands us is its own: only
    // gzip stays offered.
    auto& encodings = const_cast<httplib::Request&>(request).headers;
    const auto accepted = encodings.find("Accept-Encoding");
    if (accepted != encodings.end() && accepted->second.find("br") != std::string::npos)
      accepted->second = accepted->second.find("gzip") != std::string::npos ? "gzip" : "identity";
    if (!ValidPercentEncoding(request.target)) {
      AnswerError(&response, 400, "the URL holds a '%' that starts no escape");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!LetIn(state, request, &response)) return httplib::Server::HandlerResponse::Handled;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty())
      AnswerError(&response, response.status, StatusWords(response.status));
  });
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        AnswerError(&response, 500, "the server failed to answer (no memory?)");
      });
  if (!state->options.quiet) server->set_logger(LogRequest);
  server->Get("/api/databases", [state](const httplib::Request&, httplib::Response& response) {
    AnswerDatabases(state, response);
  });
  server->Get("/api/check", [state](const httplib::Request&, httplib::Response& response) {
    AnswerCheck(state, response);
  });
  server->Get("/api/search", [state](const httplib::Request& request, httplib::Response& response) {
    AnswerSearch(state, request, response);
  });
  server->Get("/api/search/stream",
              [state](const httplib::Request& request, httplib::Response& response) {
                AnswerSearchStream(state, request, response);
              });
  server->Post("/api/search/stop",
               [state](const httplib::Request& request, httplib::Response& response) {
                 AnswerSearchStop(state, request, response);
               });
  server->Get("/api/languages", [state](const httplib::Request&, httplib::Response& response) {
    AnswerLanguages(state, response);
  });
  server->Get("/api/texts", [state](const httplib::Request& request, httplib::Response& response) {
    AnswerTexts(state, request, response);
  });
  RegisterSessionCalls(server, state);
}
