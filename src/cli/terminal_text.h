// Text that a database file controls (titles, field names, refusal reasons naming them) is
// shown with each control character replaced by '?', so a crafted file cannot clear the
// screen, retitle the terminal or move the cursor when vostrel-cli prints it.
#pragma once
#include <string>

std::string TerminalSafe(const std::wstring& text);
// The same for UTF-8 text.
std::string TerminalSafeUtf8(const std::string& utf8);
