// The server's sort: ICU's collation of a language at secondary strength, so that case is
// ignored and letters keep the language's alphabetical order (Ё after Е in Russian). The
// Windows program keeps the system's lstrcmpiW; this order is the server's own.
#pragma once
#include <string>

#include "search/result_sort.h"

struct UCollator;

// A collator for the locale (e.g. "ru", "en"); null when ICU has none.
struct ServerCollation {
  UCollator* collator = nullptr;
  TextCollation collation;  // compare and sortKey over the collator
};
bool OpenServerCollation(const std::string& locale, ServerCollation* out);
void CloseServerCollation(ServerCollation* collation);

// The ICU locale of a language section's name ("RUSSIAN" -> "ru"); "ru" for a name it does not
// know, as the directories are Russian.
std::string LocaleOfLanguage(const std::string& language);
