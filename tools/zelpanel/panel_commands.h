// zelpanel's commands, each in a file of its own: adding one registers its
// options with the program's command line and gives what runs it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace zelpanel {

struct PanelCommand {
    CLI::App *command = nullptr;
    std::function<int()> run;  // once the command line is parsed; the exit code
};

PanelCommand AddSendCommand(CLI::App &app);
PanelCommand AddRandomCommand(CLI::App &app);
PanelCommand AddReplayCommand(CLI::App &app);
PanelCommand AddShowCommand(CLI::App &app);

}  // namespace zelpanel
