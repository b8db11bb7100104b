// Every text of the language file, read once: for a program that speaks several languages at
// once (a server answering each user in theirs) and never reads the file again. The texts are
// exactly those that the file's own lookup (language_file.h) finds, section by section and key
// by key: the same line rules, the same cut to 259 characters.
#pragma once
#include <map>
#include <string>
#include <vector>

struct LanguageSection {
  std::wstring name;
  std::map<int, std::wstring> texts;  // by key
};

struct LanguageTexts {
  std::vector<LanguageSection> sections;  // in file order; a name's first section only
};

// False when the file cannot be opened.
bool LoadLanguageTexts(const wchar_t* path, LanguageTexts* texts);
// The section of that name, or null.
const LanguageSection* FindLanguageSection(const LanguageTexts& texts, const std::wstring& name);
// The text of key in the section, or null when it has none (an empty text is a text).
const std::wstring* FindLanguageText(const LanguageSection& section, int key);
