// What the commands of vostrel-cli share in reading their arguments: one option parser (--help,
// "--", options with and without values, the refusal of an unknown option) and the opening of
// the files they name, so that the same mistake gets the same words from every command.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "db/database_header.h"
#include "db/field_schema.h"
#include "search/search.h"

struct CommandOption {
  const char* name;        // "--format"
  const char* valueWords;  // what must follow, for "--format needs ..."; null for a switch
  bool joinedValue;        // also taken as "--format=VALUE"
};

// Takes one option as it is read, with its value (empty for a switch). A refused value is
// refused there and then, before anything later on the line (a --help included) is looked at.
// Returns false after printing why.
using TakeOptionFunction = bool (*)(void* context, const CommandOption& option,
                                    const std::string& value);

struct CommandSyntax {
  const char* usage;          // printed for --help, and after an unknown option
  const char* messagePrefix;  // "vostrel-cli" or "vostrel-cli info", before ": unknown option"
  const CommandOption* options;
  int optionCount;
  // Once the first operand is named, a word starting with '-' is an operand too: search's
  // criteria follow its FILE, and a criterion's field name is the user's to choose.
  bool dashedOperandsAfterFirst;
  TakeOptionFunction takeOption;
  void* context;
};

// Reads args by syntax, handing each option to syntax.takeOption and collecting the operands.
// Returns false when the command ends here, with the exit code in *exitCode: 0 after printing
// the usage for --help or -h, 2 after printing why the arguments are refused.
bool ParseCommandLine(const CliArgs& args, const CommandSyntax& syntax,
                      std::vector<std::string>* operands, int* exitCode);

// The path an argument names, if it holds 1 to 259 characters; else false after printing so.
bool PathWithinLimit(const std::string& argument, std::wstring* path);

// Loads the database file at path (named by argument on the command line): its header and its
// fields. Null after printing why the file cannot be used.
// Why a file could not be loaded, in the words the command line prints after its name.
std::string DescribeLoadProblem(const std::wstring& path, const LoadProblem& why);
std::shared_ptr<const Database> LoadDatabaseFile(const std::string& argument,
                                                 const std::wstring& path);

// Opens a text file the user names for reading (a table, the queries). On failure prints
// "vostrel-cli: SHOWN: cannot open the WHAT: WHY" (no such file, a directory, no permission...)
// and returns null.
FILE* OpenInputFile(const std::wstring& path, const std::string& shown, const char* what);
