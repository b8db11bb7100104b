// The criteria labels and edit boxes on the Search page and the columns of the result list
// that follow the selected database's schema.
#pragma once
#include <windows.h>

#include "db/database_header.h"

// The header of the database whose schema is loaded.
extern DatabaseHeader SelectedDatabaseHeader;
// Forgets the loaded header (after ClearSchema), as at start-up.
void ResetSchemaForTests();

// What LoadSchema did, with the codes it has always returned.
enum LoadSchemaResult {
  SchemaLoaded = 0,
  // OpenDatabase refused the file, its descriptors are unusable, or the path is longer than a
  // wide path holds.
  SchemaRefused = 1,
  // The descriptors could not be read, memory ran short, or a column could not be inserted.
  SchemaLoadFailed = -1,
};
// A search worker that is still alive is stopped and waited for first, since it reads the
// table that is about to be replaced (ClearSchema does the same).
LoadSchemaResult LoadSchema(const char* singleBytePath);
void ClearSchema();

// True when the loaded schema is that of the database at this single-byte path: the last
// LoadSchema was given exactly this path and succeeded.
bool SchemaLoadedFor(const char* singleBytePath);
// Makes the schema follow the Search page's selector: loads the selected entry's schema when
// another one (or none) is loaded, and clears it when nothing is selected.
void FollowSelectedDatabase();

// True when the database at path, just reopened into header, still has the fields the loaded
// schema describes (same header layout and, for stored descriptors, the same descriptors). A
// file replaced under the same name by one with other fields would otherwise be decoded with
// the wrong layout. Reads only; safe on the search worker's thread while the schema is held.
bool FieldsStillDescribe(const wchar_t* path, const DatabaseHeader& header);

// Why a database cannot be searched, as the window tells the user.
enum DatabaseProblem {
  DatabaseUsable = 0,
  DatabaseMissing,         // no such file (or a folder of that name)
  DatabaseUnreadable,      // the file is there but cannot be opened or read
  DatabaseNotOurs,         // too short for a header, or a version no database of ours has
  DatabaseFieldsUnusable,  // the header opens but its field descriptors cannot be used
  DatabaseFieldsChanged,   // the file now has other fields than those loaded
};
// The problem that an OpenDatabase result stands for.
DatabaseProblem ProblemOfOpening(OpenResult result);
// Opens the database at this single-byte path as a schema load would, and says what stands in
// the way (DatabaseUsable when nothing does). Reads only.
DatabaseProblem ProblemOfDatabase(const char* singleBytePath);
// Tells the user, in a message box owned by owner and captioned "Error", which file cannot be
// searched and why. Nothing for DatabaseUsable. Only formats and calls ShowMessageBox, so the
// search worker uses it too.
void ShowDatabaseProblem(HWND owner, const wchar_t* widePath, DatabaseProblem problem);
