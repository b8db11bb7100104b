// The record stream: reading back what the writer wrote, in every variant, through the block
// buffer, and how the stream ends (end mark, cut-off files, no records).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "db/record_cache.h"
#include "db/record_reader.h"
#include "db/record_reader_inflate.h"
#include "test_support.h"

namespace {

struct Walk {
  std::vector<DatabaseRecord> records;
  bool endMark = false;  // false: the data ended without the 0xFF length
};

// Opens the file as the search does and walks the whole stream, decoding each record.
Walk WalkDatabase(const std::wstring& path) {
  Walk walk;
  DatabaseHeader header;
  bool viaGz = false;
  EXPECT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk);
  FieldTable table;
  EXPECT_EQ(BuildFieldTable(&table, path.c_str(), header, nullptr, nullptr), SchemaOk);
  RecordReader reader;
  EXPECT_EQ(OpenRecordReader(&reader, path.c_str(), header, viaGz), 0);
  unsigned char k = 0;
  if (ReadRecordBytes(&reader, &k, 1) == 1) {
    unsigned char record[kMaxRecordLength];
    while (k != kEndOfRecords) {
      if (k == 0 || ReadRecordBytes(&reader, record, k) < k) break;
      DecodeRecord(record, k, &table);
      DatabaseRecord values;
      for (int j = 0; j < table.fieldCount; ++j) values.push_back(table.fields[j].value);
      walk.records.push_back(values);
      k = record[k - 1];
    }
    walk.endMark = k == kEndOfRecords;
  }
  CloseRecordReader(&reader);
  FreeFieldTable(&table);
  return walk;
}

// Enough records to span several 64 KiB blocks, with lengths that vary.
std::vector<DatabaseRecord> ManyRecords(int count) {
  std::vector<DatabaseRecord> records;
  for (int i = 0; i < count; ++i) {
    records.push_back({std::to_string(1000000 + i * 7),
                       std::string(1 + i % 60, static_cast<char>('\xC0' + i % 32)),
                       "STREET " + std::to_string(i % 300), std::to_string(i % 90 + 1),
                       i % 3 == 0 ? "" : std::to_string(i % 500)});
  }
  return records;
}

// The raw records of a chain (each K bytes, its last byte the next length) from a reading
// function, up to the end mark or the first short read.
template <typename Read>
std::vector<std::string> ChainOfRecords(Read read) {
  std::vector<std::string> chain;
  unsigned char k = 0;
  if (read(&k, 1) != 1) return chain;
  std::string record;
  while (k != kEndOfRecords && k != 0) {
    record.assign(k, '\0');
    if (read(&record[0], k) != k) break;
    chain.push_back(record);
    k = static_cast<unsigned char>(record.back());
  }
  return chain;
}

// The reference: zlib's gzread asked for one length byte, then one record, at a time.
std::vector<std::string> ChainByGzRead(const std::wstring& path, unsigned headerSize) {
  gzFile gz = gzopen(PathToNative(path.c_str()).c_str(), "rb");
  if (gz == nullptr) return {};
  gzseek(gz, headerSize, SEEK_SET);
  std::vector<std::string> chain = ChainOfRecords([&](void* to, unsigned count) -> size_t {
    const int got = gzread(gz, to, count);
    return got < 0 ? 0 : static_cast<size_t>(got);
  });
  gzclose(gz);
  return chain;
}

std::vector<std::string> ChainByReader(const std::wstring& path, unsigned headerSize) {
  DatabaseHeader header;
  header.headerSize = static_cast<uint16_t>(headerSize);
  RecordReader reader;
  if (OpenRecordReader(&reader, path.c_str(), header, true) != 0) return {};
  std::vector<std::string> chain =
      ChainOfRecords([&](void* to, unsigned count) { return ReadRecordBytes(&reader, to, count); });
  CloseRecordReader(&reader);
  return chain;
}

// A walk as the scan makes it: each record in place when the buffer holds it whole, copied out
// only when it straddles two blocks.
std::vector<std::string> ChainInPlace(RecordReader* reader) {
  std::vector<std::string> chain;
  unsigned char k = 0;
  if (ReadRecordBytes(reader, &k, 1) != 1) return chain;
  unsigned char copy[256];
  while (k != kEndOfRecords && k != 0) {
    const unsigned char* data = TakeBufferedBytes(reader, k);
    if (data == nullptr) {
      if (ReadRecordBytes(reader, copy, k) != k) break;
      data = copy;
    }
    chain.emplace_back(reinterpret_cast<const char*>(data), k);
    k = data[k - 1];
  }
  return chain;
}

// The chain walked from the file with a tee into a cache, then again from the cache; the
// second walk is returned, and the first must equal it.
std::vector<std::string> ChainByCache(const std::wstring& path, unsigned headerSize) {
  DatabaseHeader header;
  header.headerSize = static_cast<uint16_t>(headerSize);
  RecordReader reader;
  if (OpenRecordReader(&reader, path.c_str(), header, true) != 0) return {};
  RecordCache cache;
  BeginRecordCache(&cache, size_t{1} << 30);
  TeeRecordReader(&reader, &cache);
  const std::vector<std::string> fromFile = ChainInPlace(&reader);
  CloseRecordReader(&reader);
  EXPECT_TRUE(FinishRecordCache(&cache));
  OpenRecordReaderOnCache(&reader, &cache);
  const std::vector<std::string> fromMemory = ChainInPlace(&reader);
  CloseRecordReader(&reader);
  FreeRecordCache(&cache);
  EXPECT_EQ(fromMemory, fromFile);
  return fromMemory;
}

}  // namespace

TEST(DbReader, EveryVariantReadsBackWhatWasWritten) {
  TempDir dir;
  const std::vector<DatabaseRecord> records = ManyRecords(5000);
  struct Case {
    const wchar_t* name;
    DatabaseVariant variant;
    bool compress;
    int version;
  };
  const Case cases[] = {
      {L"a.db", VariantPlain, false, 11}, {L"a.zdb", VariantZdb, true, 11},
      {L"s.zdb", VariantZdb, false, 11},  {L"a.fdb", VariantFdb, true, 11},
      {L"b.fdb", VariantFdb, true, 12},   {L"s.fdb", VariantFdb, false, 12},
  };
  for (const Case& c : cases) {
    DatabaseWriterOptions options = FixtureOptions(c.variant, L"T", c.compress);
    options.version = static_cast<int8_t>(c.version);
    ASSERT_TRUE(WriteFixture(dir.File(c.name), options, records));
    const Walk walk = WalkDatabase(dir.File(c.name));
    EXPECT_TRUE(walk.endMark) << PathToNative(c.name);
    EXPECT_EQ(walk.records, records) << PathToNative(c.name);
  }
}

