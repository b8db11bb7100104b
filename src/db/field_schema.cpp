// The field schema: building the FieldTable from the built-in rows or the stored descriptors,
// and decoding records into the value buffers.
//
// Rules for stored descriptors (version 12 and above). The search and display maps and the
// value buffers are written by index and by length, so a schema that would make them unsafe
// is refused as a whole (SchemaInvalid) rather than repaired; silently dropping a field would
// hide data the file holds. Refused are:
//   - a negative field count (the count byte with its top bit set);
//   - a descriptor table that ends before fieldCount descriptors (a read short of 28 bytes);
//   - a searchIndex outside 0..10 or a displayIndex outside 0..16;
//   - a searchIndex or displayIndex used by two fields;
//   - indexes that leave a gap (the used ones must be exactly 1..count);
//   - an integer field whose size is outside 1..4;
//   - a maxLength of 0 on a text field or a searchable field: its value or criterion could hold
//     nothing, and an edit box limited to 0 characters takes the system's default instead.
// Names are cut to 15 characters; types other than text and integer are kept (they consume no
// bytes). Version 11 uses the built-in rows and so needs a field count of exactly 5; versions
// below 11 have neither built-in nor stored descriptors and are refused.
#include "db/field_schema.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "db/codepage.h"
#include "db/disk_layout.h"
#include "db/file_system.h"

const FieldDescriptor BuiltInSchema[5] = {
    {"Phone", FieldInteger, 7, 3, 1, 1, 1, 70, 55, 7, 0, nullptr, nullptr, 0, L"Phone", 1500},
    {"Name", FieldText, 2, 2, 2, 2, 1, 142, 100, 196, 0, nullptr, nullptr, 0, L"Name", 1501},
    {"Street", FieldText, 2, 2, 3, 3, 1, 142, 110, 196, 0, nullptr, nullptr, 0, L"Street", 1502},
    {"House", FieldText, 2, 2, 4, 4, 1, 70, 40, 36, 0, nullptr, nullptr, 0, L"House", 1503},
    {"Flat", FieldText, 2, 2, 5, 5, 1, 70, 40, 36, 0, nullptr, nullptr, 0, L"Flat", 1504},
};

