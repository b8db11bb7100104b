// vostrel-server through real HTTP: each test starts the server on a free loopback port with
// its own files and stops it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "db/codepage.h"
#include "server_harness.h"
#include "test_support.h"

namespace {

using nlohmann::json;

// The ids of the served databases by file name.
std::map<std::string, std::string> DatabaseIds(httplib::Client& client) {
  std::map<std::string, std::string> ids;
  const auto answer = client.Get("/api/databases");
  if (!answer || answer->status != 200) {
    ADD_FAILURE() << "/api/databases: "
                  << (answer ? answer->body : httplib::to_string(answer.error()));
    return ids;
  }
  const json list = json::parse(answer->body);
  for (const json& entry : list["databases"])
    ids[entry["file"].get<std::string>()] = entry["id"].get<std::string>();
  return ids;
}

std::string SearchPath(const std::string& id, const std::vector<std::string>& criteria,
                       const std::string& rest) {
  std::string path = "/api/search?db=" + id;
  for (const std::string& c : criteria) {
    const size_t equals = c.find('=');
    path += "&" + UrlEncode(c.substr(0, equals)) + "=" + UrlEncode(c.substr(equals + 1));
  }
  return path + rest;
}

// A criterion a user might type: a name's beginning in either case, a phone's digits (or a
// pattern of them), a street's letters.
std::string RandomCriterion(std::mt19937& random) {
  static const char* const kNames[] = {"ИВ", "иван", "ПЕТРОВА",  "п",     "СИДОРОВ Д", "ВОЛ",
                                       "ор", "КИМ",  "Ким И.И.", "*ОВА*", "?ИМ*",      "ПЕТРОВ"};
  static const char* const kPhones[] = {"1", "12", "5", "99", "3*", "*7", "1?3*", "0"};
  switch (random() % 4) {
    case 0:
      return std::string("Name=") + kNames[random() % (sizeof kNames / sizeof kNames[0])];
    case 1:
      return std::string("Phone=") + kPhones[random() % (sizeof kPhones / sizeof kPhones[0])];
    case 2:
      return std::string("street=") + static_cast<char>('a' + random() % 26);
    default:
      return "House=" + std::to_string(random() % 20);
  }
}

// Writes the plain, compressed and damaged files the oracle searches.
std::vector<std::wstring> WriteOracleFiles(const TempDir& dir, std::mt19937& random) {
  std::vector<std::wstring> files;
  const int count = 3000;
  const std::vector<DatabaseRecord> records = RandomSubscribers(random, count);
  files.push_back(dir.File(L"data/city.db"));
  files.push_back(dir.File(L"data/city.zdb"));
  EXPECT_TRUE(WriteFixture(files[0], FixtureOptions(VariantPlain), records));
  EXPECT_TRUE(WriteFixture(files[1], FixtureOptions(VariantZdb), records));
  for (int kind = 1; kind <= 4; ++kind) {
    std::string bytes = ReadFileBytes(files[0]);
    DamageSecondHalf(&bytes, count, kind, random);
    files.push_back(dir.File(L"data/damaged" + std::to_wstring(kind) + L".db"));
    EXPECT_TRUE(WriteFileBytes(files.back(), bytes));
  }
  return files;
}

struct ServerFixture : ::testing::Test {
  TempDir dir;
  RunningServer server;
  void TearDown() override {
    if (server.pid > 0) {
      EXPECT_EQ(StopServer(&server), 0);
    }
  }
};

using ServerApi = ServerFixture;

// format=tsv and csv are the command line's bytes for random criteria on random files, damaged
// ones included; the JSON page agrees with them on the count, the completeness and the rows.
TEST_F(ServerApi, TablesAreTheCommandLinesBytesAndPagesAgree) {
  std::mt19937 random(20261210);
  ASSERT_TRUE(MakeDirectory(dir.File(L"data")));
  const std::vector<std::wstring> files = WriteOracleFiles(dir, random);
  ASSERT_TRUE(StartServer({"--data", WideToUtf8(dir.File(L"data"))}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const std::map<std::string, std::string> ids = DatabaseIds(client);
  ASSERT_EQ(ids.size(), files.size());
  for (int round = 0; round < 40; ++round) {
    const std::wstring& file = files[random() % files.size()];
    const std::string name = WideToUtf8(file.substr(file.rfind(L'/') + 1));
    std::vector<std::string> criteria = {RandomCriterion(random)};
    if (random() % 3 == 0) criteria.push_back(RandomCriterion(random));
    if (criteria.size() == 2 && criteria[0].substr(0, 4) == criteria[1].substr(0, 4))
      criteria.pop_back();  // a field twice is refused by both
    const std::string format = random() % 4 == 0 ? "csv" : "tsv";
    std::vector<std::string> cliArgs = {"search", "--format", format, WideToUtf8(file)};
    cliArgs.insert(cliArgs.end(), criteria.begin(), criteria.end());
    const CliResult cli = RunCli(cliArgs);
    SCOPED_TRACE(name + " " + criteria[0] + (criteria.size() > 1 ? " " + criteria[1] : ""));
    const auto table = client.Get(SearchPath(ids.at(name), criteria, "&format=" + format));
    ASSERT_TRUE(table);
    ASSERT_EQ(table->status, 200) << table->body;
    EXPECT_EQ(table->body, cli.out);
    const auto page = client.Get(SearchPath(ids.at(name), criteria, "&limit=5&offset=1"));
    ASSERT_TRUE(page && page->status == 200);
    const json answer = json::parse(page->body);
    const long lines = static_cast<long>(std::count(cli.out.begin(), cli.out.end(), '\n'));
    EXPECT_EQ(answer["total"].get<long>(), lines - 1);
    EXPECT_EQ(answer["complete"].get<bool>(),
              table->get_header_value("X-Vostrel-Complete") == "true");
    // The command line's words after the file's name, its lines joined.
    std::string said;
    const std::string prefix = "vostrel-cli: " + WideToUtf8(file) + ": ";
    for (size_t at = 0; at < cli.err.size();) {
      const size_t end = cli.err.find('\n', at);
      const std::string line = cli.err.substr(at, end - at);
      if (line.compare(0, prefix.size(), prefix) == 0)
        said += (said.empty() ? "" : "; ") + line.substr(prefix.size());
      at = end == std::string::npos ? end : end + 1;
    }
    EXPECT_EQ(answer.value("message", ""), said);
    EXPECT_EQ(answer["complete"].get<bool>(), said.empty() || said.rfind("more records", 0) == 0);
    EXPECT_EQ(answer["rows"].size(), static_cast<size_t>(std::max(0L, std::min(5L, lines - 2))));
  }
}

// The phones of a page's rows, in order.
std::vector<std::string> PagePhones(httplib::Client& client, const std::string& path) {
  std::vector<std::string> phones;
  const auto page = client.Get(path);
  if (!page || page->status != 200) {
    ADD_FAILURE() << path << ": " << (page ? page->body : "no answer");
    return phones;
  }
  const json answer = json::parse(page->body);
  for (const json& row : answer["rows"]) phones.push_back(row[0].get<std::string>());
  return phones;
}

// Sorting by a column follows the language's alphabet with case ignored (Ё after Е, ties in
// file order both ways); pages of any size put together give the whole order.
TEST_F(ServerApi, SortsInTheLanguagesOrderAndPagesThroughIt) {
  const wchar_t* const names[] = {L"ЖУК", L"еж",   L"ЁЖ",   L"ЕЖ", L"ЕЛЬ",
                                  L"Еж",  L"ЁЛКА", L"АИСТ", L"ежи"};
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < 9; ++i)
    records.push_back(
        {std::to_string(1000000 + i), Cp1251(names[i]), Cp1251(i % 3 ? L"ул" : L"УЛ"), "1", "2"});
  ASSERT_TRUE(WriteFixture(dir.File(L"sort.db"), FixtureOptions(VariantPlain), records));
  ASSERT_TRUE(StartServer({WideToUtf8(dir.File(L"sort.db"))}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const std::string id = DatabaseIds(client)["sort.db"];
  auto phones = [](std::initializer_list<int> rows) {
    std::vector<std::string> out;
    for (int r : rows) out.push_back(std::to_string(1000000 + r));
    return out;
  };
  // е and ё differ only by their mark: ЁЖ follows the ЕЖ of any case and comes before ЕЖИ;
  // ЁЛКА comes before ЕЛЬ as К comes before Ь.
  const std::vector<std::string> up = phones({7, 1, 3, 5, 2, 8, 6, 4, 0});
  const std::vector<std::string> down = phones({0, 4, 6, 8, 2, 1, 3, 5, 7});
  EXPECT_EQ(PagePhones(client, "/api/search?db=" + id + "&sort=NAME"), up);
  EXPECT_EQ(PagePhones(client, "/api/search?db=" + id + "&sort=Name&desc=1"), down);
  for (int size : {1, 2, 4}) {
    std::vector<std::string> paged, pagedDown;
    for (int offset = 0; offset < 9; offset += size) {
      const std::string page =
          "&limit=" + std::to_string(size) + "&offset=" + std::to_string(offset);
      for (const std::string& p : PagePhones(client, "/api/search?db=" + id + "&sort=Name" + page))
        paged.push_back(p);
      for (const std::string& p :
           PagePhones(client, "/api/search?db=" + id + "&sort=Name&desc=1" + page))
        pagedDown.push_back(p);
    }
    EXPECT_EQ(paged, up) << size;
    EXPECT_EQ(pagedDown, down) << size;
  }
  // A column of few values (sorted by its distinct values): two spellings that differ only in
  // case tie, and ties keep file order both ways.
  const std::vector<std::string> fileOrder = phones({0, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(PagePhones(client, "/api/search?db=" + id + "&sort=Street"), fileOrder);
  EXPECT_EQ(PagePhones(client, "/api/search?db=" + id + "&sort=Street&desc=1"), fileOrder);
  // The sorted TSV is the command line's rows in that order.
  const auto table = client.Get("/api/search?db=" + id + "&sort=Name&format=tsv");
  ASSERT_TRUE(table && table->status == 200);
  EXPECT_EQ(table->body.substr(table->body.find('\n') + 1, 8), "1000007\t");
  EXPECT_TRUE(PagePhones(client, "/api/search?db=" + id + "&sort=Name&offset=9").empty());
}

std::string CliTable(const std::wstring& file, const std::string& criterion) {
  return RunCli({"search", "--format", "tsv", WideToUtf8(file), criterion}).out;
}

// Many searches of one compressed file at once, the same ones and different ones, each answer
// whole and the command line's.
TEST_F(ServerApi, ConcurrentSearchesOfOneFileEachGetTheirOwnRows) {
  std::mt19937 random(7);
  const std::wstring file = dir.File(L"city.zdb");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantZdb), RandomSubscribers(random, 20000)));
  std::vector<std::string> criteria, expected;
  for (int i = 0; i < 12; ++i) {
    criteria.push_back(RandomCriterion(random));
    expected.push_back(CliTable(file, criteria.back()));
  }
  ASSERT_TRUE(StartServer({WideToUtf8(file)}, &server));
  httplib::Client lister("127.0.0.1", server.port);
  const std::string id = DatabaseIds(lister)["city.zdb"];
  std::atomic<int> wrong{0}, answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      httplib::Client client("127.0.0.1", server.port);
      for (int i = 0; i < 12; ++i) {
        const size_t q = static_cast<size_t>(t * 5 + i) % criteria.size();
        const auto table = client.Get(SearchPath(id, {criteria[q]}, "&format=tsv"));
        if (!table || table->status != 200 || table->body != expected[q]) ++wrong;
        ++answered;
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(answered.load(), 96);
  EXPECT_EQ(wrong.load(), 0);
}

// A file written over while it is searched gives one version's rows whole, or says it was cut
// or changed; never a mix. Replaced, its new rows are answered (nothing kept of the old);
// removed, its id is unknown.
TEST_F(ServerApi, AFileChangedDuringSearchesNeverGivesAMix) {
  std::mt19937 random(11);
  const std::wstring file = dir.File(L"live.db"), other = dir.File(L"other.db");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantPlain), RandomSubscribers(random, 30000)));
  ASSERT_TRUE(WriteFixture(other, FixtureOptions(VariantPlain), RandomSubscribers(random, 30000)));
  const std::string bytes[2] = {ReadFileBytes(file), ReadFileBytes(other)};
  const std::string criterion = "Name=и";
  const std::string expected[2] = {CliTable(file, criterion), CliTable(other, criterion)};
  ASSERT_NE(expected[0], expected[1]);
  ASSERT_TRUE(StartServer({"--data", WideToUtf8(dir.path)}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const std::string id = DatabaseIds(client)["live.db"];
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) WriteFileBytes(file, bytes[i % 2]);  // in place, last: other's
    writing = false;
  });
  int mixed = 0;
  while (writing) {
    const auto table = client.Get(SearchPath(id, {criterion}, "&format=tsv"));
    ASSERT_TRUE(table);
    const bool whole =
        table->status == 200 && table->get_header_value("X-Vostrel-Complete") == "true";
    if (whole && table->body != expected[0] && table->body != expected[1]) ++mixed;
    if (table->status == 200) {
      EXPECT_TRUE(whole || !table->get_header_value("X-Vostrel-Message").empty());
    } else {
      EXPECT_TRUE(table->status == 409 || table->status == 404) << table->body;
    }
  }
  writer.join();
  EXPECT_EQ(mixed, 0);
  // A file that was no database for a moment comes back with the next walk of its folder.
  std::string answer;
  for (int tries = 0; tries < 30 && answer != expected[1]; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    DatabaseIds(client);
    const auto table = client.Get(SearchPath(id, {criterion}, "&format=tsv"));
    answer = table && table->status == 200 ? table->body : "";
  }
  EXPECT_EQ(answer, expected[1]);
  const std::wstring renamed = dir.File(L"new.db");
  ASSERT_TRUE(WriteFileBytes(renamed, bytes[0]));
  ASSERT_EQ(rename(WideToUtf8(renamed).c_str(), WideToUtf8(file).c_str()), 0);
  const auto replaced = client.Get(SearchPath(id, {criterion}, "&format=tsv"));
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->body, expected[0]);
  ASSERT_EQ(remove(WideToUtf8(file).c_str()), 0);
  const auto removed = client.Get(SearchPath(id, {criterion}, ""));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->status, 404);
  // The list follows at its next walk of the folder (at most once a second).
  bool listed = true;
  for (int tries = 0; tries < 30 && listed; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listed = DatabaseIds(client).count("live.db") != 0;
  }
  // A check opens every file of the folder as it is now, and says which cannot be used and why,
  // in the command line's words, naming no folder.
  ASSERT_TRUE(WriteFileBytes(dir.File(L"broken.db"), bytes[0].substr(0, 10)));
  const auto check = client.Get("/api/check");
  ASSERT_TRUE(check && check->status == 200);
  EXPECT_EQ(check->body.find(WideToUtf8(dir.path)), std::string::npos);
  std::map<std::string, json> checked;
  const json files = json::parse(check->body)["files"];
  for (const json& f : files) checked[f["file"].get<std::string>()] = f;
  EXPECT_EQ(checked.count("live.db"), 0u);
  ASSERT_EQ(checked.count("other.db"), 1u) << check->body;
  EXPECT_TRUE(checked["other.db"]["usable"].get<bool>());
  EXPECT_EQ(checked["other.db"]["id"], DatabaseIds(client)["other.db"]);
  ASSERT_EQ(checked.count("broken.db"), 1u);
  EXPECT_FALSE(checked["broken.db"]["usable"].get<bool>());
  const CliResult cli = RunCli({"info", WideToUtf8(dir.File(L"broken.db"))});
  EXPECT_NE(cli.err.find(checked["broken.db"]["problem"].get<std::string>()), std::string::npos)
      << cli.err;
  EXPECT_FALSE(listed);
}

