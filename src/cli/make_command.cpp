// Placeholder until the command is written; replaced by its implementation.
#include <cstdio>

#include "cli/commands.h"

int RunMakeCommand(const CliArgs&) {
  fputs("vostrel-cli: 'make' is not available yet\n", stderr);
  return 2;
}
