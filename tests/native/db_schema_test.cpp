// Building the field table (built-in and stored descriptors, the refused schemas) and decoding
// records into it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "test_support.h"

namespace {

struct Loaded {
  SchemaResult result = SchemaOk;
  std::string problem;
};

Loaded Load(const std::wstring& path, FieldTable* table, FieldNameLookup lookup = nullptr,
            void* context = nullptr) {
  Loaded loaded;
  DatabaseHeader header;
  bool viaGz = false;
  EXPECT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk) << PathToNative(path.c_str());
  loaded.result = BuildFieldTable(table, path.c_str(), header, lookup, context, &loaded.problem);
  return loaded;
}

// Writes an ".fdb" of version 12 with the given descriptors and no records.
std::wstring StoredSchema(const TempDir& dir, const std::vector<FieldDescriptor>& fields,
                          const wchar_t* name = L"s.fdb") {
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  options.version = 12;
  options.descriptors = fields;
  const std::wstring path = dir.File(name);
  EXPECT_TRUE(WriteFixture(path, options, {}));
  return path;
}

void ExpectEmpty(const FieldTable& t) {
  EXPECT_EQ(t.fields, nullptr);
  EXPECT_EQ(t.fieldCount, 0);
  EXPECT_EQ(t.searchCount, 0);
  EXPECT_EQ(t.displayCount, 0);
  for (FieldDescriptor* f : t.searchMap) EXPECT_EQ(f, nullptr);
  for (FieldDescriptor* f : t.displayMap) EXPECT_EQ(f, nullptr);
}

// Decodes a record from an exactly sized heap copy, so that a read past its end is caught by
// the address sanitizer.
void Decode(const std::string& record, FieldTable* table) {
  unsigned char* copy = static_cast<unsigned char*>(malloc(record.size() ? record.size() : 1));
  memcpy(copy, record.data(), record.size());
  DecodeRecord(copy, static_cast<int>(record.size()), table);
  free(copy);
}

void TranslateName(void* context, int key, wchar_t* out) {
  static_cast<std::vector<int>*>(context)->push_back(key);
  if (key == 1501)
    wcscpy(out, L"Фамилия");
  else if (key == 1502)
    wcscpy(out, L"Улица или проспект города");  // 25 characters
  else
    out[0] = L'\0';
}

}  // namespace

TEST(DbSchema, BuiltInSchemaForShortHeaderFiles) {
  TempDir dir;
  ASSERT_TRUE(WriteFixture(dir.File(L"a.db"), FixtureOptions(VariantPlain), SampleRecords()));
  FieldTable t;
  ASSERT_EQ(Load(dir.File(L"a.db"), &t).result, SchemaOk);
  ASSERT_EQ(t.fieldCount, 5);
  EXPECT_EQ(t.searchCount, 5);
  EXPECT_EQ(t.displayCount, 5);
  const char* names[] = {"Phone", "Name", "Street", "House", "Flat"};
  const int widths[] = {55, 100, 110, 40, 40};
  for (int j = 0; j < 5; ++j) {
    const FieldDescriptor& f = t.fields[j];
    EXPECT_STREQ(f.name, names[j]);
    EXPECT_EQ(t.searchMap[j], &t.fields[j]);
    EXPECT_EQ(t.displayMap[j], &t.fields[j]);
    EXPECT_EQ(f.columnWidth, widths[j]);
    EXPECT_EQ(f.languageKey, 1500 + j);
    EXPECT_EQ(f.detailIndex, 1);
    EXPECT_NE(f.criterion, nullptr);
    ASSERT_NE(f.value, nullptr);
    EXPECT_STREQ(f.value, "");
  }
  EXPECT_EQ(t.fields[0].type, FieldInteger);
  EXPECT_EQ(t.fields[0].size, 3);
  EXPECT_EQ(t.fields[0].flags, 7);
  EXPECT_EQ(t.fields[0].maxLength, 7);
  EXPECT_EQ(FieldValueCapacity(t.fields[0]), 12u);
  EXPECT_EQ(FieldValueCapacity(t.fields[1]), 197u);
  EXPECT_EQ(std::wstring(t.fields[1].displayName), L"Name");
  FreeFieldTable(&t);
  ExpectEmpty(t);
  FreeFieldTable(&t);  // an empty table frees to an empty table
  ExpectEmpty(t);
}

