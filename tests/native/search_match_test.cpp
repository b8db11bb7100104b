// Folding and the match rules, checked against hand-picked cases and, for the wildcard matcher,
// against a literal transcription of the recursive rule over every small pattern and text.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "search/query_criteria.h"
#include "search/text_match.h"
#include "test_support.h"

namespace {

// A searchable field with its own buffers, set up as the schema load would.
struct TestField {
  FieldDescriptor d{};
  std::vector<char> criterion;
  std::vector<char> value;
  TestField(const char* name, int8_t flags, uint16_t maxLength, int8_t searchIndex) {
    strncpy(d.name, name, kNameCapacity - 1);
    for (int i = 0; name[i] != 0 && i < kDisplayNameCapacity - 1; ++i)
      d.displayName[i] = static_cast<wchar_t>(name[i]);
    d.type = FieldText;
    d.flags = flags;
    d.maxLength = maxLength;
    d.searchIndex = searchIndex;
    criterion.assign(maxLength + 1u, 0);
    value.assign(maxLength + 1u < 256u ? 256u : maxLength + 1u, 0);
    d.criterion = criterion.data();
    d.value = value.data();
  }
  void SetValue(const std::string& text) {
    ASSERT_LT(text.size(), value.size());
    memcpy(value.data(), text.c_str(), text.size() + 1);
  }
  // Types the criterion the way the Search page would hand it over.
  void Type(const wchar_t* typed) { SetFieldCriterion(&d, typed); }
};

bool Matches(TestField& field, const wchar_t* typed, const std::string& value) {
  field.Type(typed);
  field.SetValue(value);
  return CriterionMatches(&field.d);
}

std::string Fold(std::string text) {
  FoldText(&text[0]);
  return text;
}

TEST(Folding, MapsRussianAndLatinCapitalsOnly) {
  for (int b = 1; b < 256; ++b) {
    unsigned char expected = static_cast<unsigned char>(b);
    if (b >= 0xC0 && b <= 0xDF) expected = static_cast<unsigned char>(b + 0x20);
    if (b == 0xA8) expected = 0xB8;
    if (b >= 'A' && b <= 'Z') expected = static_cast<unsigned char>(b + 0x20);
    char text[2] = {static_cast<char>(b), 0};
    EXPECT_EQ(static_cast<unsigned char>(FoldText(text)[0]), expected) << "byte " << b;
  }
  // Ukrainian and Belarusian capitals keep their case.
  EXPECT_EQ(Fold("\xA1\xA5\xAA\xAF\xB2"), "\xA1\xA5\xAA\xAF\xB2");
  EXPECT_EQ(Fold("\xCF\xE5\xF2\xF0\xEE\xE2 Ivan-12"), "\xEF\xE5\xF2\xF0\xEE\xE2 ivan-12");
}

TEST(Folding, TableHoldsOnlyTheThirtyThreeCapitals) {
  int filled = 0;
  for (int b = 0; b < 256; ++b) {
    if (FoldTable[b] == 0) continue;
    ++filled;
    EXPECT_TRUE((b >= 0xC0 && b <= 0xDF) || b == 0xA8) << "entry " << b;
  }
  EXPECT_EQ(filled, 33);
  EXPECT_EQ(FoldTable[0xA8], 0xB8);
  EXPECT_EQ(FoldTable[0xDA], 0xFA);  // Ъ, listed after Ы in the alphabet strings
  EXPECT_EQ(FoldTable[0xDC], 0xFC);  // Ь
}

TEST(Wildcard, RulesForStarsAndQuestionMarks) {
  struct Case {
    const char* pattern;
    const char* text;
    bool expected;
  } cases[] = {
      {"*", "", true},       {"*", "abc", true},   {"**", "", false},
      {"**", "x", true},     {"a*", "a", true},    {"a*", "ab", true},
      {"a*", "abc", true},   {"a**", "ab", true},  {"a**", "a", false},
      {"a*b", "ab", true},   {"a*b", "axb", true}, {"a*b", "axxb", true},
      {"a*b", "abc", false}, {"a*b", "ba", false}, {"??", "xy", true},
      {"??", "x", false},    {"??", "xyz", false}, {"?", "", false},
      {"", "", true},        {"", "a", false},     {"*a", "", false},
      {"*a", "ba", true},    {"a*?", "a", false},  {"a*?", "ab", true},
      {"5*", "5", true},     {"5*", "51", true},   {"5*", "15", false},
      {"*b*", "b", true},    {"*b**", "b", false}, {"*b*", "ab", true},
      {"a?c", "abc", true},  {"A", "a", false},    {"\xC0*", "\xC0\xFF", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.expected)
        << "pattern '" << c.pattern << "' text '" << c.text << "'";
    EXPECT_EQ(ReferenceWildcard(c.pattern, c.text), c.expected) << "reference disagrees";
  }
}

// Every pattern over {a, b, *, ?} up to 6 symbols against every text over {a, b} up to 7 bytes.
TEST(Wildcard, AgreesWithRecursiveRuleOnAllSmallInputs) {
  std::vector<std::string> patterns{""};
  std::vector<std::string> texts{""};
  for (size_t start = 0; patterns.back().size() < 6;) {
    size_t end = patterns.size();
    for (size_t i = start; i < end; ++i)
      for (char c : std::string("ab*?")) patterns.push_back(patterns[i] + c);
    start = end;
  }
  for (size_t start = 0; texts.back().size() < 7;) {
    size_t end = texts.size();
    for (size_t i = start; i < end; ++i)
      for (char c : std::string("ab")) texts.push_back(texts[i] + c);
    start = end;
  }
  int mismatches = 0;
  for (const std::string& p : patterns)
    for (const std::string& t : texts)
      if (WildcardMatch(p.c_str(), t.c_str()) != ReferenceWildcard(p.c_str(), t.c_str()) &&
          ++mismatches <= 10)
        ADD_FAILURE() << "pattern '" << p << "' text '" << t << "'";
  EXPECT_EQ(mismatches, 0);
}

TEST(Wildcard, AgreesWithRecursiveRuleOnRandomLongerInputs) {
  std::mt19937 random(20240611);
  const std::string patternAlphabet = "abc*?*";
  for (int round = 0; round < 20000; ++round) {
    std::string pattern, text;
    const int patternLength = static_cast<int>(random() % 12);
    const int textLength = static_cast<int>(random() % 24);
    for (int i = 0; i < patternLength; ++i) pattern += patternAlphabet[random() % 6];
    for (int i = 0; i < textLength; ++i) text += "abc"[random() % 3];
    // Half of the rounds use a text built to fit the pattern, so that true results are common.
    if (round % 2 == 0) {
      text.clear();
      for (char c : pattern) {
        if (c == '?') text += "abc"[random() % 3];
        if (c == '*')
          for (int n = static_cast<int>(random() % 3); n > 0; --n) text += "abc"[random() % 3];
        if (c != '?' && c != '*') text += c;
      }
    }
    ASSERT_EQ(WildcardMatch(pattern.c_str(), text.c_str()),
              ReferenceWildcard(pattern.c_str(), text.c_str()))
        << "pattern '" << pattern << "' text '" << text << "'";
  }
}

// Patterns that make the recursive rule explore an exponential number of splits; the answer
// must still come (a hang here fails the run by its time limit).
TEST(Wildcard, HostilePatternsStillAnswer) {
  const std::string as(250, 'a');
  EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*b", as.c_str()));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*a", as.c_str()));
  EXPECT_FALSE(WildcardMatch("*?*?*?*?*?*?*?*?*?*?**b", as.c_str()));
  EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*a*b", (as + "b").c_str()));
}

