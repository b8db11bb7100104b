// OpenDatabase: every result, the variant rule, header filling, and that a failure leaves the
// caller's header alone and nothing open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/codepage.h"
#include "db/database_header.h"
#include "db/file_system.h"
#include "db/record_reader.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

// A 29-byte header: count, version, numberWidth, title bytes (zero filled).
std::string ShortHeaderBytes(int32_t count, int version, int numberWidth,
                             const std::string& title) {
  std::string h(29, '\0');
  for (int b = 0; b < 4; ++b)
    h[b] = static_cast<char>((static_cast<uint32_t>(count) >> (8 * b)) & 0xFF);
  h[4] = static_cast<char>(version);
  h[5] = static_cast<char>(numberWidth);
  h.replace(6, title.size() < 23 ? title.size() : 23, title.substr(0, 23));
  return h;
}

// A 64-byte schema header.
std::string SchemaHeaderBytes(int version, int fieldCount, int32_t count,
                              const std::string& title) {
  std::string h(64, '\0');
  h.replace(0, 4, "SIGN");
  h[4] = static_cast<char>(version);
  h[5] = static_cast<char>(fieldCount);
  for (int b = 0; b < 4; ++b)
    h[8 + b] = static_cast<char>((static_cast<uint32_t>(count) >> (8 * b)) & 0xFF);
  h.replace(13, title.size() < 51 ? title.size() : 51, title.substr(0, 51));
  return h;
}

DatabaseHeader Sentinel() {
  DatabaseHeader h;
  h.version = 99;
  h.fieldCount = 42;
  h.recordCount = 123456;
  wcscpy(h.title, L"untouched");
  h.headerSize = 4321;
  h.numberWidth = 77;
  return h;
}

void ExpectSameHeader(const DatabaseHeader& a, const DatabaseHeader& b) {
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.fieldCount, b.fieldCount);
  EXPECT_EQ(a.recordCount, b.recordCount);
  EXPECT_EQ(std::wstring(a.title), std::wstring(b.title));
  EXPECT_EQ(a.headerSize, b.headerSize);
  EXPECT_EQ(a.numberWidth, b.numberWidth);
}

OpenResult Open(const std::wstring& path, DatabaseHeader* h, bool* viaGz) {
  return OpenDatabase(path.c_str(), h, viaGz);
}

// True when the plain file can be opened exclusively right now, i.e. nobody holds it.
bool NobodyHolds(const std::wstring& path) {
  ExclusiveFile f;
  if (!ExclusiveOpen(path.c_str(), &f)) return false;
  ExclusiveClose(&f);
  return true;
}

}  // namespace

TEST(DbOpen, VariantIsDecidedByTheLastFourCharactersIgnoringCase) {
  EXPECT_EQ(DatabaseVariantOf(L"a.fdb"), VariantFdb);
  EXPECT_EQ(DatabaseVariantOf(L"dir/A.FDB"), VariantFdb);
  EXPECT_EQ(DatabaseVariantOf(L"a.Zdb"), VariantZdb);
  EXPECT_EQ(DatabaseVariantOf(L"a.zDB"), VariantZdb);
  EXPECT_EQ(DatabaseVariantOf(L"a.db"), VariantPlain);
  EXPECT_EQ(DatabaseVariantOf(L"a.txt"), VariantPlain);
  EXPECT_EQ(DatabaseVariantOf(L"xfdb"), VariantPlain);  // no dot: not the extension
  EXPECT_EQ(DatabaseVariantOf(L".fdb"), VariantFdb);
  EXPECT_EQ(DatabaseVariantOf(L"db"), VariantPlain);
  EXPECT_EQ(DatabaseVariantOf(L""), VariantPlain);
  EXPECT_EQ(DatabaseVariantOf(L"a.fdb.bak"), VariantPlain);
}