TEST(DbReader, AStreamThatStartsWithTheEndMarkHoldsNoRecords) {
  TempDir dir;
  ASSERT_TRUE(WriteFixture(dir.File(L"none.db"), FixtureOptions(VariantPlain), {}));
  ASSERT_TRUE(WriteFixture(dir.File(L"none.zdb"), FixtureOptions(VariantZdb), {}));
  for (const wchar_t* name : {L"none.db", L"none.zdb"}) {
    const Walk walk = WalkDatabase(dir.File(name));
    EXPECT_TRUE(walk.endMark);
    EXPECT_TRUE(walk.records.empty());
  }
}

TEST(DbReader, ACutOffFileEndsAfterTheLastWholeRecord) {
  TempDir dir;
  const std::vector<DatabaseRecord> records = SampleRecords();
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(FixtureOptions(VariantPlain), records, &bytes, &error)) << error;
  // The third record's length byte stands where a two-record file has its end mark.
  std::string twoRecords;
  ASSERT_TRUE(
      EncodeDatabase(FixtureOptions(VariantPlain), {records[0], records[1]}, &twoRecords, &error));
  const size_t thirdStart = twoRecords.size() - 1;
  // Cut inside the third record: two records stand, and no end mark was seen.
  const std::string cut = bytes.substr(0, thirdStart + 5);
  ASSERT_TRUE(WriteFileBytes(dir.File(L"cut.db"), cut));
  ASSERT_TRUE(WriteRawFile(dir.File(L"cut.zdb").c_str(), cut, true));
  for (const wchar_t* name : {L"cut.db", L"cut.zdb"}) {
    const Walk walk = WalkDatabase(dir.File(name));
    EXPECT_FALSE(walk.endMark);
    ASSERT_EQ(walk.records.size(), 2u) << PathToNative(name);
    EXPECT_EQ(walk.records[1], records[1]);
  }
  // A stream that ends right after the header: no length byte at all.
  ASSERT_TRUE(WriteFileBytes(dir.File(L"bare.db"), bytes.substr(0, 29)));
  const Walk bare = WalkDatabase(dir.File(L"bare.db"));
  EXPECT_FALSE(bare.endMark);
  EXPECT_TRUE(bare.records.empty());
}

TEST(DbReader, ShortReadsReturnWhatArrivedAndThenNothing) {
  TempDir dir;
  std::string payload;
  for (int i = 0; i < 200000; ++i) payload.push_back(static_cast<char>(i * 31 + i / 256));
  const std::string file = std::string(29, 'h') + payload;
  ASSERT_TRUE(WriteFileBytes(dir.File(L"raw.db"), file));
  ASSERT_TRUE(WriteRawFile(dir.File(L"raw.zdb").c_str(), file, true));
  DatabaseHeader header;
  header.headerSize = 29;
  for (const auto& c : {std::make_pair(L"raw.db", false), std::make_pair(L"raw.zdb", true)}) {
    RecordReader reader;
    ASSERT_EQ(OpenRecordReader(&reader, dir.File(c.first).c_str(), header, c.second), 0);
    std::string got(payload.size() + 100, '\0');
    // Small reads, one read larger than a block, then a read that runs past the end.
    size_t at = 0;
    at += ReadRecordBytes(&reader, &got[at], 1);
    at += ReadRecordBytes(&reader, &got[at], 253);
    at += ReadRecordBytes(&reader, &got[at], 100000);
    at += ReadRecordBytes(&reader, &got[at], 7);
    EXPECT_EQ(at, 1u + 253 + 100000 + 7);
    const size_t tail = ReadRecordBytes(&reader, &got[at], 99999);
    EXPECT_EQ(tail, payload.size() - at);
    at += tail;
    EXPECT_EQ(got.substr(0, at), payload);
    EXPECT_EQ(ReadRecordBytes(&reader, &got[0], 10), 0u);
    CloseRecordReader(&reader);
    CloseRecordReader(&reader);  // closing twice is harmless
  }
}

TEST(DbReader, OpeningReportsWhichKindOfSourceFailed) {
  TempDir dir;
  DatabaseHeader header;
  header.headerSize = 29;
  RecordReader reader;
  EXPECT_EQ(OpenRecordReader(&reader, dir.File(L"gone.db").c_str(), header, false), 1);
  EXPECT_EQ(OpenRecordReader(&reader, dir.File(L"gone.zdb").c_str(), header, true), 2);
  CloseRecordReader(&reader);
}

// Damage in a compressed stream (broken deflate data, a wrong check value or length): the
// reader delivers every record that reading record by record through gzread gets, the same
// bytes, and more where the damage lies at the end. A stream that is whole, stored or in two
// members reads exactly alike both ways.
TEST(DbReader, DamagedCompressedStreamsLoseNoRecordThatARecordByRecordReadingGets) {
  TempDir dir;
  const std::vector<DatabaseRecord> records = ManyRecords(6000);
  const std::wstring path = dir.File(L"d.zdb");
  ASSERT_TRUE(WriteFixture(path, FixtureOptions(VariantZdb), records));
  const std::string whole = ReadFileBytes(path);
  ASSERT_GT(ReadGzBytes(path).size(), 4u * 65536);  // several of the reader's blocks
  const std::vector<std::string> all = ChainByGzRead(path, kShortHeaderSize);
  ASSERT_EQ(all.size(), records.size());
  EXPECT_EQ(ChainByReader(path, kShortHeaderSize), all);

  const size_t n = whole.size();
  const size_t offsets[] = {n / 8, 3 * n / 8, n / 2, 5 * n / 8, 7 * n / 8, n - 20, n - 8, n - 2};
  for (size_t offset : offsets) {
    std::string damaged = whole;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x55);
    ASSERT_TRUE(WriteFileBytes(path, damaged));
    const std::vector<std::string> reference = ChainByGzRead(path, kShortHeaderSize);
    const std::vector<std::string> got = ChainByReader(path, kShortHeaderSize);
    ASSERT_GE(got.size(), reference.size()) << "damage at " << offset << " of " << n;
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), got.begin()))
        << "damage at " << offset;
    // Kept in memory, the stream ends at the same record as the file.
    EXPECT_EQ(ChainByCache(path, kShortHeaderSize), got) << "damage at " << offset;
    // In the trailer every record inflated before the check failed.
    if (offset >= n - 8) {
      EXPECT_EQ(got.size(), all.size()) << "damage at " << offset;
    }
  }

  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(FixtureOptions(VariantZdb), records, &bytes, &error)) << error;
  ASSERT_TRUE(WriteRawFile(path.c_str(), bytes, false));  // stored: read as it stands
  EXPECT_EQ(ChainByReader(path, kShortHeaderSize), all);
  ASSERT_TRUE(WriteRawFile(dir.File(L"a.gz").c_str(), bytes.substr(0, bytes.size() / 2), true));
  ASSERT_TRUE(WriteRawFile(dir.File(L"b.gz").c_str(), bytes.substr(bytes.size() / 2), true));
  ASSERT_TRUE(WriteFileBytes(
      path, ReadFileBytes(dir.File(L"a.gz")) + ReadFileBytes(dir.File(L"b.gz")) + "tail"));
  EXPECT_EQ(ChainByGzRead(path, kShortHeaderSize), all);
  EXPECT_EQ(ChainByReader(path, kShortHeaderSize), all);
  EXPECT_EQ(ChainByCache(path, kShortHeaderSize), all);
}

