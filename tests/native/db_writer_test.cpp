// The writer: exact bytes of each variant, values that do not fit, and files that appear whole
// or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "db/database_writer.h"
#include "db/file_system.h"
#include "test_support.h"

namespace {

bool IsGzip(const std::string& bytes) {
  return bytes.size() >= 2 && bytes[0] == '\x1F' && bytes[1] == '\x8B';
}

}  // namespace

TEST(DbWriter, PlainFileHasTheDocumentedLayout) {
  // One subscriber: 1234567, PETROV, SADOVAYA, 12, 5; a 55-byte file.
  DatabaseWriterOptions options = FixtureOptions(VariantPlain, L"Demo");
  std::string bytes;
  std::string error;
  ASSERT_TRUE(
      EncodeDatabase(options, {{"1234567", "PETROV", "SADOVAYA", "12", "5"}}, &bytes, &error))
      << error;
  std::string expected(
      "\x01\x00\x00\x00\x0B\x07"
      "Demo",
      10);
  expected.append(29 - expected.size(), '\0');
  expected += std::string(
      "\x19\x87\xD6\x12"
      "PETROV\0SADOVAYA\0"
      "12\0"
      "5\0\xFF",
      26);
  EXPECT_EQ(bytes.size(), 55u);
  EXPECT_EQ(bytes, expected);

  TempDir dir;
  ASSERT_TRUE(
      WriteFixture(dir.File(L"a.db"), options, {{"1234567", "PETROV", "SADOVAYA", "12", "5"}}));
  EXPECT_EQ(ReadFileBytes(dir.File(L"a.db")), expected);
  // The same content compressed, and stored without compression.
  options.variant = VariantZdb;
  ASSERT_TRUE(
      WriteFixture(dir.File(L"a.zdb"), options, {{"1234567", "PETROV", "SADOVAYA", "12", "5"}}));
  const std::string zdb = ReadFileBytes(dir.File(L"a.zdb"));
  EXPECT_TRUE(IsGzip(zdb));
  EXPECT_EQ(ReadGzBytes(dir.File(L"a.zdb")), expected);
  options.compress = false;
  ASSERT_TRUE(
      WriteFixture(dir.File(L"s.zdb"), options, {{"1234567", "PETROV", "SADOVAYA", "12", "5"}}));
  EXPECT_EQ(ReadFileBytes(dir.File(L"s.zdb")), expected);
}

TEST(DbWriter, FdbCarriesItsDescriptorsAndStartsTheStreamAfterThem) {
  DatabaseWriterOptions options = FixtureOptions(VariantFdb, L"Схема");
  options.version = 12;
  options.descriptors = {MakeField("Phone", FieldInteger, 5, 2, 1, 2, 1, 5, 60, 45),
                         MakeField("Who", FieldText, 8, 0, 2, 1, 0, 30, 142, 100)};
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(options, {{"65535", "A"}, {"0", ""}}, &bytes, &error)) << error;
  ASSERT_EQ(bytes.size(), 64u + 2 * 28 + (1 + 2 + 2) + (1 + 2 + 1) + 1);
  EXPECT_EQ(bytes[4], 12);
  EXPECT_EQ(bytes[5], 2);
  EXPECT_EQ(bytes.substr(8, 4), std::string("\x02\x00\x00\x00", 4));
  EXPECT_EQ(bytes.substr(13, 6), Cp1251(L"Схема") + '\0');
  EXPECT_EQ(bytes[63], '\0');
  const std::string phone = bytes.substr(64, 28);
  EXPECT_EQ(phone, std::string("Phone\0\0\0\0\0\0\0\0\0\0\0"
                               "\x02\x05\x02\x01\x02\x01"
                               "\x3C\x00\x2D\x00\x05\x00",
                               28));
  const std::string who = bytes.substr(92, 28);
  EXPECT_EQ(who.substr(16), std::string("\x01\x08\x00\x02\x01\x00\x8E\x00\x64\x00\x1E\x00", 12));
  EXPECT_EQ(bytes.substr(120), std::string("\x05\xFF\xFF"
                                           "A\0"
                                           "\x04\x00\x00\0"
                                           "\xFF",
                                           10));
}

