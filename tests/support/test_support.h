// Helpers shared by the tests: a private temporary directory, fixture database files built with
// the project's own writer, byte-level file access, and running vostrel-cli with its output
// captured. Paths are wide strings, as the engine takes them; on POSIX they are UTF-8 on disk.
#pragma once
#include <random>
#include <string>
#include <vector>

#include "db/database_writer.h"
#include "db/file_system.h"
#include "search/scan_loop.h"

// A fresh empty directory under the system's temporary folder (under Wine: the private prefix's
// one), removed with everything in it when the object goes out of scope. Tests write only here.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::wstring path;  // no trailing separator; empty when the directory could not be made
  // path, the platform's separator, then name (which may contain further separators).
  std::wstring File(const std::wstring& name) const;
};

// Windows-1251 bytes of wide text, e.g. Cp1251(L"ПЕТРОВ"). Characters the code page lacks
// become '?'.
std::string Cp1251(const std::wstring& text);

// Writer options for a variant, with a title given as wide text.
DatabaseWriterOptions FixtureOptions(DatabaseVariant variant, const std::wstring& title = L"Test",
                                     bool compress = true);

// One descriptor for ".fdb" fixtures (all other members zero).
FieldDescriptor MakeField(const char* name, int type, int flags, int size, int searchIndex,
                          int displayIndex, int detailIndex, int maxLength, int editWidth = 70,
                          int columnWidth = 50);

// Three subscribers in the built-in schema (Phone, Name, Street, House, Flat), Cyrillic text in
// Windows-1251: 1234567 ПЕТРОВ А.В., 2000001 ИВАНОВА М.С., 7654321 СИДОРОВ П.П.
std::vector<DatabaseRecord> SampleRecords();
// count subscribers of the built-in schema with random 7-digit phones and names from a small
// pool (so that a name's beginning matches many of them).
std::vector<DatabaseRecord> RandomSubscribers(std::mt19937& random, int count);
// Damages the plain .db file bytes (count records) in its second half, one way per kind:
// 0 none, 1 cut off, 2 a length of 0, 3 the end mark early, 4 a record count the scan runs past.
void DamageSecondHalf(std::string* bytes, int count, int kind, std::mt19937& random);

// The wildcard rule as it reads, recursion and all ('*' any run, '?' any one byte, the rest
// itself; the whole value): the reference the matcher and the scan must agree with.
bool ReferenceWildcard(const char* pattern, const char* text);

// Writes a database with the writer. On failure adds a GoogleTest failure naming the writer's
// error and returns false.
bool WriteFixture(const std::wstring& path, const DatabaseWriterOptions& options,
                  const std::vector<DatabaseRecord>& records);

// Raw bytes of a file ("" when it cannot be read); the decompressed bytes of a gzip file (a
// plain file's bytes come through unchanged); writing raw bytes.
std::string ReadFileBytes(const std::wstring& path);
std::string ReadGzBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Makes one directory (its parent must exist).
bool MakeDirectory(const std::wstring& path);
// Names (not paths) of the entries of a directory, sorted; empty when it cannot be read.
std::vector<std::wstring> ListDirectory(const std::wstring& path);

struct CliResult {
  int exitCode = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
};
// Runs the vostrel-cli built with these tests with UTF-8 arguments, stdin empty, and captures
// stdout, stderr and the exit code. Under Wine the Windows build of the CLI is run.
CliResult RunCli(const std::vector<std::string>& args);

// The repository's vostrel.lng (under Wine, as the DOS path Wine gives the Unix one).
std::wstring RepositoryLanguageFile();
