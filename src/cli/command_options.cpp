#include "cli/command_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/terminal_text.h"
#include "db/codepage.h"
#include "db/file_system.h"

namespace {

// Said before the technical reason when a file's content is not a database the engine can use.
const char kNotADatabase[] = "not a Vostrel database: ";

// The option that word names, with or without "=VALUE" after it; null for none.
const CommandOption* FindOption(const CommandSyntax& syntax, const std::string& word,
                                bool* joined) {
  for (int k = 0; k < syntax.optionCount; ++k) {
    const CommandOption& option = syntax.options[k];
    *joined = false;
    if (word == option.name) return &option;
    const size_t length = strlen(option.name);
    if (option.joinedValue && word.compare(0, length, option.name) == 0 && word.size() > length &&
        word[length] == '=') {
      *joined = true;
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

bool ParseCommandLine(const CliArgs& args, const CommandSyntax& syntax,
                      std::vector<std::string>* operands, int* exitCode) {
  *exitCode = 2;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded) {
      operands->push_back(word);
      continue;
    }
    if (word == "--help" || word == "-h") {
      fputs(syntax.usage, stdout);
      *exitCode = 0;
      return false;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    bool joined = false;
    const CommandOption* option = FindOption(syntax, word, &joined);
    if (option != nullptr) {
      std::string value;
      if (joined) {
        value = word.substr(strlen(option->name) + 1);
      } else if (option->valueWords != nullptr) {
        if (i + 1 == args.size()) {
          // The program's name: the prefix up to its command's name, if it has one.
          const std::string program(syntax.messagePrefix, strcspn(syntax.messagePrefix, " "));
          fprintf(stderr, "%s: %s needs %s\n", program.c_str(), option->name, option->valueWords);
          return false;
        }
        value = args[++i];
      }
      if (!syntax.takeOption(syntax.context, *option, value)) return false;
      continue;
    }
    const bool operandsOnly = syntax.dashedOperandsAfterFirst && !operands->empty();
    if (word.size() > 1 && word[0] == '-' && !operandsOnly) {
      fprintf(stderr, "%s: unknown option '%s'\n\n%s", syntax.messagePrefix,
              TerminalSafeUtf8(word).c_str(), syntax.usage);
      return false;
    }
    operands->push_back(word);
  }
  return true;
}

bool PathWithinLimit(const std::string& argument, std::wstring* path) {
  *path = PathFromArgument(argument);
  if (path->empty() || path->size() >= static_cast<size_t>(kMaxPathChars)) {
    // Names given on the command line are shown without their control characters, so that a
    // crafted name can neither play with the terminal nor split a message line.
    fprintf(stderr, "vostrel-cli: %s: the path must hold 1 to %d characters\n",
            TerminalSafeUtf8(argument).c_str(), kMaxPathChars - 1);
    return false;
  }
  return true;
}

std::string DescribeLoadProblem(const std::wstring& path, const LoadProblem& why) {
  if (why.open != OpenOk) {
    // A file that opens but whose content is no header of ours is said to be no database
    // first: "unsupported version 101" alone sends people looking for another version.
    const bool content = why.open == OpenShortHeader || why.open == OpenBadVersion;
    return (content ? kNotADatabase : "") + DescribeOpenFailure(path.c_str(), why.open);
  }
  return std::string(kNotADatabase) + "unusable field schema: " +
         (why.problem.empty() ? "cannot read the field descriptors" : why.problem);
}

std::shared_ptr<const Database> LoadDatabaseFile(const std::string& argument,
                                                 const std::wstring& path) {
  LoadProblem why;
  std::shared_ptr<const Database> database = LoadDatabase(path, nullptr, nullptr, &why);
  if (database == nullptr)
    fprintf(stderr, "vostrel-cli: %s: %s\n", TerminalSafeUtf8(argument).c_str(),
            TerminalSafeUtf8(DescribeLoadProblem(path, why)).c_str());
  return database;
}

FILE* OpenInputFile(const std::wstring& path, const std::string& shown, const char* what) {
  const char* why = nullptr;
  const uint32_t attributes = GetPathAttributes(path.c_str());
  FILE* in = nullptr;
  // A directory opens for reading on POSIX systems and fails only at the first read.
  if (attributes != kNoFile && (attributes & kIsDirectory) != 0) {
    why = "it is a folder";
  } else {
    errno = 0;
    in = OpenFileWide(path.c_str(), L"rb");
    if (in != nullptr) return in;
    why = errno == ENOENT                     ? "no such file"
          : errno == EACCES || errno == EPERM ? "permission denied"
          : errno != 0                        ? strerror(errno)
                                              : "the system gave no reason";
  }
  fprintf(stderr, "vostrel-cli: %s: cannot open the %s: %s\n", shown.c_str(), what, why);
  return nullptr;
}