namespace {

// Every byte of the stream after the header, read through the reader with the given engine in
// pieces of uneven sizes (so that reads end inside records, blocks and members); readAhead: as
// the command line reads, on the read-ahead's threads (a series' members two at a time).
std::string StreamByEngine(const std::wstring& path, unsigned headerSize, InflateEngine engine,
                           bool readAhead = false) {
  DatabaseHeader header;
  header.headerSize = static_cast<uint16_t>(headerSize);
  RecordReader reader;
  std::string bytes;
  if (OpenRecordReader(&reader, path.c_str(), header, true, ShareNothing, engine) == 0) {
    if (readAhead) {
      EXPECT_TRUE(StartReadAhead(&reader));
    }
    const size_t pieces[] = {1, 253, 70000, 7, 300000, 65536};
    for (size_t i = 0;; ++i) {
      std::string piece(pieces[i % 6], '\0');
      const size_t got = ReadRecordBytes(&reader, &piece[0], piece.size());
      bytes.append(piece, 0, got);
      if (got == 0) break;
    }
  }
  CloseRecordReader(&reader);
  return bytes;
}

// The raw deflate data of data (level 0: stored blocks); flushEvery: a flush after each piece of
// that many bytes (the blocks end there, and an empty stored block follows each).
std::string Deflated(const std::string& data, int level, size_t flushEvery = 0,
                     int strategy = Z_DEFAULT_STRATEGY) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  std::string raw;
  unsigned char chunk[16384];
  const auto run = [&](const char* from, size_t count, int flush) {
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(from));
    s.avail_in = static_cast<uInt>(count);
    do {
      s.next_out = chunk;
      s.avail_out = sizeof chunk;
      EXPECT_NE(deflate(&s, flush), Z_STREAM_ERROR);
      raw.append(reinterpret_cast<char*>(chunk), sizeof chunk - s.avail_out);
    } while (s.avail_out == 0);
  };
  for (size_t at = 0; flushEvery != 0 && at < data.size(); at += flushEvery)
    run(data.data() + at, std::min(flushEvery, data.size() - at), Z_SYNC_FLUSH);
  if (flushEvery == 0)
    run(data.data(), data.size(), Z_FINISH);
  else
    run(data.data(), 0, Z_FINISH);
  deflateEnd(&s);
  return raw;
}

// The header the writer gives each member of a series: an extra field "VD" of 4 bytes that holds
// the member's length in the file.
constexpr int kSeriesMember = -1;

// A gzip member of raw deflate data that inflates to data. flags 0: the header as zlib writes
// it; 0x08 with a name as gzip writes it; with the text hint (0x01), an extra field (0x04), a
// comment (0x10) or a header check (0x02), which zlib reads; or kSeriesMember. checkRight false:
// the trailer's check value is wrong.
std::string WrapMember(const std::string& raw, const std::string& data, int flags,
                       bool checkRight = true) {
  const bool series = flags == kSeriesMember;
  if (series) flags = 0x04;
  std::string member = {'\x1F', '\x8B', '\x08', static_cast<char>(flags), 0, 0, 0, 0, 0, 3};
  if (series)
    member += std::string("\x08\x00VD\x04\x00\x00\x00\x00\x00", 10);
  else if (flags & 0x04)
    member += std::string(
        "\x04\x00"
        "ab\x01\x02",
        6);
  if (flags & 0x08) member += std::string("records.db\0", 11);
  if (flags & 0x10) member += std::string("a comment\0", 10);
  if (flags & 0x02) {
    const uLong check =
        crc32(0, reinterpret_cast<const Bytef*>(member.data()), static_cast<uInt>(member.size()));
    member += static_cast<char>(check & 0xFF);
    member += static_cast<char>((check >> 8) & 0xFF);
  }
  member += raw;
  uLong check =
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  if (!checkRight) check ^= 0x10000;
  for (int i = 0; i < 4; ++i) member += static_cast<char>((check >> (8 * i)) & 0xFF);
  for (int i = 0; i < 4; ++i) member += static_cast<char>((data.size() >> (8 * i)) & 0xFF);
  if (series) {
    for (int b = 0; b < 4; ++b)
      member[16 + b] = static_cast<char>((member.size() >> (8 * b)) & 0xFF);
  }
  return member;
}

std::string GzipMember(const std::string& data, int flags, int level = 6) {
  return WrapMember(Deflated(data, level), data, flags);
}

// The series of members the writer makes of a large file: pieces of memberBytes, each a member
// whose extra field ("VD", 4 bytes) holds its length in the file.
std::string SeriesOf(const std::string& data, size_t memberBytes = size_t{1} << 20) {
  std::string series;
  for (size_t at = 0; at < data.size(); at += memberBytes)
    series += GzipMember(data.substr(at, memberBytes), kSeriesMember);
  return series;
}

// A deflate stream written bit by bit as the format packs it: fields from their lowest bit,
// Huffman codes from their highest.
struct DeflateBits {
  std::string bytes;
  unsigned pending = 0;
  int count = 0;
  void Put(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) {
      pending |= ((value >> i) & 1u) << count;
      if (++count == 8) {
        bytes += static_cast<char>(pending);
        pending = 0;
        count = 0;
      }
    }
  }
  void PutCode(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Put((code >> i) & 1u, 1);
  }
};

// The canonical code of each symbol, from the code lengths (0: the symbol has none).
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
  uint32_t count[16] = {};
  for (int l : lengths) count[l] += l > 0 ? 1 : 0;
  uint32_t next[16] = {};
  for (int l = 1; l < 16; ++l) next[l] = (next[l - 1] + count[l - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i] > 0) codes[i] = next[lengths[i]]++;
  return codes;
}

// One symbol of a block: a literal or the end of block (symbol < 257), or any other lit/len
// symbol, taken as a match of 3 bytes (257; 286 and 287 do not exist) at distance (> 0), or with
// the distance code -distance and no extra bits.
struct DeflateItem {
  int symbol;
  int distance;
};

