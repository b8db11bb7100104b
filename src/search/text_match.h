// Windows-1251 case folding and the match rules: wildcard, substring and prefix.
#pragma once
#include "db/field_schema.h"

// The Russian capitals' small letters (0 for every other byte), fixed when the program is built:
// any number of searches read it at once, and nothing ever writes it.
extern const unsigned char (&FoldTable)[256];
// Folds a NUL-terminated single-byte string in place and returns it.
char* FoldText(char* text);
// One byte folded as FoldText folds it. Only Latin and Russian capitals (Ё included) are folded;
// every other letter with case in Windows-1251 (Ў, Ґ, Є, Ї, І ...) is left as it is.
inline unsigned char FoldByte(unsigned char b) {
  if ((b >= 0xC0 && b <= 0xDF) || b == 0xA8) return FoldTable[b];
  if (b >= 0x41 && b <= 0x5A) return static_cast<unsigned char>(b + 0x20);
  return b;
}
// True when the whole text matches the pattern ("*" any run, "?" one byte).
bool WildcardMatch(const char* pattern, const char* text);
// The same for length bytes of text without a terminator (and without a NUL among them), each
// byte taken through fold (256 entries) first: a record's bytes where a field stands.
bool WildcardMatchBytes(const char* pattern, const unsigned char* text, size_t length,
                        const unsigned char* fold);
// Tests one active searchable field's value against its criterion. Allocates nothing.
bool CriterionMatches(const FieldDescriptor* field);
// The same rules for a criterion held apart from the field (a batch of queries holds one per
// query), prepared as SetFieldCriterion prepares the field's own: the field's value, its flags.
bool CriterionMatchesValue(const FieldDescriptor* field, const char* criterion,
                           int32_t criterionLength, bool wildcard);
// Tests the decoded record against every active criterion, in search order.
bool RecordMatches(const FieldTable* table);
