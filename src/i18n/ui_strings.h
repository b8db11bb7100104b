// The replaceable message and caption texts, English by default, replaced at start-up from the
// selected language section.
#pragma once
#include "i18n/language_file.h"

constexpr int kUiStringCapacity = 80;  // 79 characters and the terminator

struct UiString {
  int key;
  wchar_t text[kUiStringCapacity];
};

extern UiString UiStringTable[12];

// The text of a key of the table (900..916); an empty string for an unknown key. 910 is the
// desktop's own: a criterion with a character that Windows-1251 cannot hold.
const wchar_t* UiText(int key);
// Restores the built-in defaults (start-up and tests).
void ResetUiStrings();
// Replaces each text, key by key in ascending order, by its non-empty translation.
void ApplyLanguageToUiStrings(LanguageFile* lang);
// Whether a translation formats like the default text: the same conversions ("%s", "%i"; "%d"
// counts as "%i") in the same order. ApplyLanguageToUiStrings keeps the default otherwise.
bool TranslationFitsFormat(const wchar_t* defaultText, const wchar_t* translation);