// Hostile requests get a 4xx with a JSON error and the security headers, and the server goes
// on answering.
TEST_F(ServerApi, HostileRequestsAreRefusedWithJsonAndTheServerGoesOn) {
  std::mt19937 random(3);
  ASSERT_TRUE(WriteFixture(dir.File(L"city.db"), FixtureOptions(VariantPlain),
                           RandomSubscribers(random, 100)));
  ASSERT_TRUE(StartServer({WideToUtf8(dir.File(L"city.db"))}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const std::string id = DatabaseIds(client)["city.db"];
  const std::string search = "/api/search?db=" + id;
  const struct {
    std::string target;
    std::string header;
    int status;
  } cases[] = {
      {"/../../../etc/passwd", "", 404},
      {"/api/../../etc/passwd", "", 404},
      {"/api/search?db=..%2F..%2Fetc%2Fpasswd", "", 404},
      {"/api/search?db=" + WideToUtf8(dir.File(L"city.db")), "", 404},
      {"/api/search?db=000000000000", "", 404},
      {"/api/search", "", 400},
      {search + "&Name=%zz", "", 400},
      {search + "&Name=%D0", "", 400},
      {search + "&Name=%C0%AF", "", 400},
      {search + "&Name=%ED%A0%80", "", 400},
      {search + "&%FF=1", "", 400},
      {search + "&Name=" + std::string(256, 'A'), "", 400},
      {search + "&Name=%E4%B8%AD", "", 400},  // no Windows-1251 letter
      {search + "&Nobody=1", "", 400},
      {search + "&Name=A&name=B", "", 400},
      {search + "&db=000000000000", "", 400},
      {search + "&limit=-1", "", 400},
      {search + "&offset=99999999999", "", 400},
      {search + "&sort=Nobody", "", 400},
      {search + "&format=xml", "", 400},
      {"/api/texts?lang=KLINGON", "", 404},
      {"/api/texts?lang=%FF", "", 400},
      {"/api/search/stop?token=nothing", "Content-Length: 0\r\n", 404},
      {search + "&Name=" + std::string(9000, 'A'), "", 414},
      {"/api/databases", "X-Big: " + std::string(9000, 'A') + "\r\n", 400},
      // A page of another site whose name was pointed at 127.0.0.1 (DNS rebinding).
      {"/api/databases", "Host: directory.example:8080\r\n", 421},
      {"/api/quit", "Content-Type: application/json\r\nContent-Length: 0\r\n", 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 80));
    const bool post = c.target.rfind("/api/search/stop", 0) == 0 || c.target == "/api/quit";
    const std::string host =
        c.header.find("Host:") == std::string::npos ? "Host: 127.0.0.1\r\n" : "";
    const std::string answer =
        RawExchange(server.port, (post ? "POST " : "GET ") + c.target + " HTTP/1.1\r\n" + host +
                                     c.header + "Connection: close\r\n\r\n");
    EXPECT_EQ(RawStatus(answer), c.status) << answer.substr(0, 300);
    EXPECT_NE(answer.find("\r\n\r\n{\"error\":"), std::string::npos) << answer.substr(0, 300);
    EXPECT_NE(answer.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    EXPECT_NE(answer.find("X-Content-Type-Options: nosniff"), std::string::npos);
    EXPECT_NE(answer.find("Referrer-Policy: no-referrer"), std::string::npos);
  }
  const auto still = client.Get(search + "&Name=" + UrlEncode("ив"));
  ASSERT_TRUE(still);
  EXPECT_EQ(still->status, 200);
  EXPECT_NE(still->get_header_value("Content-Security-Policy"), "");
}

// Beyond the scans allowed at once and the queue behind them, a search is turned away with 503
// (and a JSON error); those let in are answered whole.
TEST_F(ServerApi, AFloodBeyondTheQueueIsTurnedAway) {
  std::mt19937 random(5);
  const std::wstring file = dir.File(L"big.db");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantPlain), RandomSubscribers(random, 200000)));
  ASSERT_TRUE(StartServer({"--max-scans", "1", "--max-queue", "1", WideToUtf8(file)}, &server));
  httplib::Client lister("127.0.0.1", server.port);
  const std::string id = DatabaseIds(lister)["big.db"];
  std::atomic<int> refused{0}, answered{0}, other{0}, next{0};
  for (int round = 0; round < 20 && refused == 0; ++round) {
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
      clients.emplace_back([&] {
        httplib::Client client("127.0.0.1", server.port);
        for (int i = 0; i < 4; ++i) {
          // Every search different: none is answered from a kept one.
          const auto answer =
              client.Get(SearchPath(id, {"Phone=" + std::to_string(1000 + next++)}, ""));
          if (answer && answer->status == 503 &&
              answer->body.find("\"error\"") != std::string::npos)
            ++refused;
          else if (answer && answer->status == 200)
            ++answered;
          else
            ++other;
        }
      });
    }
    for (std::thread& c : clients) c.join();
  }
  EXPECT_GT(refused.load(), 0);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(other.load(), 0);
  const auto after = lister.Get(SearchPath(id, {"Phone=1"}, "&limit=1"));
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

