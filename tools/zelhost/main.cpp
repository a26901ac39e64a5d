// zelhost: a console that plays the host. It loads the driver library by
// path, allocates the channel block the driver asks for and talks to the
// driver through ZelMain alone, with the KORVAN stand-in as its host library.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "gateway_command.h"

int main(int argc, char **argv) {
    using namespace zelhost;
    zeltools::PrepareConsole();
    CLI::App app{"zelhost: the host console of the ZELWNQX fire-alarm panel driver"};
    app.require_subcommand(1);
    app.fallthrough();
    Options options;
    app.add_option("--driver", options.driver, "Driver library (default: the one beside zelhost)");
    app.add_flag("--trace", options.trace, "Also show the driver's level-8 trace lines");
    const Command commands[] = {AddInfoCommand(app), AddMonitorCommand(app), AddReadCommand(app), AddValidateCommand(app)};
    GatewayCommand *gateway = AddGatewayCommand(app);

    if (const int code = zeltools::ParseCommandLine(app, argc, argv, kTool); code >= 0) return code;
    if (GatewayChosen(gateway)) return RunGateway(*gateway, options.driver, options.trace);
    for (const Command &command : commands)
        if (command.app->parsed()) return command.run(options);
    return zeltools::kExitBadInput;
}
