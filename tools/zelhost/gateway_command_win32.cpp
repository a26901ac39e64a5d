// The Windows build of zelhost has no MQTT gateway: `publish`, with any
// options, only says so.
#include "gateway_command.h"

#include "tool_cli.h"

namespace zelhost {

struct GatewayCommand {
    CLI::App *command = nullptr;
};

GatewayCommand *AddGatewayCommand(CLI::App &app) {
    static GatewayCommand gateway;
    gateway.command = app.add_subcommand("publish", "The MQTT gateway (Linux only)");
    gateway.command->group("");  // not listed: there is nothing to run here
    // The Linux command's options are taken unread: the same answer whatever follows.
    gateway.command->fallthrough(false);
    gateway.command->allow_extras();
    return &gateway;
}

bool GatewayChosen(const GatewayCommand *gateway) { return gateway != nullptr && gateway->command->parsed(); }

int RunGateway(GatewayCommand &, const std::string &, bool) {
    return zeltools::Fail("zelhost", "publish is available on Linux only (the MQTT gateway)");
}

}  // namespace zelhost
