// Criteria as the matcher wants them: single-byte, folded where the field folds, with their
// length and whether they hold a wildcard worked out once per search instead of once per record.
#include "search/query_criteria.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "db/codepage.h"
#include "search/text_match.h"

namespace {

constexpr size_t kTypedCapacity = kMaxCriterionChars + 1;

// The summary shows each criterion as typed, but a folded criterion no longer holds the typed
// letters. So the typed text is kept here per search position, together with the field it was
// set for; a field whose entry belongs to another field (another schema, or a criterion set by
// other means) falls back to its single-byte criterion.
struct TypedCriterion {
  const FieldDescriptor* field = nullptr;
  wchar_t text[kTypedCapacity] = {};
};
TypedCriterion TypedCriteria[kMaxSearchFields];

constexpr size_t kSummaryLimit = 255;

// The kept text of a field, when it is what the field's criterion was made from.
const TypedCriterion* KeptTextFor(const FieldDescriptor* field) {
  if (field->searchIndex < 1 || field->searchIndex > kMaxSearchFields) return nullptr;
  const TypedCriterion* kept = &TypedCriteria[field->searchIndex - 1];
  if (kept->field != field || field->criterion == nullptr) return nullptr;
  std::string derived(static_cast<size_t>(field->maxLength) + 1, '\0');
  WideToSingleByte(kept->text, &derived[0], derived.size());
  if (field->flags & FoldValue) FoldText(&derived[0]);
  if (strcmp(derived.c_str(), field->criterion) != 0) return nullptr;
  return kept;
}

}  // namespace

void SetFieldCriterion(FieldDescriptor* field, const wchar_t* typed) {
  if (field == nullptr) return;
  wchar_t text[kTypedCapacity];
  size_t length = 0;
  if (typed != nullptr) {
    for (; length < kTypedCapacity - 1 && typed[length] != 0; ++length)
      text[length] = typed[length];
  }
  text[length] = 0;

  if (field->searchIndex >= 1 && field->searchIndex <= kMaxSearchFields) {
    TypedCriterion& kept = TypedCriteria[field->searchIndex - 1];
    kept.field = field;
    wmemcpy(kept.text, text, length + 1);
  }

  if (field->criterion == nullptr) {  // not searchable: nothing to match against
    field->active = 0;
    field->criterionLength = 0;
    field->wildcard = 0;
    return;
  }
  WideToSingleByte(text, field->criterion, static_cast<size_t>(field->maxLength) + 1);
  if (field->flags & FoldValue) FoldText(field->criterion);
  if (length == 0) {
    field->active = 0;
    field->criterionLength = 0;
    field->wildcard = 0;
    return;
  }
  field->active = 1;
  field->criterionLength = static_cast<int32_t>(strlen(field->criterion));
  field->wildcard = strpbrk(field->criterion, "*?") != nullptr ? 1 : 0;
}

bool NoActiveCriteria(const FieldTable* table) {
  for (int i = 0; i < table->searchCount && i < kMaxSearchFields; ++i) {
    const FieldDescriptor* field = table->searchMap[i];
    if (field != nullptr && field->active) return false;
  }
  return true;
}

std::wstring ComposeQuerySummary(const FieldTable* table, const wchar_t* prefix) {
  std::wstring summary = prefix != nullptr ? prefix : L"";
  bool first = true;
  for (int i = 0; i < table->searchCount && i < kMaxSearchFields; ++i) {
    const FieldDescriptor* field = table->searchMap[i];
    if (field == nullptr || !field->active) continue;
    if (!first) summary += L", ";
    first = false;
    summary.append(field->displayName, wcsnlen(field->displayName, kDisplayNameCapacity));
    summary += L": ";
    const TypedCriterion* kept = KeptTextFor(field);
    if (kept != nullptr)
      summary += kept->text;
    else if (field->criterion != nullptr)
      summary += SingleByteToWide(field->criterion);
    if (summary.size() >= kSummaryLimit) break;
  }
  if (summary.size() > kSummaryLimit) summary.resize(kSummaryLimit);
  return summary;
}
