// A result row: the pointer array first, then the column texts it points at.
#include "search/result_row.h"

#include <cstdlib>
#include <cstring>

#include "db/codepage.h"

void MeasureResultRow(const FieldTable* table, ResultRowLayout* layout) {
  const int count =
      table->displayCount < kMaxDisplayFields ? table->displayCount : kMaxDisplayFields;
  layout->columns = count > 0 ? count : 0;
  // One slot at least, so that a schema without displayed fields still yields a row.
  const size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
  size_t characters = 0;
  for (int k = 0; k < count; ++k) {
    const FieldDescriptor* field = table->displayMap[k];
    layout->values[k] = (field != nullptr && field->value != nullptr) ? field->value : "";
    // Windows-1251 has one wide character per byte, so the byte length is the wide length.
    layout->lengths[k] = strlen(layout->values[k]);
    characters += layout->lengths[k] + 1;
  }
  layout->bytes = slots * sizeof(wchar_t*) + characters * sizeof(wchar_t);
}

ResultRow LayOutResultRow(const ResultRowLayout& layout, void* memory) {
  ResultRow row = static_cast<ResultRow>(memory);
  row[0] = nullptr;
  const size_t slots = layout.columns > 0 ? static_cast<size_t>(layout.columns) : 1;
  wchar_t* text = reinterpret_cast<wchar_t*>(row + slots);
  for (int k = 0; k < layout.columns; ++k) {
    WidenSingleBytes(layout.values[k], layout.lengths[k], text);
    row[k] = text;
    text += layout.lengths[k] + 1;
  }
  return row;
}

ResultRow BuildResultRow(const FieldTable* table) {
  ResultRowLayout layout;
  MeasureResultRow(table, &layout);
  void* memory = malloc(layout.bytes);
  return memory ? LayOutResultRow(layout, memory) : nullptr;
}

void FreeResultRow(ResultRow row) { free(row); }
