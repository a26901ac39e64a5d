// zelhost's commands: each adds itself, with its options, to the command
// line, and runs when chosen. (publish, the gateway, is in
// gateway_command.h.)
#pragma once

#include <CLI/CLI.hpp>

#include "console.h"

namespace zelhost {

// A command added to the command line: parsed once chosen, then run.
struct Command {
    CLI::App *app = nullptr;
    int (*run)(const Options &options) = nullptr;
};

Command AddInfoCommand(CLI::App &app);
Command AddMonitorCommand(CLI::App &app);
Command AddReadCommand(CLI::App &app);
Command AddValidateCommand(CLI::App &app);

}  // namespace zelhost
