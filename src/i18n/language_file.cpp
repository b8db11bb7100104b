// Reading "vostrel.lng": section headers "[NAME]" and entries "key=value", Windows-1251, read
// line by line with a 512-byte buffer. Nothing is cached; every lookup reads the section again.
#include "i18n/language_file.h"

#include <cstring>

#include "db/codepage.h"
#include "db/file_system.h"

namespace {

// Reads the file piece by piece as fgets hands it over (at most 511 bytes). A line longer than
// that arrives in several pieces; only the first piece of a line is a line of the file, the
// rest of it is passed over. So a long value can never smuggle in a header or an entry.
struct LineReader {
  FILE* file;
  char text[kLanguageLineBuffer];
  long start;        // file position of the piece in text
  bool atLineStart;  // the next piece begins a line
};

void StartReading(LineReader* reader, FILE* file, long position) {
  reader->file = file;
  reader->atLineStart = true;
  reader->start = position;
  fseek(file, position, SEEK_SET);
}

// Whether the piece that fgets just read (read bytes of it) finished its line: fgets stops at a
// line feed, at the end of the file or when the buffer is full. Positions are counted instead of
// string lengths, so that a NUL byte inside a line cannot confuse the line count.
bool PieceEndsLine(const char* piece, long read) {
  return read < kLanguageLineBuffer - 1 || piece[kLanguageLineBuffer - 2] == '\n';
}

// The next line of the file (its first piece) in reader->text. False at the end of the file.
bool NextLine(LineReader* reader) {
  for (;;) {
    reader->start = ftell(reader->file);
    if (!fgets(reader->text, kLanguageLineBuffer, reader->file)) return false;
    bool isLine = reader->atLineStart;
    reader->atLineStart = PieceEndsLine(reader->text, ftell(reader->file) - reader->start);
    if (isLine) return true;
  }
}

// Skips what remains of the line last returned by NextLine; returns the position of the
// following line.
long PositionAfterLine(LineReader* reader) {
  char rest[kLanguageLineBuffer];
  while (!reader->atLineStart) {
    long before = ftell(reader->file);
    if (!fgets(rest, kLanguageLineBuffer, reader->file)) break;
    reader->atLineStart = PieceEndsLine(rest, ftell(reader->file) - before);
  }
  return ftell(reader->file);
}

// The language name of a header line: between the leading "[" and the first "]". False when
// the line is no header or the name breaks the 14-character limit of the format.
bool HeaderName(const char* line, const char** name, size_t* length) {
  if (line[0] != '[') return false;
  const char* close = strchr(line, ']');
  if (!close) return false;
  *name = line + 1;
  *length = static_cast<size_t>(close - line - 1);
  return *length <= static_cast<size_t>(kLanguageNameMaxChars);
}

}  // namespace

bool OpenLanguageFileAt(LanguageFile* lang, const wchar_t* fullPath) {
  lang->file = OpenFileWide(fullPath, L"rb");
  lang->sectionStart = 0;
  lang->sectionEnd = 0;
  return lang->file != nullptr;
}

int SelectLanguageSection(LanguageFile* lang, const wchar_t* name) {
  if (!lang->file) return -1;
  char wanted[kLanguageNameCapacity * 2];
  size_t wantedLength = WideToSingleByte(name, wanted, sizeof wanted);
  // A name longer than the format allows never names a section.
  if (wantedLength > static_cast<size_t>(kLanguageNameMaxChars)) return -1;

  LineReader reader;
  StartReading(&reader, lang->file, 0);
  while (NextLine(&reader)) {
    const char* found;
    size_t length;
    if (!HeaderName(reader.text, &found, &length)) continue;
    if (length != wantedLength || memcmp(found, wanted, length) != 0) continue;

    long start = PositionAfterLine(&reader);
    long end = start;
    for (;;) {
      if (!NextLine(&reader)) {
        end = ftell(lang->file);
        break;
      }
      if (reader.text[0] == '[') {
        end = reader.start;
        break;
      }
    }
    lang->sectionStart = start;
    lang->sectionEnd = end;
    return 0;
  }
  return -1;
}

int LookupLanguageString(LanguageFile* lang, int key, wchar_t* out) {
  out[0] = L'\0';
  if (!lang->file || lang->sectionEnd <= lang->sectionStart) return 1;
  char prefix[16];
  snprintf(prefix, sizeof prefix, "%i=", key);
  // The "=" belongs to the key: key 90 must not take the line of key 900.
  size_t prefixLength = strlen(prefix);

  LineReader reader;
  StartReading(&reader, lang->file, lang->sectionStart);
  while (NextLine(&reader) && reader.start < lang->sectionEnd) {
    if (strncmp(reader.text, prefix, prefixLength) != 0) continue;
    const char* value = reader.text + prefixLength;
    size_t length = strcspn(value, "\r");
    SingleByteToWide(value, length, out, kLanguageValueCapacity);
    return 0;
  }
  return 1;
}

void ForEachLanguageName(LanguageFile* lang,
                         const std::function<void(const wchar_t* name)>& visit) {
  if (!lang->file) return;
  LineReader reader;
  StartReading(&reader, lang->file, 0);
  while (NextLine(&reader)) {
    const char* name;
    size_t length;
    if (!HeaderName(reader.text, &name, &length)) continue;
    wchar_t wide[kLanguageValueCapacity];
    SingleByteToWide(name, length, wide, kLanguageValueCapacity);
    visit(wide);
  }
}

void CloseLanguageFile(LanguageFile* lang) {
  if (lang->file) fclose(lang->file);
  lang->file = nullptr;
  lang->sectionStart = 0;
  lang->sectionEnd = 0;
}

bool TakeTranslation(const wchar_t* text, wchar_t* dst, size_t capacity) {
  if (!text || text[0] == L'\0' || capacity == 0) return false;
  size_t length = wcslen(text);
  if (length > capacity - 1) length = capacity - 1;
  wmemcpy(dst, text, length);
  dst[length] = L'\0';
  return true;
}
