// Sections, entries and language names of the language file, read from real files.
#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <string>
#include <vector>

#include "i18n/language_file.h"
#include "i18n/language_texts.h"
#include "test_support.h"

namespace {

class LanguageFileTest : public testing::Test {
 protected:
  void TearDown() override { CloseLanguageFile(&lang_); }

  // Writes the bytes as the language file and opens it.
  void Open(const std::string& bytes) {
    CloseLanguageFile(&lang_);
    std::wstring path = temp_.File(L"vostrel.lng");
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    ASSERT_TRUE(OpenLanguageFileAt(&lang_, path.c_str()));
  }

  // The translation of a key, or "<none>" when the section has no entry for it.
  std::wstring Lookup(int key) {
    wchar_t out[kLanguageValueCapacity];
    wmemset(out, L'#', kLanguageValueCapacity);
    int result = LookupLanguageString(&lang_, key, out);
    EXPECT_LT(wcsnlen(out, kLanguageValueCapacity), static_cast<size_t>(kLanguageValueCapacity));
    if (result == 1) {
      EXPECT_EQ(out[0], L'\0') << "a key without entry must give an empty string";
      return L"<none>";
    }
    EXPECT_EQ(result, 0);
    return out;
  }

  std::vector<std::wstring> Names() {
    std::vector<std::wstring> names;
    ForEachLanguageName(&lang_, [&](const wchar_t* name) { names.push_back(name); });
    return names;
  }

  TempDir temp_;
  LanguageFile lang_;
};

const char kTwoSections[] =
    "[RUSSIAN]\r\n"
    "900=Oshibka\r\n"
    "-1=Versiya\r\n"
    "[ENGLISH] anything after the bracket\r\n"
    "900=Error!\r\n"
    "901=Info!\r\n";

TEST_F(LanguageFileTest, SelectedSectionRunsToTheNextHeaderLine) {
  Open(kTwoSections);
  ASSERT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), 0);
  EXPECT_EQ(Lookup(900), L"Oshibka");
  EXPECT_EQ(Lookup(-1), L"Versiya");
  EXPECT_EQ(Lookup(901), L"<none>");  // belongs to the next section

  // Text after "]" of a header line is ignored; the last section runs to the end of the file.
  ASSERT_EQ(SelectLanguageSection(&lang_, L"ENGLISH"), 0);
  EXPECT_EQ(Lookup(900), L"Error!");
  EXPECT_EQ(Lookup(901), L"Info!");
  EXPECT_EQ(Lookup(-1), L"<none>");
}

TEST_F(LanguageFileTest, SectionNamesAreComparedCaseSensitivelyAndInFull) {
  Open(kTwoSections);
  ASSERT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), 0);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"russian"), -1);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"RUSS"), -1);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN2"), -1);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"GERMAN"), -1);
  // A failed selection leaves the section that was selected before.
  EXPECT_EQ(Lookup(900), L"Oshibka");
}

TEST_F(LanguageFileTest, WithoutASelectedSectionEveryKeyIsMissing) {
  Open(kTwoSections);
  EXPECT_EQ(Lookup(900), L"<none>");
  EXPECT_EQ(SelectLanguageSection(&lang_, L"GERMAN"), -1);
  EXPECT_EQ(Lookup(900), L"<none>");
}

TEST_F(LanguageFileTest, HeaderLinesThatAreNotHeaders) {
  Open(
      "900=outside any section\r\n"
      " [INDENTED]\r\n"
      "900=indented\r\n"
      "[OPEN\r\n"
      "900=open\r\n"
      "[A]\r\n"
      "900=a\r\n"
      "[broken line without bracket\r\n"
      "901=after broken\r\n");
  // A blank before "[" makes no header; neither does a line without "]".
  EXPECT_EQ(SelectLanguageSection(&lang_, L"INDENTED"), -1);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"OPEN"), -1);
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"A"}));
  // But every line that begins with "[" ends a section.
  ASSERT_EQ(SelectLanguageSection(&lang_, L"A"), 0);
  EXPECT_EQ(Lookup(900), L"a");
  EXPECT_EQ(Lookup(901), L"<none>");
}

