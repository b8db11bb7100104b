// Database file variants, the unified header, and OpenDatabase: the one gate every database
// file passes before it is used.
#pragma once
#include <cstdint>
#include <string>

#include "db/disk_layout.h"

constexpr int kTitleCapacity = 51;     // wide characters, terminator included
constexpr int kMaxRecordLength = 254;  // a length byte of 0xFF ends the stream
constexpr unsigned char kEndOfRecords = 0xFF;
constexpr int kMaxPathChars = 260;  // wide paths, terminator included

enum DatabaseVariant { VariantPlain = 0, VariantZdb = 1, VariantFdb = 2 };

// By the last four characters of the name, ignoring case: ".fdb", ".zdb", else plain.
DatabaseVariant DatabaseVariantOf(const wchar_t* path);

// The file names Find DB looks for: at least four characters, ending in ".zdb", ".fdb" or
// ".db", ignoring case. name is a file's name without its directory.
bool IsDatabaseFileName(const std::wstring& name);

struct DatabaseHeader {
  int8_t version = 0;
  int8_t fieldCount = 0;
  int32_t recordCount = 0;
  wchar_t title[kTitleCapacity] = {};
  uint16_t headerSize = 0;
  int8_t numberWidth = 0;  // ShortHeader files only
};

enum OpenResult {
  OpenOk = 0,
  OpenFileFailed = 1,
  OpenStreamFailed = 2,
  OpenShortHeader = 3,
  OpenBadVersion = 4,
  OpenNotFound = 10,
  OpenIsDirectory = 11,
};

// Validates the file and fills header and viaGz on OpenOk; on any other result both are left
// exactly as they were. Nothing stays open on any path.
OpenResult OpenDatabase(const wchar_t* path, DatabaseHeader* header, bool* viaGz);

// Words for a refusal, for command-line messages ("no such file", "is a directory", ...).
const char* DescribeOpenResult(OpenResult result);

// The same words with the detail a message wants: for OpenBadVersion it reads the version byte
// again and names it ("unsupported version 12"); a plain file that failed to open because an
// exclusive holder has it is called busy.
std::string DescribeOpenFailure(const wchar_t* path, OpenResult result);