TEST(DbWriter, FdbOfVersion11StoresTheBuiltInDescriptors) {
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(options, SampleRecords(), &bytes, &error)) << error;
  EXPECT_EQ(bytes[4], 11);
  EXPECT_EQ(bytes[5], 5);
  EXPECT_EQ(bytes.substr(64, 6), std::string("Phone\0", 6));
  EXPECT_EQ(bytes.substr(64 + 4 * 28, 5), std::string("Flat\0", 5));
  EXPECT_EQ(bytes[204], static_cast<char>(1 + 3 + 12 + 12 + 4 + 2));  // the first record's length
}

TEST(DbWriter, TitlesAreCutToWhatTheHeaderHolds) {
  DatabaseWriterOptions options = FixtureOptions(VariantPlain, std::wstring(30, L'Я'));
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(options, {}, &bytes, &error));
  EXPECT_EQ(bytes.substr(6, 23), std::string(22, '\xDF') + '\0');
  options.variant = VariantFdb;
  options.title = std::string(70, 'T');
  ASSERT_TRUE(EncodeDatabase(options, {}, &bytes, &error));
  EXPECT_EQ(bytes.substr(13, 51), std::string(50, 'T') + '\0');
  options.title = std::string("AB\0CD", 5);
  ASSERT_TRUE(EncodeDatabase(options, {}, &bytes, &error));
  EXPECT_EQ(bytes.substr(13, 3), std::string("AB\0", 3));
  EXPECT_EQ(bytes.substr(16, 2), std::string(2, '\0'));
}

TEST(DbWriter, ValuesThatDoNotFitAreRefusedWithTheRecordIndex) {
  DatabaseWriterOptions builtIn = FixtureOptions(VariantPlain);
  DatabaseWriterOptions wide = FixtureOptions(VariantFdb);
  wide.version = 12;
  wide.descriptors = {MakeField("Big", FieldInteger, 0, 4, 1, 1, 0, 11),
                      MakeField("Byte", FieldInteger, 0, 1, 2, 2, 0, 3),
                      MakeField("Long", FieldText, 0, 0, 0, 3, 0, 250),
                      MakeField("Odd", 9, 0, 0, 0, 0, 0, 5)};
  const DatabaseRecord good = SampleRecords()[0];
  struct Case {
    const char* what;
    const DatabaseWriterOptions* options;
    DatabaseRecord bad;
    bool fits;
  };
  const Case cases[] = {
      {"phone of 8 digits", &builtIn, {"16777216", "A", "B", "1", "2"}, false},
      {"largest 3-byte phone", &builtIn, {"16777215", "A", "B", "1", "2"}, true},
      {"negative phone", &builtIn, {"-1", "A", "B", "1", "2"}, false},
      {"phone with a letter", &builtIn, {"12a", "A", "B", "1", "2"}, false},
      {"empty phone", &builtIn, {"", "A", "B", "1", "2"}, false},
      {"phone with a leading zero (reads back as 123456)",
       &builtIn,
       {"0123456", "A", "B", "1", "2"},
       false},
      {"phone 0", &builtIn, {"0", "A", "B", "1", "2"}, true},
      {"minus zero", &wide, {"-0", "0", "", ""}, false},
      {"negative with a leading zero", &wide, {"-012", "0", "", ""}, false},
      {"house longer than 36", &builtIn, {"1", "A", "B", std::string(37, 'H'), "2"}, false},
      {"house of exactly 36", &builtIn, {"1", "A", "B", std::string(36, 'H'), "2"}, true},
      {"NUL inside a name", &builtIn, {"1", std::string("A\0B", 3), "B", "1", "2"}, false},
      {"four values", &builtIn, {"1", "A", "B", "1"}, false},
      {"record over 254 bytes",
       &builtIn,
       {"1", std::string(150, 'N'), std::string(100, 'S'), "1", "2"},
       false},
      {"smallest signed 32-bit", &wide, {"-2147483648", "0", "", ""}, true},
      {"just past signed 32-bit", &wide, {"2147483648", "0", "", ""}, false},
      {"byte 256", &wide, {"0", "256", "", ""}, false},
      {"value for a field of unknown type", &wide, {"0", "0", "", "x"}, false},
      {"record of exactly 254 bytes", &wide, {"0", "0", std::string(247, 'L'), ""}, true},
      {"record of 255 bytes", &wide, {"0", "0", std::string(248, 'L'), ""}, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const DatabaseRecord first = c.options == &builtIn ? good : DatabaseRecord{"1", "1", "x", ""};
    const std::vector<DatabaseRecord> records = {first, first, c.bad};
    std::string bytes = "untouched";
    std::string error;
    size_t badRecord = 99;
    EXPECT_EQ(EncodeDatabase(*c.options, records, &bytes, &error, &badRecord), c.fits) << c.what;
    const std::wstring path = dir.File(L"out.fdb");
    EXPECT_EQ(WriteDatabaseFile(path.c_str(), *c.options, records, &error, &badRecord), c.fits)
        << c.what;
    if (!c.fits) {
      EXPECT_EQ(bytes, "untouched") << c.what;
      EXPECT_EQ(badRecord, 2u) << c.what;
      EXPECT_NE(error.find("record 2"), std::string::npos) << c.what << ": " << error;
      EXPECT_TRUE(ListDirectory(dir.path).empty()) << c.what;  // no file, no temporary left
    }
    RemoveFileWide(path.c_str());
  }
}

TEST(DbWriter, AFailedWriteLeavesTheOldFileAndNoTemporaries) {
  TempDir dir;
  const std::wstring path = dir.File(L"keep.zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), SampleRecords()));
  const std::string before = ReadFileBytes(path);
  std::vector<DatabaseRecord> records = SampleRecords();
  records[1][0] = "phone";
  std::string error;
  EXPECT_FALSE(WriteDatabaseFile(path.c_str(), FixtureOptions(VariantZdb), records, &error));
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(ListDirectory(dir.path), std::vector<std::wstring>{L"keep.zdb"});
  // A successful write replaces the file as a whole.
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), {SampleRecords()[2]}));
  EXPECT_NE(ReadFileBytes(path), before);
  EXPECT_EQ(ListDirectory(dir.path), std::vector<std::wstring>{L"keep.zdb"});
  // A folder that does not exist: a clear failure.
  EXPECT_FALSE(WriteDatabaseFile(dir.File(L"no/such/dir.db").c_str(), FixtureOptions(VariantPlain),
                                 SampleRecords(), &error));
  EXPECT_FALSE(error.empty());
}

