// The criteria labels and edit boxes on the Search page and the columns of the result list
// that follow the selected database's schema.
#pragma once

// 0 built; 1 OpenDatabase refused the file (or its descriptors are unusable, or the path is
// longer than a wide path holds); -1 the descriptors could not be read or a column could not be
// inserted. A search worker that is still alive is stopped and waited for first, since it reads
// the table that is about to be replaced (ClearSchema does the same).
int LoadSchema(const char* singleBytePath);
void ClearSchema();
