// `zelhost publish` on Linux: the gateway's command line, its channels and
// the loop that looks at their tables and publishes what changed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "channel_options.h"
#include "driver_library.h"
#include "driver_log.h"
#include "gateway.h"
#include "gateway_command.h"
#include "host_session.h"
#include "korvan_standin.h"
#include "mqtt_client.h"
#include "point_watch.h"
#include "port_name.h"
#include "tool_cli.h"

namespace zelhost {

struct GatewayCommand {
    CLI::App *command = nullptr;
    std::vector<std::string> ports;
    std::vector<int> channelNumbers;
    std::vector<std::string> pointsFiles;
    zeltools::LineOptions line;
    std::string prefix;
    bool homeAssistant = false;
    bool dryRun = false;
    std::size_t queueLimit = 10000;
    MqttSettings mqtt;
    std::string mqttVersion = "3.1.1";
    std::string passwordFile;
};

namespace {

using Clock = std::chrono::steady_clock;
using zeltools::Fail;

constexpr std::string_view kTool = "zelhost";
constexpr const char *kPasswordVariable = "ZELHOST_MQTT_PASSWORD";
// A look at the tables this long after the driver's last trace line: the
// decoder has stored the message's entries by then.
constexpr auto kSettle = std::chrono::milliseconds(2);
// And a look at least this often, whatever the log says.
constexpr auto kLookEvery = std::chrono::seconds(1);

// What the driver's log lines (on its reception threads) tell the loop.
struct Signals {
    std::mutex mutex;
    std::condition_variable wake;
    bool trace = false;
    std::vector<std::string> ports;              // the driver's port names, in channel order
    std::vector<std::pair<std::size_t, bool>> lines;  // channel, up
    Clock::time_point lastTrace{};
    bool activity = false;
};

void OnDriverLog(void *context, int level, const char *text) {
    auto &signals = *static_cast<Signals *>(context);
    const std::string_view line = text != nullptr ? text : "";
    const LogLine log = ReadLogLine(level, line);
    std::lock_guard<std::mutex> lock(signals.mutex);
    if (level != 8 || signals.trace) std::fprintf(stderr, "[%d] %.*s\n", level, static_cast<int>(line.size()), line.data());
    if (log.kind == LogKind::kPortLost || log.kind == LogKind::kPortBack) {
        const auto it = std::find(signals.ports.begin(), signals.ports.end(), log.text);
        if (it != signals.ports.end())
            signals.lines.emplace_back(static_cast<std::size_t>(it - signals.ports.begin()), log.kind == LogKind::kPortBack);
    } else if (level == 8) {
        signals.activity = true;
        signals.lastTrace = Clock::now();
    } else {
        return;
    }
    signals.wake.notify_all();
}

// --dry-run: what would be published, on standard output.
bool PrintPublication(void *, const Publication &p) {
    std::printf("%s %s%s\n", p.topic.c_str(), p.payload.c_str(), p.retain ? "  (retained)" : "");
    std::fflush(stdout);
    return true;
}
bool AlwaysConnected(void *) { return true; }

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

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Checks the options and fills in what they imply; -1 when they hold.
int Prepare(GatewayCommand &c, Gateway *gateway) {
    const std::string problem = PerPortOptionProblem(
        c.ports.size(), {{"--channel", c.channelNumbers.size()}, {"--points", c.pointsFiles.size()}}, c.channelNumbers);
    if (!problem.empty()) return Fail(kTool, problem);
    if (c.mqtt.certFile.empty() != c.mqtt.keyFile.empty()) return Fail(kTool, "--cert and --key go together");
    if (!c.mqtt.certFile.empty() && c.mqtt.caFile.empty()) return Fail(kTool, "--cert needs --cafile (TLS)");
    if (c.mqttVersion != "3.1.1" && c.mqttVersion != "5") return Fail(kTool, "--mqtt-version is 3.1.1 or 5");
    c.mqtt.protocol = c.mqttVersion == "5" ? 5 : 4;
    std::string error;
    if (!c.passwordFile.empty()) {
        if (!ReadWholeFile(c.passwordFile, &c.mqtt.password, &error)) return Fail(kTool, error);
        while (!c.mqtt.password.empty() && (c.mqtt.password.back() == '\n' || c.mqtt.password.back() == '\r'))
            c.mqtt.password.pop_back();
    } else if (const char *password = std::getenv(kPasswordVariable)) {
        c.mqtt.password = password;
    }
    if (!c.mqtt.password.empty() && c.mqtt.username.empty()) return Fail(kTool, "a password needs --username");
    gateway->hostName = HostName();
    gateway->prefix = c.prefix.empty() ? DefaultPrefix(gateway->hostName) : c.prefix;
    if (gateway->prefix.find_first_of("+#") != std::string::npos || gateway->prefix.empty())
        return Fail(kTool, "--prefix may not be empty or hold '+' or '#'");
    gateway->homeAssistant = c.homeAssistant;
    gateway->queueLimit = c.queueLimit;
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
        GatewayChannel channel;
        channel.number = c.channelNumbers.empty() ? static_cast<int>(i) + 1 : c.channelNumbers[i];
        if (!c.pointsFiles.empty()) {
            std::string text;
            if (!ReadWholeFile(c.pointsFiles[i], &text, &error)) return Fail(kTool, error);
            if (!ParsePointsFile(text, &channel.named, &error)) return Fail(kTool, c.pointsFiles[i] + ": " + error);
        }
        gateway->channels.push_back(channel);
    }
    if (c.mqtt.clientId.empty()) c.mqtt.clientId = "zelwnqx-" + gateway->hostName + "-" + std::to_string(getpid());
    c.mqtt.willTopic = StatusTopic(*gateway);
    return -1;
}

// Opens one channel block per port; -1 when all are open.
int OpenChannels(GatewayCommand &c, ZelMainFunction zelMain, Gateway &gateway, Signals &signals,
                 std::vector<HostSession> *sessions) {
    HostSession first;
    std::string error;
    if (!StartSession(zelMain, &first, &error)) return Fail(kTool, error, zeltools::kExitFailure);
    const LineSettings line = ChosenLineSettings(c.line, first.info.lineSettings);
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
        PortChoice port;
        if (!ResolvePortName(c.ports[i], &port, &error)) return Fail(kTool, error);
        HostSession session = first;
        if (i > 0 && !AddChannel(first, &session, &error)) return Fail(kTool, error, zeltools::kExitFailure);
        gateway.channels[i].port = port.driverName;
        {
            std::lock_guard<std::mutex> lock(signals.mutex);
            signals.ports.push_back(port.driverName);
        }
        const int32_t result = OpenChannel(session, port.driverName, line, static_cast<uint32_t>(c.line.timeoutUnits),
                                           gateway.channels[i].number);
        if (result != ZEL_OK)
            return Fail(kTool, "cannot open " + port.driverName + ": OpenChannel answered " +
                                   ResultText(ZEL_OP_OPEN_CHANNEL, result),
                        zeltools::kExitFailure);
        sessions->push_back(session);
        std::fprintf(stderr, "zelhost: channel %d on %s\n", gateway.channels[i].number, port.driverName.c_str());
    }
    return -1;
}

