// vostrel-server through real HTTP: each test starts the server on a free loopback port with
// its own files and stops it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
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

}  // namespace
