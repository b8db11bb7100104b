// Where each member stands in a database file's header and in a field descriptor: one place
// for the code that reads these bytes and the code that writes them. Integers are little-endian.
#pragma once

// ".db" and ".zdb": the short header.
constexpr int kShortHeaderSize = 29;
constexpr int kShortRecordCountAt = 0;  // 32-bit
constexpr int kShortVersionAt = 4;
constexpr int kShortNumberWidthAt = 5;
constexpr int kShortTitleAt = 6;  // to byte 27; byte 28 is its terminator
constexpr int kShortTitleBytes = 22;

// ".fdb": the schema header, followed by one descriptor per field.
constexpr int kSchemaHeaderSize = 64;
constexpr int kSchemaSignatureAt = 0;  // 4 bytes naming the producer; never read
constexpr int kSchemaVersionAt = 4;
constexpr int kSchemaFieldCountAt = 5;
// The field count is a signed byte: a schema holds at most this many fields.
constexpr int kMaxFieldCount = 127;
constexpr int kSchemaRecordCountAt = 8;  // 32-bit
constexpr int kSchemaTitleAt = 13;       // to byte 62; byte 63 is its terminator
constexpr int kSchemaTitleBytes = 50;

// A field descriptor.
constexpr int kDescriptorSize = 28;
constexpr int kDescriptorNameAt = 0;  // 16 bytes, NUL-terminated
constexpr int kDescriptorTypeAt = 16;
constexpr int kDescriptorFlagsAt = 17;
constexpr int kDescriptorSizeAt = 18;
constexpr int kDescriptorSearchIndexAt = 19;
constexpr int kDescriptorDisplayIndexAt = 20;
constexpr int kDescriptorDetailIndexAt = 21;
constexpr int kDescriptorEditWidthAt = 22;    // 16-bit
constexpr int kDescriptorColumnWidthAt = 24;  // 16-bit
constexpr int kDescriptorMaxLengthAt = 26;    // 16-bit
