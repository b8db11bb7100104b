// Result rows live on the C runtime heap: the list item that holds a row frees it with free(),
// string by string and then the array.
#include "search/result_row.h"

#include <cstdlib>
#include <cstring>

#include "db/codepage.h"

ResultRow BuildResultRow(const FieldTable* table) {
  const int count =
      table->displayCount < kMaxDisplayFields ? table->displayCount : kMaxDisplayFields;
  // One slot at least, so that a schema without displayed fields still yields a row to free.
  const size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
  ResultRow row = static_cast<ResultRow>(calloc(slots, sizeof(wchar_t*)));
  if (row == nullptr) return nullptr;
  for (int k = 0; k < count; ++k) {
    const FieldDescriptor* field = table->displayMap[k];
    const char* value = (field != nullptr && field->value != nullptr) ? field->value : "";
    // Windows-1251 has one wide character per byte, so the byte length is the wide length.
    const size_t length = strlen(value);
    wchar_t* text = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (text == nullptr) {
      FreeResultRow(row, k);
      return nullptr;
    }
    SingleByteToWide(value, length, text, length + 1);
    row[k] = text;
  }
  return row;
}

void FreeResultRow(ResultRow row, int count) {
  if (row == nullptr) return;
  for (int k = 0; k < count; ++k) free(row[k]);
  free(row);
}