std::vector<DeflateItem> Literals(const std::string& data) {
  std::vector<DeflateItem> items;
  for (char c : data) items.push_back({static_cast<unsigned char>(c), 0});
  return items;
}

// A block of items and its end, with the given code lengths: a dynamic block (the code lengths'
// own code in codeLengths, each length written as one symbol of it) or, with no codeLengths, a
// block of the fixed code.
void PutBlock(DeflateBits* w, bool final, const std::vector<int>& codeLengths,
              const std::vector<int>& lit, const std::vector<int>& dist,
              const std::vector<DeflateItem>& items) {
  w->Put(final ? 1 : 0, 1);
  w->Put(codeLengths.empty() ? 1 : 2, 2);
  if (!codeLengths.empty()) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w->Put(static_cast<uint32_t>(lit.size() - 257), 5);
    w->Put(static_cast<uint32_t>(dist.size() - 1), 5);
    w->Put(19 - 4, 4);
    for (int i : order) w->Put(static_cast<uint32_t>(codeLengths[i]), 3);
    const std::vector<uint32_t> codes = CanonicalCodes(codeLengths);
    for (const std::vector<int>* lengths : {&lit, &dist})
      for (int l : *lengths) w->PutCode(codes[l], codeLengths[l]);
  }
  const std::vector<uint32_t> litCodes = CanonicalCodes(lit);
  const std::vector<uint32_t> distCodes = CanonicalCodes(dist);
  std::vector<DeflateItem> all = items;
  all.push_back({256, 0});
  for (const DeflateItem& item : all) {
    w->PutCode(litCodes[item.symbol], lit[item.symbol]);
    if (item.symbol <= 256) continue;
    if (item.distance <= 0) {
      w->PutCode(distCodes[-item.distance], dist[-item.distance]);
      continue;
    }
    int code = 0;
    int base = 1;
    int extra = 0;
    for (; code < 29; ++code) {
      extra = code < 4 ? 0 : code / 2 - 1;
      if (item.distance < base + (1 << extra)) break;
      base += 1 << extra;
    }
    w->PutCode(distCodes[code], dist[code]);
    w->Put(static_cast<uint32_t>(item.distance - base), extra);
  }
}

std::vector<int> FixedLiteralLengths() {
  std::vector<int> lit(288, 8);
  for (int i = 144; i < 256; ++i) lit[i] = 9;
  for (int i = 256; i < 280; ++i) lit[i] = 7;
  return lit;
}

// The deflate body of a member: sound, or one that zlib refuses (or, the last two, takes
// although its codes are not complete).
enum DeflateBody {
  kSoundBody,
  kIncompleteLiteralCode,     // 257 codes of 9 bits
  kIncompleteDistanceCode,    // 30 codes of 5 bits
  kIncompleteCodeLengthCode,  // 15 codes of 4 bits
  kOversubscribedLiteralCode,
  kFixedLiteral286,
  kFixedDistanceCode30,
  kDistanceTooFarBack,
  kLoneEndOfBlockCode,  // zlib takes a lone code of 1 bit
  kLoneDistanceCode,
};

// A member of data whose deflate data is body: a sound part (zlib's, ended by a flush) and then
// blocks of our own; for kDistanceTooFarBack only ours, as the member's first block.
std::string MemberWithBody(const std::string& data, DeflateBody body, int flags, bool checkRight) {
  if (body == kSoundBody) {
    std::string raw = Deflated(data, 6);
    if (!checkRight) return WrapMember(raw, data, flags, false);
    return WrapMember(raw, data, flags);
  }
  const size_t half = body == kDistanceTooFarBack ? 0 : data.size() / 2;
  std::string raw;
  if (half > 0) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    raw.assign(deflateBound(&s, static_cast<uLong>(half)) + 16, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(half);
    s.next_out = reinterpret_cast<Bytef*>(&raw[0]);
    s.avail_out = static_cast<uInt>(raw.size());
    EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);  // ends on a byte, no final block
    raw.resize(s.total_out);
    deflateEnd(&s);
  }
  const std::string rest = data.substr(half);
  std::vector<DeflateItem> items = Literals(rest);
  // Complete codes: 226 of 8 bits and 60 of 9 for the literals and lengths, 2 of 4 bits and 28 of
  // 5 for the distances, 16 of 4 bits for the code lengths.
  std::vector<int> lit(286, 8);
  for (int i = 226; i < 286; ++i) lit[i] = 9;
  std::vector<int> dist(30, 5);
  dist[0] = dist[1] = 4;
  std::vector<int> codeLengths(19, 0);
  for (int i = 0; i < 16; ++i) codeLengths[i] = 4;
  std::vector<int> fixedDist(32, 5);
  DeflateBits w;
  const size_t at = items.size() / 3;
  switch (body) {
    case kIncompleteLiteralCode:
      lit.assign(257, 9);
      break;
    case kIncompleteDistanceCode:
      dist.assign(30, 5);
      break;
    case kIncompleteCodeLengthCode:
      codeLengths[15] = 0;  // no length is 15
      break;
    case kOversubscribedLiteralCode:
      lit[0] = 7;
      break;
    case kFixedLiteral286:
      items.insert(items.begin() + at, {286, 0});
      break;
    case kFixedDistanceCode30:
      items.insert(items.begin() + at, {257, -30});
      break;
    case kDistanceTooFarBack:
      items.insert(items.begin() + at, {257, static_cast<int>(at) + 1000});
      break;
    case kLoneEndOfBlockCode:
      PutBlock(&w, false, codeLengths, std::vector<int>(257, 0), {0}, {});
      break;
    case kLoneDistanceCode: {  // the first run of four equal bytes: one, and a match of three
      size_t run = 0;
      while (run + 3 < rest.size() && rest.compare(run + 1, 3, std::string(3, rest[run])) != 0)
        ++run;
      EXPECT_LT(run + 3, rest.size());
      items.erase(items.begin() + run + 1, items.begin() + run + 4);
      items.insert(items.begin() + run + 1, {257, 1});
      dist.assign(1, 1);
      break;
    }
    default:
      break;
  }
  if (body == kLoneEndOfBlockCode) {
    // The lone code's length of 1 in place of the end of block's 0 above: one symbol is sent.
    w = DeflateBits();
    std::vector<int> lone(257, 0);
    lone[256] = 1;
    PutBlock(&w, false, codeLengths, lone, {0}, {});
  }
  const bool fixed =
      body == kFixedLiteral286 || body == kFixedDistanceCode30 || body == kDistanceTooFarBack;
  if (fixed)
    PutBlock(&w, true, {}, FixedLiteralLengths(), fixedDist, items);
  else
    PutBlock(&w, true, codeLengths, lit, dist, items);
  if (w.count > 0) w.Put(0, 8 - w.count);
  return WrapMember(raw + w.bytes, data, flags, checkRight);
}

