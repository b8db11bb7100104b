// Checks of text that a request brings, before anything else reads it.
#pragma once
#include <string>

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool ValidUtf8(const std::string& text);
// The code points of valid UTF-8 text.
size_t Utf8CodePoints(const std::string& text);
// Every '%' of a URL's target starts two hexadecimal digits.
bool ValidPercentEncoding(const std::string& target);
