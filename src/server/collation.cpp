#include "server/collation.h"

#include <unicode/ucol.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// The texts sorted are Windows-1251 widened: every character lies in the basic plane, so
// UTF-16 is the same numbers. Long texts go to the heap, the usual ones stay on the stack.
constexpr int kStackChars = 512;

struct Utf16Text {
  UChar stack[kStackChars];
  std::vector<UChar> heap;
  const UChar* text = nullptr;
  int32_t length = 0;
};

void ToUtf16(const wchar_t* wide, Utf16Text* out) {
  const size_t length = wcslen(wide);
  UChar* into = out->stack;
  if (length > kStackChars) {
    out->heap.resize(length);
    into = out->heap.data();
  }
  for (size_t i = 0; i < length; ++i) into[i] = static_cast<UChar>(wide[i]);
  out->text = into;
  out->length = static_cast<int32_t>(length);
}

int CompareIcu(void* context, const wchar_t* a, const wchar_t* b) {
  Utf16Text x, y;
  ToUtf16(a, &x);
  ToUtf16(b, &y);
  return ucol_strcoll(static_cast<const UCollator*>(context), x.text, x.length, y.text, y.length);
}

int SortKeyIcu(void* context, const wchar_t* text, unsigned char* key, int capacity) {
  Utf16Text x;
  ToUtf16(text, &x);
  const int32_t needed =
      ucol_getSortKey(static_cast<const UCollator*>(context), x.text, x.length, key, capacity);
  if (needed <= 0) return 0;
  return needed > capacity ? kSortKeyNeedsRoom : needed;
}

}  // namespace

bool OpenServerCollation(const std::string& locale, ServerCollation* out) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale.c_str(), &status);
  if (U_FAILURE(status) || collator == nullptr) return false;
  // Secondary: letters and their accents count, case does not.
  ucol_setStrength(collator, UCOL_SECONDARY);
  out->collator = collator;
  out->collation.context = collator;
  out->collation.compare = CompareIcu;
  out->collation.sortKey = SortKeyIcu;
  return true;
}

void CloseServerCollation(ServerCollation* collation) {
  if (collation->collator != nullptr) ucol_close(collation->collator);
  collation->collator = nullptr;
}

std::string LocaleOfLanguage(const std::string& language) {
  static const struct {
    const char* name;
    const char* locale;
  } kLocales[] = {{"RUSSIAN", "ru"},    {"ENGLISH", "en"}, {"UKRAINIAN", "uk"},
                  {"BELARUSIAN", "be"}, {"GERMAN", "de"},  {"FRENCH", "fr"}};
  for (const auto& known : kLocales)
    if (strcasecmp(language.c_str(), known.name) == 0) return known.locale;
  return "ru";
}
