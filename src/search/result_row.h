// A listed record: one wide string per displayed column, in display order.
#pragma once
#include <cstddef>

#include "db/field_schema.h"

// An array of string pointers, one per displayed column. The strings lie right behind the
// array in the same piece of memory: a row is one block whatever its column count, so the
// Result page's store can lay millions of rows side by side in a few large blocks.
using ResultRow = wchar_t**;

// Where the texts of a row come from and how much room the row takes, measured once. Only the
// first `columns` entries are set: a row is measured for every listed record, and clearing the
// whole arrays each time would cost more than the row.
struct ResultRowLayout {
  int columns;
  const char* values[kMaxDisplayFields];
  size_t lengths[kMaxDisplayFields];
  size_t bytes;  // the pointer array and every text with its terminator
};

// Measures the row of the current values of the display map's fields.
void MeasureResultRow(const FieldTable* table, ResultRowLayout* layout);
// Lays the measured row out in memory of layout.bytes bytes, aligned for a pointer.
ResultRow LayOutResultRow(const ResultRowLayout& layout, void* memory);

// Builds a row of its own on the heap. Returns nullptr when memory runs out.
ResultRow BuildResultRow(const FieldTable* table);
// Frees a row built by BuildResultRow, strings and all (null does nothing).
void FreeResultRow(ResultRow row);