TEST(DbSchema, TranslatedBuiltInNamesAreLookedUpAndCutTo15) {
  TempDir dir;
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);  // version 11: built-in
  ASSERT_TRUE(WriteFixture(dir.File(L"a.fdb"), options, SampleRecords()));
  FieldTable t;
  std::vector<int> keys;
  ASSERT_EQ(Load(dir.File(L"a.fdb"), &t, TranslateName, &keys).result, SchemaOk);
  EXPECT_EQ(keys, (std::vector<int>{1500, 1501, 1502, 1503, 1504}));
  EXPECT_EQ(std::wstring(t.fields[0].displayName), L"Phone");
  EXPECT_EQ(std::wstring(t.fields[1].displayName), L"Фамилия");
  EXPECT_EQ(std::wstring(t.fields[2].displayName), L"Улица или просп");
  EXPECT_STREQ(t.fields[2].name, "Street");  // the name itself is not translated
  FreeFieldTable(&t);
}

TEST(DbSchema, StoredDescriptorsBuildTheMapsByTheirIndexes) {
  TempDir dir;
  // Field order differs from search and display order; one field is neither searched nor shown.
  const std::vector<FieldDescriptor> fields = {
      MakeField("Code", FieldInteger, 0x04, 4, 0, 3, 0, 11),
      MakeField("\xD4\xC0\xCC\xC8\xCB\xC8\xDF", FieldText, 0x0A, 0, 1, 1, 1, 40, 90, 120),
      MakeField("Hidden", FieldText, 0, 0, 0, 0, 0, 10),
      MakeField("City", FieldText, 0x02, 0, 2, 2, 2, 20),
  };
  const std::wstring path = StoredSchema(dir, fields);
  FieldTable t;
  const Loaded loaded = Load(path, &t);
  ASSERT_EQ(loaded.result, SchemaOk) << loaded.problem;
  ASSERT_EQ(t.fieldCount, 4);
  EXPECT_EQ(t.searchCount, 2);
  EXPECT_EQ(t.displayCount, 3);
  EXPECT_EQ(t.searchMap[0], &t.fields[1]);
  EXPECT_EQ(t.searchMap[1], &t.fields[3]);
  EXPECT_EQ(t.displayMap[0], &t.fields[1]);
  EXPECT_EQ(t.displayMap[1], &t.fields[3]);
  EXPECT_EQ(t.displayMap[2], &t.fields[0]);
  EXPECT_EQ(t.fields[0].criterion, nullptr);  // not searchable: no criterion buffer
  EXPECT_EQ(std::wstring(t.fields[1].displayName), L"ФАМИЛИЯ");
  EXPECT_EQ(t.fields[1].flags, 0x0A);
  EXPECT_EQ(t.fields[1].maxLength, 40);
  EXPECT_EQ(t.fields[1].editWidth, 90);
  EXPECT_EQ(t.fields[1].columnWidth, 120);
  EXPECT_EQ(t.fields[1].languageKey, 0);

  // The field that is neither searched nor shown is still decoded in its place.
  Decode(std::string("\x2A\x00\x00\x00"
                     "IVANOV\0"
                     "secret\0"
                     "TVER\0"
                     "\xFF",
                     24),
         &t);
  EXPECT_STREQ(t.fields[0].value, "42");
  EXPECT_STREQ(t.fields[1].value, "IVANOV");
  EXPECT_STREQ(t.fields[2].value, "secret");
  EXPECT_STREQ(t.fields[3].value, "TVER");
  FreeFieldTable(&t);
}

TEST(DbSchema, StoredNamesAreCutTo15Characters) {
  TempDir dir;
  FieldDescriptor f = MakeField("", FieldText, 0, 0, 1, 1, 0, 5);
  memset(f.name, 'N', sizeof f.name);  // 16 characters, no terminator
  const std::wstring path = StoredSchema(dir, {f});
  // The writer keeps names to 15; put the sixteenth byte back into the file by hand.
  std::string bytes = ReadGzBytes(path);
  bytes[64 + 15] = 'N';
  ASSERT_TRUE(WriteRawFile(path.c_str(), bytes, true));
  FieldTable t;
  ASSERT_EQ(Load(path, &t).result, SchemaOk);
  EXPECT_EQ(std::string(t.fields[0].name), std::string(15, 'N'));
  EXPECT_EQ(std::wstring(t.fields[0].displayName), std::wstring(15, L'N'));
  FreeFieldTable(&t);
}

