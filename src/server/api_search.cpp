// GET /api/search: a page of a search's rows as JSON, or all of them as TSV or CSV, byte for
// byte what `vostrel-cli search --format tsv|csv` writes.
#include <httplib.h>

#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>

#include "cli/search_criteria.h"
#include "db/codepage.h"
#include "search/query_criteria.h"
#include "server/api.h"
#include "server/collation.h"
#include "server/text_checks.h"

namespace {

constexpr int kMaxPageRows = 1000;
// Rows gathered before a piece of a TSV or CSV answer goes out.
constexpr size_t kTablePieceBytes = 1 << 18;

bool IsReservedParameter(const std::string& name) {
  static const char* const kReserved[] = {"db",   "offset", "limit", "sort",
                                          "desc", "format", "lang"};
  for (const char* reserved : kReserved)
    if (name == reserved) return true;
  return false;
}

// A whole number from 0 to INT_MAX written in decimal digits.
bool ReadCount(const std::string& text, int* out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long long n = std::stoll(text);
  if (n > INT_MAX) return false;
  *out = static_cast<int>(n);
  return true;
}

// Sets the criteria of table from the request's FIELD=TEXT parameters.
bool TakeCriteria(const httplib::Request& request, FieldTable* table, ParsedSearch* parsed,
                  std::string* error) {
  std::vector<bool> given(kMaxSearchFields, false);
  for (const auto& parameter : request.params) {
    if (IsReservedParameter(parameter.first)) continue;
    const int found = FindSearchField(*table, parameter.first);
    if (found < 0) {
      *error = "no searchable field '" + parameter.first +
               "'; searchable fields: " + SearchableFieldList(*table);
      return false;
    }
    if (given[static_cast<size_t>(found)]) {
      *error = "field '" + parameter.first + "' is given more than once";
      return false;
    }
    given[static_cast<size_t>(found)] = true;
    if (Utf8CodePoints(parameter.second) > kMaxCriterionChars) {
      *error = "a criterion holds at most " + std::to_string(kMaxCriterionChars) + " characters";
      return false;
    }
    FieldDescriptor* field = table->searchMap[found];
    if (!PrepareCriterion(field, parameter.second, error)) return false;
    const std::string warning = NeverMatchesWarning(*field, parameter.second);
    if (!warning.empty()) parsed->warnings.push_back(warning);
  }
  return true;
}

// The display column named name (any letter case), or -1.
int FindDisplayColumn(const FieldTable& schema, const std::string& name) {
  const std::wstring wanted = Utf8ToWide(name);
  for (int k = 0; k < schema.displayCount; ++k) {
    const FieldDescriptor* f = schema.displayMap[k];
    if (f != nullptr && SameNameIgnoringCase(f->displayName, wanted)) return k;
  }
  return -1;
}

// offset, limit, sort, desc, format and lang.
bool TakeShape(const httplib::Request& request, const FieldTable& schema, ParsedSearch* parsed,
               std::string* error) {
  if (request.has_param("offset") &&
      !ReadCount(request.get_param_value("offset"), &parsed->offset)) {
    *error = "offset is a whole number";
    return false;
  }
  if (request.has_param("limit")) {
    if (!ReadCount(request.get_param_value("limit"), &parsed->limit)) {
      *error = "limit is a whole number";
      return false;
    }
    if (parsed->limit > kMaxPageRows) parsed->limit = kMaxPageRows;
  }
  if (request.has_param("sort")) {
    parsed->sortColumn = FindDisplayColumn(schema, request.get_param_value("sort"));
    if (parsed->sortColumn < 0) {
      *error = "no listed field '" + request.get_param_value("sort") + "' to sort by";
      return false;
    }
  }
  const std::string desc = request.get_param_value("desc");
  parsed->descending = desc == "1" || desc == "true";
  const std::string format =
      request.has_param("format") ? request.get_param_value("format") : "json";
  if (format == "json") {
    parsed->format = FormatJson;
  } else if (format != "tsv" && format != "csv") {
    *error = "format is json, tsv or csv";
    return false;
  } else {
    ParseOutputFormat(format, &parsed->format);
  }
  parsed->locale = LocaleOfLanguage(request.get_param_value("lang"));
  return true;
}

bool TakeQuery(const httplib::Request& request, ParsedSearch* parsed, std::string* error) {
  const Database& database = *parsed->request.served->database;
  FieldTable table;
  if (!CopyFieldTable(database.schema, &table)) {
    *error = "no memory for the search";
    return false;
  }
  const bool taken = TakeCriteria(request, &table, parsed, error);
  if (taken) parsed->request.query = CaptureQuery(&table);
  FreeFieldTable(&table);
  return taken && TakeShape(request, database.schema, parsed, error);
}

const char* TableContentType(OutputFormat format) {
  return format == FormatCsv ? "text/csv; charset=utf-8"
                             : "text/tab-separated-values; charset=utf-8";
}

// The whole result as the command line writes it, in pieces as the client takes them.
struct TableStream {
  ResultPointer set;
  OrderPointer order;
  TableWriter writer;
  std::vector<const char*> values;
  int next = 0;
  bool started = false;
};

bool WriteTablePiece(TableStream* stream, httplib::DataSink& sink) {
  TableWriter& writer = stream->writer;
  writer.buffer.clear();
  if (!stream->started) {
    WriteTableHeader(&writer);
    stream->started = true;
  }
  const int total = static_cast<int>(stream->set->rows.size());
  while (stream->next < total && writer.buffer.size() < kTablePieceBytes) {
    const int place = stream->next++;
    const int row =
        stream->order != nullptr ? stream->order->rows[static_cast<size_t>(place)] : place;
    RowValueArray(*stream->set, row, stream->values.data());
    WriteTableRow(&writer, stream->values.data(), stream->values.size());
  }
  if (!writer.buffer.empty() && !sink.write(writer.buffer.data(), writer.buffer.size()))
    return false;
  if (stream->next == total) sink.done();
  return true;
}

void AnswerTable(const ResultPointer& set, const OrderPointer& order, OutputFormat format,
                 httplib::Response& response) {
  auto stream = std::make_shared<TableStream>();
  stream->set = set;
  stream->order = order;
  stream->values.resize(static_cast<size_t>(set->columns));
  BeginTable(&stream->writer, nullptr, format, set->columnNames);
  response.set_header("X-Vostrel-Total", std::to_string(set->total));
  response.set_header("X-Vostrel-Complete", set->complete ? "true" : "false");
  if (!set->message.empty()) response.set_header("X-Vostrel-Message", set->message);
  response.set_chunked_content_provider(TableContentType(format),
                                        [stream](size_t, httplib::DataSink& sink) {
                                          // The library calls this outside its own handler of
                                          // exceptions: no memory for a piece ends the answer (the
                                          // connection closes) and nothing else.
                                          try {
                                            return WriteTablePiece(stream.get(), sink);
                                          } catch (const std::exception&) {
                                            return false;
                                          }
                                        });
}

void AnswerPage(const ParsedSearch& parsed, const ResultSet& set, const KeptOrder* order,
                httplib::Response& response) {
  nlohmann::json page;
  page["db"] = parsed.request.served->id;
  page["total"] = set.total;
  page["scanned"] = set.scanned;
  page["complete"] = set.complete;
  if (!set.message.empty()) page["message"] = set.message;
  page["offset"] = parsed.offset;
  page["limit"] = parsed.limit;
  if (parsed.sortColumn >= 0)
    page["sort"] = set.columnNames[static_cast<size_t>(parsed.sortColumn)];
  page["desc"] = parsed.descending;
  page["fields"] = set.columnNames;
  if (!parsed.warnings.empty()) page["warnings"] = parsed.warnings;
  std::string body = page.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  body.pop_back();  // the closing brace: the rows follow
  body += ",\"rows\":";
  AppendJsonRows(&body, set, order, parsed.offset, parsed.limit);
  body += "}";
  response.set_content(body, "application/json");
}

}  // namespace

