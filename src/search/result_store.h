// The rows of a search in list order: what a virtual list shows by index.
#pragma once
#include "search/result_row.h"

// The store owns its rows: each one from the moment it is appended until FreeStoredRows. The
// index grows by doubling, so appending costs a pointer store nearly always, and a list of
// millions of rows costs one pointer per row beyond the rows themselves.
struct ResultStore {
  ResultRow* rows = nullptr;
  int count = 0;
  int capacity = 0;
};

// Takes ownership of row at index count. False when the index cannot grow (memory runs out,
// or the test limit is reached): the row then stays the caller's and nothing changes.
bool AppendStoredRow(ResultStore* store, ResultRow row);
// Frees every row and the index; the store is empty afterwards.
void FreeStoredRows(ResultStore* store);

// Test seam: the store refuses rows beyond this many, as if memory had run out (a negative
// limit restores the real one).
void SetStoredRowLimitForTests(int rows);