// Windows opens a device for these names in any folder and with any extension (a serial port's
// read can wait for ever): on Windows the open takes them for missing files and never opens
// them; elsewhere they are ordinary files.
TEST(DbOpen, WindowsDeviceNamesAreMissingFilesOnWindowsOnly) {
  const struct {
    const wchar_t* path;
    bool device;
  } names[] = {
      {L"CON", true},         {L"nul.db", true},         {L"C:\\dir\\Aux.zdb", true},
      {L"dir/prn.fdb", true}, {L"COM1.db", true},        {L"com9.x.y", true},
      {L"LPT3:", true},       {L"con .db", true},        {L"C:NUL", true},
      {L"NUL:.txt", true},    {L"conin$", true},         {L"\\\\.\\PhysicalDrive0", true},
      {L"COM0.db", false},    {L"COM10.db", false},      {L"LPT.db", false},
      {L"console.db", false}, {L"icon.db", false},       {L"x.con", false},
      {L"CON\\x.db", false},  {L"auxiliary.zdb", false}, {L"", false},
  };
  for (const auto& name : names)
    EXPECT_EQ(NamesAWindowsDevice(name.path), name.device) << PathToNative(name.path);

  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  // Not COM1 or AUX: should the refusal ever go, their open would wait for ever under Wine.
  for (const wchar_t* name : {L"nul.db", L"Con .zdb", L"NUL.fdb"}) {
    const std::wstring path = dir.File(name);
    DatabaseHeader h = Sentinel();
    bool viaGz = false;
#ifdef _WIN32
    EXPECT_EQ(GetPathAttributes(path.c_str()), kNoFile) << PathToNative(path.c_str());
    ExclusiveFile file;
    EXPECT_FALSE(OpenForReading(path.c_str(), ShareWithAll, &file)) << PathToNative(path.c_str());
    EXPECT_EQ(Open(path, &h, &viaGz), OpenNotFound) << PathToNative(path.c_str());
#else
    ASSERT_TRUE(
        WriteFixture(path, FixtureOptions(DatabaseVariantOf(path.c_str())), SampleRecords()));
    EXPECT_EQ(Open(path, &h, &viaGz), OpenOk) << PathToNative(path.c_str());
#endif
  }
}

TEST(DbOpen, FailuresLeaveTheCallersHeaderAndFlagUntouched) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  ASSERT_TRUE(WriteFileBytes(dir.File(L"short.db"), std::string(28, 'x')));
  ASSERT_TRUE(WriteRawFile(dir.File(L"empty.zdb").c_str(), "", true));
  ASSERT_TRUE(WriteRawFile(dir.File(L"short.fdb").c_str(), std::string(63, '\0'), true));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"v12.db"), ShortHeaderBytes(1, 12, 7, "T") + "\xFF"));
  ASSERT_TRUE(WriteRawFile(dir.File(L"v12.zdb").c_str(), ShortHeaderBytes(1, 12, 7, "T"), true));
  ASSERT_TRUE(WriteFileBytes(dir.File(L"neg.db"), ShortHeaderBytes(1, -117, 7, "T")));
  // Looks like gzip but the deflate data is garbage: nothing can be read.
  ASSERT_TRUE(WriteFileBytes(
      dir.File(L"broken.zdb"),
      std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10) + std::string(64, '\xFF')));

  // A directory is a directory whatever its name says: decided before the extension.
  const std::wstring folder = dir.File(L"looks.FDB");
  ASSERT_TRUE(MakeDirectory(folder));

  struct Case {
    std::wstring path;
    OpenResult expected;
  };
  const Case cases[] = {
      {dir.File(L"missing.db"), OpenNotFound},
      {dir.File(L"missing.zdb"), OpenNotFound},
      {folder, OpenIsDirectory},
      {dir.path, OpenIsDirectory},
      {dir.File(L"short.db"), OpenShortHeader},
      {dir.File(L"empty.zdb"), OpenShortHeader},
      {dir.File(L"short.fdb"), OpenShortHeader},
      {dir.File(L"broken.zdb"), OpenShortHeader},
      {dir.File(L"v12.db"), OpenBadVersion},
      {dir.File(L"v12.zdb"), OpenBadVersion},
      {dir.File(L"neg.db"), OpenBadVersion},
  };
  for (const Case& c : cases) {
    for (bool flag : {false, true}) {
      DatabaseHeader h = Sentinel();
      bool viaGz = flag;
      EXPECT_EQ(Open(c.path, &h, &viaGz), c.expected) << PathToNative(c.path.c_str());
      ExpectSameHeader(h, Sentinel());
      EXPECT_EQ(viaGz, flag);
    }
  }
}

