// zelpanel: plays the fire-alarm panel on a serial line, so that the whole
// chain from the wire to the host's ReadTag runs without a panel.
#include <CLI/CLI.hpp>

#include <vector>

#include "panel_commands.h"
#include "tool_cli.h"
#include "transmission.h"

int main(int argc, char **argv) {
    zeltools::PrepareConsole();
    CLI::App app{"zelpanel: plays the fire-alarm panel on a serial line (the panel's message format, paced at the baud rate)"};
    app.require_subcommand(1);
    const std::vector<zelpanel::PanelCommand> commands = {zelpanel::AddSendCommand(app), zelpanel::AddRandomCommand(app),
                                                          zelpanel::AddReplayCommand(app), zelpanel::AddShowCommand(app)};
    if (const int code = zeltools::ParseCommandLine(app, argc, argv, zelpanel::kTool); code >= 0) return code;
    for (const zelpanel::PanelCommand &c : commands)
        if (c.command->parsed()) return c.run();
    return zeltools::kExitOk;  // require_subcommand leaves no way here
}
