// `zelhost publish`, the MQTT gateway: the driver loaded as a host loads it,
// its channels opened, every point change published to a broker. Linux
// only: the Windows build of zelhost has no such command.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace zelhost {

struct GatewayCommand;

// Adds the command, and --config to read its options from an INI or TOML
// file, to `app`; nullptr where the platform has no gateway.
GatewayCommand *AddGatewayCommand(CLI::App &app);
bool GatewayChosen(const GatewayCommand *command);
int RunGateway(GatewayCommand &command, const std::string &driverPath, bool trace);

}  // namespace zelhost