TEST(CriterionMatching, PrefixSubstringAndWildcardModes) {
  TestField prefix("Street", UpperCaseInput, 196, 1);
  EXPECT_TRUE(Matches(prefix, L"SAD", "SADOVAYA"));
  EXPECT_FALSE(Matches(prefix, L"SAD", "NOVOSADOVAYA"));
  EXPECT_FALSE(Matches(prefix, L"abc", "ab"));
  EXPECT_TRUE(Matches(prefix, L"abc", "abc"));
  EXPECT_FALSE(Matches(prefix, L"sad", "SADOVAYA"));  // no folding without FoldValue
  EXPECT_TRUE(Matches(prefix, L"  ", "  X"));         // blanks are a criterion too
  EXPECT_FALSE(Matches(prefix, L"  ", " X"));

  TestField anywhere("Phone", MatchAnywhere, 7, 1);
  EXPECT_TRUE(Matches(anywhere, L"456", "1234567"));
  EXPECT_FALSE(Matches(anywhere, L"465", "1234567"));
  EXPECT_TRUE(Matches(anywhere, L"67", "1234567"));
  // A wildcard overrides MatchAnywhere: the whole value must fit.
  EXPECT_TRUE(Matches(anywhere, L"5*", "5"));
  EXPECT_TRUE(Matches(anywhere, L"5*", "51"));
  EXPECT_FALSE(Matches(anywhere, L"5*", "15"));
  EXPECT_TRUE(Matches(anywhere, L"?2*", "1234567"));

  // A prefix criterion on an integer's decimal text.
  TestField number("Phone", 0, 7, 1);
  EXPECT_TRUE(Matches(number, L"12", "12"));
  EXPECT_TRUE(Matches(number, L"12", "120"));
  EXPECT_TRUE(Matches(number, L"12", "1234"));
  EXPECT_FALSE(Matches(number, L"12", "312"));
  // The same field first with a wildcard, then without: the mode follows the criterion.
  EXPECT_FALSE(Matches(number, L"1?", "123"));
  EXPECT_TRUE(Matches(number, L"1", "123"));
}