// Looks at every channel's table; what changed is published.
void Look(Gateway &gateway, const Publisher &publisher, std::vector<HostSession> &sessions,
          std::vector<std::vector<uint8_t>> &values) {
    const std::vector<std::string> &addresses = TableAddresses();
    for (std::size_t c = 0; c < sessions.size(); ++c) {
        const auto now = std::chrono::system_clock::now();
        std::vector<Publication> changes;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const uint8_t value = static_cast<uint8_t>(ReadTag(sessions[c], addresses[i]));
            if (value == values[c][i]) continue;
            const std::vector<Publication> change = PointChange(gateway, c, addresses[i], values[c][i], value, now);
            changes.insert(changes.end(), change.begin(), change.end());
            values[c][i] = value;
        }
        if (!changes.empty()) Deliver(gateway, publisher, changes);
    }
}

// Serves the open channels until stopped; `client` is null for a dry run.
int Serve(MqttClient *client, std::atomic<bool> &brokerChanged, Gateway &gateway, Signals &signals,
          std::vector<HostSession> &sessions) {
    const Publisher publisher = client != nullptr ? PublisherOf(client) : Publisher{PrintPublication, AlwaysConnected, nullptr};
    unsigned connections = client != nullptr ? MqttConnections(client) : 0;
    Deliver(gateway, publisher, StartPublications(gateway));
    std::vector<std::vector<uint8_t>> values(sessions.size(), std::vector<uint8_t>(TableAddresses().size(), 0));
    Look(gateway, publisher, sessions, values);
    Clock::time_point lastLook = Clock::now();
    int code = zeltools::kExitOk;
    while (!zeltools::StopRequested()) {
        bool activity = false;
        std::vector<std::pair<std::size_t, bool>> lines;
        Clock::time_point lastTrace;
        {
            std::unique_lock<std::mutex> lock(signals.mutex);
            signals.wake.wait_for(lock, std::chrono::milliseconds(200),
                                  [&] { return signals.activity || !signals.lines.empty() || brokerChanged.load(); });
            activity = signals.activity;
            signals.activity = false;
            lines.swap(signals.lines);
            lastTrace = signals.lastTrace;
        }
        if (client != nullptr && brokerChanged.exchange(false)) {
            const std::string refusal = MqttRefusal(client);
            if (!refusal.empty()) {
                code = Fail(kTool, "the broker refused the connection: " + refusal, zeltools::kExitFailure);
                break;
            }
            if (MqttConnections(client) != connections) {
                connections = MqttConnections(client);
                std::size_t dropped = 0;
                if (Resend(gateway, publisher, &dropped))
                    std::fprintf(stderr, "zelhost: connected to the broker again; state sent again\n");
                if (dropped > 0)
                    std::fprintf(stderr, "zelhost: %zu events dropped while the broker was away (queue of %zu)\n", dropped,
                                 gateway.queueLimit);
            }
        }
        for (const auto &[channel, up] : lines) Deliver(gateway, publisher, LineChange(gateway, channel, up));
        if (activity) std::this_thread::sleep_until(lastTrace + kSettle);
        if (activity || Clock::now() - lastLook >= kLookEvery) {
            Look(gateway, publisher, sessions, values);
            lastLook = Clock::now();
        }
    }
    // A clean end: offline is said, not left to the last will.
    Deliver(gateway, publisher, {{StatusTopic(gateway), "offline", 1, true}});
    return code;
}

}  // namespace

