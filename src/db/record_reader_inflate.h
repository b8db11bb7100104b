// The gzip stream under a compressed database's records, for record_reader.cpp. It reads as
// zlib's gzread does (a file without the gzip magic passes through as it stands; members that
// follow one another read as one stream; bytes after a member that are no new member are
// ignored; a stream cut short ends where its data ends), except that it never drops what it
// inflated before damage: every byte inflated before a broken deflate block, a bad check value
// or the cut is delivered.
#pragma once
#include <cstddef>

// Which library inflates. ISA-L's inflate is more than twice as fast as zlib's; zlib stays for
// builds without ISA-L (VOSTREL_INFLATE=zlib) and decides every member that ISA-L does not
// finish cleanly, so both engines deliver the same bytes.
enum InflateEngine { InflateWithZlib = 0, InflateWithIsal = 1 };

// The engine streams opened from now on use: the build's choice unless a test picked another.
InflateEngine CurrentInflateEngine();
bool InflateEngineBuiltIn(InflateEngine engine);
// For differential tests: streams opened afterwards use engine (when built in).
void SetInflateEngineForTests(InflateEngine engine);
void ResetInflateEngineForTests();

struct GzStream;
// Opens the file (shared with every other holder) for reading; nullptr when it cannot be opened
// or no memory is left.
GzStream* OpenGzStream(const wchar_t* path);
// Up to count bytes of the decompressed stream; fewer only at its end, at damage or at a cut.
size_t ReadGzStream(GzStream* gz, unsigned char* out, size_t count);
void CloseGzStream(GzStream* gz);
