// The replaceable message and caption texts, English by default, replaced at start-up from the
// selected language section.
#pragma once
#include "i18n/language_file.h"

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

extern UiString UiStringTable[kUiStringCount];

// The text of a key of the table (900..920); an empty string for an unknown key.
const wchar_t* UiText(int key);
// Restores the built-in defaults (start-up and tests).
void ResetUiStrings();
// Replaces each text, key by key in ascending order, by its non-empty translation.
void ApplyLanguageToUiStrings(LanguageFile* lang);
// Whether a translation formats like the default text: the same conversions ("%s", "%i"; "%d"
// counts as "%i") in the same order. ApplyLanguageToUiStrings keeps the default otherwise.
bool TranslationFitsFormat(const wchar_t* defaultText, const wchar_t* translation);