namespace {

constexpr int kBuiltInFieldCount = 5;
constexpr int kLookupCapacity = 260;

void SetProblem(std::string* problem, const std::string& text) {
  if (problem != nullptr) *problem = text;
}

uint16_t ReadUint16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void ParseDescriptor(const unsigned char* bytes, FieldDescriptor* field) {
  memcpy(field->name, bytes + kDescriptorNameAt, kNameCapacity);
  field->name[kNameCapacity - 1] = '\0';  // a name that fills all 16 bytes is cut to 15
  field->type = static_cast<int8_t>(bytes[kDescriptorTypeAt]);
  field->flags = static_cast<int8_t>(bytes[kDescriptorFlagsAt]);
  field->size = static_cast<int8_t>(bytes[kDescriptorSizeAt]);
  field->searchIndex = static_cast<int8_t>(bytes[kDescriptorSearchIndexAt]);
  field->displayIndex = static_cast<int8_t>(bytes[kDescriptorDisplayIndexAt]);
  field->detailIndex = static_cast<int8_t>(bytes[kDescriptorDetailIndexAt]);
  field->editWidth = ReadUint16(bytes + kDescriptorEditWidthAt);
  field->columnWidth = ReadUint16(bytes + kDescriptorColumnWidthAt);
  field->maxLength = ReadUint16(bytes + kDescriptorMaxLengthAt);
}

// Checks one family of indexes (search or display): each within 0..limit, no repeats, and the
// used ones exactly 1..count.
bool CheckIndexes(const FieldDescriptor* fields, int count, bool search, std::string* problem) {
  const int limit = search ? kMaxSearchFields : kMaxDisplayFields;
  const char* what = search ? "search index" : "display index";
  int owner[kMaxDisplayFields + 1];
  for (int& o : owner) o = -1;
  int used = 0;
  for (int j = 0; j < count; ++j) {
    const int index = search ? fields[j].searchIndex : fields[j].displayIndex;
    if (index == 0) continue;
    if (index < 0 || index > limit) {
      SetProblem(problem, FieldLabel(fields[j], j) + ": " + what + " " + std::to_string(index) +
                              " is outside 0 to " + std::to_string(limit));
      return false;
    }
    if (owner[index] >= 0) {
      SetProblem(problem, FieldLabel(fields[j], j) + ": " + what + " " + std::to_string(index) +
                              " is already used by " +
                              FieldLabel(fields[owner[index]], owner[index]));
      return false;
    }
    owner[index] = j;
    ++used;
  }
  for (int i = 1; i <= used; ++i) {
    if (owner[i] < 0) {
      SetProblem(problem, std::string(what) + "es leave a gap: " + std::to_string(used) +
                              " fields use them but none has " + std::to_string(i));
      return false;
    }
  }
  return true;
}

// Renders a number in decimal into out (at least kIntegerValueCapacity bytes).
void RenderNumber(uint32_t number, bool isSigned, char* out) {
  char digits[kIntegerValueCapacity];
  int n = 0;
  const bool negative = isSigned && static_cast<int32_t>(number) < 0;
  // Negating in unsigned arithmetic is exact for every 32-bit value, -2147483648 included.
  uint32_t magnitude = negative ? 0u - number : number;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int k = 0;
  if (negative) out[k++] = '-';
  while (n > 0) out[k++] = digits[--n];
  out[k] = '\0';
}

SchemaResult Refuse(FieldTable* table, SchemaResult result) {
  FreeFieldTable(table);
  return result;
}

// Reads the stored descriptors of a version-12+ file into fields (count entries).
SchemaResult ReadStoredDescriptors(const wchar_t* path, FieldDescriptor* fields, int count,
                                   std::string* problem) {
  gzFile gz = static_cast<gzFile>(GzOpenWide(path, "rb"));
  if (gz == nullptr) {
    SetProblem(problem, "cannot open the field descriptors");
    return SchemaStreamFailed;
  }
  if (gzseek(gz, kSchemaHeaderSize, SEEK_SET) < 0) {
    gzclose(gz);
    SetProblem(problem, "cannot open the field descriptors");
    return SchemaStreamFailed;
  }
  for (int j = 0; j < count; ++j) {
    unsigned char bytes[kDescriptorSize];
    const int got = gzread(gz, bytes, kDescriptorSize);
    if (got != kDescriptorSize) {
      gzclose(gz);
      SetProblem(problem, "the field descriptors end inside field " + std::to_string(j + 1) +
                              " of " + std::to_string(count));
      return SchemaInvalid;
    }
    ParseDescriptor(bytes, &fields[j]);
    SingleByteToWide(fields[j].name, kNameCapacity, fields[j].displayName, kDisplayNameCapacity);
  }
  gzclose(gz);
  return SchemaOk;
}

}  // namespace

size_t FieldValueCapacity(const FieldDescriptor& field) {
  const size_t text = static_cast<size_t>(field.maxLength) + 1;
  if (field.type == FieldInteger && text < static_cast<size_t>(kIntegerValueCapacity)) {
    return kIntegerValueCapacity;
  }
  return text;
}

size_t FieldCriterionCapacity(const FieldDescriptor& field) {
  return static_cast<size_t>(field.maxLength) + 1;
}

