// `zelhost publish` on Linux: the gateway's command line, its channels and
// the loop that publishes each change of every message the driver applies.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "channel_options.h"
#include "driver_library.h"
#include "driver_log.h"
#include "gateway.h"
#include "gateway_command.h"
#include "gateway_log.h"
#include "host_session.h"
#include "korvan_standin.h"
#include "line_state.h"
#include "message_changes.h"
#include "modbus_clients.h"
#include "modbus_server.h"
#include "mqtt_client.h"
#include "point_watch.h"
#include "port_name.h"
#include "reception_threads.h"
#include "tool_cli.h"

namespace zelhost {

struct GatewayCommand {
    CLI::App *command = nullptr;
    std::vector<std::string> ports;
    std::vector<int> channelNumbers;
    std::vector<std::string> pointsFiles;
    std::vector<int> silenceLimits;  // seconds, once per port; none: no limit
    zeltools::LineOptions line;
    std::string prefix;
    bool homeAssistant = false;
    bool dryRun = false;
    std::size_t queueLimit = 10000;
    MqttSettings mqtt;
    std::string mqttVersion = "3.1.1";
    std::string passwordFile;
    CLI::Option *prefixOption = nullptr;
    std::string password;  // refused: never on a command line or in a file others may read
    std::string discoveryPrefix = "homeassistant";
    bool noMqtt = false;
    std::string modbusListen;  // empty: no Modbus server
    std::vector<std::string> modbusAllow;
    ModbusSettings modbus;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPasswordVariable = "ZELHOST_MQTT_PASSWORD";
// The diagnostic tags are looked at this often, published when changed
// (SILENCE less often), and the line's state follows from them.
constexpr auto kDiagnosticsEvery = std::chrono::seconds(1);
// How long the start waits for the broker to hand over what it holds.
constexpr int kHeldTopicsWaitMs = 5000;
// How long a clean stop waits for the broker's acknowledgements.
constexpr int kDrainWaitMs = 5000;

// A text the driver decoded, as its trace gave it.
struct DecodedText {
    std::size_t channel;
    std::string text;
    std::chrono::system_clock::time_point when;
};

// What the driver's log lines (on its reception threads) tell the loop.
struct Signals {
    std::mutex mutex;
    std::condition_variable wake;
    bool trace = false;
    std::vector<std::string> ports;              // the driver's port names, in channel order
    std::vector<std::pair<std::size_t, bool>> lines;  // channel, up
    ReceptionThreads threads;
    std::size_t channels = 0;
    // In the panel's order, not yet followed: the reception threads only
    // queue them, and the loop decodes them, so that the driver waits as
    // little as possible for its log.
    std::vector<DecodedText> texts;
};

void OnDriverLog(void *context, int level, const char *text) {
    auto &signals = *static_cast<Signals *>(context);
    const std::string_view line = text != nullptr ? text : "";
    const LogLine log = ReadLogLine(level, line);
    std::lock_guard<std::mutex> lock(signals.mutex);
    if (level != 8 || signals.trace) GatewayLog("[" + std::to_string(level) + "] " + std::string(line));
    if (log.kind == LogKind::kPortLost || log.kind == LogKind::kPortBack) {
        const auto it = std::find(signals.ports.begin(), signals.ports.end(), log.text);
        if (it != signals.ports.end())
            signals.lines.emplace_back(static_cast<std::size_t>(it - signals.ports.begin()), log.kind == LogKind::kPortBack);
    } else if (log.kind == LogKind::kReceptionStart) {
        NoteReceptionStart(signals.threads);
        return;
    } else if (log.kind == LogKind::kMessage || log.kind == LogKind::kNoise) {
        const std::size_t channel = ChannelOfThisThread(signals.threads, signals.channels);
        if (channel >= signals.channels) return;
        signals.texts.push_back({channel, log.text, std::chrono::system_clock::now()});
        // The loop takes all that waits once woken: one wake-up a batch.
        if (signals.texts.size() > 1) return;
    } else {
        return;
    }
    signals.wake.notify_all();
}

// --dry-run: what would be published, on standard output.
Sent PrintPublication(void *, const Publication &p) {
    std::printf("%s %s%s\n", p.topic.c_str(), p.payload.c_str(), p.retain ? "  (retained)" : "");
    std::fflush(stdout);
    return Sent::kTaken;
}
bool AlwaysConnected(void *) { return true; }
// --no-mqtt: the changes are followed, and go nowhere.
Sent DropPublication(void *, const Publication &) { return Sent::kTaken; }

// The Modbus options; -1 when they hold.
int PrepareModbus(GatewayCommand &c, const std::vector<int> &units) {
    if (c.modbusListen.empty()) {
        if (c.noMqtt) return GatewayFail("--no-mqtt needs --modbus: without either the gateway serves nothing", zeltools::kExitBadInput);
        if (!c.modbusAllow.empty()) return GatewayFail("--modbus-allow needs --modbus", zeltools::kExitBadInput);
        return -1;
    }
    if (c.noMqtt && c.dryRun) return GatewayFail("--dry-run shows MQTT publications: it has no use with --no-mqtt", zeltools::kExitBadInput);
    std::string error;
    if (!ParseListenAddress(c.modbusListen, &c.modbus.host, &c.modbus.port, &error)) return GatewayFail(error, zeltools::kExitBadInput);
    if (c.modbus.maxClients > kModbusMaxClientsLimit)
        return GatewayFail("--modbus-max-clients " + std::to_string(c.modbus.maxClients) + " is more than " +
                               std::to_string(kModbusMaxClientsLimit) +
                               ": every client's socket must stay below descriptor " +
                               std::to_string(kModbusFirstRefusedDescriptor) +
                               ", since libmodbus waits with select() (docs/modbus.md)",
                           zeltools::kExitBadInput);
    for (const std::string &text : c.modbusAllow) {
        ClientNetwork network;
        if (!ParseClientNetwork(text, &network, &error)) return GatewayFail(error, zeltools::kExitBadInput);
        c.modbus.allowed.push_back(network);
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

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// Checks the options and fills in what they imply; -1 when they hold.
int Prepare(GatewayCommand &c, Gateway *gateway) {
    const std::string problem = PerPortOptionProblem(
        c.ports.size(),
        {{"--channel", c.channelNumbers.size()}, {"--points", c.pointsFiles.size()}, {"--silence-limit", c.silenceLimits.size()}},
        c.channelNumbers);
    if (!problem.empty()) return GatewayFail(problem, zeltools::kExitBadInput);
    if (c.mqtt.certFile.empty() != c.mqtt.keyFile.empty()) return GatewayFail("--cert and --key go together", zeltools::kExitBadInput);
    if (!c.mqtt.certFile.empty() && c.mqtt.caFile.empty()) return GatewayFail("--cert needs --cafile (TLS)", zeltools::kExitBadInput);
    if (c.mqttVersion != "3.1.1" && c.mqttVersion != "5") return GatewayFail("--mqtt-version is 3.1.1 or 5", zeltools::kExitBadInput);
    c.mqtt.protocol = c.mqttVersion == "5" ? 5 : 4;
    if (!c.password.empty())
        return GatewayFail(std::string("a password is never taken from the command line or a configuration file: "
                                       "use --password-file or ") + kPasswordVariable,
                           zeltools::kExitBadInput);
    std::string error;
    if (!c.passwordFile.empty()) {
        if (!ReadWholeFile(c.passwordFile, &c.mqtt.password, &error)) return GatewayFail(error, zeltools::kExitBadInput);
        while (!c.mqtt.password.empty() && (c.mqtt.password.back() == '\n' || c.mqtt.password.back() == '\r'))
            c.mqtt.password.pop_back();
    } else if (const char *password = std::getenv(kPasswordVariable)) {
        c.mqtt.password = password;
    }
    if (!c.mqtt.password.empty() && c.mqtt.username.empty()) return GatewayFail("a password needs --username", zeltools::kExitBadInput);
    gateway->hostName = HostName();
    gateway->run = NewRunId();
    gateway->prefix = c.prefixOption->count() > 0 ? c.prefix : DefaultPrefix(gateway->hostName);
    if (const std::string why = PrefixProblem(gateway->prefix); !why.empty()) return GatewayFail(why, zeltools::kExitBadInput);
    if (const std::string why = PrefixProblem(c.discoveryPrefix); !why.empty())
        return GatewayFail("--discovery-" + why.substr(2), zeltools::kExitBadInput);
    gateway->discoveryPrefix = c.discoveryPrefix;
    gateway->homeAssistant = c.homeAssistant;
    gateway->queueLimit = c.queueLimit;
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
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
        c.modbus.silenceLimits.push_back(channel.silenceLimit);
    }
    if (const int code = PrepareModbus(c, units); code >= 0) return code;
    if (c.mqtt.clientId.empty()) c.mqtt.clientId = "zelwnqx-" + gateway->hostName + "-" + std::to_string(getpid());
    c.mqtt.willTopic = StatusTopic(*gateway);
    return -1;
}

// The channels whose ports were not there at the start, opened once they are.
struct AbsentPorts {
    std::vector<std::size_t> channels;
    LineSettings line{};
};

// OpenChannel of channel i on its port, the driver's answer; its reception
// thread is known as the channel's once it has said who it is.
int32_t OpenOne(const GatewayCommand &c, const LineSettings &line, Gateway &gateway, Signals &signals,
                HostSession &session, std::size_t i) {
    {
        std::lock_guard<std::mutex> lock(signals.mutex);
        ExpectReceptionStart(signals.threads, i);
    }
    const int32_t result = OpenChannel(session, gateway.channels[i].port, line, static_cast<uint32_t>(c.line.timeoutUnits),
                                       gateway.channels[i].number);
    if (result == ZEL_OK) {
        AwaitReceptionStart(signals.threads, signals.mutex, std::chrono::seconds(2));
    } else {
        std::lock_guard<std::mutex> lock(signals.mutex);
        signals.threads.opening = kNoChannel;
    }
    return result;
}

// Opens one channel block per port; -1 when all are open or wait for their
// ports. A port that is not there at the start (an adapter pulled while the
// gateway restarts) does not keep the other panels from being served: its
// channel reads "no port" until the port is back, and is opened then.
int OpenChannels(GatewayCommand &c, ZelMainFunction zelMain, Gateway &gateway, Signals &signals,
                 std::vector<HostSession> *sessions, AbsentPorts *absent) {
    HostSession first;
    std::string error;
    if (!StartSession(zelMain, &first, &error)) return GatewayFail(error, zeltools::kExitFailure);
    const LineSettings line = ChosenLineSettings(c.line, first.info.lineSettings);
    absent->line = line;
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
        PortChoice port;
        bool there = ResolvePortName(c.ports[i], &port, &error);
        if (!there) {
            port.driverName = AbsentPortDriverName(c.ports[i]);
            if (port.driverName.empty()) return GatewayFail(error, zeltools::kExitBadInput);
        }
        HostSession session = first;
        if (i > 0 && !AddChannel(first, &session, &error)) return GatewayFail(error, zeltools::kExitFailure);
        gateway.channels[i].port = port.driverName;
        {
            std::lock_guard<std::mutex> lock(signals.mutex);
            signals.ports.push_back(port.driverName);
            ++signals.channels;
        }
        sessions->push_back(session);
        if (!there) {
            absent->channels.push_back(i);
            GatewayLog("channel " + std::to_string(gateway.channels[i].number) + ": " + error +
                       "; opened once it is there (looked for every second)");
            continue;
        }
        const int32_t result = OpenOne(c, line, gateway, signals, sessions->back(), i);
        if (result != ZEL_OK) {
            sessions->pop_back();  // not open: not closed at the end
            // The driver answers 2 for every port it cannot open; the system says why (in use by another program).
            const std::string problem = result == ZEL_PORT_FAILED ? zeltools::PortOpenProblem(port.driverName) : "";
            return GatewayFail("cannot open " + port.driverName + ": " + (problem.empty() ? "" : problem + "; ") +
                                   "OpenChannel answered " + ResultText(ZEL_OP_OPEN_CHANNEL, result),
                               result == ZEL_PORT_FAILED ? zeltools::kExitBadInput : zeltools::kExitFailure);
        }
        GatewayLog("channel " + std::to_string(gateway.channels[i].number) + " on " + port.driverName);
    }
    return -1;
}

// Opens the channels whose ports have come since the start.
void OpenAbsent(const GatewayCommand &c, Gateway &gateway, Signals &signals, std::vector<HostSession> &sessions,
                AbsentPorts &absent) {
    for (auto it = absent.channels.begin(); it != absent.channels.end();) {
        PortChoice port;
        std::string error;
        const std::size_t i = *it;
        if (!ResolvePortName(c.ports[i], &port, &error) ||
            OpenOne(c, absent.line, gateway, signals, sessions[i], i) != ZEL_OK) {
            ++it;
            continue;
        }
        GatewayLog("channel " + std::to_string(gateway.channels[i].number) + " on " + gateway.channels[i].port +
                   ": its port is there now");
        it = absent.channels.erase(it);
    }
}

// Publishes each channel's diagnostic tags that changed since `shown`, and
// its line's state where LINK and SILENCE change it (a silent panel).
void PublishDiagnostics(Gateway &gateway, const Publisher &publisher, std::vector<HostSession> &sessions,
                        std::vector<ShownTags> &shown) {
    const auto now = Clock::now();
    for (std::size_t c = 0; c < sessions.size(); ++c) {
        const int link = ReadTag(sessions[c], ZEL_TAG_LINK), silence = ReadTag(sessions[c], ZEL_TAG_SILENCE);
        std::vector<TagValue> tags{{ZEL_TAG_LINK, link}, {ZEL_TAG_SILENCE, silence}};
        for (const char *name : {ZEL_TAG_MESSAGES, ZEL_TAG_LOSSES, ZEL_TAG_NOISE, ZEL_TAG_KNOWN})
            tags.push_back({name, ReadTag(sessions[c], name)});
        std::vector<Publication> changed = DiagnosticChanges(gateway, c, tags, now, shown[c]);
        const std::vector<Publication> line = LineChange(gateway, c, link, silence);
        changed.insert(changed.end(), line.begin(), line.end());
        if (!changed.empty()) Deliver(gateway, publisher, changed);
    }
}

// The start on a broker: what the gateway publishes, then the retained
// topics of an earlier run under the prefix that it does not publish now
// cleared, so that no state the panel has since reset stays shown.
void Start(MqttClient *client, Gateway &gateway, const Publisher &publisher) {
    std::vector<HeldTopic> held;
    std::vector<std::string> filters{PrefixFilter(gateway)};
    if (gateway.homeAssistant) filters.push_back(DiscoveryFilter(gateway));
    if (client != nullptr &&
        !MqttRetainedTopics(client, filters, {StatusTopic(gateway), "online", 1, true}, kHeldTopicsWaitMs, &held))
        GatewayLog("the broker did not hand over its retained topics in " + std::to_string(kHeldTopicsWaitMs / 1000) +
                   " s; stale ones may remain");
    Deliver(gateway, publisher, StartPublications(gateway));
    const std::vector<Publication> clears = StaleClears(gateway, held);
    if (!clears.empty()) GatewayLog(std::to_string(clears.size()) + " retained topics of an earlier run cleared");
    Deliver(gateway, publisher, clears);
}

// Serves the open channels until stopped; `client` is null for a dry run
// (`print`) and without MQTT.
int Serve(MqttClient *client, bool print, std::atomic<bool> &brokerChanged, Gateway &gateway, Signals &signals,
          std::vector<HostSession> &sessions, const std::function<void()> &openAbsent) {
    const Publisher publisher = client != nullptr ? PublisherOf(client)
                                : print           ? Publisher{PrintPublication, AlwaysConnected, nullptr}
                                                  : Publisher{DropPublication, AlwaysConnected, nullptr};
    unsigned connections = client != nullptr ? MqttConnections(client) : 0;
    bool away = false;
    Start(client, gateway, publisher);
    std::vector<ShownTags> diagnostics(sessions.size());
    std::vector<FollowedTable> followed(sessions.size());
    PublishDiagnostics(gateway, publisher, sessions, diagnostics);
    // The looks keep to their second, so that a silence shows within the
    // limit and one second.
    Clock::time_point nextDiagnostics = Clock::now() + kDiagnosticsEvery;
    int code = zeltools::kExitOk;
    while (!zeltools::StopRequested()) {
        std::vector<std::pair<std::size_t, bool>> lines;
        std::vector<DecodedText> texts;
        {
            std::unique_lock<std::mutex> lock(signals.mutex);
            signals.wake.wait_until(lock, std::min(nextDiagnostics, Clock::now() + std::chrono::milliseconds(200)),
                                    [&] { return !signals.texts.empty() || !signals.lines.empty() || brokerChanged.load(); });
            lines.swap(signals.lines);
            texts.swap(signals.texts);
        }
        if (client != nullptr && brokerChanged.exchange(false)) {
            const std::string refusal = MqttRefusal(client);
            if (!refusal.empty()) {
                code = GatewayFail("the broker refused the connection: " + refusal, zeltools::kExitFailure);
                break;
            }
            if (!MqttConnected(client) && !away) GatewayLog("lost the broker; reconnecting, events are kept meanwhile");
            away = !MqttConnected(client);
            if (MqttConnections(client) != connections) {
                connections = MqttConnections(client);
                std::size_t dropped = 0;
                if (Resend(gateway, publisher, &dropped))
                    GatewayLog("connected to the broker again; state sent again");
                if (dropped > 0)
                    GatewayLog(std::to_string(dropped) + " events dropped while the broker was away (queue of " +
                               std::to_string(gateway.queueLimit) + ")");
            }
        }
        for (const DecodedText &t : texts) {
            const std::vector<SeenChange> changes = FollowDecodedText(followed[t.channel], t.text);
            // The panel's clear makes the states known, its own changes included.
            Deliver(gateway, publisher, KnownChange(gateway, t.channel, followed[t.channel].known));
            for (const SeenChange &c : changes)
                Deliver(gateway, publisher, PointChange(gateway, t.channel, c.address, c.before, c.after, t.when));
        }
        // What the panel sends while its line is away is lost.
        for (const auto &[channel, up] : lines) {
            if (up) continue;
            followed[channel].known = false;
            Deliver(gateway, publisher, KnownChange(gateway, channel, false));
        }
        // A loss or a return shows at once; a return to a line quiet beyond
        // its limit shows silent, not up for a second.
        for (const auto &[channel, up] : lines)
            Deliver(gateway, publisher,
                    LineChange(gateway, channel, up ? ZEL_LINK_UP : ZEL_LINK_LOST, ReadTag(sessions[channel], ZEL_TAG_SILENCE)));
        if (Clock::now() >= nextDiagnostics) {
            openAbsent();
            PublishDiagnostics(gateway, publisher, sessions, diagnostics);
            nextDiagnostics += kDiagnosticsEvery;
            if (nextDiagnostics <= Clock::now()) nextDiagnostics = Clock::now() + kDiagnosticsEvery;
        }
    }
    // A clean end: offline is said, not left to the last will, and what the
    // broker has not acknowledged yet is waited for before the disconnection.
    Deliver(gateway, publisher, {{StatusTopic(gateway), "offline", 1, true}});
    if (client != nullptr)
        if (const unsigned long open = MqttDrain(client, kDrainWaitMs); open > 0)
            GatewayLog(std::to_string(open) + " publications were not acknowledged by the broker in " +
                       std::to_string(kDrainWaitMs / 1000) + " s");
    return code;
}

}  // namespace

GatewayCommand *AddGatewayCommand(CLI::App &app) {
    // One command per process, for the life of the process.
    static GatewayCommand gateway;
    GatewayCommand *c = &gateway;
    app.set_config("--config", "", "Read options from an INI or TOML file (the gateway's under [publish])");
    // A misspelt key or section is an error, not a setting silently lost.
    app.allow_config_extras(CLI::config_extras_mode::error);
    CLI::App *command = app.add_subcommand("publish", "Open the channels, publish every point change to an MQTT broker, serve the points over Modbus TCP");
    c->command = command;
    command->add_option("--port", c->ports, "A port (repeat for several channels)")->required();
    command->add_option("--channel", c->channelNumbers, "The host's channel number of each port, in their order (default 1, 2, ...)")
        ->check(CLI::Range(0, 9999));
    command->add_option("--points", c->pointsFiles, "A CSV file naming points (address,name[,type]), one per port in their order");
    command
        ->add_option("--silence-limit", c->silenceLimits,
                     "Call a line silent once no message has come for SECONDS (LINK stays up when a cable is cut); "
                     "one per port in their order")
        ->check(zeltools::NumberCheck("silence limit", 1, 65535));
    zeltools::AddLineOptions(*command, c->line);
    command->add_option("--broker", c->mqtt.host, "The broker's host (default localhost)");
    command->add_option("--broker-port", c->mqtt.port, "The broker's port (default 1883)")->check(CLI::Range(1, 65535));
    command->add_option("--mqtt-version", c->mqttVersion, "3.1.1 (default) or 5");
    command->add_option("--client-id", c->mqtt.clientId, "The MQTT client id (default zelwnqx-HOST-PID)");
    command->add_option("--username", c->mqtt.username, "User name at the broker");
    command->add_option("--password-file", c->passwordFile,
                        std::string("A file holding the password (or set ") + kPasswordVariable + ")");
    // Taken only to be refused, without its value ever shown.
    command->add_option("--password", c->password)->group("");
    command->add_option("--cafile", c->mqtt.caFile, "TLS: the CA certificate file that signs the broker's certificate");
    command->add_option("--cert", c->mqtt.certFile, "TLS: a client certificate file (with --key)");
    command->add_option("--key", c->mqtt.keyFile, "TLS: the client certificate's key file");
    command->add_option("--keepalive", c->mqtt.keepAlive, "Seconds between keep-alive messages (default 30)")
        ->check(CLI::Range(5, 3600));
    c->prefixOption = command->add_option("--prefix", c->prefix, "Topic prefix (default zelwnqx/HOST)");
    command->add_option("--discovery-prefix", c->discoveryPrefix, "Home Assistant's discovery prefix (default homeassistant)");
    command->add_flag("--homeassistant", c->homeAssistant, "Publish Home Assistant discovery configs for the named points");
    command->add_option("--queue-limit", c->queueLimit, "Events kept while the broker is away (default 10000)")
        ->check(CLI::Range(0, 10000000));
    command->add_flag("--dry-run", c->dryRun, "Print what would be published, without a broker");
    command->add_option("--modbus", c->modbusListen,
                        "Serve the points over Modbus TCP (read-only) on [HOST:]PORT (host default 127.0.0.1)");
    command->add_flag("--no-mqtt", c->noMqtt, "No broker: serve Modbus TCP alone (needs --modbus)");
    command->add_option("--modbus-allow", c->modbusAllow, "A client network allowed, e.g. 10.1.0.0/16 (repeat; default all)");
    // The descriptors' bound is checked with --modbus, with its reason.
    command->add_option("--modbus-max-clients", c->modbus.maxClients,
                        "Modbus connections at once (default 64); a new client then replaces the one idle the longest")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--modbus-max-per-address", c->modbus.maxPerAddress,
                     "Modbus connections of one client address (default 8); a new one replaces its idlest")
        ->check(CLI::Range(1, kModbusMaxClientsLimit));
    command->add_option("--modbus-idle", c->modbus.idleSeconds, "Seconds before an idle Modbus connection ends (default 60)")
        ->check(CLI::Range(1, 86400));
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
    if (!LoadDriverLibrary(path, &library, &error)) return GatewayFail(error, zeltools::kExitFailure);
    // The broker first: wrong credentials or certificates end the command
    // before any port is opened.
    MqttClient *client = nullptr;
    std::atomic<bool> brokerChanged{false};
    if (!command.dryRun && !command.noMqtt) {
        client = MqttConnect(command.mqtt, zeltools::StopRequested, &error);
        if (client == nullptr) return GatewayFail(error, zeltools::kExitFailure);
        MqttNotify(client, &brokerChanged);
    }
    std::vector<HostSession> sessions;
    AbsentPorts absent;
    int code = OpenChannels(command, library.zelMain, gateway, signals, &sessions, &absent);
    ModbusServer *modbus = nullptr;
    if (code < 0 && !command.modbusListen.empty()) {
        std::vector<int> units;
        for (const GatewayChannel &channel : gateway.channels) units.push_back(channel.number);
        modbus = StartModbusServer(command.modbus, sessions, units, &error);
        if (modbus == nullptr) code = GatewayFail(error, zeltools::kExitFailure);
    }
    if (code < 0) {
        if (client != nullptr)
            GatewayLog("publishing to " + command.mqtt.host + ":" + std::to_string(command.mqtt.port) + " under " +
                       gateway.prefix + ", run " + gateway.run);
        code = Serve(client, command.dryRun, brokerChanged, gateway, signals, sessions,
                     [&] { OpenAbsent(command, gateway, signals, sessions, absent); });
    }
    // The server's threads read the channels: they end before the channels close.
    StopModbusServer(modbus);
    if (client != nullptr) MqttDisconnect(client);
    for (std::size_t i = 0; i < sessions.size(); ++i)
        if (std::find(absent.channels.begin(), absent.channels.end(), i) == absent.channels.end()) CloseChannel(sessions[i]);
    KorStandinSetLogSink(nullptr, nullptr);
    return code;
}

}  // namespace zelhost
