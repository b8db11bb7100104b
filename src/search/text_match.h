// Windows-1251 case folding and the match rules: wildcard, substring and prefix.
#pragma once
#include "db/field_schema.h"

extern unsigned char FoldTable[256];

void BuildFoldTable();
// Folds a NUL-terminated single-byte string in place and returns it.
char* FoldText(char* text);
// True when the whole text matches the pattern ("*" any run, "?" one byte).
bool WildcardMatch(const char* pattern, const char* text);
// Tests one active searchable field's value against its criterion. Allocates nothing.
bool CriterionMatches(const FieldDescriptor* field);
// Tests the decoded record against every active criterion, in search order.
bool RecordMatches(const FieldTable* table);
