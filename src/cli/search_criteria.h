// A search's criteria as the command line takes them, FIELD=TEXT on the line or a cell of a
// queries file: the field found by its name, the text checked and set as the application's
// criterion box would set it.
#pragma once
#include <string>

#include "db/field_schema.h"

// The search position of the searchable field named name (UTF-8, compared regardless of the
// case of Latin and Cyrillic letters); -1 for none.
int FindSearchField(const FieldTable& table, const std::string& name);

// "Phone, Name, ..." (as messages show them), or "none".
std::string SearchableFieldList(const FieldTable& table);

// The field's name as messages show it.
std::string FieldNameUtf8(const FieldDescriptor& field);

// Sets the field's criterion from UTF-8 text as it was typed: upper-cased where the field takes
// capitals, converted to Windows-1251, within the field's limit. Returns false with the reason
// (for a message after "vostrel-cli: ") and leaves the criterion as it was.
bool PrepareCriterion(FieldDescriptor* field, const std::string& typed, std::string* problem);

// When the field's criterion can never match (a number field and a character no number has):
// the warning for it, naming the text as typed; else "".
std::string NeverMatchesWarning(const FieldDescriptor& field, const std::string& typed);
