// The replaceable message and caption texts with their English defaults.
#include "i18n/ui_strings.h"

#include <cwchar>
#include <string>

namespace {

// The texts are held in the entries themselves rather than pointed to, so that the table is
// read-only data that needs no relocation.
struct DefaultText {
  int key;
  wchar_t text[kUiStringCapacity];
};

// Ascending by key: the start-up replaces them in this order.
constexpr DefaultText kDefaults[] = {
    {TextError, L"Error"},
    {TextInfo, L"Info"},
    {TextListNotSaved, L"Could not open ini file for save - %s"},
    {TextBadDatabase, L"Bad db file  - %s"},
    {TextTooManyDatabases, L"Max db file = %i"},
    {TextAllDatabasesGood, L"All installed db files - ok!"},
    {TextWrongDatabases, L"Found: %i wrong db files\r\n\r\nBad entrances deleted."},
    {TextFinalStatus, L"Scaned: %i, results: %i"},
    {TextQuery, L"Query: "},
    {TextNoSuchLetters, L"The database has no such letters - %s"},
    {TextNoSuchDatabase, L"No such db file - %s"},
    {TextCannotOpenDatabase, L"Could not open db file - %s"},
    {TextNotADatabase, L"Not a Vostrel db file - %s"},
    {TextUnusableFields, L"Unusable field schema in db file - %s"},
    {TextStart, L"Start"},
    {TextStop, L"Stop"},
    {TextFieldsChanged, L"Db file %s has other fields now: select it again"},
    {TextRecordsCut, L"%s: the records end without their end mark after record %i"},
    {TextZeroLength, L"%s: a record length of 0 after record %i ends the scan"},
    {TextWalkingFolder, L"Looking in %s"},
};
constexpr int kTextCount = sizeof kDefaults / sizeof kDefaults[0];
static_assert(kTextCount == kUiStringCount, "one default per slot");

// The conversions of a format text in order ("%s", "%i", ...; "%%" is plain text). "%d" and
// "%i" are the same conversion. An unfinished "%" at the end counts as a conversion of its own.
std::wstring Conversions(const wchar_t* text) {
  std::wstring result;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p != L'%') continue;
    if (p[1] == L'%') {
      ++p;
      continue;
    }
    result += L'%';
    const wchar_t* q = p + 1;
    while (*q && wcschr(L"-+ #0123456789.*hlLIwqjzt", *q)) result += *q++;
    if (*q) result += *q == L'd' ? L'i' : *q;
    result += L'|';
    p = *q ? q : q - 1;
  }
  return result;
}

// A translation found for slot i of the table: it replaces the text when it is not empty.
void ApplyTranslation(UiStrings* strings, int i, const wchar_t* found) {
  wchar_t cut[kUiStringCapacity];
  if (!TakeTranslation(found, cut, kUiStringCapacity)) return;
  // The callers format these texts with their own arguments: a translation whose placeholders
  // differ from the default's would read an argument as something it is not (an integer as a
  // string pointer). Such a translation is refused and the default stays.
  if (!TranslationFitsFormat(kDefaults[i].text, cut)) return;
  TakeTranslation(cut, strings->slots[i].text, kUiStringCapacity);
}

}  // namespace

UiStrings::UiStrings() { ResetUiStrings(this); }

const wchar_t* UiText(const UiStrings& strings, int key) {
  for (const UiString& slot : strings) {
    if (slot.key == key) return slot.text;
  }
  return L"";
}

void ResetUiStrings(UiStrings* strings) {
  for (int i = 0; i < kTextCount; ++i) {
    strings->slots[i].key = kDefaults[i].key;
    TakeTranslation(kDefaults[i].text, strings->slots[i].text, kUiStringCapacity);
  }
}

bool TranslationFitsFormat(const wchar_t* defaultText, const wchar_t* translation) {
  return Conversions(defaultText) == Conversions(translation);
}

void ApplyLanguageToUiStrings(UiStrings* strings, LanguageFile* lang) {
  for (int i = 0; i < kTextCount; ++i) {
    wchar_t found[kLanguageValueCapacity];
    LookupLanguageString(lang, strings->slots[i].key, found);
    ApplyTranslation(strings, i, found);
  }
}

void ApplyLanguageToUiStrings(UiStrings* strings, const LanguageSection* section) {
  if (section == nullptr) return;
  for (int i = 0; i < kTextCount; ++i) {
    const std::wstring* found = FindLanguageText(*section, strings->slots[i].key);
    if (found != nullptr) ApplyTranslation(strings, i, found->c_str());
  }
}
