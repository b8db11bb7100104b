// Placeholder until the command is written; replaced by its implementation.
#include <cstdio>

#include "cli/commands.h"

int RunSearchCommand(const CliArgs&) {
  fputs("vostrel-cli: 'search' is not available yet\n", stderr);
  return 2;
}