// One member of MembersOf: its header's flags (as GzipMember takes them), its deflate data and
// whether its check value is right.
struct MemberPlan {
  MemberPlan(int f, DeflateBody b = kSoundBody, bool right = true)
      : flags(f), body(b), checkRight(right) {}
  int flags;
  DeflateBody body;
  bool checkRight;
};

// data in one member per plan, the members of unequal lengths, so that one member's count of
// bytes is never right for another.
std::string MembersOf(const std::string& data, const std::vector<MemberPlan>& plans) {
  const size_t n = plans.size();
  std::string members;
  for (size_t i = 0; i < n; ++i) {
    const size_t from = data.size() * (i * i + i) / (n * n + n);
    const size_t to = data.size() * ((i + 1) * (i + 1) + i + 1) / (n * n + n);
    members += MemberWithBody(data.substr(from, to - from), plans[i].body, plans[i].flags,
                              plans[i].checkRight);
  }
  return members;
}

}  // namespace

// ISA-L's inflate against zlib's on every form of stream the reader meets: whole, damaged at
// every offset the test above damages and more, cut short, stored, in several members with
// every kind and mix of member headers, plain and in a series, with trailing bytes. Both must
// deliver exactly the same bytes, read by the reader's own calls and read ahead (a series' members
// on their threads).
TEST(DbReader, TheFastInflateDeliversExactlyTheBytesZlibDelivers) {
  if (!InflateEngineBuiltIn(InflateWithIsal)) GTEST_SKIP() << "built with zlib's inflate only";
  TempDir dir;
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(FixtureOptions(VariantZdb), ManyRecords(6000), &bytes, &error))
      << error;
  const std::wstring path = dir.File(L"d.zdb");
  // whole: what zlib must read of a file that is sound (nullptr when it is not).
  const auto same = [&](const std::string& file, const std::string& what,
                        const std::string* whole = nullptr) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(WriteFileBytes(path, file));
    const std::string byZlib = StreamByEngine(path, kShortHeaderSize, InflateWithZlib);
    if (whole != nullptr) {
      EXPECT_TRUE(byZlib == whole->substr(kShortHeaderSize));
    }
    const std::string byIsal = StreamByEngine(path, kShortHeaderSize, InflateWithIsal);
    EXPECT_EQ(byIsal.size(), byZlib.size());
    EXPECT_TRUE(byIsal == byZlib);
    const std::string ahead = StreamByEngine(path, kShortHeaderSize, InflateWithIsal, true);
    EXPECT_EQ(ahead.size(), byZlib.size());
    EXPECT_TRUE(ahead == byZlib);
  };
  const size_t half = bytes.size() / 2;
  const std::string whole = GzipMember(bytes, 0);
  same(whole, "whole");
  ASSERT_EQ(StreamByEngine(path, 0, InflateWithIsal), bytes);
  const size_t n = whole.size();
  const size_t damaged[] = {11,    40,    n / 8, 3 * n / 8, n / 2, 5 * n / 8, 7 * n / 8, n - 20,
                            n - 8, n - 5, n - 4, n - 2,     n - 1, n / 3 + 1, n / 5,     2 * n / 3};
  for (size_t offset : damaged) {
    for (unsigned char mask : {0x55, 0x01, 0x80, 0xFF}) {
      std::string file = whole;
      file[offset] = static_cast<char>(file[offset] ^ mask);
      same(file, "damage " + std::to_string(mask) + " at " + std::to_string(offset));
    }
  }
  for (size_t cut : {size_t{5}, size_t{10}, size_t{12}, n / 4, n / 2, n - 9, n - 8, n - 4, n - 1}) {
    same(whole.substr(0, cut), "cut at " + std::to_string(cut));
    // zlib's own reading ends where it ends whatever the reads ask for: here a byte at a time,
    // so that a match the cut leaves whole is copied out after the last input is taken.
    GzStream* gz = OpenGzStream(path.c_str(), InflateWithZlib);
    std::string byBytes;
    unsigned char byte = 0;
    while (gz != nullptr && ReadGzStream(gz, &byte, 1) == 1) byBytes += static_cast<char>(byte);
    CloseGzStream(gz);
    EXPECT_TRUE(byBytes.substr(std::min<size_t>(byBytes.size(), kShortHeaderSize)) ==
                StreamByEngine(path, kShortHeaderSize, InflateWithZlib))
        << "cut at " << cut << ", read a byte at a time";
  }
  same(bytes, "not compressed: passed through");
  same(GzipMember(bytes, 0, 0), "stored blocks");
  same(GzipMember(bytes, 0, 0).substr(0, n / 3), "stored blocks, cut");
  for (unsigned char flags : {0x01, 0x08, 0x02, 0x04, 0x10, 0x1E, 0x20, 0x80}) {
    const std::string two =
        GzipMember(bytes.substr(0, half), flags) + GzipMember(bytes.substr(half), flags);
    same(two, "two members, flags " + std::to_string(flags));
    same(two + "tail", "two members and a tail, flags " + std::to_string(flags));
    std::string broken = two;
    broken[broken.size() / 4] ^= 0x55;
    same(broken, "two members, the first damaged, flags " + std::to_string(flags));
  }
  same(GzipMember(bytes.substr(0, 100), 0) + GzipMember(bytes.substr(100), 0).substr(0, n / 2),
       "a short member, then one cut");
  // Every mix of the header's flags (the text hint, a header check, an extra field, a name, a
  // comment) before, between and after plain members and members of a series: whichever engine
  // takes a member's header, it neither loses nor repeats another member's bytes.
  constexpr int kSeries = kSeriesMember;
  for (int flags = 1; flags < 0x20; ++flags) {
    const int other = flags ^ 0x12;  // the header check and the comment turned over
    const std::string f = std::to_string(flags) + ", " + std::to_string(other);
    same(MembersOf(bytes, {flags, 0, flags}), "flags " + f + ": F 0 F", &bytes);
    same(MembersOf(bytes, {0, flags, other, 0}), "flags " + f + ": 0 F O 0", &bytes);
    same(MembersOf(bytes, {kSeries, kSeries, flags, kSeries, other, flags}),
         "flags " + f + ": series S S F S O F", &bytes);
  }
  // Members of many blocks, each block ended by a flush and an empty stored block: ISA-L takes
  // them a block at a time, or (at a flush every 100 bytes) leaves so many small ones to zlib;
  // whole and damaged, plain and in a series.
  for (const size_t every : {size_t{100}, size_t{5000}, size_t{40000}}) {
    const std::string what = "a flush every " + std::to_string(every) + " bytes";
    std::string plain = WrapMember(Deflated(bytes, 6, every), bytes, 0);
    std::string series;
    for (size_t at = 0; at < bytes.size(); at += 100000) {
      const std::string piece = bytes.substr(at, 100000);
      series += WrapMember(Deflated(piece, 6, every), piece, kSeriesMember);
    }
    same(plain, what, &bytes);
    same(series, what + ", series", &bytes);
    plain[plain.size() / 2] ^= 0x20;
    series[series.size() / 3] ^= 0x20;
    same(plain, what + ", damaged");
    same(series, what + ", series, damaged");
  }
  // Random damage, the same in every run (a fixed seed): one to three bits turned over in the
  // deflate data of every level, strategy (the fixed code among them) and flush pattern, in a
  // member or a series' member, sometimes cut as well.
  std::mt19937 random(20261210);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
  for (int i = 0; i < 150; ++i) {
    const std::string data = bytes.substr(random() % (bytes.size() / 2), 1000 + random() % 150000);
    const size_t every = random() % 3 == 0 ? 50 + random() % 20000 : 0;
    std::string raw =
        Deflated(data, static_cast<int>(random() % 10), every, strategies[random() % 5]);
    for (unsigned flips = 1 + random() % 3; flips > 0; --flips)
      raw[random() % raw.size()] ^= static_cast<char>(1u << (random() % 8));
    std::string file = WrapMember(raw, data, random() % 2 == 0 ? 0 : kSeries);
    if (random() % 4 == 0) file.resize(random() % file.size());
    same(file, "random damage " + std::to_string(i));
  }
  // Members whose deflate data zlib refuses (codes that are not complete, symbols and distances
  // that do not exist), whose check value is right or wrong, first, between others and last,
  // plain and in a series: ISA-L takes some of them, and zlib's reading decides.
  const DeflateBody bodies[] = {
      kIncompleteLiteralCode,     kIncompleteDistanceCode, kIncompleteCodeLengthCode,
      kOversubscribedLiteralCode, kFixedLiteral286,        kFixedDistanceCode30,
      kDistanceTooFarBack,        kLoneEndOfBlockCode,     kLoneDistanceCode};
  for (const DeflateBody body : bodies) {
    for (const bool right : {true, false}) {
      const std::string what =
          "deflate body " + std::to_string(body) + (right ? "" : ", bad check");
      const MemberPlan r(0, body, right);
      const MemberPlan rs(kSeries, body, right);
      // What zlib takes reads whole.
      const std::string* sound =
          right && (body == kLoneEndOfBlockCode || body == kLoneDistanceCode) ? &bytes : nullptr;
      same(MembersOf(bytes, {r, 0, 0}), what + ": R 0 0", sound);
      same(MembersOf(bytes, {0, MemberPlan(0x08, body, right), 0}), what + ": 0 R 0", sound);
      same(MembersOf(bytes, {0, kSeries, r}), what + ": 0 S R", sound);
      same(MembersOf(bytes, {kSeries, kSeries, rs, kSeries}), what + ": series S S R S", sound);
      same(MembersOf(bytes, {rs, kSeries, 0}), what + ": series R S 0", sound);
    }
  }
}