// Clients that send half a request and then nothing hold a connection thread each only until
// the read time limit ends their connection (with a 400); meanwhile the others are served.
TEST_F(ServerApi, SlowClientsAreCutOffAndOthersServedMeanwhile) {
  std::mt19937 random(8);
  const std::wstring file = dir.File(L"slow.db");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantPlain), RandomSubscribers(random, 100)));
  ASSERT_TRUE(StartServer({"--threads", "4", WideToUtf8(file)}, &server));
  std::vector<std::future<std::string>> slow;
  for (int i = 0; i < 3; ++i)
    slow.push_back(std::async(std::launch::async, RawExchange, server.port,
                              std::string("GET /api/databases HTTP/1.1\r\nHost: 127.0.0.1\r\nX-")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  httplib::Client client("127.0.0.1", server.port);
  for (int i = 0; i < 20; ++i) {
    const auto answer = client.Get("/api/databases");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
  }
  for (auto& connection : slow) {
    ASSERT_EQ(connection.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "a half-sent request holds its connection past the read time limit";
    EXPECT_EQ(RawStatus(connection.get()), 400);
  }
}

// A server of one user's own: --idle-exit ends it, as after SIGTERM, once its time without a
// request has passed (before then it answers); --quit-from-page lets its page end it.
TEST_F(ServerApi, AServerOfOnesOwnEndsIdleOrFromItsPage) {
  std::mt19937 random(6);
  const std::wstring file = dir.File(L"idle.db");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantPlain), RandomSubscribers(random, 100)));
  ASSERT_TRUE(StartServer({"--idle-exit", "1", WideToUtf8(file)}, &server));
  {
    httplib::Client client("127.0.0.1", server.port);
    EXPECT_EQ(DatabaseIds(client).count("idle.db"), 1u);
    EXPECT_EQ(WaitForServerExit(&server, 60), 0);
  }
  ASSERT_TRUE(StartServer({"--quit-from-page", WideToUtf8(file)}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const auto session = client.Get("/api/session");
  ASSERT_TRUE(session);
  EXPECT_EQ(nlohmann::json::parse(session->body)["quit"], true);
  // A form of another site cannot send JSON without asking first: a plain post ends nothing.
  const auto form = client.Post("/api/quit", "a=1", "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 415);
  const auto quit = client.Post("/api/quit", "{}", "application/json");
  ASSERT_TRUE(quit);
  EXPECT_EQ(quit->status, 200);
  EXPECT_EQ(WaitForServerExit(&server, 30), 0);
}

// Server-Sent Events: a start with the stop token, the first rows, and an end whose counts are
// the search's; a second time the kept result answers; a finished search's token stops nothing.
TEST_F(ServerApi, AStreamedSearchTellsItsRowsAndEnd) {
  std::mt19937 random(9);
  const std::wstring file = dir.File(L"city.zdb");
  ASSERT_TRUE(WriteFixture(file, FixtureOptions(VariantZdb), RandomSubscribers(random, 5000)));
  ASSERT_TRUE(StartServer({WideToUtf8(file)}, &server));
  httplib::Client client("127.0.0.1", server.port);
  const std::string id = DatabaseIds(client)["city.zdb"];
  const std::string query = "?db=" + id + "&Name=" + UrlEncode("пет") + "&limit=7";
  const auto page = client.Get("/api/search" + query);
  ASSERT_TRUE(page && page->status == 200);
  const json expected = json::parse(page->body);
  ASSERT_GT(expected["total"].get<int>(), 7);
  for (int pass = 0; pass < 2; ++pass) {
    const auto stream = client.Get("/api/search/stream" + query + (pass == 0 ? "&Phone=" : ""));
    ASSERT_TRUE(stream && stream->status == 200);
    EXPECT_EQ(stream->get_header_value("Content-Type"), "text/event-stream");
    std::vector<std::pair<std::string, json>> events;
    for (size_t at = 0; at < stream->body.size();) {
      const size_t end = stream->body.find("\n\n", at);
      ASSERT_NE(end, std::string::npos);
      const std::string event = stream->body.substr(at, end - at);
      const size_t data = event.find("\ndata: ");
      events.emplace_back(event.substr(7, data - 7), json::parse(event.substr(data + 7)));
      at = end + 2;
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().first, "start");
    EXPECT_EQ(events.back().first, "done");
    json rows = json::array();
    for (const auto& e : events)
      if (e.first == "rows")
        for (const json& row : e.second["rows"]) rows.push_back(row);
    EXPECT_EQ(rows, expected["rows"]);
    EXPECT_EQ(events.back().second["total"], expected["total"]);
    EXPECT_EQ(events.back().second["complete"], true);
    if (pass == 0) {
      const std::string token = events.front().second["token"].get<std::string>();
      const auto stop = client.Post("/api/search/stop?token=" + token, "", "text/plain");
      ASSERT_TRUE(stop);
      EXPECT_EQ(stop->status, 404);
    }
  }
}

}  // namespace
