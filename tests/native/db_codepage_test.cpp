// Windows-1251 and UTF-8 conversions.
#include <gtest/gtest.h>

#include <string>

#include "db/codepage.h"

TEST(DbCodepage, LettersAndKnownSymbolsMapToTheirCodePoints) {
  // The alphabet block, the two Yo letters and a few symbols that differ between Cyrillic
  // code pages (KOI8-R or CP866 tables would get them wrong).
  EXPECT_EQ(SingleByteCharToWide(0xC0), static_cast<wchar_t>(0x0410));  // А
  EXPECT_EQ(SingleByteCharToWide(0xDF), static_cast<wchar_t>(0x042F));  // Я
  EXPECT_EQ(SingleByteCharToWide(0xE0), static_cast<wchar_t>(0x0430));  // а
  EXPECT_EQ(SingleByteCharToWide(0xFF), static_cast<wchar_t>(0x044F));  // я
  EXPECT_EQ(SingleByteCharToWide(0xA8), static_cast<wchar_t>(0x0401));  // Ё
  EXPECT_EQ(SingleByteCharToWide(0xB8), static_cast<wchar_t>(0x0451));  // ё
  EXPECT_EQ(SingleByteCharToWide(0xB9), static_cast<wchar_t>(0x2116));  // №
  EXPECT_EQ(SingleByteCharToWide(0x88), static_cast<wchar_t>(0x20AC));  // €
  EXPECT_EQ(SingleByteCharToWide(0x96), static_cast<wchar_t>(0x2013));  // –
  EXPECT_EQ(SingleByteCharToWide(0xA0), static_cast<wchar_t>(0x00A0));
  EXPECT_EQ(SingleByteCharToWide(0x98), static_cast<wchar_t>(0xFFFD));  // unassigned
  EXPECT_EQ(SingleByteCharToWide('Z'), L'Z');
}

TEST(DbCodepage, EveryAssignedByteSurvivesTheRoundTrip) {
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;
    const wchar_t w[2] = {SingleByteCharToWide(static_cast<unsigned char>(b)), 0};
    std::string back;
    ASSERT_TRUE(WideToSingleByteStrict(std::wstring_view(w, 1), &back)) << "byte " << b;
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(back[0]), b) << "byte " << b;
  }
}

TEST(DbCodepage, BoundedConversionStopsAtNulLengthAndCapacity) {
  const char src[] = "\xCF\xC5\xD2\0XYZ";  // ПЕТ, NUL, XYZ
  wchar_t dst[8];
  EXPECT_EQ(SingleByteToWide(src, 7, dst, 8), 3u);
  EXPECT_EQ(std::wstring(dst), L"ПЕТ");

  EXPECT_EQ(SingleByteToWide(src, 2, dst, 8), 2u);  // srcLen before the NUL
  EXPECT_EQ(std::wstring(dst), L"ПЕ");

  wchar_t small[3] = {L'x', L'x', L'x'};
  EXPECT_EQ(SingleByteToWide("ABCDEF", 6, small, 3), 2u);  // room for two and the terminator
  EXPECT_EQ(std::wstring(small), L"AB");

  wchar_t one[1] = {L'x'};
  EXPECT_EQ(SingleByteToWide("ABC", 3, one, 1), 0u);
  EXPECT_EQ(one[0], L'\0');

  EXPECT_EQ(SingleByteToWide(std::string_view("\xC0\xC1\0\xC2", 4)), L"АБ");
}

TEST(DbCodepage, WideToSingleByteReplacesWhatTheCodePageLacks) {
  char out[16];
  EXPECT_EQ(WideToSingleByte(L"Ж\x4E2Dz", out, sizeof out), 3u);
  EXPECT_EQ(std::string(out), "\xC6?z");

  char tiny[3];
  EXPECT_EQ(WideToSingleByte(L"ABCDEF", tiny, sizeof tiny), 2u);
  EXPECT_EQ(std::string(tiny), "AB");

  std::string strict;
  EXPECT_TRUE(WideToSingleByteStrict(L"Москва №5", &strict));
  EXPECT_EQ(strict,
            "\xCC\xEE\xF1\xEA\xE2\xE0 \xB9"
            "5");
  EXPECT_FALSE(WideToSingleByteStrict(L"Москва \x4E2D", &strict));
  EXPECT_FALSE(WideToSingleByteStrict(L"\xFFFD", &strict));  // never becomes byte 0x98
}

TEST(DbCodepage, Utf8RoundTripsAndRejectsMalformedInput) {
  const std::string utf8 = "Москва \xF0\x9F\x93\x9E ok";  // with a character beyond the BMP
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(wide.substr(0, 6), L"Москва");

  const std::wstring bad = Utf8ToWide(
      "a\xC0\xAF"
      "b\xE2\x82"
      "c\xFF");
  // Overlong, cut-off and impossible sequences each give one replacement; letters survive.
  EXPECT_EQ(bad, std::wstring(L"a\xFFFD\xFFFD"
                              L"b\xFFFD"
                              L"c\xFFFD"));
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), std::wstring(L"\xFFFD"));  // an encoded surrogate
}
