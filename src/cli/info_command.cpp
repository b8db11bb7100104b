// Placeholder until the command is written; replaced by its implementation.
#include <cstdio>

#include "cli/commands.h"

int RunInfoCommand(const CliArgs&) {
  fputs("vostrel-cli: 'info' is not available yet\n", stderr);
  return 2;
}