namespace {

// Every byte after the header through reader, in pieces of uneven sizes starting at piece
// `first` of the table (so that two readings cut the stream at other places).
std::string StreamInPieces(RecordReader* reader, size_t first) {
  const size_t pieces[] = {1, 253, 70000, 7, 300000, 65536, 4194301};
  std::string bytes;
  for (size_t i = first;; ++i) {
    std::string piece(pieces[i % 7], '\0');
    const size_t got = ReadRecordBytes(reader, &piece[0], piece.size());
    bytes.append(piece, 0, got);
    if (got == 0) break;
  }
  return bytes;
}

struct CachedStream {
  std::string fromFile;
  std::string fromMemory;   // read in the same pieces
  std::string otherPieces;  // read in other pieces
  std::string ownReads;     // read from the file in the same pieces, the reader's own reads
  bool sourceEnded = false;
  bool shrank = false;
  size_t held = 0;
};

// viewWindow: a plain file is viewed in windows of that many bytes instead of as StartReadAhead
// takes it.
CachedStream StreamByCache(const std::wstring& path, unsigned headerSize, bool viaGz = true,
                           size_t viewWindow = 0, InflateEngine engine = DefaultInflateEngine()) {
  CachedStream result;
  DatabaseHeader header;
  header.headerSize = static_cast<uint16_t>(headerSize);
  RecordReader reader;
  if (OpenRecordReader(&reader, path.c_str(), header, viaGz, ShareNothing, engine) != 0)
    return result;
  RecordCache cache;
  BeginRecordCache(&cache, size_t{1} << 30);
  TeeRecordReader(&reader, &cache);
#ifdef _WIN32
  viewWindow = 0;  // Windows reads ahead
#endif
  if (viewWindow != 0)
    EXPECT_TRUE(MapRecordFile(&reader, viewWindow));
  else
    EXPECT_TRUE(StartReadAhead(&reader));
  result.fromFile = StreamInPieces(&reader, 0);
  result.shrank = RecordFileShrank(&reader);
  CloseRecordReader(&reader);
  result.sourceEnded = cache.sourceEnded;
  EXPECT_TRUE(FinishRecordCache(&cache));
  result.held = cache.size;
  OpenRecordReaderOnCache(&reader, &cache);
  result.fromMemory = StreamInPieces(&reader, 0);
  EXPECT_EQ(ReadRecordBytes(&reader, &result.held, 1), 0u);  // and nothing after the end
  CloseRecordReader(&reader);
  OpenRecordReaderOnCache(&reader, &cache);
  result.otherPieces = StreamInPieces(&reader, 3);
  CloseRecordReader(&reader);
  FreeRecordCache(&cache);
  if (OpenRecordReader(&reader, path.c_str(), header, viaGz, ShareNothing, engine) == 0)
    result.ownReads = StreamInPieces(&reader, 0);
  CloseRecordReader(&reader);
  return result;
}

}  // namespace

