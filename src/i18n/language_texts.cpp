// The language file read once into memory, by the rules of its lookup (language_file.cpp), which
// the tests hold it to key by key.
#include "i18n/language_texts.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/codepage.h"
#include "db/file_system.h"
#include "i18n/language_file.h"

namespace {

// The key of an entry line "KEY=value" as the lookup asks for it: a decimal int written as
// "%i" writes it (no sign but a minus, no leading zero); false for any other line.
bool EntryKey(const char* line, int* key, const char** value) {
  const char* p = line;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (*p < '0' || *p > '9' || (*p == '0' && (negative || p[1] != '='))) return false;
  long long n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (*p != '=') return false;
  n = negative ? -n : n;
  if (n > INT_MAX || n < INT_MIN) return false;
  *key = static_cast<int>(n);
  *value = p + 1;
  return true;
}

// The first piece of each line of the file (a line longer than the lookup's buffer is read as
// its first 511 bytes; the rest of it is no line).
std::vector<std::string> FirstPiecesOfLines(FILE* file) {
  std::vector<std::string> lines;
  char piece[kLanguageLineBuffer];
  bool atLineStart = true;
  for (;;) {
    const long before = ftell(file);
    if (!fgets(piece, kLanguageLineBuffer, file)) break;
    const long read = ftell(file) - before;
    // Counted, not measured with strlen: a NUL inside a line would cut strlen short.
    if (atLineStart) lines.emplace_back(piece, static_cast<size_t>(read));
    atLineStart = read < kLanguageLineBuffer - 1 || piece[kLanguageLineBuffer - 2] == '\n';
  }
  return lines;
}

}  // namespace

bool LoadLanguageTexts(const wchar_t* path, LanguageTexts* texts) {
  *texts = LanguageTexts();
  FILE* file = OpenFileWide(path, L"rb");
  if (file == nullptr) return false;
  const std::vector<std::string> lines = FirstPiecesOfLines(file);
  fclose(file);
  LanguageSection* section = nullptr;  // the section the lines belong to, if it counts
  for (const std::string& whole : lines) {
    const char* line = whole.c_str();  // up to its first NUL, as the lookup reads it
    if (line[0] == '[') {
      section = nullptr;
      const char* close = strchr(line, ']');
      const size_t length = close != nullptr ? static_cast<size_t>(close - line - 1) : 0;
      if (close == nullptr || length > static_cast<size_t>(kLanguageNameMaxChars)) continue;
      wchar_t name[kLanguageValueCapacity];
      SingleByteToWide(line + 1, length, name, kLanguageValueCapacity);
      if (FindLanguageSection(*texts, name) != nullptr) continue;  // the first one answers
      texts->sections.push_back(LanguageSection{name, {}});
      section = &texts->sections.back();
      continue;
    }
    int key = 0;
    const char* value = nullptr;
    if (section == nullptr || !EntryKey(line, &key, &value)) continue;
    if (section->texts.count(key) != 0) continue;  // the first line of a key answers
    wchar_t text[kLanguageValueCapacity];
    SingleByteToWide(value, strcspn(value, "\r"), text, kLanguageValueCapacity);
    section->texts.emplace(key, text);
  }
  return true;
}

const LanguageSection* FindLanguageSection(const LanguageTexts& texts, const std::wstring& name) {
  for (const LanguageSection& section : texts.sections)
    if (section.name == name) return &section;
  return nullptr;
}

const std::wstring* FindLanguageText(const LanguageSection& section, int key) {
  const auto found = section.texts.find(key);
  return found != section.texts.end() ? &found->second : nullptr;
}
