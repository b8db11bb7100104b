// vostrel-cli: the command-line front end over the same engine as vostrel.exe.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "db/codepage.h"

static const char kUsage[] =
    "Usage: vostrel-cli COMMAND [OPTIONS] ...\n"
    "\n"
    "Commands:\n"
    "  info [--json] FILE                    header and fields of a database file\n"
    "  search [--format tsv|csv|json] FILE [FIELD=TEXT]...\n"
    "                                        list the records that match, as the app does\n"
    "  search [--format tsv|csv|json] FILE --queries QUERIES\n"
    "                                        many searches (a TSV file of them) in one pass\n"
    "  make [--title TEXT] [--schema builtin|FILE] INPUT OUTPUT\n"
    "                                        build a .db, .zdb or .fdb file from a TSV table\n"
    "\n"
    "Run 'vostrel-cli COMMAND --help' for a command's details, 'vostrel-cli --version' for\n"
    "the version.\n";

static int Dispatch(const std::vector<std::string>& argv) {
  if (argv.size() < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string& command = argv[1];
  CliArgs rest(argv.begin() + 2, argv.end());
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    // VOSTREL_VERSION is the build's project version, the one the package and the pages carry.
    fputs("vostrel-cli " VOSTREL_VERSION "\n", stdout);
    return 0;
  }
  if (command == "info") return RunInfoCommand(rest);
  if (command == "search") return RunSearchCommand(rest);
  if (command == "make") return RunMakeCommand(rest);
  fprintf(stderr, "vostrel-cli: unknown command '%s'\n\n%s", TerminalSafeUtf8(command).c_str(),
          kUsage);
  return 2;
}

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
int wmain(int argc, wchar_t** wargv) {
  // Byte-exact output: the CLI writes UTF-8 itself and must not get CR LF inserted.
  _setmode(_fileno(stdout), _O_BINARY);
  // The C library leaves a stream on a character device unbuffered, and NUL is one: rows sent
  // to NUL went out a byte per write. Whatever is not a console gets a full buffer.
  if (!StreamIsTerminal(stdout)) setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  std::vector<std::string> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(WideToUtf8(wargv[i]));
  return Dispatch(argv);
}
#else
int main(int argc, char** argv) { return Dispatch(std::vector<std::string>(argv, argv + argc)); }
#endif