TEST_F(LanguageFileTest, HeaderFollowedByHeaderGivesAnEmptySection) {
  Open("[EMPTY]\r\n[FULL]\r\n900=x\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"EMPTY"), 0);
  EXPECT_EQ(Lookup(900), L"<none>");
  EXPECT_EQ(Lookup(-1), L"<none>");
}

TEST_F(LanguageFileTest, EntryRules) {
  Open(
      "[X]\r\n"
      "900=first\r\n"
      "900=second\r\n"
      "901=a=b=c\r\n"
      "903=\r\n"
      "904=cut here\rand not this\r\n"
      "905 =blank before the equals sign\r\n"
      "906\r\n"
      "=907\r\n"
      "9080=longer key\r\n"
      "  909=indented\r\n"
      "915=trailing blank \r\n"
      "-1=minus one\r\n"
      "1=plain one\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  EXPECT_EQ(Lookup(900), L"first");     // the first entry counts
  EXPECT_EQ(Lookup(901), L"a=b=c");     // after the first "="
  EXPECT_EQ(Lookup(903), L"");          // present but empty
  EXPECT_EQ(Lookup(904), L"cut here");  // up to the first CR
  EXPECT_EQ(Lookup(905), L"<none>");    // the "=" must follow the digits
  EXPECT_EQ(Lookup(906), L"<none>");
  EXPECT_EQ(Lookup(907), L"<none>");
  EXPECT_EQ(Lookup(908), L"<none>");  // "9080=" is not key 908
  EXPECT_EQ(Lookup(909), L"<none>");
  EXPECT_EQ(Lookup(915), L"trailing blank ");
  EXPECT_EQ(Lookup(-1), L"minus one");
  EXPECT_EQ(Lookup(1), L"plain one");
}

TEST_F(LanguageFileTest, KeyIsNotMatchedByTheLeadingDigitsOfAnotherKey) {
  Open("[X]\r\n900=nine hundred\r\n90=ninety\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  EXPECT_EQ(Lookup(90), L"ninety");
  EXPECT_EQ(Lookup(9), L"<none>");
}

TEST_F(LanguageFileTest, LineFeedOnlyFilesKeepTheLineFeedInValues) {
  Open("[X]\n900=Error\n901=Info");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  EXPECT_EQ(Lookup(900), L"Error\n");
  EXPECT_EQ(Lookup(901), L"Info");  // the last line has no line end at all
}

TEST_F(LanguageFileTest, TextIsWindows1251) {
  // "[РУССКИЙ]" and "900=Ошибка" in Windows-1251.
  Open("[\xD0\xD3\xD1\xD1\xCA\xC8\xC9]\r\n900=\xCE\xF8\xE8\xE1\xEA\xE0\r\n");
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"\u0420\u0423\u0421\u0421\u041A\u0418\u0419"}));
  ASSERT_EQ(SelectLanguageSection(&lang_, L"\u0420\u0423\u0421\u0421\u041A\u0418\u0419"), 0);
  EXPECT_EQ(Lookup(900), L"\u041E\u0448\u0438\u0431\u043A\u0430");
}

TEST_F(LanguageFileTest, ValuesAreCutTo259Characters) {
  std::string value(300, 'v');
  value[258] = 'L';  // the last character kept
  Open("[X]\r\n900=" + value + "\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  std::wstring got = Lookup(900);
  ASSERT_EQ(got.size(), 259u);
  EXPECT_EQ(got.back(), L'L');
}

TEST_F(LanguageFileTest, RestOfAnOverlongLineIsNeverALineOfItsOwn) {
  // The 512-byte buffer splits these lines; what lies beyond byte 511 of a line must neither
  // end the section nor count as an entry.
  std::string padding(511 - 4, 'p');
  Open(
      "[X]\r\n"
      "900=" +
      padding + "[Y]\r\n" + "901=" + padding + "902=smuggled\r\n" +
      "903=after the long lines\r\n"
      "[Y]\r\n"
      "[Z" +
      std::string(600, 'z') +
      "]\r\n"
      "904=in Z\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  EXPECT_EQ(Lookup(902), L"<none>");
  EXPECT_EQ(Lookup(903), L"after the long lines");
  std::wstring first = Lookup(900);
  EXPECT_EQ(first.size(), 259u);
  // The section "Y" is the short header line, and it ends at the long header line.
  ASSERT_EQ(SelectLanguageSection(&lang_, L"Y"), 0);
  EXPECT_EQ(Lookup(904), L"<none>");
}

TEST_F(LanguageFileTest, SectionStartsAfterAnOverlongHeaderLine) {
  Open("[X] " + std::string(700, 'c') + "\r\n900=inside\r\n");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"X"), 0);
  EXPECT_EQ(Lookup(900), L"inside");
}

TEST_F(LanguageFileTest, LanguageNamesInFileOrder) {
  Open(
      "[RUSSIAN]\r\n"
      "1=x\r\n"
      "[ENGLISH] with a remark\r\n"
      "[FOURTEEN_CHARS]\r\n"
      "[FIFTEEN_CHARS_X]\r\n"
      "[]\r\n"
      "[russian]\r\n");
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"RUSSIAN", L"ENGLISH", L"FOURTEEN_CHARS", L"",
                                                L"russian"}));
}

