// The field schema of a database: descriptors from the built-in table (version 11) or stored
// in an ".fdb" file (version 12 and above), the search and display maps, and record decoding.
// This is the portable model; the criteria boxes and list columns are built by the UI.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "db/database_header.h"

enum FieldType : int8_t { FieldText = 1, FieldInteger = 2 };

enum FieldFlags : int8_t {
  UpperCaseInput = 0x02,
  MatchAnywhere = 0x04,
  FoldValue = 0x08,
};

constexpr int kMaxSearchFields = 10;
constexpr int kMaxDisplayFields = 16;
constexpr int kNameCapacity = 16;          // single-byte name, terminator included
constexpr int kDisplayNameCapacity = 16;   // wide, terminator included
constexpr int kIntegerValueCapacity = 12;  // "-2147483648" and its terminator

using WindowHandle = void*;  // HWND in the Win32 code

struct FieldDescriptor {
  // The 28-byte disk descriptor, in disk order.
  char name[kNameCapacity];
  int8_t type;
  int8_t flags;
  int8_t size;
  int8_t searchIndex;
  int8_t displayIndex;
  int8_t detailIndex;
  uint16_t editWidth;
  uint16_t columnWidth;
  uint16_t maxLength;
  // In memory only.
  int32_t active;
  char* criterion;  // maxLength + 1 bytes; searchable fields only
  char* value;      // maxLength + 1 bytes (at least kIntegerValueCapacity for integers)
  uint32_t number;
  wchar_t displayName[kDisplayNameCapacity];
  int32_t languageKey;
  WindowHandle editHandle;
  WindowHandle labelHandle;
  int32_t criterionLength;
  int32_t wildcard;
};

struct FieldTable {
  FieldDescriptor* fields = nullptr;
  int fieldCount = 0;
  FieldDescriptor* searchMap[kMaxSearchFields] = {};
  int searchCount = 0;
  FieldDescriptor* displayMap[kMaxDisplayFields] = {};
  int displayCount = 0;
};

// The five fields of version-11 databases: Phone, Name, Street, House, Flat.
extern const FieldDescriptor BuiltInSchema[5];

// Gives the translation of a built-in field's languageKey; writes an empty string when there
// is none. out holds 260 wide characters.
using FieldNameLookup = void (*)(void* context, int key, wchar_t* out);

enum SchemaResult {
  SchemaOk = 0,
  SchemaStreamFailed = -1,  // the descriptor stream could not be opened
  SchemaInvalid = 2,        // descriptors unusable (see field_schema.cpp for the rules)
  SchemaNoMemory = 3,
};

// Builds the table (which must be empty) for an opened database: allocates the descriptors and
// their buffers, fills the maps. On failure the table is left empty. lookup may be null.
SchemaResult BuildFieldTable(FieldTable* table, const wchar_t* path, const DatabaseHeader& header,
                             FieldNameLookup lookup, void* lookupContext);
// A table of the schema's descriptors (names, types, maps) with buffers of its own, no
// criteria and no window handles: what one search writes into while others read the same file.
// False, with copy left empty, when memory runs out.
bool CopyFieldTable(const FieldTable& schema, FieldTable* copy);
// Releases the buffers and the array and leaves an empty table. Window handles are not touched.
void FreeFieldTable(FieldTable* table);

// Where a field that starts at cursor ends in a record's data (the dataEnd bytes before the next
// record's length byte): a text just past its NUL (at dataEnd without one), an integer after its
// size bytes (at dataEnd when they are not all there or its size is not 1 to 4), a field of any
// other type where it starts. Every walk over a record's fields steps with this.
inline size_t FieldEnd(const unsigned char* record, size_t dataEnd, const FieldDescriptor& f,
                       size_t cursor) {
  if (f.type == FieldText) {
    const size_t available = dataEnd - cursor;
    const void* nul = available > 0 ? memchr(record + cursor, 0, available) : nullptr;
    return nul != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - record) + 1
                          : dataEnd;
  }
  if (f.type == FieldInteger) {
    const size_t size = (f.size >= 1 && f.size <= 4) ? static_cast<size_t>(f.size) : 0;
    return (size == 0 || dataEnd - cursor < size) ? dataEnd : cursor + size;
  }
  return cursor;
}

// The value of an integer field whose size bytes (1 to 4) start at cursor: little-endian,
// zero-extended. Every reader of an integer field reads it with this or with IntegerAt.
inline uint32_t ReadFieldInteger(const unsigned char* record, size_t cursor, size_t size) {
  uint32_t value = 0;
  for (size_t b = 0; b < size; ++b) value |= static_cast<uint32_t>(record[cursor + b]) << (8 * b);
  return value;
}

// The mask of an integer of size bytes (1 to 4) in a 32-bit word.
inline uint32_t IntegerMask(size_t size) {
  return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
}

// ReadFieldInteger(record, at, size) for a record of length bytes whose data holds the integer
// whole, with one load of four bytes where they lie in the record (its last byte, the next
// length, is one of them at the most), masked with IntegerMask(size): the record walks' gates
// read a phone number at every record.
inline uint32_t IntegerAt(const unsigned char* record, unsigned length, size_t at, size_t size,
                          uint32_t mask) {
  if (at + 4 > length) return ReadFieldInteger(record, at, size);
  uint32_t value;
  memcpy(&value, record + at, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap32(value);
#endif
  return value & mask;
}

// A number as its decimal text shows it: an integer of 4 bytes is signed, a shorter one is not.
// The magnitude, with negative set for a minus sign.
inline uint32_t IntegerMagnitude(uint32_t value, size_t size, bool* negative) {
  *negative = size == 4 && static_cast<int32_t>(value) < 0;
  return *negative ? 0u - value : value;
}

// Decodes one record of length bytes (the last of which is the next record's length) into the
// fields' value buffers and integer number slots. Never reads past the record's data bytes and
// never writes past a value buffer.
void DecodeRecord(const unsigned char* record, int length, FieldTable* table);
// The same walk over fields 0..lastField only, writing just the fields whose wanted entry is
// true (all of them when wanted is null). A written field gets exactly the value DecodeRecord
// gives it, so a search can decode only what its criteria read until a record matches.
void DecodeRecordFields(const unsigned char* record, int length, FieldTable* table, int lastField,
                        const bool* wanted);

// The same, and on a failure says why in words for a message (problem may be null).
SchemaResult BuildFieldTable(FieldTable* table, const wchar_t* path, const DatabaseHeader& header,
                             FieldNameLookup lookup, void* lookupContext, std::string* problem);

// Checks stored descriptors against the rules the table needs (index ranges without repeats or
// gaps, integer sizes 1 to 4, a usable maxLength). False with the reason in problem otherwise.
bool CheckFieldDescriptors(const FieldDescriptor* fields, int count, std::string* problem);

// Bytes of a field's value buffer: maxLength + 1, and for an integer field at least
// kIntegerValueCapacity. Bytes of a criterion buffer: maxLength + 1.
size_t FieldValueCapacity(const FieldDescriptor& field);
size_t FieldCriterionCapacity(const FieldDescriptor& field);

// A descriptor's name as wide text (a name that fills all 16 bytes is read as 15 characters).
std::wstring FieldNameText(const FieldDescriptor& field);
// "field N 'NAME'" (N counted from 1), in UTF-8, for messages.
std::string FieldLabel(const FieldDescriptor& field, int index);
