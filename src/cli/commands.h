// Sub-commands of vostrel-cli. Arguments arrive as UTF-8 (converted from the wide command line
// on Windows). Each returns the process exit code.
#pragma once
#include <string>
#include <vector>

using CliArgs = std::vector<std::string>;  // the arguments after the sub-command name

int RunInfoCommand(const CliArgs& args);
int RunSearchCommand(const CliArgs& args);
int RunMakeCommand(const CliArgs& args);
