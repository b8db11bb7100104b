// The HTTP calls of vostrel-server (docs/api.md): what the server holds for them, and their
// registration on an httplib server.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/table_format.h"
#include "db/record_pool.h"
#include "i18n/language_texts.h"
#include "search/search_batcher.h"
#include "server/auth.h"
#include "server/catalog.h"
#include "server/result_sets.h"
#include "server/server_options.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// The stop flags of the streamed searches running now, by the token each gave its client.
struct StopTokens {
  std::mutex lock;
  std::unordered_map<std::string, std::shared_ptr<std::atomic<int>>> byToken;
};

struct ServerState {
  ServerOptions options;
  Catalog catalog;
  ResultCache results;
  SearchBatcher* batcher = nullptr;  // every search's turn, and searches of one file together
  RecordPool* pool = nullptr;
  LanguageTexts texts;
  bool haveTexts = false;
  StopTokens stops;
  std::atomic<int64_t> lastRequest{0};  // SteadyMilliseconds() when the latest request came
  Gatekeeper gate;                      // the password, when one is set, and the sessions
  bool https = false;
  // When the page's Quit asked the server to end (SteadyMilliseconds(); 0: it has not).
  std::atomic<int64_t> quitAsked{0};
};

// Milliseconds of the steady clock, for the idle time.
int64_t SteadyMilliseconds();

void RegisterApi(httplib::Server* server, ServerState* state);

// What the search calls share (api_search.cpp).
struct ParsedSearch {
  SearchRequest request;
  int offset = 0;
  int limit = 100;
  int sortColumn = -1;  // a display column, or -1 for file order
  bool descending = false;
  std::string locale;
  OutputFormat format = FormatJson;
  std::vector<std::string> warnings;
};
// Reads a search's parameters. False with the answer's status and error when they are refused.
bool ParseSearch(ServerState* state, const httplib::Request& request, ParsedSearch* parsed,
                 int* status, std::string* error);
// {"error": message} with the status.
void AnswerError(httplib::Response* response, int status, const std::string& message);
// A JSON array of the row's values, as UTF-8 strings (scratch is the caller's, reused).
void AppendJsonRow(std::string* out, const char* const* values, int count, std::string* scratch);
// The JSON of a page of rows: places offset .. offset+limit-1 of the order (null: file order).
void AppendJsonRows(std::string* out, const ResultSet& set, const KeptOrder* order, int offset,
                    int limit);

void AnswerSearch(ServerState* state, const httplib::Request& request, httplib::Response& response);
void AnswerSearchStream(ServerState* state, const httplib::Request& request,
                        httplib::Response& response);
// The sign-in calls (api_session.cpp), and whether a request may go on to the call it names:
// false once its answer (401, 421) is set.
void RegisterSessionCalls(httplib::Server* server, ServerState* state);
bool LetIn(ServerState* state, const httplib::Request& request, httplib::Response* response);

void AnswerSearchStop(ServerState* state, const httplib::Request& request,
                      httplib::Response& response);
