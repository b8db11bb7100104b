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