TEST(DbOpen, ShortHeaderFilesFillTheHeader) {
  TempDir dir;
  const std::string title = Cp1251(L"Москва (демо)");
  DatabaseWriterOptions options = FixtureOptions(VariantPlain, L"Москва (демо)");
  options.numberWidth = 6;
  ASSERT_TRUE(WriteFixture(dir.File(L"a.db"), options, SampleRecords()));
  options.variant = VariantZdb;
  ASSERT_TRUE(WriteFixture(dir.File(L"a.zdb"), options, SampleRecords()));
  options.compress = false;
  ASSERT_TRUE(WriteFixture(dir.File(L"stored.zdb"), options, SampleRecords()));
  ASSERT_TRUE(WriteFixture(dir.File(L"upper.ZDB"), options, SampleRecords()));

  struct Case {
    const wchar_t* name;
    bool viaGz;
  };
  for (const Case& c : {Case{L"a.db", false}, Case{L"a.zdb", true}, Case{L"stored.zdb", true},
                        Case{L"upper.ZDB", true}}) {
    DatabaseHeader h = Sentinel();
    bool viaGz = !c.viaGz;
    ASSERT_EQ(Open(dir.File(c.name), &h, &viaGz), OpenOk) << PathToNative(c.name);
    EXPECT_EQ(viaGz, c.viaGz);
    EXPECT_EQ(h.version, 11);
    EXPECT_EQ(h.fieldCount, 5);
    EXPECT_EQ(h.recordCount, 3);
    EXPECT_EQ(h.headerSize, 29);
    EXPECT_EQ(h.numberWidth, 6);
    EXPECT_EQ(std::wstring(h.title), L"Москва (демо)");
  }
}

TEST(DbOpen, TitlesEndAtTheirNulOrTheEndOfTheHeader) {
  TempDir dir;
  // 23 title bytes without a NUL: all 23 are the title.
  const std::string full23 = "ABCDEFGHIJKLMNOPQRSTUVW";
  ASSERT_TRUE(WriteFileBytes(dir.File(L"full.db"), ShortHeaderBytes(0, 11, 7, full23) + "\xFF"));
  // A NUL at the fourth byte, then more text that must not show.
  ASSERT_TRUE(WriteFileBytes(dir.File(L"inner-nul.db"),
                             ShortHeaderBytes(0, 11, 7, std::string("ABC\0DEF", 7)) + "\xFF"));
  // 51 title bytes in a schema header: only 50 fit, the last can only be the terminator.
  ASSERT_TRUE(WriteRawFile(dir.File(L"full.fdb").c_str(),
                           SchemaHeaderBytes(12, 0, 0, std::string(51, '\xC0')) + "\xFF", false));

  DatabaseHeader h;
  bool viaGz;
  ASSERT_EQ(Open(dir.File(L"full.db"), &h, &viaGz), OpenOk);
  EXPECT_EQ(std::wstring(h.title), L"ABCDEFGHIJKLMNOPQRSTUVW");
  ASSERT_EQ(Open(dir.File(L"inner-nul.db"), &h, &viaGz), OpenOk);
  EXPECT_EQ(std::wstring(h.title), L"ABC");
  ASSERT_EQ(Open(dir.File(L"full.fdb"), &h, &viaGz), OpenOk);
  EXPECT_EQ(std::wstring(h.title), std::wstring(50, L'А'));
}

TEST(DbOpen, SchemaHeaderAcceptsAnyVersionAndKeepsTheSignedCountTo16Bits) {
  TempDir dir;
  struct Case {
    int version;
    int fieldCountByte;
    uint16_t headerSize;
  };
  const Case cases[] = {
      {12, 5, 204},
      {11, 5, 204},
      {40, 127, 64 + 28 * 127},
      {10, 0, 64},
      // The count byte is signed: 0xFF is -1 and 0x80 is -128; the sum wraps to 16 bits.
      {12, 0xFF, static_cast<uint16_t>(64 - 28)},
      {12, 0x80, static_cast<uint16_t>(64 - 28 * 128)},
  };
  for (const Case& c : cases) {
    const std::wstring path = dir.File(L"h.fdb");
    ASSERT_TRUE(
        WriteRawFile(path.c_str(), SchemaHeaderBytes(c.version, c.fieldCountByte, -5, "X"), true));
    DatabaseHeader h = Sentinel();
    bool viaGz = false;
    ASSERT_EQ(Open(path, &h, &viaGz), OpenOk) << c.version << " " << c.fieldCountByte;
    EXPECT_TRUE(viaGz);
    EXPECT_EQ(h.version, static_cast<int8_t>(c.version));
    EXPECT_EQ(h.fieldCount, static_cast<int8_t>(c.fieldCountByte));
    EXPECT_EQ(h.recordCount, -5);
    EXPECT_EQ(h.headerSize, c.headerSize);
    EXPECT_EQ(h.numberWidth, Sentinel().numberWidth);  // a schema header has none
    EXPECT_EQ(std::wstring(h.title), L"X");
  }
}

