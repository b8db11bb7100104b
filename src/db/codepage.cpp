// Windows-1251 and UTF-8 conversions. The table is our own so that conversions give the same
// result on every platform, whatever the machine's ANSI code page happens to be.
#include "db/codepage.h"

#include <cstdint>

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Bytes 0x80 to 0xBF; 0xC0 to 0xFF are the 64 letters U+0410 to U+044F in order, and below
// 0x80 the bytes are ASCII.
constexpr uint16_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98: 0x98 is unassigned
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// The byte for a wide character, or -1 when Windows-1251 has none.
int WideCharToByte(uint32_t c) {
  if (c < 0x80) return static_cast<int>(c);
  if (c >= 0x0410 && c <= 0x044F) return static_cast<int>(c - 0x0410 + 0xC0);
  if (c == kReplacement) return -1;  // stands for the unassigned byte; never write it back
  for (int i = 0; i < 64; ++i) {
    if (kHighHalf[i] == c) return 0x80 + i;
  }
  return -1;
}

// Appends one code point in the platform's wide form (UTF-16 where wchar_t has 16 bits).
void AppendCodePoint(std::wstring* out, uint32_t cp) {
  if (sizeof(wchar_t) == 2 && cp > 0xFFFF) {
    cp -= 0x10000;
    out->push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(static_cast<wchar_t>(cp));
  }
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsSurrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

}  // namespace

wchar_t UpperCaseAsTyped(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 0x20);
  if (c >= 0x0430 && c <= 0x044F) return static_cast<wchar_t>(c - 0x20);  // а..я
  if (c >= 0x0450 && c <= 0x045F) return static_cast<wchar_t>(c - 0x50);  // ѐ ё ђ ... џ
  if (c == 0x0491) return 0x0490;                                         // ґ
  return c;
}

bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCaseAsTyped(a[i]) != UpperCaseAsTyped(b[i])) return false;
  }
  return true;
}

// Every byte's wide character at once: a row of a city's listing converts some thirty bytes,
// and a branch per byte on which half of the code page it falls in was mispredicted at every
// change between Latin digits and Cyrillic letters.
struct WideOfByte {
  wchar_t of[256];
  constexpr WideOfByte() : of() {
    for (int c = 0; c < 256; ++c)
      of[c] = c < 0x80    ? static_cast<wchar_t>(c)
              : c >= 0xC0 ? static_cast<wchar_t>(0x0410 + (c - 0xC0))
                          : static_cast<wchar_t>(kHighHalf[c - 0x80]);
  }
};
constexpr WideOfByte kWideOfByte;

wchar_t SingleByteCharToWide(unsigned char c) { return kWideOfByte.of[c]; }

void WidenSingleBytes(const char* src, size_t count, wchar_t* dst) {
  for (size_t n = 0; n < count; ++n) dst[n] = kWideOfByte.of[static_cast<unsigned char>(src[n])];
  dst[count] = L'\0';
}

size_t SingleByteToWide(const char* src, size_t srcLen, wchar_t* dst, size_t dstCapacity) {
  if (dst == nullptr || dstCapacity == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    while (n < srcLen && n + 1 < dstCapacity && src[n] != '\0') {
      dst[n] = kWideOfByte.of[static_cast<unsigned char>(src[n])];
      ++n;
    }
  }
  dst[n] = L'\0';
  return n;
}

std::wstring SingleByteToWide(std::string_view src) {
  std::wstring out;
  out.reserve(src.size());
  for (char c : src) {
    if (c == '\0') break;
    out.push_back(SingleByteCharToWide(static_cast<unsigned char>(c)));
  }
  return out;
}

size_t WideToSingleByte(const wchar_t* src, char* dst, size_t dstCapacity) {
  if (dst == nullptr || dstCapacity == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    for (const wchar_t* p = src; *p != L'\0' && n + 1 < dstCapacity; ++p) {
      int b = WideCharToByte(static_cast<uint32_t>(*p));
      // A surrogate pair is one character that Windows-1251 cannot hold: one '?' for both.
      if (sizeof(wchar_t) == 2 && *p >= 0xD800 && *p <= 0xDBFF && p[1] >= 0xDC00 &&
          p[1] <= 0xDFFF) {
        ++p;
      }
      dst[n++] = b < 0 ? '?' : static_cast<char>(b);
    }
  }
  dst[n] = '\0';
  return n;
}

bool WideToSingleByteStrict(std::wstring_view src, std::string* out) {
  out->clear();
  out->reserve(src.size());
  for (wchar_t c : src) {
    int b = WideCharToByte(static_cast<uint32_t>(c));
    if (b < 0) return false;
    out->push_back(static_cast<char>(b));
  }
  return true;
}

namespace {

// The UTF-8 decoder behind both conversions: invalid bytes become U+FFFD, or with keepBytes
// (where wchar_t holds 32 bits) the lone surrogate U+DC00 + byte.
std::wstring DecodeUtf8(std::string_view src, bool keepBytes);

}  // namespace

std::wstring Utf8ToWide(std::string_view src) { return DecodeUtf8(src, false); }

std::wstring PathFromArgument(std::string_view bytes) {
#ifdef _WIN32
  return DecodeUtf8(bytes, false);
#else
  return DecodeUtf8(bytes, sizeof(wchar_t) == 4);
#endif
}

namespace {

std::wstring DecodeUtf8(std::string_view src, bool keepBytes) {
  std::wstring out;
  out.reserve(src.size());
  size_t i = 0;
  const size_t n = src.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(src[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    int extra = 0;
    uint32_t cp = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(keepBytes ? static_cast<wchar_t>(0xDC00 + lead) : kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (static_cast<unsigned char>(src[j]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(src[j]) & 0x3F);
    }
    if (!ok || cp < minimum || cp > 0x10FFFF || IsSurrogate(cp)) {
      if (keepBytes) {
        // Every byte of the bad sequence is kept; decoding goes on after its lead.
        out.push_back(static_cast<wchar_t>(0xDC00 + lead));
        ++i;
        continue;
      }
      // One replacement for the bad sequence; resynchronise at the byte that broke it.
      out.push_back(kReplacement);
      i = j;
      continue;
    }
    AppendCodePoint(&out, cp);
    i = j;
  }
  return out;
}

}  // namespace

std::string WideToUtf8(std::wstring_view src) {
  std::string out;
  out.reserve(src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    uint32_t cp = static_cast<uint32_t>(src[i]);
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < src.size()) {
      const uint32_t low = static_cast<uint32_t>(src[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (IsSurrogate(cp) || cp > 0x10FFFF) cp = kReplacement;
    AppendUtf8(&out, cp);
  }
  return out;
}
