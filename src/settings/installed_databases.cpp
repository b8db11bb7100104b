// The installed-database list and the line format of "vostrel.ini".
#include "settings/installed_databases.h"

#include <cstring>

namespace {

// Copies at most capacity - 1 bytes of text (length bytes given) and terminates.
void CopyCut(char* dst, size_t capacity, const char* text, size_t length) {
  if (length > capacity - 1) length = capacity - 1;
  memcpy(dst, text, length);
  dst[length] = '\0';
}

// The line that FormatInstalledDatabaseLine would write for this path and name is path, ";",
// name, CR LF; a line of 6 characters or fewer is skipped when read.
constexpr size_t kShortestLine = 7;
constexpr size_t kLineDecoration = 3;  // ";" and CR LF

}  // namespace

void AppendInstalledDatabase(InstalledDatabaseListType* list, const char* name, const char* path) {
  // The callers keep the count below 50; a table that is full stays as it is.
  if (list->count >= kMaxInstalledDatabases) return;
  InstalledDatabase& entry = list->entries[list->count];
  CopyCut(entry.name, sizeof entry.name, name, strnlen(name, sizeof entry.name));
  CopyCut(entry.path, sizeof entry.path, path, strnlen(path, sizeof entry.path));
  ++list->count;
}

bool ParseInstalledDatabaseLine(const char* line, InstalledDatabase* entry) {
  // The line as read, line end included.
  size_t lineLength = strnlen(line, kIniLineBuffer);
  if (lineLength < kShortestLine) return false;
  const char* semicolon = static_cast<const char*>(memchr(line, ';', lineLength));
  if (!semicolon) return false;
  size_t pathLength = static_cast<size_t>(semicolon - line);
  // Every user of the path converts it into 260 wide characters: a longer one cannot work.
  if (pathLength > static_cast<size_t>(kMaxUsablePathChars)) return false;
  const char* name = semicolon + 1;
  size_t nameLength = strcspn(name, "\r");
  // Text behind a CR in the middle of a line is not part of the entry; an entry left too short
  // to be written back as a line of 7 characters would vanish at the next save and reload.
  if (pathLength + nameLength + kLineDecoration < kShortestLine) return false;
  CopyCut(entry->path, sizeof entry->path, line, pathLength);
  // Names are cut to the 63 characters an entry holds.
  CopyCut(entry->name, sizeof entry->name, name, nameLength);
  return true;
}

std::string FormatInstalledDatabaseLine(const InstalledDatabase& entry) {
  std::string line(entry.path, strnlen(entry.path, sizeof entry.path));
  line += ';';
  line.append(entry.name, strnlen(entry.name, sizeof entry.name));
  line += "\r\n";
  return line;
}

int ReadInstalledDatabases(InstalledDatabaseListType* list, FILE* file,
                           void (*visit)(void* context, int index), void* context) {
  list->count = 0;
  // Every piece that fgets hands over counts as a line, also the rest of a line longer than
  // the buffer: such a rest is usually skipped for want of a ";".
  char line[kIniLineBuffer];
  while (list->count < kMaxInstalledDatabases && fgets(line, sizeof line, file)) {
    InstalledDatabase& entry = list->entries[list->count];
    if (!ParseInstalledDatabaseLine(line, &entry)) continue;
    int index = list->count++;
    if (visit) visit(context, index);
  }
  return list->count;
}
