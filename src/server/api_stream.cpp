// GET /api/search/stream: a search followed while it runs, as Server-Sent Events: its start
// (with a token that POST /api/search/stop takes), progress, the first rows as they are found,
// and its end. A client that goes away stops the scan at the next event it misses.
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>

#include "db/codepage.h"
#include "server/api.h"

namespace {

// Progress events come at most this often; rows and the end come when they are there.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

struct StreamState {
  ServerState* server = nullptr;
  ParsedSearch parsed;
  ResultPointer kept;  // a kept set answers at once, without a scan
  std::shared_ptr<std::atomic<int>> stop = std::make_shared<std::atomic<int>>(0);
  std::string token;
  httplib::DataSink* sink = nullptr;
  int rowsSent = 0;
  bool progressSent = false;
  std::chrono::steady_clock::time_point lastProgress{};
  std::string event;
};

std::string NewToken() {
  static std::mutex lock;
  static std::mt19937_64 random{std::random_device{}()};
  std::lock_guard<std::mutex> hold(lock);
  char text[33];
  snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
           static_cast<unsigned long long>(random()));
  return text;
}

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Sends one event; a failed write stops the scan.
void SendEvent(StreamState* stream, const char* name, const std::string& data) {
  stream->event.assign("event: ").append(name).append("\ndata: ").append(data).append("\n\n");
  if (!stream->sink->write(stream->event.data(), stream->event.size())) stream->stop->store(1);
}

void SendStart(StreamState* stream, const std::vector<std::string>& fields) {
  const ServedDatabase& served = *stream->parsed.request.served;
  nlohmann::json start;
  start["token"] = stream->token;
  start["db"] = served.id;
  start["records"] = served.database->header.recordCount;
  start["fields"] = fields;
  if (!stream->parsed.warnings.empty()) start["warnings"] = stream->parsed.warnings;
  SendEvent(stream, "start", Dump(start));
}

// The rows found since the last rows event, up to the page's limit.
void SendNewRows(StreamState* stream, const ResultSet& set) {
  const int found = static_cast<int>(set.rows.size());
  const int upTo = found < stream->parsed.limit ? found : stream->parsed.limit;
  if (upTo <= stream->rowsSent) return;
  std::string data = "{\"offset\":" + std::to_string(stream->rowsSent) + ",\"rows\":";
  AppendJsonRows(&data, set, nullptr, stream->rowsSent, upTo - stream->rowsSent);
  data += "}";
  stream->rowsSent = upTo;
  SendEvent(stream, "rows", data);
}

void OnScanUpdate(void* context, const ResultSet& set, int scanned) {
  StreamState* stream = static_cast<StreamState*>(context);
  SendNewRows(stream, set);
  const auto now = std::chrono::steady_clock::now();
  if (stream->progressSent && now - stream->lastProgress < kProgressInterval) return;
  stream->progressSent = true;
  stream->lastProgress = now;
  nlohmann::json progress;
  progress["scanned"] = scanned;
  progress["records"] = stream->parsed.request.served->database->header.recordCount;
  progress["results"] = set.rows.size();
  SendEvent(stream, "progress", Dump(progress));
}

void SendEnd(StreamState* stream, const ResultSet& set, bool stopped) {
  if (set.status != 200) {
    nlohmann::json error;
    error["error"] = set.message;
    error["status"] = set.status;
    SendEvent(stream, "error", Dump(error));
    return;
  }
  SendNewRows(stream, set);
  nlohmann::json done;
  done["total"] = set.total;
  done["scanned"] = set.scanned;
  done["complete"] = set.complete && !stopped;
  done["stopped"] = stopped;
  if (!set.message.empty()) done["message"] = set.message;
  SendEvent(stream, "done", Dump(done));
}

void ForgetToken(ServerState* server, const std::string& token) {
  std::lock_guard<std::mutex> hold(server->stops.lock);
  server->stops.byToken.erase(token);
}

// The whole stream, on the connection's thread: the scan runs here.
bool RunStream(StreamState* stream, httplib::DataSink& sink) {
  stream->sink = &sink;
  if (stream->kept != nullptr) {
    SendStart(stream, stream->kept->columnNames);
    SendEnd(stream, *stream->kept, false);
  } else {
    ServerState* server = stream->server;
    auto set = std::make_shared<ResultSet>();
    std::vector<std::string> fields;
    const FieldTable& schema = stream->parsed.request.served->database->schema;
    for (int k = 0; k < schema.displayCount; ++k)
      fields.push_back(schema.displayMap[k] != nullptr
                           ? WideToUtf8(schema.displayMap[k]->displayName)
                           : std::string());
    SendStart(stream, fields);
    ScanWatcher watcher;
    watcher.context = stream;
    watcher.update = OnScanUpdate;
    bool stopped = false;
    // Its rows go to the client as they come: it walks alone, so that a slow client holds up
    // no other search.
    RunResultScan(stream->parsed.request, server->batcher, true, server->pool, stream->stop.get(),
                  watcher, set.get(), &stopped);
    if (set->status == 200 && !stopped) KeepResult(&server->results, set);
    SendEnd(stream, *set, stopped);
    ForgetToken(server, stream->token);
  }
  sink.done();
  return true;
}

}  // namespace

void AnswerSearchStream(ServerState* state, const httplib::Request& request,
                        httplib::Response& response) {
  auto stream = std::make_shared<StreamState>();
  stream->server = state;
  int status = 400;
  std::string error;
  if (!ParseSearch(state, request, &stream->parsed, &status, &error)) {
    AnswerError(&response, status, error);
    return;
  }
  stream->kept = FindKeptResult(&state->results, stream->parsed.request.key);
  if (stream->kept == nullptr) {
    if (!SearchBatcherHasRoom(state->batcher)) {
      response.set_header("Retry-After", "1");
      AnswerError(&response, 503, "too many searches at once: try again");
      return;
    }
    stream->token = NewToken();
    std::lock_guard<std::mutex> hold(state->stops.lock);
    state->stops.byToken[stream->token] = stream->stop;
  }
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [stream](size_t, httplib::DataSink& sink) {
        // The library calls this outside its own handler of exceptions: no memory for a
        // piece ends the answer (the connection closes) and nothing else.
        try {
          return RunStream(stream.get(), sink);
        } catch (const std::exception&) {
          return false;
        }
      },
      [stream](bool) {
        if (!stream->token.empty()) ForgetToken(stream->server, stream->token);
      });
}

void AnswerSearchStop(ServerState* state, const httplib::Request& request,
                      httplib::Response& response) {
  const std::string token = request.get_param_value("token");
  std::shared_ptr<std::atomic<int>> stop;
  {
    std::lock_guard<std::mutex> hold(state->stops.lock);
    const auto found = state->stops.byToken.find(token);
    if (found != state->stops.byToken.end()) stop = found->second;
  }
  if (stop == nullptr) {
    AnswerError(&response, 404, "no running search has that token");
    return;
  }
  stop->store(1);
  response.set_content("{\"stopped\":true}", "application/json");
}
