// The gzip stream under a compressed database's records, for record_reader.cpp. It reads as
// zlib's gzread does (a file without the gzip magic passes through as it stands; members that
// follow one another read as one stream; bytes after a member that are no new member are
// ignored; a stream cut short ends where its data ends), except that it never drops what it
// inflated before damage: every byte inflated before a broken deflate block, a bad check value
// or the cut is delivered.
#pragma once
#include <cstddef>
#include <cstdint>

#include "db/file_system.h"
#include "db/record_reader.h"

struct GzStream;
// Opens the file (shared with every other holder) for reading; nullptr when it cannot be opened
// or no memory is left.
// engine is the library that inflates it (DefaultInflateEngine() where engine is not built in).
GzStream* OpenGzStream(const wchar_t* path, InflateEngine engine = DefaultInflateEngine());
// Up to count bytes of the decompressed stream; fewer only at its end, at damage or at a cut.
size_t ReadGzStream(GzStream* gz, unsigned char* out, size_t count);
void CloseGzStream(GzStream* gz);

// The compressed bytes at offset in the stream's file, read without moving the stream's place
// (for threads that inflate members of a series beside it).
size_t ReadGzFileAt(GzStream* gz, uint64_t offset, void* buffer, size_t count);

// What stands at offset of the stream's file: its end, a member of the series the writer makes
// of a large file (a header of kBlockedHeaderLength bytes whose extra field holds the member's
// length in the file, *length), or anything else (another kind of member, damage, garbage).
enum MemberAt { MemberEnd, MemberBlocked, MemberOther };
constexpr size_t kBlockedHeaderLength = 20;
MemberAt LookAtMember(GzStream* gz, uint64_t offset, uint32_t* length);
// From now on the stream reads on from offset of its file as it would right after a member that
// ended there.
void ContinueGzStreamAt(GzStream* gz, uint64_t offset);

// Inflates whole members of a series, one at a time, with the stream's engine; one per thread.
struct MemberInflater;
MemberInflater* NewMemberInflater(const GzStream* gz);
void FreeMemberInflater(MemberInflater* inflater);
// The member's length bytes (as LookAtMember found them) inflated into out: true, with
// *produced, only when the member is whole and sound (zlib takes all of it), its data ends
// exactly with its trailer, its check value and length are right and room held it all. Anything
// else is for the stream to read as it reads any member (ContinueGzStreamAt).
bool InflateMember(MemberInflater* inflater, const unsigned char* member, size_t length,
                   unsigned char* out, size_t room, size_t* produced);

// The stream's file, for looking at it (its stamp), never for reading.
const ExclusiveFile* GzStreamFile(const GzStream* gz);
