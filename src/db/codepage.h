// Single-byte text of database, language and list files is Windows-1251. Every conversion
// between it and wide text goes through these functions, on every platform, so that a desktop
// whose ANSI code page is not Cyrillic still reads Russian text correctly.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The code page of every single-byte text the program reads or writes.
constexpr unsigned kSingleByteCodePage = 1251;

// Converts up to srcLen bytes (stopping early at a NUL) into dst, which holds dstCapacity
// wide characters including the terminator. Always terminates dst when dstCapacity > 0 and
// never writes past it. Returns the number of characters written, without the terminator.
size_t SingleByteToWide(const char* src, size_t srcLen, wchar_t* dst, size_t dstCapacity);
std::wstring SingleByteToWide(std::string_view src);
// The count bytes of src, which hold no NUL, into dst (room for count + 1), terminated.
void WidenSingleBytes(const char* src, size_t count, wchar_t* dst);

// Converts wide text to Windows-1251 into dst (dstCapacity bytes including the terminator).
// Characters that Windows-1251 cannot hold become '?'. Returns bytes written without the NUL.
size_t WideToSingleByte(const wchar_t* src, char* dst, size_t dstCapacity);
// Strict form: false when any character cannot be held (out is then unspecified).
bool WideToSingleByteStrict(std::wstring_view src, std::string* out);

// The wide character for one Windows-1251 byte (0x98, the one unassigned byte, maps to U+FFFD).
wchar_t SingleByteCharToWide(unsigned char c);

// What an upper-case edit box makes of a typed letter: Latin and Cyrillic small letters become
// capitals (Windows-1251's Cyrillic, Ё, Ґ and the other letters of the code page included);
// anything else stays. Spelled out so that the result never depends on the machine's locale.
wchar_t UpperCaseAsTyped(wchar_t c);
// Two names equal regardless of the case of their Latin and Cyrillic letters.
bool SameNameIgnoringCase(std::wstring_view a, std::wstring_view b);

// A path given on the command line as wide text for the file functions, without losing a byte:
// on POSIX a name is bytes, and one that is not UTF-8 (say, Windows-1251) must still open the
// file it names. Each byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC80..U+DCFF, which PathToNative turns back into that byte. On Windows the command line
// is wide already and this is Utf8ToWide.
std::wstring PathFromArgument(std::string_view bytes);

// UTF-8 <-> wide (UTF-16 on Windows, UTF-32 elsewhere). Invalid UTF-8 becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view src);
std::string WideToUtf8(std::wstring_view src);