bool CheckFieldDescriptors(const FieldDescriptor* fields, int count, std::string* problem) {
  if (count < 0) {
    SetProblem(problem, "negative field count " + std::to_string(count));
    return false;
  }
  for (int j = 0; j < count; ++j) {
    const FieldDescriptor& f = fields[j];
    if (f.type == FieldInteger && (f.size < 1 || f.size > 4)) {
      SetProblem(problem, FieldLabel(f, j) + ": integer size " + std::to_string(f.size) +
                              " is outside 1 to 4");
      return false;
    }
    if (f.maxLength == 0 && (f.type == FieldText || f.searchIndex != 0)) {
      SetProblem(problem, FieldLabel(f, j) + ": maximum length 0");
      return false;
    }
  }
  return CheckIndexes(fields, count, true, problem) && CheckIndexes(fields, count, false, problem);
}

namespace {

// Gives each field of a table whose descriptors are read its own zeroed value buffer (and a
// criterion buffer to a searchable one), and fills the maps. False when memory runs out.
bool GiveFieldsBuffers(FieldTable* table) {
  for (int j = 0; j < table->fieldCount; ++j) {
    FieldDescriptor& f = table->fields[j];
    if (f.searchIndex != 0) {
      f.criterion = static_cast<char*>(calloc(FieldCriterionCapacity(f), 1));
      if (f.criterion == nullptr) return false;
      table->searchMap[f.searchIndex - 1] = &f;
      ++table->searchCount;
    }
    if (f.displayIndex != 0) {
      table->displayMap[f.displayIndex - 1] = &f;
      ++table->displayCount;
    }
    // Zeroed: a field that no record fills (an unknown type) reads as the empty text.
    f.value = static_cast<char*>(calloc(FieldValueCapacity(f), 1));
    if (f.value == nullptr) return false;
  }
  return true;
}

}  // namespace

SchemaResult BuildFieldTable(FieldTable* table, const wchar_t* path, const DatabaseHeader& header,
                             FieldNameLookup lookup, void* lookupContext) {
  return BuildFieldTable(table, path, header, lookup, lookupContext, nullptr);
}

SchemaResult BuildFieldTable(FieldTable* table, const wchar_t* path, const DatabaseHeader& header,
                             FieldNameLookup lookup, void* lookupContext, std::string* problem) {
  FreeFieldTable(table);
  const int count = header.fieldCount;
  if (header.version < 11) {
    SetProblem(problem, "unsupported version " + std::to_string(header.version));
    return SchemaInvalid;
  }
  if (header.version == 11 && count != kBuiltInFieldCount) {
    SetProblem(problem,
               "a version 11 database has 5 fields, this one declares " + std::to_string(count));
    return SchemaInvalid;
  }
  if (count < 0) {
    SetProblem(problem, "negative field count " + std::to_string(count));
    return SchemaInvalid;
  }
  if (count == 0) return SchemaOk;  // a legal, if useless, schema: nothing to search or show

  table->fields =
      static_cast<FieldDescriptor*>(calloc(static_cast<size_t>(count), sizeof(FieldDescriptor)));
  if (table->fields == nullptr) {
    SetProblem(problem, "out of memory");
    return SchemaNoMemory;
  }
  table->fieldCount = count;

  if (header.version == 11) {
    for (int j = 0; j < count; ++j) {
      FieldDescriptor& f = table->fields[j];
      f = BuiltInSchema[j];
      if (lookup != nullptr) {
        wchar_t translated[kLookupCapacity] = {};
        lookup(lookupContext, f.languageKey, translated);
        translated[kLookupCapacity - 1] = L'\0';
        if (translated[0] != L'\0') {
          // The label and the column header hold 15 characters; a longer translation is cut.
          wcsncpy(f.displayName, translated, kDisplayNameCapacity - 1);
          f.displayName[kDisplayNameCapacity - 1] = L'\0';
        }
      }
    }
  } else {
    const SchemaResult read = ReadStoredDescriptors(path, table->fields, count, problem);
    if (read != SchemaOk) return Refuse(table, read);
    if (!CheckFieldDescriptors(table->fields, count, problem)) return Refuse(table, SchemaInvalid);
  }

  if (!GiveFieldsBuffers(table)) {
    SetProblem(problem, "out of memory");
    return Refuse(table, SchemaNoMemory);
  }
  return SchemaOk;
}

