// Formatting of the replaceable texts. Their patterns come from the language file, so a
// translation with the wrong placeholders must not be able to read arguments that are not
// there or of another type: only %i, %d and %s are filled, each from the next argument and only
// when that argument has the matching kind; anything else is copied as it stands.
#pragma once
#include <cstddef>
#include <initializer_list>

struct TextArgument {
  enum Kind { Integer, String } kind;
  long long integer;
  const wchar_t* string;
  TextArgument(int value) : kind(Integer), integer(value), string(nullptr) {}
  TextArgument(const wchar_t* value) : kind(String), integer(0), string(value) {}
};

// Writes the formatted text into out (capacity characters, terminator included), cutting it
// when it is longer. Returns the number of characters written.
size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* pattern,
                  std::initializer_list<TextArgument> arguments);