TEST(CriterionMatching, FoldValueFoldsBothSidesButLeavesTheValue) {
  TestField name("Name", FoldValue, 196, 1);
  // Typed in small letters; the value is in capitals: "петр" against "ПЕТРОВ".
  name.Type(L"\x043F\x0435\x0442\x0440");
  EXPECT_STREQ(name.d.criterion, "\xEF\xE5\xF2\xF0");
  name.SetValue("\xCF\xC5\xD2\xD0\xCE\xC2");
  EXPECT_TRUE(CriterionMatches(&name.d));
  EXPECT_STREQ(name.d.value, "\xCF\xC5\xD2\xD0\xCE\xC2");  // shown unchanged in the list
  // Capitals typed are folded too, as are Latin letters and Ё.
  EXPECT_TRUE(Matches(name, L"\x0401Ж", "\xB8\xE6ik"));
  EXPECT_TRUE(Matches(name, L"IVAN", "ivanov"));
  EXPECT_FALSE(Matches(name, L"\x0406", "\xB3"));  // І and і are not folded
  // Wildcards and substrings see the folded text as well.
  TestField anywhere("Name", FoldValue | MatchAnywhere, 196, 1);
  EXPECT_TRUE(Matches(anywhere, L"ova", "SADOVAYA"));
  EXPECT_TRUE(Matches(anywhere, L"s*A", "SADOVAYA"));
}

TEST(RecordMatching, EveryActiveCriterionMustHold) {
  TestField phone("Phone", MatchAnywhere, 7, 1);
  TestField name("Name", 0, 196, 2);
  TestField street("Street", 0, 196, 3);
  FieldTable table;
  table.searchMap[0] = &phone.d;
  table.searchMap[1] = &name.d;
  table.searchMap[2] = &street.d;
  table.searchCount = 3;
  phone.SetValue("1234567");
  name.SetValue("PETROV");
  street.SetValue("SADOVAYA");

  phone.Type(L"");
  name.Type(L"");
  street.Type(L"");
  EXPECT_TRUE(NoActiveCriteria(&table));

  name.Type(L"PET");
  EXPECT_FALSE(NoActiveCriteria(&table));
  EXPECT_TRUE(RecordMatches(&table));
  phone.Type(L"99");  // fails in substring mode
  EXPECT_FALSE(RecordMatches(&table));
  phone.Type(L"34");
  street.Type(L"S*Z");  // fails in wildcard mode
  EXPECT_FALSE(RecordMatches(&table));
  street.Type(L"S*A");
  EXPECT_TRUE(RecordMatches(&table));
  name.Type(L"IVAN");  // fails in prefix mode
  EXPECT_FALSE(RecordMatches(&table));
}

