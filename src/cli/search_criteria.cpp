#include "cli/search_criteria.h"

#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "search/query_criteria.h"

namespace {

// The longest criterion a box yields.

// A number reads as digits, with a minus sign before them in a 4-byte field: a criterion with
// any other character (but a pattern's * and ?) can never match it. Someone who typed a name
// into the phone's box deserves to hear that, rather than just see nothing listed.
bool CanMatchANumber(const FieldDescriptor& field) {
  if (field.type != FieldInteger || field.criterion == nullptr) return true;
  for (const char* p = field.criterion; *p != 0; ++p) {
    const char c = *p;
    const bool sign = c == '-' && field.size == 4;
    if ((c < '0' || c > '9') && c != '*' && c != '?' && !sign) return false;
  }
  return true;
}

}  // namespace

std::string FieldNameUtf8(const FieldDescriptor& field) {
  return TerminalSafe(FieldNameText(field));
}

int FindSearchField(const FieldTable& table, const std::string& name) {
  const std::wstring fieldName = Utf8ToWide(name);
  for (int i = 0; i < table.searchCount; ++i) {
    const FieldDescriptor* f = table.searchMap[i];
    if (f == nullptr) continue;
    if (SameNameIgnoringCase(FieldNameText(*f), fieldName)) return i;
  }
  return -1;
}

std::string SearchableFieldList(const FieldTable& table) {
  std::string list;
  for (int i = 0; i < table.searchCount; ++i) {
    if (table.searchMap[i] == nullptr) continue;
    if (!list.empty()) list += ", ";
    list += FieldNameUtf8(*table.searchMap[i]);
  }
  return list.empty() ? "none" : list;
}

bool PrepareCriterion(FieldDescriptor* field, const std::string& typedUtf8, std::string* problem) {
  const std::string fieldLabel = FieldNameUtf8(*field);
  std::wstring typed = Utf8ToWide(typedUtf8);
  if (field->flags & UpperCaseInput)
    for (wchar_t& c : typed) c = UpperCaseAsTyped(c);
  std::string singleByte;
  if (!WideToSingleByteStrict(typed, &singleByte) || singleByte.find('\0') != std::string::npos) {
    *problem =
        "the text for field '" + fieldLabel + "' holds a character that Windows-1251 cannot hold";
    return false;
  }
  const size_t limit =
      field->maxLength < kMaxCriterionChars ? field->maxLength : kMaxCriterionChars;
  if (typed.size() > limit) {
    *problem = "the text for field '" + fieldLabel + "' is longer than its limit of " +
               std::to_string(limit) + " characters";
    return false;
  }
  SetFieldCriterion(field, typed.c_str());
  return true;
}

std::string NeverMatchesWarning(const FieldDescriptor& field, const std::string& typed) {
  if (CanMatchANumber(field)) return "";
  return "field '" + FieldNameUtf8(field) + "' holds numbers: '" + TerminalSafeUtf8(typed) +
         "' can never match it (a number has only digits" +
         (field.size == 4 ? " and a leading minus sign)" : ")");
}