TEST(DbOpen, ByteFourTwelveIsRefusedInShortHeadersButAcceptedInFdb) {
  TempDir dir;
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  options.version = 12;
  ASSERT_TRUE(WriteFixture(dir.File(L"v12.fdb"), options, SampleRecords()));
  options.compress = false;
  ASSERT_TRUE(WriteFixture(dir.File(L"v12-stored.FDB"), options, SampleRecords()));
  for (const wchar_t* name : {L"v12.fdb", L"v12-stored.FDB"}) {
    DatabaseHeader h;
    bool viaGz = false;
    ASSERT_EQ(Open(dir.File(name), &h, &viaGz), OpenOk);
    EXPECT_EQ(h.version, 12);
    EXPECT_EQ(h.headerSize, 204);
    EXPECT_EQ(h.recordCount, 3);
    EXPECT_TRUE(viaGz);
  }
  ASSERT_TRUE(WriteFileBytes(dir.File(L"v12.zdb"), ShortHeaderBytes(1, 12, 7, "T") + "\xFF"));
  DatabaseHeader h;
  bool viaGz = false;
  EXPECT_EQ(Open(dir.File(L"v12.zdb"), &h, &viaGz), OpenBadVersion);
  EXPECT_EQ(DescribeOpenFailure(dir.File(L"v12.zdb").c_str(), OpenBadVersion),
            "unsupported version 12");
}

TEST(DbOpen, NothingStaysOpenAfterAnyResult) {
  TempDir dir;
  const std::wstring shortFile = dir.File(L"short.db");
  const std::wstring badVersion = dir.File(L"bad.db");
  const std::wstring good = dir.File(L"good.db");
  ASSERT_TRUE(WriteFileBytes(shortFile, std::string(10, 'x')));
  ASSERT_TRUE(WriteFileBytes(badVersion, ShortHeaderBytes(0, 3, 7, "T")));
  ASSERT_TRUE(WriteFixture(good, FixtureOptions(VariantPlain), SampleRecords()));
  DatabaseHeader h;
  bool viaGz;
  EXPECT_EQ(Open(shortFile, &h, &viaGz), OpenShortHeader);
  EXPECT_TRUE(NobodyHolds(shortFile));
  EXPECT_EQ(Open(shortFile, &h, &viaGz), OpenShortHeader);  // again, at once
  EXPECT_EQ(Open(badVersion, &h, &viaGz), OpenBadVersion);
  EXPECT_TRUE(NobodyHolds(badVersion));
  EXPECT_EQ(Open(badVersion, &h, &viaGz), OpenBadVersion);
  EXPECT_EQ(Open(good, &h, &viaGz), OpenOk);
  EXPECT_TRUE(NobodyHolds(good));
  // The stream files are closed too: they can be replaced at once (on Windows an open handle
  // would refuse the delete).
  ASSERT_TRUE(WriteFixture(dir.File(L"z.zdb"), FixtureOptions(VariantZdb), SampleRecords()));
  EXPECT_EQ(Open(dir.File(L"z.zdb"), &h, &viaGz), OpenOk);
  EXPECT_TRUE(RemoveFileWide(dir.File(L"z.zdb").c_str()));
}

TEST(DbOpen, APlainFileHeldByAReaderCannotBeOpenedUntilItIsClosed) {
  TempDir dir;
  const std::wstring path = dir.File(L"held.db");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), SampleRecords()));
  DatabaseHeader h;
  bool viaGz = true;
  ASSERT_EQ(Open(path, &h, &viaGz), OpenOk);
  ASSERT_FALSE(viaGz);

  RecordReader reader;
  ASSERT_EQ(OpenRecordReader(&reader, path.c_str(), h, viaGz), 0);
  DatabaseHeader other = Sentinel();
  bool otherGz = true;
  EXPECT_EQ(Open(path, &other, &otherGz), OpenFileFailed);
  ExpectSameHeader(other, Sentinel());
  EXPECT_TRUE(otherGz);
  RecordReader second;
  EXPECT_EQ(OpenRecordReader(&second, path.c_str(), h, viaGz), 1);
  CloseRecordReader(&reader);
  EXPECT_EQ(Open(path, &other, &otherGz), OpenOk);
}