TEST(DbSchema, SchemasTheMapsOrBuffersCannotHoldAreRefused) {
  const FieldDescriptor text1 = MakeField("A", FieldText, 0, 0, 1, 1, 0, 10);
  struct Case {
    const char* what;
    std::vector<FieldDescriptor> fields;
  };
  std::vector<Case> cases = {
      {"search index 11", {MakeField("A", FieldText, 0, 0, 11, 1, 0, 10)}},
      {"negative search index", {MakeField("A", FieldText, 0, 0, -1, 1, 0, 10)}},
      {"repeated search index", {text1, MakeField("B", FieldText, 0, 0, 1, 2, 0, 10)}},
      {"search gap", {text1, MakeField("B", FieldText, 0, 0, 3, 2, 0, 10)}},
      {"search starts at 2", {MakeField("A", FieldText, 0, 0, 2, 1, 0, 10)}},
      {"display index 17", {MakeField("A", FieldText, 0, 0, 1, 17, 0, 10)}},
      {"negative display index", {MakeField("A", FieldText, 0, 0, 1, -3, 0, 10)}},
      {"repeated display index", {text1, MakeField("B", FieldText, 0, 0, 2, 1, 0, 10)}},
      {"display gap", {text1, MakeField("B", FieldText, 0, 0, 2, 4, 0, 10)}},
      {"integer size 0", {MakeField("N", FieldInteger, 0, 0, 1, 1, 0, 10)}},
      {"integer size 5", {MakeField("N", FieldInteger, 0, 5, 1, 1, 0, 10)}},
      {"integer size -1", {text1, MakeField("N", FieldInteger, 0, -1, 0, 0, 0, 10)}},
      {"text maxLength 0", {text1, MakeField("B", FieldText, 0, 0, 0, 2, 0, 0)}},
      {"searchable integer maxLength 0", {MakeField("N", FieldInteger, 0, 2, 1, 1, 0, 0)}},
  };
  // Eleven searchable fields: one more than there are criteria boxes.
  std::vector<FieldDescriptor> eleven;
  for (int i = 1; i <= 11; ++i) eleven.push_back(MakeField("F", FieldText, 0, 0, i, 0, 0, 5));
  cases.push_back({"eleven searchable fields", eleven});
  std::vector<FieldDescriptor> seventeen;
  for (int i = 1; i <= 17; ++i) seventeen.push_back(MakeField("F", FieldText, 0, 0, 0, i, 0, 5));
  cases.push_back({"seventeen displayed fields", seventeen});

  TempDir dir;
  for (const Case& c : cases) {
    const std::wstring path = StoredSchema(dir, c.fields);
    FieldTable t;
    const Loaded loaded = Load(path, &t);
    EXPECT_EQ(loaded.result, SchemaInvalid) << c.what;
    EXPECT_FALSE(loaded.problem.empty()) << c.what;
    ExpectEmpty(t);
  }
  // The limits themselves are fine: ten criteria, sixteen columns, integer sizes 1 and 4.
  std::vector<FieldDescriptor> limits;
  for (int i = 1; i <= 16; ++i) {
    limits.push_back(MakeField("F", i % 2 ? FieldText : FieldInteger, 0, i % 4 ? 1 : 4,
                               i <= 10 ? i : 0, 17 - i, 0, 5));
  }
  FieldTable t;
  const Loaded loaded = Load(StoredSchema(dir, limits), &t);
  EXPECT_EQ(loaded.result, SchemaOk) << loaded.problem;
  EXPECT_EQ(t.searchCount, 10);
  EXPECT_EQ(t.displayCount, 16);
  EXPECT_EQ(t.displayMap[15], &t.fields[0]);
  FreeFieldTable(&t);
}

