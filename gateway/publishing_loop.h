// The gateway's shared publishing loop: what it is given, and the run
// itself. The command line (tools/zelhost, `zelhost publish`) checks the
// options and fills in these settings and the MQTT topics' record; the
// loop opens the channels, starts the outputs (mqtt/, modbus/, http/, each
// fed through output.h) and serves until a stop is requested.
#pragma once

#include <string>
#include <vector>

#include "http_server.h"
#include "modbus_server.h"
#include "mqtt_client.h"
#include "mqtt_topics.h"
#include "output.h"
#include "tool_cli.h"

namespace zelhost {

struct PublishSettings {
    std::vector<std::string> ports;  // as given: a name, a device path or a stable link
    zeltools::LineOptions line;
    bool dryRun = false;  // print MQTT's publications instead of sending them
    bool noMqtt = false;
    MqttSettings mqtt;
    std::string modbusListen;  // empty: no Modbus server
    ModbusSettings modbus;
    std::string httpListen;  // empty: no HTTP server
    HttpSettings http;
};

// Loads the driver at `driverPath` (empty: the one beside the program),
// opens one channel per port, serves until zeltools::StopRequested(), and
// closes everything; the command's exit status. `gateway` comes from the
// options, its channels' ports named as the driver opened them.
int RunPublishing(const PublishSettings &settings, Gateway &gateway, const std::string &driverPath, bool trace);

}  // namespace zelhost
