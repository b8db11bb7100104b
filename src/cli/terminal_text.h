// Text that a database file or a command line controls (titles, field names, refusal reasons
// naming them, file names and other arguments in messages) is shown with each control
// character replaced by '?', so a crafted file or name cannot clear the screen, retitle the
// terminal, move the cursor or split a message line when vostrel-cli prints it.
#pragma once
#include <cstdio>
#include <string>

std::string TerminalSafe(const std::wstring& text);
// The same for UTF-8 text.
std::string TerminalSafeUtf8(const std::string& utf8);

// Whether a person reads the stream on a terminal, which gets the progress bar and masked
// control characters. On Windows that is a console; a character device that is not one (NUL,
// a serial port) takes the output as a file does.
bool StreamIsTerminal(FILE* stream);
