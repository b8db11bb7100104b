#include "cli/terminal_text.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "db/codepage.h"

std::string TerminalSafe(const std::wstring& text) {
  std::wstring safe = text;
  for (wchar_t& c : safe) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) c = L'?';
  }
  return WideToUtf8(safe);
}

std::string TerminalSafeUtf8(const std::string& utf8) { return TerminalSafe(Utf8ToWide(utf8)); }

bool StreamIsTerminal(FILE* stream) {
#ifdef _WIN32
  // _isatty only asks for a character device, and NUL is one: "2>NUL" would get a progress bar
  // drawn into nothing at the cost of a write per update. Only a console has a console mode.
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}
