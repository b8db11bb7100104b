// A listed record: one wide string per displayed column, in display order.
#pragma once
#include "db/field_schema.h"

// An array of string pointers, one per displayed column. The strings live in the same heap
// block as the array, right behind it: a row costs one allocation whatever its column count,
// which in a list of millions of rows is most of what the rows cost beyond their text.
using ResultRow = wchar_t**;

// Builds a row from the current values of the display map's fields. Returns nullptr when
// memory runs out.
ResultRow BuildResultRow(const FieldTable* table);
// Frees a row built by BuildResultRow, strings and all (null does nothing).
void FreeResultRow(ResultRow row);