// Writers on several threads at once (a server making files for several users) each get
// temporaries of their own and leave none behind: under ThreadSanitizer this also holds the
// names' random sources and the table of temporaries a signal would remove.
TEST(DbWriter, WritesOnSeveralThreadsAtOnceEachFinishTheirOwnFile) {
  TempDir dir;
  const std::wstring reference = dir.File(L"reference.zdb");
  ASSERT_TRUE(WriteFixture(reference, FixtureOptions(VariantZdb), SampleRecords()));
  const std::string expected = ReadFileBytes(reference);
  constexpr int kThreads = 4, kFilesEach = 3;
  std::vector<std::wstring> names = {L"reference.zdb"};
  for (int t = 0; t < kThreads; ++t)
    for (int f = 0; f < kFilesEach; ++f)
      names.push_back(L"t" + std::to_wstring(t) + L"-" + std::to_wstring(f) + L".zdb");
  std::vector<int> written(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int f = 0; f < kFilesEach; ++f) {
        const std::wstring path = dir.File(names[1 + t * kFilesEach + f]);
        if (WriteFixture(path, FixtureOptions(VariantZdb), SampleRecords())) ++written[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(written[t], kFilesEach) << "thread " << t;
  for (const std::wstring& name : names) EXPECT_EQ(ReadFileBytes(dir.File(name)), expected);
  std::vector<std::wstring> listed = ListDirectory(dir.path);
  std::sort(listed.begin(), listed.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listed, names);
}

TEST(DbWriter, StreamingWriterFillsTheCountAtTheEndAndCanSkipABadRecord) {
  TempDir dir;
  const std::wstring path = dir.File(L"stream.zdb");
  DatabaseStreamWriter writer;
  std::string error;
  ASSERT_TRUE(BeginDatabaseFile(&writer, path.c_str(), FixtureOptions(VariantZdb), &error))
      << error;
  const std::vector<DatabaseRecord> records = SampleRecords();
  EXPECT_TRUE(AppendDatabaseRecord(&writer, records[0], &error));
  EXPECT_FALSE(AppendDatabaseRecord(&writer, {"x", "", "", "", ""}, &error));
  EXPECT_NE(error.find("record 1"), std::string::npos) << error;
  EXPECT_TRUE(AppendDatabaseRecord(&writer, records[1], &error));
  EXPECT_EQ(GetPathAttributes(path.c_str()), kNoFile);  // nothing under the name until Finish
  ASSERT_TRUE(FinishDatabaseFile(&writer, &error)) << error;

  std::string expected;
  ASSERT_TRUE(
      EncodeDatabase(FixtureOptions(VariantZdb), {records[0], records[1]}, &expected, &error));
  EXPECT_EQ(ReadGzBytes(path), expected);
  EXPECT_EQ(ListDirectory(dir.path), std::vector<std::wstring>{L"stream.zdb"});
  EXPECT_EQ(ReadFileBytes(path)[3], 0);  // a small file is one plain member

  // More than 1 MiB of data: a series of members of 1 MiB of data each, each header giving the
  // member's length in the file, which any gzip reader reads as the one stream.
  std::vector<DatabaseRecord> many;
  for (int i = 0; i < 60000; ++i)
    many.push_back({std::to_string(1000000 + i),
                    std::string(1 + i % 40, static_cast<char>('\xC0' + i % 32)),
                    "STREET " + std::to_string(i % 300), std::to_string(i % 90 + 1), ""});
  const std::wstring large = dir.File(L"large.zdb");
  ASSERT_TRUE(BeginDatabaseFile(&writer, large.c_str(), FixtureOptions(VariantZdb), &error));
  for (const DatabaseRecord& r : many) ASSERT_TRUE(AppendDatabaseRecord(&writer, r, &error));
  ASSERT_TRUE(FinishDatabaseFile(&writer, &error)) << error;
  ASSERT_TRUE(EncodeDatabase(FixtureOptions(VariantZdb), many, &expected, &error));
  ASSERT_GT(expected.size(), size_t{2} << 20);
  EXPECT_EQ(ReadGzBytes(large), expected);
  const std::string file = ReadFileBytes(large);
  size_t members = 0;
  for (size_t at = 0; at < file.size(); ++members) {
    ASSERT_GE(file.size() - at, size_t{20});
    EXPECT_EQ(file.substr(at, 4), std::string("\x1F\x8B\x08\x04", 4));
    EXPECT_EQ(file.substr(at + 10, 6), std::string("\x08\x00VD\x04\x00", 6));
    uint32_t length = 0;
    for (int b = 0; b < 4; ++b)
      length |= static_cast<uint32_t>(static_cast<unsigned char>(file[at + 16 + b])) << (8 * b);
    ASSERT_GE(length, 20u);
    ASSERT_LE(length, file.size() - at);
    // The trailer's length: 1 MiB, but for the last member.
    const std::string trailer = file.substr(at + length - 4, 4);
    uint32_t size = 0;
    for (int b = 0; b < 4; ++b)
      size |= static_cast<uint32_t>(static_cast<unsigned char>(trailer[b])) << (8 * b);
    EXPECT_EQ(size, at + length == file.size() ? expected.size() % (1u << 20) : 1u << 20);
    at += length;
  }
  EXPECT_EQ(members, (expected.size() >> 20) + 1);

  // Abort leaves nothing at all.
  ASSERT_TRUE(BeginDatabaseFile(&writer, dir.File(L"gone.db").c_str(), FixtureOptions(VariantPlain),
                                &error));
  EXPECT_TRUE(AppendDatabaseRecord(&writer, records[0], &error));
  AbortDatabaseFile(&writer);
  EXPECT_EQ(ListDirectory(dir.path), (std::vector<std::wstring>{L"large.zdb", L"stream.zdb"}));
}