TEST(DbSchema, HeadersWithoutAUsableSchemaAreRefused) {
  TempDir dir;
  // An .fdb of version 11 must have five fields, the built-in ones.
  DatabaseWriterOptions v11 = FixtureOptions(VariantFdb);
  v11.descriptors = {MakeField("A", FieldText, 0, 0, 1, 1, 0, 10)};
  ASSERT_TRUE(WriteFixture(dir.File(L"v11-one.fdb"), v11, {}));
  // Below 11 neither the built-in nor the stored descriptors apply.
  DatabaseWriterOptions v10 = FixtureOptions(VariantFdb);
  v10.version = 10;
  ASSERT_TRUE(WriteFixture(dir.File(L"v10.fdb"), v10, {}));
  // Five fields announced, two stored: the third descriptor read comes up short.
  DatabaseWriterOptions cut = FixtureOptions(VariantFdb);
  cut.version = 12;
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(cut, {}, &bytes, &error)) << error;
  ASSERT_TRUE(WriteRawFile(dir.File(L"cut.fdb").c_str(), bytes.substr(0, 64 + 2 * 28 + 10), true));
  // The count byte with its top bit set.
  bytes[5] = static_cast<char>(0x85);
  ASSERT_TRUE(WriteRawFile(dir.File(L"negative.fdb").c_str(), bytes, false));

  for (const wchar_t* name : {L"v11-one.fdb", L"v10.fdb", L"cut.fdb", L"negative.fdb"}) {
    FieldTable t;
    const Loaded loaded = Load(dir.File(name), &t);
    EXPECT_EQ(loaded.result, SchemaInvalid) << PathToNative(name);
    EXPECT_FALSE(loaded.problem.empty());
    ExpectEmpty(t);
  }
}

TEST(DbSchema, ZeroFieldsIsAnEmptyButValidSchema) {
  TempDir dir;
  // The writer takes no descriptors to mean the built-in ones, so this header is made by hand.
  DatabaseWriterOptions options = FixtureOptions(VariantFdb);
  options.version = 12;
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeDatabase(options, {}, &bytes, &error)) << error;
  bytes = bytes.substr(0, 64) + "\xFF";
  bytes[5] = 0;
  ASSERT_TRUE(WriteRawFile(dir.File(L"zero.fdb").c_str(), bytes, true));
  FieldTable t;
  const Loaded loaded = Load(dir.File(L"zero.fdb"), &t);
  EXPECT_EQ(loaded.result, SchemaOk) << loaded.problem;
  ExpectEmpty(t);
  Decode(std::string("\xFF", 1), &t);  // nothing to fill, nothing touched
}

TEST(DbSchema, ADescriptorStreamThatVanishedIsReported) {
  TempDir dir;
  const std::wstring path = StoredSchema(dir, {MakeField("A", FieldText, 0, 0, 1, 1, 0, 5)});
  DatabaseHeader header;
  bool viaGz;
  ASSERT_EQ(OpenDatabase(path.c_str(), &header, &viaGz), OpenOk);
  ASSERT_TRUE(RemoveFileWide(path.c_str()));
  FieldTable t;
  EXPECT_EQ(BuildFieldTable(&t, path.c_str(), header, nullptr, nullptr), SchemaStreamFailed);
  ExpectEmpty(t);
}

TEST(DbDecode, IntegersDecodeLittleEndianWithoutFill) {
  TempDir dir;
  const std::vector<FieldDescriptor> fields = {MakeField("S3", FieldInteger, 0, 3, 1, 1, 0, 7),
                                               MakeField("S1", FieldInteger, 0, 1, 0, 0, 0, 3),
                                               MakeField("S2", FieldInteger, 0, 2, 0, 0, 0, 5),
                                               MakeField("S4", FieldInteger, 0, 4, 0, 0, 0, 11)};
  FieldTable t;
  ASSERT_EQ(Load(StoredSchema(dir, fields), &t).result, SchemaOk);
  struct Case {
    std::string bytes;  // the data; the length byte is added
    const char* values[4];
    uint32_t s4;
  };
  const Case cases[] = {
      {std::string("\x87\xD6\x12"
                   "\x05"
                   "\x34\x12"
                   "\x01\x00\x00\x00",
                   10),
       {"1234567", "5", "4660", "1"},
       1},
      {std::string(10, '\0'), {"0", "0", "0", "0"}, 0},
      {std::string("\xFF\xFF\xFF"
                   "\xFF"
                   "\xFF\xFF"
                   "\xFF\xFF\xFF\xFF",
                   10),
       {"16777215", "255", "65535", "-1"},
       0xFFFFFFFFu},
      {std::string("\x00\x00\x00"
                   "\x00"
                   "\x00\x00"
                   "\x00\x00\x00\x80",
                   10),
       {"0", "0", "0", "-2147483648"},
       0x80000000u},
      {std::string("\x00\x00\x00"
                   "\x00"
                   "\x00\x00"
                   "\xFF\xFF\xFF\x7F",
                   10),
       {"0", "0", "0", "2147483647"},
       0x7FFFFFFFu},
  };
  for (const Case& c : cases) {
    Decode(c.bytes + "\xFF", &t);
    for (int j = 0; j < 4; ++j) EXPECT_STREQ(t.fields[j].value, c.values[j]);
    EXPECT_EQ(t.fields[3].number, c.s4);
  }
  Decode(std::string("\x87\xD6\x12", 3) + std::string(8, '\0'), &t);
  EXPECT_EQ(t.fields[0].number, 0x12D687u);
  FreeFieldTable(&t);
}

