// The criteria labels and edit boxes on the Search page and the columns of the result list
// that follow the selected database's schema.
#pragma once

// 0 built; 1 OpenDatabase refused the file; -1 the descriptors could not be read or a column
// could not be inserted. Must not run while a search worker is alive.
int LoadSchema(const char* singleBytePath);
void ClearSchema();