TEST(CriterionPreparation, ActiveLengthAndWildcardFollowTheText) {
  TestField field("Name", 0, 10, 1);
  field.Type(L"AB*");
  EXPECT_EQ(field.d.active, 1);
  EXPECT_EQ(field.d.criterionLength, 3);
  EXPECT_EQ(field.d.wildcard, 1);
  field.Type(L"A?");
  EXPECT_EQ(field.d.wildcard, 1);
  field.Type(L"AB");
  EXPECT_EQ(field.d.wildcard, 0);
  EXPECT_EQ(field.d.criterionLength, 2);
  field.Type(L"");
  EXPECT_EQ(field.d.active, 0);
  // Cyrillic is stored as Windows-1251, one byte per letter.
  field.Type(L"\x0416\x0401");
  EXPECT_STREQ(field.d.criterion, "\xC6\xA8");
  EXPECT_EQ(field.d.criterionLength, 2);
  // No more than maxLength bytes are kept.
  field.Type(L"ABCDEFGHIJKLMNOP");
  EXPECT_STREQ(field.d.criterion, "ABCDEFGHIJ");
  EXPECT_EQ(field.d.criterionLength, 10);
}

TEST(CriterionPreparation, TakesAtMost255TypedCharacters) {
  TestField field("Name", 0, 400, 1);
  std::wstring typed(300, L'Q');
  typed[255] = L'*';  // beyond what a criterion box yields, so no wildcard
  field.Type(typed.c_str());
  EXPECT_EQ(field.d.criterionLength, 255);
  EXPECT_EQ(field.d.wildcard, 0);
}

TEST(QuerySummary, ListsActiveCriteriaAsTyped) {
  TestField phone("Phone", MatchAnywhere, 7, 1);
  TestField name("Name", FoldValue, 196, 2);
  TestField street("Street", 0, 196, 3);
  FieldTable table;
  table.searchMap[0] = &phone.d;
  table.searchMap[1] = &name.d;
  table.searchMap[2] = &street.d;
  table.searchCount = 3;
  std::wstring typed[kMaxSearchFields];
  const auto type = [&](TestField& field, int position, const std::wstring& text) {
    field.Type(text.c_str());
    typed[position] = text;
  };
  type(phone, 0, L"12");
  type(name, 1, L"\x041F\x0435\x0442");  // "Пет": folded for matching, shown as typed
  type(street, 2, L"");
  EXPECT_EQ(ComposeQuerySummary(&table, L"Query: ", typed),
            L"Query: Phone: 12, Name: \x041F\x0435\x0442");
  // Without the typed texts, each criterion shows as it is kept: folded.
  EXPECT_EQ(ComposeQuerySummary(&table, L"Query: ", nullptr),
            L"Query: Phone: 12, Name: \x043F\x0435\x0442");
  type(phone, 0, L"");
  EXPECT_EQ(ComposeQuerySummary(&table, L"Q: ", typed), L"Q: Name: \x041F\x0435\x0442");
  type(name, 1, L"");
  EXPECT_EQ(ComposeQuerySummary(&table, L"Query: ", typed), L"Query: ");

  // A criterion set by hand (not from what was typed) is shown from its single-byte form.
  strcpy(street.d.criterion,
         "\xC0"
         "B");
  street.d.active = 1;
  EXPECT_EQ(ComposeQuerySummary(&table, L"Query: ", typed),
            L"Query: Street: \x0410"
            L"B");

  type(name, 1, std::wstring(250, L'x'));
  EXPECT_EQ(ComposeQuerySummary(&table, L"Query: ", typed).size(), 255u);
}

}  // namespace
