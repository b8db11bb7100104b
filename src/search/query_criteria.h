// Turning what a user typed into a criterion box into the single-byte criterion the matcher uses.
#pragma once
#include <string>

#include "db/field_schema.h"

// A criterion box yields at most this many characters (the handheld read it into 256).
constexpr size_t kMaxCriterionChars = 255;

// Sets criterion, active, criterionLength and wildcard of a searchable field from the text of
// its box (at most kMaxCriterionChars characters are taken, and at most maxLength bytes are
// kept). The text is
// converted to Windows-1251 and folded when the field has FoldValue.
void SetFieldCriterion(FieldDescriptor* field, const wchar_t* typed);

// True when no searchable field has an active criterion.
bool NoActiveCriteria(const FieldTable* table);

// "Query: " (or its translation, given as prefix) followed by "Name: criterion" for each
// active field in search order, joined by ", ", cut to 255 characters. typed (null, or one text a
// search position) holds what was typed into each box: a criterion is shown as typed when it
// was made from that text, else from its single-byte form.
std::wstring ComposeQuerySummary(const FieldTable* table, const wchar_t* prefix,
                                 const std::wstring* typed);
