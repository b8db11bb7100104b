#include "server/text_checks.h"

#include <cctype>

namespace {

// The length of the sequence that starts with lead, or 0 for a byte no sequence starts with.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

bool ValidUtf8(const std::string& text) {
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int length = SequenceLength(lead);
    if (length == 0 || i + static_cast<size_t>(length) > size) return false;
    for (int k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0xC0) != 0x80)
        return false;
    if (length > 1) {
      const unsigned char second = static_cast<unsigned char>(text[i + 1]);
      if (lead == 0xE0 && second < 0xA0) return false;   // overlong
      if (lead == 0xED && second >= 0xA0) return false;  // a surrogate
      if (lead == 0xF0 && second < 0x90) return false;   // overlong
      if (lead == 0xF4 && second >= 0x90) return false;  // above U+10FFFF
    }
    i += static_cast<size_t>(length);
  }
  return true;
}

size_t Utf8CodePoints(const std::string& text) {
  size_t count = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

bool ValidPercentEncoding(const std::string& target) {
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') continue;
    if (i + 2 >= target.size()) return false;
    if (!isxdigit(static_cast<unsigned char>(target[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(target[i + 2])))
      return false;
    i += 2;
  }
  return true;
}
