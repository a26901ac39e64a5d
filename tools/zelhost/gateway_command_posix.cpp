// `zelhost publish` on Linux: the gateway's command line, its options
// checked and what they imply; the loop is gateway/publishing_loop.h's.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "channel_options.h"
#include "gateway_command.h"
#include "gateway_log.h"
#include "line_state.h"
#include "modbus_clients.h"
#include "publishing_loop.h"
#include "tool_cli.h"

namespace zelhost {

struct GatewayCommand {
    CLI::App *command = nullptr;
    PublishSettings settings;  // what the publishing loop takes
    std::vector<int> channelNumbers;
    std::vector<std::string> pointsFiles;
    std::vector<int> silenceLimits;  // seconds, once per port; none: no limit
    std::string prefix;
    bool homeAssistant = false;
    std::size_t queueLimit = 10000;
    std::string mqttVersion = "3.1.1";
    std::string passwordFile;
    CLI::Option *prefixOption = nullptr;
    std::string password;  // refused: never on a command line or in a file others may read
    std::string discoveryPrefix = "homeassistant";
    std::vector<std::string> modbusAllow;
    std::vector<std::string> httpAllow;
    std::string httpCertFile, httpKeyFile;
    std::string httpPasswordFile;
    std::string httpPassword;  // refused, as --password is
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPasswordVariable = "ZELHOST_MQTT_PASSWORD";
// The Modbus options; -1 when they hold.
int PrepareModbus(GatewayCommand &c, const std::vector<int> &units) {
    if (c.settings.noMqtt && c.settings.modbusListen.empty() && c.settings.httpListen.empty())
        return GatewayFail("--no-mqtt needs --modbus or --http: without either the gateway serves nothing", zeltools::kExitBadInput);
    if (c.settings.noMqtt && c.settings.dryRun) return GatewayFail("--dry-run shows MQTT publications: it has no use with --no-mqtt", zeltools::kExitBadInput);
    if (c.settings.modbusListen.empty()) {
        if (!c.modbusAllow.empty()) return GatewayFail("--modbus-allow needs --modbus", zeltools::kExitBadInput);
        return -1;
    }
    std::string error;
    if (!ParseListenAddress(c.settings.modbusListen, &c.settings.modbus.host, &c.settings.modbus.port, &error)) return GatewayFail(error, zeltools::kExitBadInput);
    if (c.settings.modbus.maxClients > kModbusMaxClientsLimit)
        return GatewayFail("--modbus-max-clients " + std::to_string(c.settings.modbus.maxClients) + " is more than " +
                               std::to_string(kModbusMaxClientsLimit) +
                               ": every client's socket must stay below descriptor " +
                               std::to_string(kModbusFirstRefusedDescriptor) +
                               ", since libmodbus waits with select() (docs/modbus.md)",
                           zeltools::kExitBadInput);
    for (const std::string &text : c.modbusAllow) {
        ClientNetwork network;
        if (!ParseClientNetwork(text, &network, &error)) return GatewayFail(error, zeltools::kExitBadInput);
        c.settings.modbus.allowed.push_back(network);
    }
    for (int unit : units)
        if (unit < 1 || unit > 247)
            return GatewayFail("channel " + std::to_string(unit) + " cannot be a Modbus unit id: with --modbus, give "
                               "each port a --channel number 1-247", zeltools::kExitBadInput);
    return -1;
}

bool ReadWholeFile(const std::string &path, std::string *text, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

// A password file's text without the line end an editor leaves.
bool ReadPasswordFile(const std::string &path, std::string *password, std::string *error) {
    if (!ReadWholeFile(path, password, error)) return false;
    while (!password->empty() && (password->back() == '\n' || password->back() == '\r')) password->pop_back();
    return true;
}

// The HTTP options; -1 when they hold.
int PrepareHttp(GatewayCommand &c) {
    const auto fail = [](const std::string &why) { return GatewayFail(why, zeltools::kExitBadInput); };
    if (!c.httpPassword.empty())
        return fail("a password is never taken from the command line or a configuration file: use --http-password-file");
    if (c.settings.httpListen.empty()) {
        for (const auto &[given, name] : {std::pair{!c.httpAllow.empty(), "--http-allow"}, {!c.httpCertFile.empty(), "--http-cert"},
                                          {!c.settings.http.user.empty(), "--http-user"}})
            if (given) return fail(std::string(name) + " needs --http");
        return -1;
    }
    // Every connection holds a descriptor: beside the Modbus clients they must
    // leave the broker's connection below FD_SETSIZE, since the MQTT client
    // library waits with select() (as libmodbus does, docs/modbus.md).
    const bool broker = !c.settings.noMqtt && !c.settings.dryRun;
    const int modbusClients = c.settings.modbusListen.empty() ? 0 : c.settings.modbus.maxClients;
    if (broker && modbusClients + c.settings.http.maxClients > kModbusMaxClientsLimit)
        return fail("--modbus-max-clients " + std::to_string(modbusClients) + " and --http-max-clients " +
                    std::to_string(c.settings.http.maxClients) + " are more than " + std::to_string(kModbusMaxClientsLimit) +
                    " together: the broker's connection must stay below descriptor " + std::to_string(FD_SETSIZE));
    std::string error;
    if (!ParseListenAddress(c.settings.httpListen, &c.settings.http.host, &c.settings.http.port, &error, "--http")) return fail(error);
    for (const std::string &text : c.httpAllow) {
        ClientNetwork network;
        if (!ParseClientNetwork(text, &network, &error, "--http-allow")) return fail(error);
        c.settings.http.allowed.push_back(network);
    }
    if (c.httpCertFile.empty() != c.httpKeyFile.empty()) return fail("--http-cert and --http-key go together");
    if (!c.httpCertFile.empty() && (!ReadWholeFile(c.httpCertFile, &c.settings.http.certPem, &error) ||
                                    !ReadWholeFile(c.httpKeyFile, &c.settings.http.keyPem, &error)))
        return fail("--http-cert/--http-key: " + error);
    if (c.settings.http.user.empty() != c.httpPasswordFile.empty()) return fail("--http-user and --http-password-file go together");
    if (!c.httpPasswordFile.empty()) {
        if (!ReadPasswordFile(c.httpPasswordFile, &c.settings.http.password, &error)) return fail("--http-password-file: " + error);
        if (c.settings.http.password.empty()) return fail("--http-password-file: " + c.httpPasswordFile + " holds no password");
        if (c.httpCertFile.empty())
            GatewayLog("--http-user without --http-cert: the password crosses the network in clear; keep it to a trusted network");
    }
    return -1;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Checks the options and fills in what they imply; -1 when they hold.
int Prepare(GatewayCommand &c, Gateway *gateway) {
    const std::string problem = PerPortOptionProblem(
        c.settings.ports.size(),
        {{"--channel", c.channelNumbers.size()}, {"--points", c.pointsFiles.size()}, {"--silence-limit", c.silenceLimits.size()}},
        c.channelNumbers);
    if (!problem.empty()) return GatewayFail(problem, zeltools::kExitBadInput);
    if (c.settings.mqtt.certFile.empty() != c.settings.mqtt.keyFile.empty()) return GatewayFail("--cert and --key go together", zeltools::kExitBadInput);
    if (!c.settings.mqtt.certFile.empty() && c.settings.mqtt.caFile.empty()) return GatewayFail("--cert needs --cafile (TLS)", zeltools::kExitBadInput);
    if (c.mqttVersion != "3.1.1" && c.mqttVersion != "5") return GatewayFail("--mqtt-version is 3.1.1 or 5", zeltools::kExitBadInput);
    c.settings.mqtt.protocol = c.mqttVersion == "5" ? 5 : 4;
    if (!c.password.empty())
        return GatewayFail(std::string("a password is never taken from the command line or a configuration file: "
                                       "use --password-file or ") + kPasswordVariable,
                           zeltools::kExitBadInput);
    std::string error;
    if (!c.passwordFile.empty()) {
        if (!ReadPasswordFile(c.passwordFile, &c.settings.mqtt.password, &error)) return GatewayFail(error, zeltools::kExitBadInput);
    } else if (const char *password = std::getenv(kPasswordVariable)) {
        c.settings.mqtt.password = password;
    }
    if (!c.settings.mqtt.password.empty() && c.settings.mqtt.username.empty()) return GatewayFail("a password needs --username", zeltools::kExitBadInput);
    gateway->hostName = HostName();
    gateway->run = NewRunId();
    gateway->prefix = c.prefixOption->count() > 0 ? c.prefix : DefaultPrefix(gateway->hostName);
    if (const std::string why = PrefixProblem(gateway->prefix); !why.empty()) return GatewayFail(why, zeltools::kExitBadInput);
    if (const std::string why = PrefixProblem(c.discoveryPrefix); !why.empty())
        return GatewayFail("--discovery-" + why.substr(2), zeltools::kExitBadInput);
    gateway->discoveryPrefix = c.discoveryPrefix;
    gateway->homeAssistant = c.homeAssistant;
    gateway->queueLimit = c.queueLimit;
    for (std::size_t i = 0; i < c.settings.ports.size(); ++i) {
        GatewayChannel channel;
        channel.number = c.channelNumbers.empty() ? static_cast<int>(i) + 1 : c.channelNumbers[i];
        channel.silenceLimit = SilenceLimitOf(c.silenceLimits, i);
        if (!c.pointsFiles.empty()) {
            std::string text;
            if (!ReadWholeFile(c.pointsFiles[i], &text, &error)) return GatewayFail(error, zeltools::kExitBadInput);
            if (!ParsePointsFile(text, &channel.named, &error)) return GatewayFail(c.pointsFiles[i] + ": " + error, zeltools::kExitBadInput);
        }
        gateway->channels.push_back(channel);
    }
    std::vector<int> units;
    for (const GatewayChannel &channel : gateway->channels) {
        units.push_back(channel.number);
        c.settings.modbus.silenceLimits.push_back(channel.silenceLimit);
    }
    if (const int code = PrepareModbus(c, units); code >= 0) return code;
    if (const int code = PrepareHttp(c); code >= 0) return code;
    if (c.settings.mqtt.clientId.empty()) c.settings.mqtt.clientId = "zelwnqx-" + gateway->hostName + "-" + std::to_string(getpid());
    c.settings.mqtt.willTopic = StatusTopic(*gateway);
    return -1;
}

}  // namespace

GatewayCommand *AddGatewayCommand(CLI::App &app) {
    // One command per process, for the life of the process.
    static GatewayCommand gateway;
    GatewayCommand *c = &gateway;
    app.set_config("--config", "", "Read options from an INI or TOML file (the gateway's under [publish])");
    // A misspelt key or section is an error, not a setting silently lost.
    app.allow_config_extras(CLI::config_extras_mode::error);
    CLI::App *command = app.add_subcommand(
        "publish", "Open the channels, publish every point change to an MQTT broker, serve the points over Modbus TCP and HTTP");
    c->command = command;
    command->add_option("--port", c->settings.ports, "A port (repeat for several channels)")->required();
    command->add_option("--channel", c->channelNumbers, "The host's channel number of each port, in their order (default 1, 2, ...)")
        ->check(CLI::Range(0, 9999));
    command->add_option("--points", c->pointsFiles, "A CSV file naming points (address,name[,type]), one per port in their order");
    command
        ->add_option("--silence-limit", c->silenceLimits,
                     "Call a line silent once no message has come for SECONDS (LINK stays up when a cable is cut); "
                     "one per port in their order")
        ->check(zeltools::NumberCheck("silence limit", 1, 65535));
    zeltools::AddLineOptions(*command, c->settings.line);
    command->add_option("--broker", c->settings.mqtt.host, "The broker's host (default localhost)");
    command->add_option("--broker-port", c->settings.mqtt.port, "The broker's port (default 1883)")->check(CLI::Range(1, 65535));
    command->add_option("--mqtt-version", c->mqttVersion, "3.1.1 (default) or 5");
    command->add_option("--client-id", c->settings.mqtt.clientId, "The MQTT client id (default zelwnqx-HOST-PID)");
    command->add_option("--username", c->settings.mqtt.username, "User name at the broker");
    command->add_option("--password-file", c->passwordFile,
                        std::string("A file holding the password (or set ") + kPasswordVariable + ")");
    // Taken only to be refused, without its value ever shown.
    command->add_option("--password", c->password)->group("");
    command->add_option("--cafile", c->settings.mqtt.caFile, "TLS: the CA certificate file that signs the broker's certificate");
    command->add_option("--cert", c->settings.mqtt.certFile, "TLS: a client certificate file (with --key)");
    command->add_option("--key", c->settings.mqtt.keyFile, "TLS: the client certificate's key file");
    command->add_option("--keepalive", c->settings.mqtt.keepAlive, "Seconds between keep-alive messages (default 30)")
        ->check(CLI::Range(5, 3600));
    c->prefixOption = command->add_option("--prefix", c->prefix, "Topic prefix (default zelwnqx/HOST)");
    command->add_option("--discovery-prefix", c->discoveryPrefix, "Home Assistant's discovery prefix (default homeassistant)");
    command->add_flag("--homeassistant", c->homeAssistant, "Publish Home Assistant discovery configs for the named points");
    command->add_option("--queue-limit", c->queueLimit, "Events kept while the broker is away (default 10000)")
        ->check(CLI::Range(0, 10000000));
    command->add_flag("--dry-run", c->settings.dryRun, "Print what would be published, without a broker");
    command->add_option("--modbus", c->settings.modbusListen,
                        "Serve the points over Modbus TCP (read-only) on [HOST:]PORT (host default 127.0.0.1)");
    command->add_flag("--no-mqtt", c->settings.noMqtt, "No broker: serve Modbus TCP or HTTP alone (needs --modbus or --http)");
    command->add_option("--modbus-allow", c->modbusAllow, "A client network allowed, e.g. 10.1.0.0/16 (repeat; default all)");
    // The descriptors' bound is checked with --modbus, with its reason.
    command->add_option("--modbus-max-clients", c->settings.modbus.maxClients,
                        "Modbus connections at once (default 64); a new client then replaces the one idle the longest")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--modbus-max-per-address", c->settings.modbus.maxPerAddress,
                     "Modbus connections of one client address (default 8); a new one replaces its idlest")
        ->check(CLI::Range(1, kModbusMaxClientsLimit));
    command->add_option("--modbus-idle", c->settings.modbus.idleSeconds, "Seconds before an idle Modbus connection ends (default 60)")
        ->check(CLI::Range(1, 86400));
    command->add_option("--http", c->settings.httpListen,
                        "Serve the page, the JSON API, the event stream and the metrics (read-only) on [HOST:]PORT "
                        "(host default 127.0.0.1)");
    command->add_option("--http-allow", c->httpAllow, "A client network allowed over HTTP, e.g. 10.1.0.0/16 (repeat; default all)");
    command->add_option("--http-max-clients", c->settings.http.maxClients, "HTTP connections at once, pages' streams included (default 64)")
        ->check(CLI::Range(1, kHttpMaxClientsLimit));
    command->add_option("--http-idle", c->settings.http.idleSeconds, "Seconds before an HTTP connection that sends nothing ends (default 60)")
        ->check(CLI::Range(2, 86400));
    command->add_option("--http-cert", c->httpCertFile, "HTTPS: the server's certificate file, PEM (with --http-key)");
    command->add_option("--http-key", c->httpKeyFile, "HTTPS: the certificate's key file, PEM");
    command->add_option("--http-user", c->settings.http.user, "Basic authentication: the user name (with --http-password-file)");
    command->add_option("--http-password-file", c->httpPasswordFile, "Basic authentication: a file holding the password");
    // Taken only to be refused, without its value ever shown.
    command->add_option("--http-password", c->httpPassword)->group("");
    return c;
}

bool GatewayChosen(const GatewayCommand *command) { return command != nullptr && command->command->parsed(); }

int RunGateway(GatewayCommand &command, const std::string &driverPath, bool trace) {
    Gateway gateway;
    if (const int code = Prepare(command, &gateway); code >= 0) return code;
    return RunPublishing(command.settings, gateway, driverPath, trace);
}

}  // namespace zelhost