GatewayCommand *AddGatewayCommand(CLI::App &app) {
    // One command per process, for the life of the process.
    static GatewayCommand gateway;
    GatewayCommand *c = &gateway;
    app.set_config("--config", "", "Read options from an INI or TOML file (the gateway's under [publish])");
    CLI::App *command = app.add_subcommand("publish", "Open the channels and publish every point change to an MQTT broker");
    c->command = command;
    command->add_option("--port", c->ports, "A port (repeat for several channels)")->required();
    command->add_option("--channel", c->channelNumbers, "The host's channel number of each port, in their order (default 1, 2, ...)")
        ->check(CLI::Range(0, 9999));
    command->add_option("--points", c->pointsFiles, "A CSV file naming points (address,name[,type]), one per port in their order");
    zeltools::AddLineOptions(*command, c->line);
    command->add_option("--broker", c->mqtt.host, "The broker's host (default localhost)");
    command->add_option("--broker-port", c->mqtt.port, "The broker's port (default 1883)")->check(CLI::Range(1, 65535));
    command->add_option("--mqtt-version", c->mqttVersion, "3.1.1 (default) or 5");
    command->add_option("--client-id", c->mqtt.clientId, "The MQTT client id (default zelwnqx-HOST-PID)");
    command->add_option("--username", c->mqtt.username, "User name at the broker");
    command->add_option("--password-file", c->passwordFile,
                        std::string("A file holding the password (or set ") + kPasswordVariable + ")");
    command->add_option("--cafile", c->mqtt.caFile, "TLS: the CA certificate file that signs the broker's certificate");
    command->add_option("--cert", c->mqtt.certFile, "TLS: a client certificate file (with --key)");
    command->add_option("--key", c->mqtt.keyFile, "TLS: the client certificate's key file");
    command->add_option("--keepalive", c->mqtt.keepAlive, "Seconds between keep-alive messages (default 30)")
        ->check(CLI::Range(5, 3600));
    command->add_option("--prefix", c->prefix, "Topic prefix (default zelwnqx/HOST)");
    command->add_flag("--homeassistant", c->homeAssistant, "Publish Home Assistant discovery configs for the named points");
    command->add_option("--queue-limit", c->queueLimit, "Events kept while the broker is away (default 10000)")
        ->check(CLI::Range(0, 10000000));
    command->add_flag("--dry-run", c->dryRun, "Print what would be published, without a broker");
    return c;
}

bool GatewayChosen(const GatewayCommand *command) { return command != nullptr && command->command->parsed(); }

int RunGateway(GatewayCommand &command, const std::string &driverPath, bool trace) {
    Gateway gateway;
    if (const int code = Prepare(command, &gateway); code >= 0) return code;
    static Signals signals;
    signals.trace = trace;
    zeltools::InstallStopHandler();
    KorStandinSetLogSink(&OnDriverLog, &signals);
    DriverLibrary library;
    std::string error;
    const std::string path = driverPath.empty() ? DefaultDriverPath() : driverPath;
    if (!LoadDriverLibrary(path, &library, &error)) return Fail(kTool, error, zeltools::kExitFailure);
    // The broker first: wrong credentials or certificates end the command
    // before any port is opened.
    MqttClient *client = nullptr;
    std::atomic<bool> brokerChanged{false};
    if (!command.dryRun) {
        client = MqttConnect(command.mqtt, &error);
        if (client == nullptr) return Fail(kTool, error, zeltools::kExitFailure);
        MqttNotify(client, &brokerChanged);
    }
    std::vector<HostSession> sessions;
    int code = OpenChannels(command, library.zelMain, gateway, signals, &sessions);
    if (code < 0) {
        if (client != nullptr)
            std::fprintf(stderr, "zelhost: publishing to %s:%d under %s\n", command.mqtt.host.c_str(), command.mqtt.port,
                         gateway.prefix.c_str());
        code = Serve(client, brokerChanged, gateway, signals, sessions);
    }
    if (client != nullptr) MqttDisconnect(client);
    for (HostSession &session : sessions) CloseChannel(session);
    KorStandinSetLogSink(nullptr, nullptr);
    return code;
}

}  // namespace zelhost
