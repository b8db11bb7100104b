// A listed record: one malloc'ed wide string per displayed column, in display order.
#pragma once
#include "db/field_schema.h"

using ResultRow = wchar_t**;

// Builds a row from the current values of the display map's fields. Returns nullptr when
// memory runs out (nothing is then left allocated).
ResultRow BuildResultRow(const FieldTable* table);
// Frees each non-null string among the first count entries, then the array.
void FreeResultRow(ResultRow row, int count);
