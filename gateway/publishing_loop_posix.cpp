// The gateway's publishing loop on Linux: the driver loaded as a host loads
// it, one channel opened per port, each change of every message the driver
// applies followed from its trace and handed to the broker and to every
// other output (output.h), the diagnostic tags looked at once a second.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "channel_options.h"
#include "driver_library.h"
#include "driver_log.h"
#include "gateway_log.h"
#include "host_session.h"
#include "korvan_standin.h"
#include "line_state.h"
#include "message_changes.h"
#include "point_watch.h"
#include "port_name.h"
#include "publishing_loop.h"
#include "reception_threads.h"

namespace zelhost {
namespace {

using Clock = std::chrono::steady_clock;

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

// The channels whose ports were not there at the start, opened once they are.
struct AbsentPorts {
    std::vector<std::size_t> channels;
    LineSettings line{};
};

// OpenChannel of channel i on its port, the driver's answer; its reception
// thread is known as the channel's once it has said who it is.
int32_t OpenOne(const PublishSettings &c, const LineSettings &line, Gateway &gateway, Signals &signals,
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
int OpenChannels(const PublishSettings &c, ZelMainFunction zelMain, Gateway &gateway, Signals &signals,
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
void OpenAbsent(const PublishSettings &c, Gateway &gateway, Signals &signals, std::vector<HostSession> &sessions,
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

// The gateway's outputs besides MQTT (gateway/output.h), and what their
// counters read.
struct Outputs {
    std::vector<GatewayOutput> all;
    MqttClient *client = nullptr;
    const ModbusServer *modbus = nullptr;
};

// Publishes each channel's diagnostic tags that changed since `shown`, and
// its line's state where LINK and SILENCE change it (a silent panel); hands
// the tags and the gateway's counters to the other outputs.
void PublishDiagnostics(Gateway &gateway, const Publisher &publisher, std::vector<HostSession> &sessions,
                        std::vector<ShownTags> &shown, const Outputs &outputs) {
    const auto now = Clock::now();
    const auto wallNow = std::chrono::system_clock::now();
    for (std::size_t c = 0; c < sessions.size(); ++c) {
        const int link = ReadTag(sessions[c], ZEL_TAG_LINK), silence = ReadTag(sessions[c], ZEL_TAG_SILENCE);
        std::vector<TagValue> tags{{ZEL_TAG_LINK, link}, {ZEL_TAG_SILENCE, silence}};
        for (const char *name : {ZEL_TAG_MESSAGES, ZEL_TAG_LOSSES, ZEL_TAG_NOISE, ZEL_TAG_KNOWN})
            tags.push_back({name, ReadTag(sessions[c], name)});
        std::vector<Publication> changed = DiagnosticChanges(gateway, c, tags, now, shown[c]);
        const std::vector<Publication> line = LineChange(gateway, c, link, silence);
        changed.insert(changed.end(), line.begin(), line.end());
        if (!changed.empty()) Deliver(gateway, publisher, changed);
        const OutputDiagnostics read{c, link, silence, tags[2].value, tags[3].value, tags[4].value, tags[5].value, wallNow};
        for (const GatewayOutput &o : outputs.all) o.diagnostics(o.context, read);
    }
    OutputCounters counters;
    counters.mqtt = outputs.client != nullptr;
    counters.published = gateway.published;
    counters.unacknowledged = outputs.client != nullptr ? MqttUnacknowledged(outputs.client) : 0;
    counters.modbus = outputs.modbus != nullptr;
    counters.modbusRequests = ModbusRequestsAnswered(outputs.modbus);
    for (const GatewayOutput &o : outputs.all) o.counters(o.context, counters);
}

OutputStart StartOf(const Gateway &gateway) {
    OutputStart start{gateway.run, gateway.hostName, {}};
    for (const GatewayChannel &c : gateway.channels) start.channels.push_back({c.number, c.port, c.named, c.silenceLimit});
    return start;
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
          std::vector<HostSession> &sessions, const Outputs &outputs, const std::function<void()> &openAbsent) {
    const Publisher publisher = client != nullptr ? PublisherOf(client)
                                : print           ? Publisher{PrintPublication, AlwaysConnected, nullptr}
                                                  : Publisher{DropPublication, AlwaysConnected, nullptr};
    unsigned connections = client != nullptr ? MqttConnections(client) : 0;
    bool away = false;
    Start(client, gateway, publisher);
    const OutputStart start = StartOf(gateway);
    for (const GatewayOutput &o : outputs.all) o.start(o.context, start);
    std::vector<ShownTags> diagnostics(sessions.size());
    std::vector<FollowedTable> followed(sessions.size());
    PublishDiagnostics(gateway, publisher, sessions, diagnostics, outputs);
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
            for (const SeenChange &c : changes) {
                const PointEvent event = NumberPointEvent(gateway, t.channel, c.address, c.before, c.after, t.when);
                Deliver(gateway, publisher, PointChange(gateway, t.channel, event));
                if (outputs.all.empty()) continue;
                const OutputPoint point{t.channel, c.address, c.before, c.after, event.seq, event.known, t.when, PointEventJson(event)};
                for (const GatewayOutput &o : outputs.all) o.point(o.context, point);
            }
        }
        // What the panel sends while its line is away is lost.
        for (const auto &[channel, up] : lines) {
            if (up) continue;
            followed[channel].known = false;
            Deliver(gateway, publisher, KnownChange(gateway, channel, false));
        }
        // A loss or a return shows at once; a return to a line quiet beyond
        // its limit shows silent, not up for a second.
        for (const auto &[channel, up] : lines) {
            const int link = up ? ZEL_LINK_UP : ZEL_LINK_LOST, silence = ReadTag(sessions[channel], ZEL_TAG_SILENCE);
            Deliver(gateway, publisher, LineChange(gateway, channel, link, silence));
            const OutputLine line{channel, LineStateOf(link, silence, gateway.channels[channel].silenceLimit),
                                  std::chrono::system_clock::now()};
            for (const GatewayOutput &o : outputs.all) o.line(o.context, line);
        }
        if (Clock::now() >= nextDiagnostics) {
            openAbsent();
            PublishDiagnostics(gateway, publisher, sessions, diagnostics, outputs);
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

int RunPublishing(const PublishSettings &command, Gateway &gateway, const std::string &driverPath, bool trace) {
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
    HttpServer *http = nullptr;
    Outputs outputs{{}, client, modbus};
    if (code < 0 && !command.httpListen.empty()) {
        http = StartHttpServer(command.http, &error);
        if (http == nullptr) code = GatewayFail(error, zeltools::kExitFailure);
        else outputs.all.push_back(HttpOutputOf(http));
    }
    if (code < 0) {
        if (client != nullptr)
            GatewayLog("publishing to " + command.mqtt.host + ":" + std::to_string(command.mqtt.port) + " under " +
                       gateway.prefix + ", run " + gateway.run);
        code = Serve(client, command.dryRun, brokerChanged, gateway, signals, sessions, outputs,
                     [&] { OpenAbsent(command, gateway, signals, sessions, absent); });
    }
    // The pages' streams end first: "the gateway stops" reaches them while the rest closes.
    StopHttpServer(http);
    // The server's threads read the channels: they end before the channels close.
    StopModbusServer(modbus);
    if (client != nullptr) MqttDisconnect(client);
    for (std::size_t i = 0; i < sessions.size(); ++i)
        if (std::find(absent.channels.begin(), absent.channels.end(), i) == absent.channels.end()) CloseChannel(sessions[i]);
    KorStandinSetLogSink(nullptr, nullptr);
    return code;
}

}  // namespace zelhost
