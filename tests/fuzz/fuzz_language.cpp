// Selects sections of and looks keys up in a language file made of arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "fuzz_scratch.h"
#include "i18n/language_file.h"
#include "i18n/language_texts.h"
#include "i18n/ui_strings.h"

static void CheckTerminated(const wchar_t* text, size_t capacity) {
  if (wcsnlen(text, capacity) >= capacity) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring path = FuzzScratchPath("vostrel.lng");
  WriteBytes(path, data, size);
  LanguageFile lang;
  if (!OpenLanguageFileAt(&lang, path.c_str())) abort();

  std::vector<std::wstring> names;
  ForEachLanguageName(&lang, [&](const wchar_t* name) {
    CheckTerminated(name, kLanguageValueCapacity);
    if (names.size() < 4) names.push_back(name);
  });
  names.push_back(L"RUSSIAN");
  // The same file read once: each language's texts must come out as the open file's lookups
  // give them.
  LanguageTexts texts;
  if (!LoadLanguageTexts(path.c_str(), &texts)) abort();

  static const int kKeys[] = {-1, 0, 700, 704, 900, 907, 908, 916, 1107, 1500, 1504, 90};
  for (const std::wstring& name : names) {
    if (SelectLanguageSection(&lang, name.c_str()) != 0) continue;
    for (int key : kKeys) {
      wchar_t out[kLanguageValueCapacity];
      int found = LookupLanguageString(&lang, key, out);
      CheckTerminated(out, kLanguageValueCapacity);
      if (found == 1 && out[0] != 0) abort();
      wchar_t small[16];
      if (TakeTranslation(out, small, 16)) CheckTerminated(small, 16);
    }
    UiStrings strings;
    ApplyLanguageToUiStrings(&strings, &lang);
    for (const UiString& s : strings) CheckTerminated(s.text, kUiStringCapacity);
    UiStrings fromLoaded;
    ApplyLanguageToUiStrings(&fromLoaded, FindLanguageSection(texts, name));
    for (int i = 0; i < kUiStringCount; ++i)
      if (wcscmp(strings[i].text, fromLoaded[i].text) != 0) abort();
  }
  CloseLanguageFile(&lang);
  return 0;
}
