// Result rows live on the C runtime heap, each in one block: the pointer array first, then the
// column texts it points at.
#include "search/result_row.h"

#include <cstdlib>
#include <cstring>

#include "db/codepage.h"

ResultRow BuildResultRow(const FieldTable* table) {
  const int count =
      table->displayCount < kMaxDisplayFields ? table->displayCount : kMaxDisplayFields;
  // One slot at least, so that a schema without displayed fields still yields a row to free.
  const size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
  const char* values[kMaxDisplayFields];
  size_t lengths[kMaxDisplayFields];
  size_t characters = 0;
  for (int k = 0; k < count; ++k) {
    const FieldDescriptor* field = table->displayMap[k];
    values[k] = (field != nullptr && field->value != nullptr) ? field->value : "";
    // Windows-1251 has one wide character per byte, so the byte length is the wide length.
    lengths[k] = strlen(values[k]);
    characters += lengths[k] + 1;
  }
  ResultRow row =
      static_cast<ResultRow>(malloc(slots * sizeof(wchar_t*) + characters * sizeof(wchar_t)));
  if (row == nullptr) return nullptr;
  row[0] = nullptr;
  wchar_t* text = reinterpret_cast<wchar_t*>(row + slots);
  for (int k = 0; k < count; ++k) {
    SingleByteToWide(values[k], lengths[k], text, lengths[k] + 1);
    row[k] = text;
    text += lengths[k] + 1;
  }
  return row;
}

void FreeResultRow(ResultRow row) { free(row); }
