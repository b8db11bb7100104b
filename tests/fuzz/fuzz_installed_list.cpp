// Loads an installed-database list file made of arbitrary bytes; every entry must be bounded
// and must survive a save and reload unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/installed_databases.h"

static void CheckEntry(void* context, int index) {
  const InstalledDatabase& e = static_cast<InstalledDatabaseListType*>(context)->entries[index];
  if (strnlen(e.name, kDatabaseNameCapacity) >= kDatabaseNameCapacity) abort();
  if (strnlen(e.path, kDatabasePathCapacity) > kMaxUsablePathChars) abort();
  // What a save writes must load back as the same entry.
  std::string line = FormatInstalledDatabaseLine(e);
  InstalledDatabase again;
  if (!ParseInstalledDatabaseLine(line.c_str(), &again)) abort();
  if (strcmp(again.path, e.path) != 0 || strcmp(again.name, e.name) != 0) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!file) return 0;
  InstalledDatabaseListType list = {};
  int added = ReadInstalledDatabases(&list, file, CheckEntry, &list);
  fclose(file);
  if (added < 0 || added > kMaxInstalledDatabases || added != list.count) abort();
  return 0;
}
