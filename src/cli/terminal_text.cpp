#include "cli/terminal_text.h"

#include "db/codepage.h"

std::string TerminalSafe(const std::wstring& text) {
  std::wstring safe = text;
  for (wchar_t& c : safe) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) c = L'?';
  }
  return WideToUtf8(safe);
}

std::string TerminalSafeUtf8(const std::string& utf8) { return TerminalSafe(Utf8ToWide(utf8)); }
