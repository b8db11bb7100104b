// The replaceable message and caption texts, English by default, replaced at start-up from the
// selected language section.
#pragma once
#include "i18n/language_file.h"
#include "i18n/language_texts.h"

constexpr int kUiStringCapacity = 80;  // 79 characters and the terminator

struct UiString {
  int key;
  wchar_t text[kUiStringCapacity];
};

// The keys of the replaceable texts, as the language file names them.
enum TextKey {
  TextError = 900,
  TextInfo = 901,
  TextListNotSaved = 903,
  TextBadDatabase = 904,
  TextTooManyDatabases = 905,
  TextAllDatabasesGood = 906,
  TextWrongDatabases = 907,
  TextFinalStatus = 908,
  TextQuery = 909,
  TextNoSuchLetters = 910,  // the desktop's own: a criterion Windows-1251 cannot hold
  // The desktop's own: why a selected database cannot be searched, and the damage that ended a
  // scan early (the rows before it stay listed).
  TextNoSuchDatabase = 911,
  TextCannotOpenDatabase = 912,
  TextNotADatabase = 913,
  TextUnusableFields = 914,
  TextStart = 915,
  TextStop = 916,
  TextFieldsChanged = 917,
  TextRecordsCut = 918,
  TextZeroLength = 919,
  TextWalkingFolder = 920,  // the desktop's own: the folder Find DB walks now, on the Setup page
};
constexpr int kUiStringCount = 20;

// The tab names' keys: the first page's name, then one key per page in the tabs' order; a name
// holds up to 127 characters.
constexpr int kFirstTabNameKey = 700;
constexpr int kTabNameCount = 5;
constexpr int kTabNameCapacity = 128;

// One set of the replaceable texts, ascending by key: a program (or each of its users) owns
// one and hands it to whatever shows them. It holds the defaults from the start.
struct UiStrings {
  UiString slots[kUiStringCount];

  UiStrings();
  UiString& operator[](int index) { return slots[index]; }
  const UiString& operator[](int index) const { return slots[index]; }
  UiString* begin() { return slots; }
  UiString* end() { return slots + kUiStringCount; }
  const UiString* begin() const { return slots; }
  const UiString* end() const { return slots + kUiStringCount; }
};

// The text of a key of the table (900..920); an empty string for an unknown key.
const wchar_t* UiText(const UiStrings& strings, int key);
// Restores the built-in defaults.
void ResetUiStrings(UiStrings* strings);
// Replaces each text, key by key in ascending order, by its non-empty translation in the
// section the file has selected.
void ApplyLanguageToUiStrings(UiStrings* strings, LanguageFile* lang);
// The same from a language of a file read once (null: no such language, the texts stay), which
// any number of tables may take their texts from at once.
void ApplyLanguageToUiStrings(UiStrings* strings, const LanguageSection* section);
// Whether a translation formats like the default text: the same conversions ("%s", "%i"; "%d"
// counts as "%i") in the same order. ApplyLanguageToUiStrings keeps the default otherwise.
bool TranslationFitsFormat(const wchar_t* defaultText, const wchar_t* translation);
