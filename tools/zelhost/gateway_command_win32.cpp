// The Windows build of zelhost has no MQTT gateway.
#include "gateway_command.h"

namespace zelhost {

struct GatewayCommand {};

GatewayCommand *AddGatewayCommand(CLI::App &) { return nullptr; }

bool GatewayChosen(const GatewayCommand *) { return false; }

int RunGateway(GatewayCommand &, const std::string &, bool) { return 2; }

}  // namespace zelhost
