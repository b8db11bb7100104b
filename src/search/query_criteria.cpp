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
constexpr size_t kSummaryLimit = 255;

// The summary shows each criterion as typed, but a folded criterion no longer holds the typed
// letters, so the caller keeps what was typed. A text that is not what the field's criterion was
// made from (another schema, or a criterion set by other means) is not shown: the field's
// single-byte criterion is.
bool IsWhatWasTyped(const FieldDescriptor* field, const std::wstring& typed) {
  if (field->criterion == nullptr) return false;
  std::string derived(static_cast<size_t>(field->maxLength) + 1, '\0');
  WideToSingleByte(typed.substr(0, kTypedCapacity - 1).c_str(), &derived[0], derived.size());
  if (field->flags & FoldValue) FoldText(&derived[0]);
  return strcmp(derived.c_str(), field->criterion) == 0;
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

std::wstring ComposeQuerySummary(const FieldTable* table, const wchar_t* prefix,
                                 const std::wstring* typed) {
  std::wstring summary = prefix != nullptr ? prefix : L"";
  bool first = true;
  for (int i = 0; i < table->searchCount && i < kMaxSearchFields; ++i) {
    const FieldDescriptor* field = table->searchMap[i];
    if (field == nullptr || !field->active) continue;
    if (!first) summary += L", ";
    first = false;
    summary.append(field->displayName, wcsnlen(field->displayName, kDisplayNameCapacity));
    summary += L": ";
    if (typed != nullptr && IsWhatWasTyped(field, typed[i]))
      summary += typed[i].substr(0, kTypedCapacity - 1);
    else if (field->criterion != nullptr)
      summary += SingleByteToWide(field->criterion);
    if (summary.size() >= kSummaryLimit) break;
  }
  if (summary.size() > kSummaryLimit) summary.resize(kSummaryLimit);
  return summary;
}