TEST_F(LanguageFileTest, NamesLongerThanFourteenCharactersAreNoLanguages) {
  Open("[A]\r\n900=a\r\n[FIFTEEN_CHARS_X]\r\n900=long\r\n[FOURTEEN_CHARS]\r\n900=fourteen\r\n");
  // Neither listed nor selectable, but their header line still ends the section before.
  EXPECT_EQ(SelectLanguageSection(&lang_, L"FIFTEEN_CHARS_X"), -1);
  ASSERT_EQ(SelectLanguageSection(&lang_, L"A"), 0);
  EXPECT_EQ(Lookup(900), L"a");
  ASSERT_EQ(SelectLanguageSection(&lang_, L"FOURTEEN_CHARS"), 0);
  EXPECT_EQ(Lookup(900), L"fourteen");
}

TEST_F(LanguageFileTest, EmptyFileAndClosedFile) {
  Open("");
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), -1);
  EXPECT_EQ(Lookup(900), L"<none>");
  CloseLanguageFile(&lang_);
  EXPECT_EQ(lang_.file, nullptr);
  EXPECT_EQ(SelectLanguageSection(&lang_, L"RUSSIAN"), -1);
  EXPECT_EQ(Lookup(900), L"<none>");
}

TEST(TakeTranslationTest, CutsToTheConsumersCapacityAndKeepsDefaultsForEmptyText) {
  wchar_t small[16];
  wmemset(small, L'#', 16);
  ASSERT_TRUE(TakeTranslation(L"Telefonnyj nomer abonenta", small, 16));
  EXPECT_STREQ(small, L"Telefonnyj nome");  // 15 characters and the terminator

  wchar_t exact[6];
  ASSERT_TRUE(TakeTranslation(L"abcde", exact, 6));
  EXPECT_STREQ(exact, L"abcde");

  wchar_t kept[8] = L"default";
  EXPECT_FALSE(TakeTranslation(L"", kept, 8));
  EXPECT_STREQ(kept, L"default");
}

}  // namespace

// Every text read once agrees with the file's own lookup, for every section name and every key
// the file could answer, on the shipped file and on one made to trip the line rules: duplicate
// sections and keys, keys written as no "%i" writes them, lines past the lookup's buffer, a NUL
// in a line, a value without CR, an entry before any section, an overlong section name.
TEST_F(LanguageFileTest, TextsReadOnceAreWhatTheLookupFinds) {
  std::string tricky =
      "0=before any section\r\n[RUSSIAN]\r\n900=first\r\n900=second\r\n07=seven\r\n7=7\r\n"
      "-0=minus zero\r\n0=zero\r\n-12=minus\r\n+5=plus\r\n2147483647=max\r\n-2147483648=min\r\n"
      "2147483648=over\r\n5=no carriage return\n6=" +
      std::string(700, 'x') +
      "\r\n8=hidden\r\n9=nul\0after\r\n[ENGLISH]\r\n900=Error\r\n"
      "[A-NAME-LONGER-THAN-14]\r\n901=not a section's\r\n"
      "[RUSSIAN]\r\n900=second section\r\n[EMPTY]\r\n" +
      std::string("901=") + std::string(300, 'y');
  tricky[tricky.find("nul") + 3] = '\0';
  const std::string shipped = ReadFileBytes(RepositoryLanguageFile());
  ASSERT_FALSE(shipped.empty());
  for (const std::string& bytes : {shipped, tricky}) {
    Open(bytes);
    LanguageTexts texts;
    ASSERT_TRUE(LoadLanguageTexts(temp_.File(L"vostrel.lng").c_str(), &texts));
    std::vector<std::wstring> names = Names();
    names.push_back(L"NOWHERE");
    std::vector<int> keys = {0, 5, 6, 7, 8, 9, -12, 12, INT_MAX, INT_MIN, -1};
    for (int key = 0; key < 2000; ++key) keys.push_back(key);
    for (const std::wstring& name : names) {
      SCOPED_TRACE(std::string(name.begin(), name.end()));
      const LanguageSection* section = FindLanguageSection(texts, name);
      ASSERT_EQ(section != nullptr, SelectLanguageSection(&lang_, name.c_str()) == 0);
      if (section == nullptr) continue;
      for (int key : keys) {
        const std::wstring* text = FindLanguageText(*section, key);
        EXPECT_EQ(text != nullptr ? *text : L"<none>", Lookup(key)) << "key " << key;
      }
    }
  }
}
