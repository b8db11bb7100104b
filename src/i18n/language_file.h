// The language file "vostrel.lng": one section per language, entries "key=value". Its owner
// keeps it open; every lookup reads the selected section again, so one open file serves one
// reader in one language (language_texts.h reads it once for any number of readers).
#pragma once
#include <cstdio>
#include <functional>

constexpr int kLanguageLineBuffer = 512;
constexpr int kLanguageValueCapacity = 260;  // wide, terminator included
constexpr int kLanguageNameCapacity = 32;    // a language's name, wide, terminator included
constexpr int kLanguageNameMaxChars = 14;

struct LanguageFile {
  FILE* file = nullptr;
  long sectionStart = 0;
  long sectionEnd = 0;  // equal to sectionStart while no section is selected
};

// Opens the file at fullPath for binary reading. Returns false when it cannot be opened; the
// caller tells the user (the Win32 start-up shows the message).
bool OpenLanguageFileAt(LanguageFile* lang, const wchar_t* fullPath);
// 0, or -1 when the file has no section of that name (the bounds are then unchanged).
int SelectLanguageSection(LanguageFile* lang, const wchar_t* name);
// 0 and the translation (possibly empty), or 1 and an empty string. out holds 260 characters.
int LookupLanguageString(LanguageFile* lang, int key, wchar_t* out);
// Calls back with each language name of the file, in file order.
void ForEachLanguageName(LanguageFile* lang, const std::function<void(const wchar_t* name)>& visit);
void CloseLanguageFile(LanguageFile* lang);

// Copies a translation into a consumer's buffer of capacity characters (terminator included),
// cutting it when it is longer. Returns false when text is empty (keep the default).
bool TakeTranslation(const wchar_t* text, wchar_t* dst, size_t capacity);