// Readers of a plain file share it: searches and info runs on one file at once all read it.
// Only an exclusive holder (the application's search worker) keeps the others out, and the
// command line then says that the file is busy.
TEST(DbOpen, ReadersShareAPlainFileAndOnlyAnExclusiveHolderMakesItBusy) {
  TempDir dir;
  const std::wstring path = dir.File(L"shared.db");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), SampleRecords()));
  DatabaseHeader h;
  bool viaGz = true;
  ASSERT_EQ(Open(path, &h, &viaGz), OpenOk);
  RecordReader first, second;
  ASSERT_EQ(OpenRecordReader(&first, path.c_str(), h, viaGz, ShareWithReaders), 0);
  EXPECT_EQ(OpenRecordReader(&second, path.c_str(), h, viaGz, ShareWithReaders), 0);
  CloseRecordReader(&second);
  EXPECT_EQ(Open(path, &h, &viaGz), OpenOk);
  EXPECT_FALSE(FileIsBusy(path.c_str()));
  for (const char* command : {"info", "search"}) {
    const CliResult r = RunCli({command, WideToUtf8(path)});
    EXPECT_EQ(r.exitCode, 0) << command << " beside another reader: " << r.err;
  }
  CloseRecordReader(&first);

  ExclusiveFile holder;
  ASSERT_TRUE(ExclusiveOpen(path.c_str(), &holder));
  EXPECT_TRUE(FileIsBusy(path.c_str()));
  for (const char* command : {"info", "search"}) {
    const CliResult r = RunCli({command, WideToUtf8(path)});
    EXPECT_EQ(r.exitCode, 2) << command;
    EXPECT_NE(r.err.find("shared.db: busy"), std::string::npos) << command << ": " << r.err;
  }
  ExclusiveClose(&holder);
}

TEST(DbOpen, AStreamThatCannotBeOpenedIsReportedAsSuch) {
  TempDir dir;
#ifdef _WIN32
  // A file that someone holds without sharing cannot be opened by zlib either.
  const std::wstring path = dir.File(L"held.zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), SampleRecords()));
  ExclusiveFile holder;
  ASSERT_TRUE(ExclusiveOpen(path.c_str(), &holder));
  DatabaseHeader h = Sentinel();
  bool viaGz = false;
  EXPECT_EQ(Open(path, &h, &viaGz), OpenStreamFailed);
  ExclusiveClose(&holder);
  ExpectSameHeader(h, Sentinel());
  EXPECT_FALSE(viaGz);
#else
  // A socket exists in the file system but cannot be opened as a file.
  for (const wchar_t* name : {L"s.zdb", L"s.fdb", L"s.db"}) {
    const std::string native = PathToNative(dir.File(name).c_str());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(native.size(), sizeof address.sun_path);
    memcpy(address.sun_path, native.c_str(), native.size() + 1);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    DatabaseHeader h = Sentinel();
    bool viaGz = false;
    const OpenResult expected =
        DatabaseVariantOf(name) == VariantPlain ? OpenFileFailed : OpenStreamFailed;
    EXPECT_EQ(Open(dir.File(name), &h, &viaGz), expected);
    ExpectSameHeader(h, Sentinel());
    EXPECT_FALSE(viaGz);
    close(s);
  }
  // A FIFO would block an ordinary open until a writer came: refused at once instead.
  for (const wchar_t* name : {L"f.zdb", L"f.fdb", L"f.db"}) {
    ASSERT_EQ(mkfifo(PathToNative(dir.File(name).c_str()).c_str(), 0600), 0);
    DatabaseHeader h;
    bool viaGz = false;
    EXPECT_EQ(Open(dir.File(name), &h, &viaGz),
              DatabaseVariantOf(name) == VariantPlain ? OpenFileFailed : OpenStreamFailed);
  }
#endif
}

TEST(DbOpen, CyrillicFileNamesOpenInEveryVariant) {
  TempDir dir;
  const std::wstring sub = dir.File(L"Справочники");
  ASSERT_TRUE(MakeDirectory(sub));
  const std::wstring sep(1, kPathSeparator);
  struct Case {
    const wchar_t* name;
    DatabaseVariant variant;
  };
  for (const Case& c : {Case{L"Москва.db", VariantPlain}, Case{L"Тверь.zdb", VariantZdb},
                        Case{L"Санкт-Петербург.FDB", VariantFdb}}) {
    const std::wstring path = sub + sep + c.name;
    DatabaseWriterOptions options = FixtureOptions(c.variant, L"Город");
    if (c.variant == VariantFdb) options.version = 12;
    ASSERT_TRUE(WriteFixture(path, options, SampleRecords()));
    DatabaseHeader h;
    bool viaGz = false;
    ASSERT_EQ(Open(path, &h, &viaGz), OpenOk) << PathToNative(path.c_str());
    EXPECT_EQ(std::wstring(h.title), L"Город");
    RecordReader reader;
    ASSERT_EQ(OpenRecordReader(&reader, path.c_str(), h, viaGz), 0);
    unsigned char first = 0;
    EXPECT_EQ(ReadRecordBytes(&reader, &first, 1), 1u);
    EXPECT_NE(first, kEndOfRecords);
    CloseRecordReader(&reader);
  }
}