// A stream kept in memory delivers exactly the bytes its file delivered, and ends where the file
// ended, for every form of stream: whole, damaged, cut, stored, passed through, in members with
// a tail, empty, and longer than one of the cache's chunks (and than the read-ahead's ring of
// blocks). The file read ahead on its thread (as the command line reads) delivers what the
// reader's own reads deliver.
TEST(DbReader, TheCacheDeliversExactlyWhatTheFileDelivered) {
  TempDir dir;
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(FixtureOptions(VariantZdb), ManyRecords(6000), &bytes, &error))
      << error;
  std::string large;  // beyond two chunks, in bytes that do not repeat in step with them
  for (size_t i = 0; large.size() < 2 * kRecordCacheChunkSize + 12345; ++i)
    large += static_cast<char>((i * 2654435761u) >> 13);
  const std::string whole = GzipMember(bytes, 0);
  const size_t n = whole.size();
  const std::string half = bytes.substr(0, bytes.size() / 2);
  const std::string rest = bytes.substr(bytes.size() / 2);
  struct Case {
    std::string what;
    std::string file;
  };
  std::vector<Case> cases = {
      {"whole", whole},
      {"not compressed: passed through", bytes},
      {"stored blocks", GzipMember(bytes, 0, 0)},
      {"two members and a tail", GzipMember(half, 0x08) + GzipMember(rest, 0) + "tail"},
      {"only a header", GzipMember(bytes.substr(0, kShortHeaderSize), 0)},
      {"nothing after the header's bytes", GzipMember(std::string(3, 'h'), 0)},
      {"longer than two chunks", GzipMember(large, 0, 1)},
      {"longer than two chunks, cut", GzipMember(large, 0, 1).substr(0, 3000000)},
  };
  for (size_t offset : {size_t{40}, n / 8, n / 2, 7 * n / 8, n - 8, n - 2}) {
    std::string damaged = whole;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x55);
    cases.push_back({"damage at " + std::to_string(offset), damaged});
  }
  for (size_t cut : {size_t{12}, n / 4, n / 2, n - 4})
    cases.push_back({"cut at " + std::to_string(cut), whole.substr(0, cut)});
  // A series of members as the writer makes of a large file, inflated a member each at a time
  // by the read-ahead's threads: whatever goes wrong in a member, from there on it must come out
  // as the stream alone reads it.
  const std::string series = SeriesOf(large.substr(0, (9u << 20) / 2));     // four and a half
  const size_t member = SeriesOf(large.substr(0, size_t{1} << 20)).size();  // the first's length
  std::string longer = large;
  longer.insert(3u << 20, std::string(5u << 20, 'x'));  // a member that fills no slot
  std::vector<Case> seriesCases = {
      {"series", series},
      {"series of small members across the header", SeriesOf(bytes, 7)},
      {"series and a tail", series + "tail"},
      {"series and a member of another writer", series + GzipMember(half, 0x08)},
      {"series with a member too long for a slot",
       SeriesOf(longer.substr(0, 3u << 20)) +
           SeriesOf(longer.substr(3u << 20, 5u << 20), 5u << 20) +
           SeriesOf(longer.substr(8u << 20))},
      {"series with a member of another writer inside",
       SeriesOf(large.substr(0, 2u << 20)) + GzipMember(large.substr(2u << 20, 1u << 20), 0) +
           SeriesOf(large.substr(3u << 20))},
      {"series cut at a member's end", series.substr(0, 2 * member)},
      {"series cut inside a member", series.substr(0, 2 * member + member / 3)},
      {"series cut inside a header", series.substr(0, member + 11)},
  };
  for (size_t offset : {size_t{30}, member / 2, member + 17, member + 16, 2 * member - 6,
                        2 * member - 3, 2 * member + member / 2, series.size() - 5}) {
    std::string damaged = series;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x55);
    seriesCases.push_back({"series, damage at " + std::to_string(offset), damaged});
  }
  std::string shortLength = series;  // the first member says it ends 100 bytes early
  shortLength[16] = static_cast<char>(shortLength[16] - 100);
  seriesCases.push_back({"series, a length too short", shortLength});
  std::string pastEnd = series;  // the last says it goes on past the file's end
  pastEnd[pastEnd.rfind("VD") + 5] = 0x7F;
  seriesCases.push_back({"series, a length past the end", pastEnd});
  const std::wstring path = dir.File(L"c.zdb");
  auto check = [&](const Case& c, InflateEngine engine = DefaultInflateEngine()) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(path, c.file));
    const CachedStream got = StreamByCache(path, kShortHeaderSize, true, 0, engine);
    EXPECT_TRUE(got.sourceEnded);
    EXPECT_EQ(got.held, got.fromFile.size());
    EXPECT_EQ(got.fromMemory.size(), got.fromFile.size());
    EXPECT_TRUE(got.fromMemory == got.fromFile);
    EXPECT_TRUE(got.otherPieces == got.fromFile);
    EXPECT_EQ(got.ownReads.size(), got.fromFile.size());
    EXPECT_TRUE(got.ownReads == got.fromFile);
  };
  for (const Case& c : cases) check(c);
  for (const InflateEngine engine : {InflateWithIsal, InflateWithZlib}) {
    if (!InflateEngineBuiltIn(engine)) continue;
    SCOPED_TRACE(engine == InflateWithIsal ? "ISA-L" : "zlib");
    for (const Case& c : seriesCases) check(c, engine);
  }
  // The same holds for a plain file, and at its size the whole record stream is kept.
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  const CachedStream plain = StreamByCache(path, kShortHeaderSize, false);
  EXPECT_EQ(plain.fromFile, bytes.substr(kShortHeaderSize));
  EXPECT_TRUE(plain.fromMemory == plain.fromFile);
  EXPECT_TRUE(plain.ownReads == plain.fromFile);
  // A plain file of several rings and windows of its view, whole and cut inside a block and at
  // a block's or a window's end; and viewed in windows of odd sizes, records crossing them.
  struct Plain {
    size_t size;
    size_t window;
  };
  const Plain plains[] = {{large.size(), 0},
                          {3000000, 0},
                          {kShortHeaderSize + 8 * 256 * 1024, 0},
                          {kShortHeaderSize + (2u << 20), 0},
                          {200000, 253},
                          {200000, 4093},
                          {kShortHeaderSize + 4 * 4096, 4096},
                          {3000000, 65543}};
  for (const Plain& p : plains) {
    SCOPED_TRACE("plain, " + std::to_string(p.size) + " bytes, window " + std::to_string(p.window));
    ASSERT_TRUE(WriteFileBytes(path, large.substr(0, p.size)));
    const CachedStream got = StreamByCache(path, kShortHeaderSize, false, p.window);
    EXPECT_EQ(got.fromFile.size(), p.size - kShortHeaderSize);
    EXPECT_TRUE(got.fromFile == large.substr(kShortHeaderSize, p.size - kShortHeaderSize));
    EXPECT_FALSE(got.shrank);
    EXPECT_TRUE(got.ownReads == got.fromFile);
    EXPECT_TRUE(got.fromMemory == got.fromFile);
  }
}

