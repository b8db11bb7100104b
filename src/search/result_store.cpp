#include "search/result_store.h"

#include <climits>
#include <cstdlib>

namespace {

int RowLimit = -1;

}  // namespace

bool AppendStoredRow(ResultStore* store, ResultRow row) {
  if (RowLimit >= 0 && store->count >= RowLimit) return false;
  if (store->count == store->capacity) {
    if (store->capacity > INT_MAX / 2) return false;
    const int grown = store->capacity > 0 ? store->capacity * 2 : 1024;
    ResultRow* rows = static_cast<ResultRow*>(
        realloc(store->rows, static_cast<size_t>(grown) * sizeof(ResultRow)));
    if (rows == nullptr) return false;
    store->rows = rows;
    store->capacity = grown;
  }
  store->rows[store->count++] = row;
  return true;
}

void FreeStoredRows(ResultStore* store) {
  for (int i = 0; i < store->count; ++i) FreeResultRow(store->rows[i]);
  free(store->rows);
  *store = ResultStore();
}

void SetStoredRowLimitForTests(int rows) { RowLimit = rows; }
