// The replaceable message and caption texts with their English defaults.
#include "i18n/ui_strings.h"

#include <cwchar>
#include <string>

namespace {

struct DefaultText {
  int key;
  const wchar_t* text;
};

// Ascending by key: the start-up replaces them in this order.
const DefaultText kDefaults[] = {
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

}  // namespace

UiString UiStringTable[kUiStringCount];

namespace {

// The table holds the defaults from the start, before any language file is read.
struct FillDefaults {
  FillDefaults() { ResetUiStrings(); }
} DefaultsAtStartUp;

}  // namespace

const wchar_t* UiText(int key) {
  for (const UiString& slot : UiStringTable) {
    if (slot.key == key) return slot.text;
  }
  return L"";
}

void ResetUiStrings() {
  for (int i = 0; i < kTextCount; ++i) {
    UiStringTable[i].key = kDefaults[i].key;
    TakeTranslation(kDefaults[i].text, UiStringTable[i].text, kUiStringCapacity);
  }
}

bool TranslationFitsFormat(const wchar_t* defaultText, const wchar_t* translation) {
  return Conversions(defaultText) == Conversions(translation);
}

void ApplyLanguageToUiStrings(LanguageFile* lang) {
  for (int i = 0; i < kTextCount; ++i) {
    wchar_t found[kLanguageValueCapacity];
    LookupLanguageString(lang, UiStringTable[i].key, found);
    wchar_t cut[kUiStringCapacity];
    if (!TakeTranslation(found, cut, kUiStringCapacity)) continue;
    // The callers format these texts with their own arguments: a translation whose
    // placeholders differ from the default's would read an argument as something it is not
    // (an integer as a string pointer). Such a translation is refused and the default stays.
    if (!TranslationFitsFormat(kDefaults[i].text, cut)) continue;
    TakeTranslation(cut, UiStringTable[i].text, kUiStringCapacity);
  }
}