bool CopyFieldTable(const FieldTable& schema, FieldTable* copy) {
  FreeFieldTable(copy);
  if (schema.fieldCount == 0) return true;
  copy->fields = static_cast<FieldDescriptor*>(
      calloc(static_cast<size_t>(schema.fieldCount), sizeof(FieldDescriptor)));
  if (copy->fields == nullptr) return false;
  copy->fieldCount = schema.fieldCount;
  for (int j = 0; j < schema.fieldCount; ++j) {
    FieldDescriptor& f = copy->fields[j];
    f = schema.fields[j];
    f.active = 0;
    f.criterion = nullptr;
    f.value = nullptr;
    f.number = 0;
    f.editHandle = nullptr;
    f.labelHandle = nullptr;
    f.criterionLength = 0;
    f.wildcard = 0;
  }
  if (GiveFieldsBuffers(copy)) return true;
  FreeFieldTable(copy);
  return false;
}

void FreeFieldTable(FieldTable* table) {
  if (table->fields != nullptr) {
    for (int j = 0; j < table->fieldCount; ++j) {
      free(table->fields[j].criterion);
      free(table->fields[j].value);
    }
    free(table->fields);
  }
  *table = FieldTable();
}

// Fields that would run past the record's data bytes (length - 1 of them; the last byte is the
// next record's length) are taken as far as the data goes: a text without its NUL keeps the
// bytes that are there, an integer with too few bytes left is shown empty (a number missing its
// high bytes would be a wrong number, not a shorter one). A text longer than maxLength is cut
// to maxLength; the cursor still moves past the whole stored text so later fields stay aligned.
void DecodeRecordFields(const unsigned char* record, int length, FieldTable* table, int lastField,
                        const bool* wanted) {
  if (table == nullptr || table->fields == nullptr) return;
  const size_t dataEnd = (record != nullptr && length > 1) ? static_cast<size_t>(length - 1) : 0;
  size_t cursor = 0;
  for (int j = 0; j < table->fieldCount && j <= lastField; ++j) {
    FieldDescriptor& f = table->fields[j];
    const bool write = wanted == nullptr || wanted[j];
    const size_t end = FieldEnd(record, dataEnd, f, cursor);
    if (f.type == FieldText) {
      // The text runs to its NUL, or to the end of the data without one.
      const size_t textLength = (end > cursor && end <= dataEnd && record[end - 1] == 0)
                                    ? end - 1 - cursor
                                    : end - cursor;
      if (write && f.value != nullptr) {
        const size_t keep = textLength < f.maxLength ? textLength : f.maxLength;
        if (keep > 0) memcpy(f.value, record + cursor, keep);
        f.value[keep] = '\0';
      }
    } else if (f.type == FieldInteger && write) {
      const size_t size = end - cursor;  // 0 when its bytes are not all there
      if (size == 0 || size > 4 || static_cast<int>(size) != f.size) {
        f.number = 0;
        if (f.value != nullptr) f.value[0] = '\0';
      } else {
        const uint32_t number = ReadFieldInteger(record, cursor, size);
        f.number = number;
        if (f.value != nullptr) RenderNumber(number, size == 4, f.value);
      }
    }
    // Any other type: no bytes consumed, value left as it was.
    cursor = end;
  }
}

void DecodeRecord(const unsigned char* record, int length, FieldTable* table) {
  if (table == nullptr) return;
  DecodeRecordFields(record, length, table, table->fieldCount - 1, nullptr);
}

std::wstring FieldNameText(const FieldDescriptor& field) {
  char name[kNameCapacity];
  memcpy(name, field.name, kNameCapacity);
  name[kNameCapacity - 1] = '\0';
  return SingleByteToWide(name);
}

std::string FieldLabel(const FieldDescriptor& field, int index) {
  return "field " + std::to_string(index + 1) + " '" + WideToUtf8(FieldNameText(field)) + "'";
}