TEST(DbDecode, UnknownTypesConsumeNothingAndPaddingIsSkipped) {
  TempDir dir;
  const std::vector<FieldDescriptor> fields = {
      MakeField("A", FieldText, 0, 0, 1, 1, 0, 10), MakeField("X", 7, 0, 0, 0, 2, 0, 10),
      MakeField("B", FieldText, 0, 0, 2, 3, 0, 10), MakeField("Z", 0, 0, 0, 0, 0, 0, 10)};
  FieldTable t;
  ASSERT_EQ(Load(StoredSchema(dir, fields), &t).result, SchemaOk);
  EXPECT_STREQ(t.fields[1].value, "");  // never filled: the empty text
  strcpy(t.fields[1].value, "kept");
  // Two fields' worth of text, then pad bytes before the length byte.
  Decode(std::string("AB\0CD\0\x11\x22\x33", 9) + "\x1C", &t);
  EXPECT_STREQ(t.fields[0].value, "AB");
  EXPECT_STREQ(t.fields[1].value, "kept");
  EXPECT_STREQ(t.fields[2].value, "CD");
  EXPECT_STREQ(t.fields[3].value, "");
  FreeFieldTable(&t);
}

TEST(DbDecode, FieldsRunningPastTheDataAreCutNeverOverrun) {
  TempDir dir;
  const std::vector<FieldDescriptor> fields = {MakeField("T", FieldText, 0, 0, 1, 1, 0, 3),
                                               MakeField("N", FieldInteger, 0, 3, 2, 2, 0, 7),
                                               MakeField("U", FieldText, 0, 0, 3, 3, 0, 200)};
  FieldTable t;
  ASSERT_EQ(Load(StoredSchema(dir, fields), &t).result, SchemaOk);

  // Over-long text: cut to maxLength; the cursor still skips the whole stored text.
  Decode(std::string("ABCDEF\0\x01\x00\x00"
                     "ok\0",
                     13) +
             "\xFF",
         &t);
  EXPECT_STREQ(t.fields[0].value, "ABC");
  EXPECT_STREQ(t.fields[1].value, "1");
  EXPECT_STREQ(t.fields[2].value, "ok");

  // A text without its NUL takes the data up to the length byte, which is never part of it.
  Decode(std::string("XYZ") + "Q", &t);
  EXPECT_STREQ(t.fields[0].value, "XYZ");
  EXPECT_STREQ(t.fields[1].value, "");  // nothing left for the integer
  EXPECT_EQ(t.fields[1].number, 0u);
  EXPECT_STREQ(t.fields[2].value, "");

  // An integer with too few bytes left is shown empty rather than as a wrong number.
  Decode(std::string("A\0\x05\x06", 4) + "\x07", &t);
  EXPECT_STREQ(t.fields[0].value, "A");
  EXPECT_STREQ(t.fields[1].value, "");
  EXPECT_STREQ(t.fields[2].value, "");

  // A long tail without a NUL fills a field only up to its maximum.
  FieldTable narrow;
  ASSERT_EQ(
      Load(StoredSchema(dir, {MakeField("T", FieldText, 0, 0, 1, 1, 0, 4)}, L"n.fdb"), &narrow)
          .result,
      SchemaOk);
  Decode(std::string(253, 'W') + "\xFF", &narrow);
  EXPECT_STREQ(narrow.fields[0].value, "WWWW");

  // A record of its length byte alone.
  Decode("\xFF", &t);
  EXPECT_STREQ(t.fields[0].value, "");
  EXPECT_STREQ(t.fields[2].value, "");
  FreeFieldTable(&narrow);
  FreeFieldTable(&t);
}