// A viewed plain file that another program shortens while it is read (here rewritten shorter in
// place, as a copy over it does) ends the stream instead of the program: a window loaded before
// the cut reads as the file's bytes up to the cut and zeros after it, and a window not loaded yet
// ends exactly where the file now ends, as the reader's own reads would.
TEST(DbReader, AViewedFileCutWhileItIsReadEnds) {
  TempDir dir;
  const std::wstring path = dir.File(L"cut.db");
  std::string file;
  for (size_t i = 0; file.size() < (3u << 20); ++i)
    file += static_cast<char>(1 + ((i * 2654435761u) >> 13) % 250);
  constexpr size_t kWindow = 1u << 20;
  struct Case {
    const char* what;
    size_t readFirst;  // bytes after the header read before the cut
    size_t cutAt;      // the file's new size
  };
  const Case cases[] = {
      {"inside the window being read", 100000, kShortHeaderSize + 512 * 1024 - 100},
      {"at a page inside the window being read", 5000, kShortHeaderSize + 8192 - 29},
      {"in the next window", kWindow - 10, kShortHeaderSize + kWindow + kWindow / 2},
      {"to nothing, before the next window", kWindow, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(path, file));
    DatabaseHeader header;
    header.headerSize = kShortHeaderSize;
    RecordReader reader;
    ASSERT_EQ(OpenRecordReader(&reader, path.c_str(), header, false, ShareWithReaders), 0);
#ifdef _WIN32
    EXPECT_FALSE(MapRecordFile(&reader, kWindow));  // Windows reads ahead instead
    CloseRecordReader(&reader);
    return;
#else
    ASSERT_TRUE(MapRecordFile(&reader, kWindow));
#endif
    std::string got(c.readFirst, '\0');
    ASSERT_EQ(ReadRecordBytes(&reader, &got[0], got.size()), got.size());
    ASSERT_TRUE(WriteFileBytes(path, file.substr(0, c.cutAt)));
    got += StreamInPieces(&reader, 0);
    EXPECT_EQ(ReadRecordBytes(&reader, &got[0], 1), 0u);
    EXPECT_TRUE(RecordFileShrank(&reader));
    CloseRecordReader(&reader);
    const size_t kept = c.cutAt > kShortHeaderSize ? c.cutAt - kShortHeaderSize : 0;
    const size_t loaded = (c.readFirst + kWindow - 1) / kWindow * kWindow;
    if (kept < loaded) {
      // What was read before the cut stands; the rest of the loaded window reads as zeros.
      const size_t real = std::max(kept, c.readFirst);
      ASSERT_EQ(got.size(), loaded);
      EXPECT_TRUE(got.substr(0, real) == file.substr(kShortHeaderSize, real));
      EXPECT_EQ(got.find_first_not_of('\0', real), std::string::npos);
    } else {
      EXPECT_TRUE(got == file.substr(kShortHeaderSize, kept));
    }
  }
}

// A record that straddles two chunks is not handed out in place (nothing is consumed then) and
// is read whole across them; the first byte of the next chunk is where the file had it.
TEST(DbReader, ARecordAcrossTwoChunksIsCopiedWhole) {
  std::string stream(kRecordCacheChunkSize + 100, '\0');
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>(i % 251);
  RecordCache cache;
  BeginRecordCache(&cache, stream.size() + 1);
  // Appends of odd sizes, as a stream of short blocks would come.
  for (size_t at = 0; at < stream.size(); at += 99991)
    AppendToRecordCache(&cache, stream.data() + at, std::min<size_t>(99991, stream.size() - at));
  ASSERT_TRUE(FinishRecordCache(&cache));
  ASSERT_EQ(cache.chunkCount, 2u);
  EXPECT_EQ(RecordCacheChunkLength(&cache, 0), kRecordCacheChunkSize);
  EXPECT_EQ(RecordCacheChunkLength(&cache, 1), 100u);
  RecordReader reader;
  OpenRecordReaderOnCache(&reader, &cache);
  std::string skipped(kRecordCacheChunkSize - 3, '\0');
  ASSERT_EQ(ReadRecordBytes(&reader, &skipped[0], skipped.size()), skipped.size());
  EXPECT_TRUE(skipped == stream.substr(0, skipped.size()));
  EXPECT_EQ(TakeBufferedBytes(&reader, 10), nullptr);
  const unsigned char* three = TakeBufferedBytes(&reader, 3);
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(three), 3), stream.substr(skipped.size(), 3));
  char across[10];
  ASSERT_EQ(ReadRecordBytes(&reader, across, 10), 10u);
  EXPECT_EQ(std::string(across, 10), stream.substr(kRecordCacheChunkSize, 10));
  const unsigned char* inPlace = TakeBufferedBytes(&reader, 90);
  ASSERT_NE(inPlace, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(inPlace), 90),
            stream.substr(kRecordCacheChunkSize + 10));
  EXPECT_EQ(TakeBufferedBytes(&reader, 1), nullptr);
  EXPECT_EQ(ReadRecordBytes(&reader, across, 1), 0u);
  CloseRecordReader(&reader);
  FreeRecordCache(&cache);
  FreeRecordCache(&cache);  // freeing twice is harmless
}

// The cache holds a stream only while it stays below its limit: one byte less than the limit is
// held, the limit itself drops every byte, and a dropped cache takes nothing more.
TEST(DbReader, TheCacheHoldsAStreamOnlyBelowItsLimit) {
  const std::string block(1000, 'x');
  struct Case {
    size_t limit;
    size_t appends;
    bool held;
  };
  const Case cases[] = {{3001, 3, true}, {3000, 3, false}, {2500, 3, false},
                        {1, 0, true},    {0, 0, false},    {kRecordCacheChunkSize, 4200, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    RecordCache cache;
    BeginRecordCache(&cache, c.limit);
    for (size_t i = 0; i < c.appends; ++i) AppendToRecordCache(&cache, block.data(), block.size());
    EXPECT_EQ(FinishRecordCache(&cache), c.held);
    EXPECT_EQ(cache.size, c.held ? c.appends * block.size() : 0u);
    EXPECT_EQ(cache.chunkCount == 0, !c.held || c.appends == 0);
    EXPECT_EQ(cache.dropped, !c.held);
    FreeRecordCache(&cache);
  }
  // One byte more than a held stream reaches the limit: every byte goes, and nothing more is
  // taken afterwards.
  RecordCache cache;
  BeginRecordCache(&cache, 3001);
  for (int i = 0; i < 3; ++i) AppendToRecordCache(&cache, block.data(), block.size());
  EXPECT_EQ(cache.size, 3000u);
  AppendToRecordCache(&cache, block.data(), 1);
  EXPECT_TRUE(cache.dropped);
  EXPECT_EQ(cache.size, 0u);
  EXPECT_EQ(cache.chunkCount, 0u);
  AppendToRecordCache(&cache, block.data(), 1);
  EXPECT_EQ(cache.size, 0u);
  EXPECT_FALSE(FinishRecordCache(&cache));
  FreeRecordCache(&cache);
}
