// The queries file of "vostrel-cli search --queries": a header line of searchable field names,
// then one query per line, one cell per named field, each cell that field's criterion as it
// would be typed.
#pragma once
#include <string>
#include <vector>

#include "db/field_schema.h"
#include "search/batch_scan.h"

// Reads the queries of the file argument names ("-": standard input) against the table's
// searchable fields, in file order. A warning for each criterion that can never match is added
// to warnings, naming its line. Returns false after printing why the file is refused, naming
// the line. The table's criteria are left empty.
bool ReadQueryFile(const std::string& argument, FieldTable* table, std::vector<Query>* queries,
                   std::vector<std::string>* warnings);