void AnswerError(httplib::Response* response, int status, const std::string& message) {
  nlohmann::json error;
  error["error"] = message;
  response->status = status;
  response->set_content(error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                        "application/json");
}

bool ParseSearch(ServerState* state, const httplib::Request& request, ParsedSearch* parsed,
                 int* status, std::string* error) {
  *status = 400;
  for (const auto& parameter : request.params) {
    if (!ValidUtf8(parameter.first) || !ValidUtf8(parameter.second)) {
      *error = "a parameter is not UTF-8 text";
      return false;
    }
    if (IsReservedParameter(parameter.first) &&
        request.get_param_value_count(parameter.first) > 1) {
      *error = "'" + parameter.first + "' is given more than once";
      return false;
    }
  }
  if (!request.has_param("db")) {
    *error = "db names the database (its id in /api/databases)";
    return false;
  }
  parsed->request.served = FindServedDatabase(&state->catalog, request.get_param_value("db"));
  if (parsed->request.served == nullptr) {
    *status = 404;
    *error = "no database has that id";
    return false;
  }
  if (!TakeQuery(request, parsed, error)) return false;
  parsed->request.key = ResultKeyOf(*parsed->request.served, parsed->request.query);
  return true;
}

void AppendJsonRow(std::string* out, const char* const* values, int count, std::string* scratch) {
  out->push_back('[');
  for (int k = 0; k < count; ++k) {
    if (k > 0) out->push_back(',');
    scratch->clear();
    AppendSingleByteAsUtf8(scratch, values[k]);
    AppendJsonString(out, *scratch);
  }
  out->push_back(']');
}

void AppendJsonRows(std::string* out, const ResultSet& set, const KeptOrder* order, int offset,
                    int limit) {
  const int total = static_cast<int>(set.rows.size());
  std::vector<const char*> values(static_cast<size_t>(set.columns));
  std::string scratch;
  out->push_back('[');
  for (int place = offset; place < total && place - offset < limit; ++place) {
    if (place > offset) out->push_back(',');
    const int row = order != nullptr ? order->rows[static_cast<size_t>(place)] : place;
    RowValueArray(set, row, values.data());
    AppendJsonRow(out, values.data(), set.columns, &scratch);
  }
  out->push_back(']');
}

void AnswerSearch(ServerState* state, const httplib::Request& request,
                  httplib::Response& response) {
  ParsedSearch parsed;
  int status = 400;
  std::string error;
  if (!ParseSearch(state, request, &parsed, &status, &error)) {
    AnswerError(&response, status, error);
    return;
  }
  bool refused = false;
  const ResultPointer set =
      ObtainResult(&state->results, state->batcher, state->pool, parsed.request, &refused);
  if (refused) {
    response.set_header("Retry-After", "1");
    AnswerError(&response, 503, "too many searches at once: try again");
    return;
  }
  if (set->status != 200) {
    AnswerError(&response, set->status, set->message);
    return;
  }
  OrderPointer order;
  if (parsed.sortColumn >= 0) {
    order = ObtainOrder(&state->results, set.get(), parsed.sortColumn, parsed.descending,
                        parsed.locale);
    if (order == nullptr) {
      AnswerError(&response, 500, "the rows cannot be sorted (no collation or no memory)");
      return;
    }
  }
  if (parsed.format != FormatJson)
    AnswerTable(set, order, parsed.format, response);
  else
    AnswerPage(parsed, *set, order.get(), response);
}
