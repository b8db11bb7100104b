#include "i18n/format_text.h"

#include <cwchar>

namespace {

struct Writer {
  wchar_t* out;
  size_t capacity;
  size_t length;
  void Put(wchar_t c) {
    if (length + 1 < capacity) out[length++] = c;
  }
  void Put(const wchar_t* text) {
    for (; text && *text; ++text) Put(*text);
  }
};

}  // namespace

size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* pattern,
                  std::initializer_list<TextArgument> arguments) {
  if (!out || capacity == 0) return 0;
  Writer writer{out, capacity, 0};
  const TextArgument* next = arguments.begin();
  for (const wchar_t* p = pattern; p && *p; ++p) {
    if (*p != L'%') {
      writer.Put(*p);
      continue;
    }
    const wchar_t conversion = p[1];
    if (conversion == L'%') {
      writer.Put(L'%');
      ++p;
      continue;
    }
    const bool wantsInteger = conversion == L'i' || conversion == L'd';
    const bool wantsString = conversion == L's';
    if (next != arguments.end() && ((wantsInteger && next->kind == TextArgument::Integer) ||
                                    (wantsString && next->kind == TextArgument::String))) {
      if (wantsInteger) {
        wchar_t number[24];
        swprintf(number, sizeof number / sizeof number[0], L"%lld", next->integer);
        writer.Put(number);
      } else {
        writer.Put(next->string);
      }
      ++next;
      ++p;
      continue;
    }
    writer.Put(L'%');
  }
  out[writer.length] = L'\0';
  return writer.length;
}
