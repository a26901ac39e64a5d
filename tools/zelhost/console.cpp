#include "console.h"

#include <algorithm>
#include <thread>

#include "channel_options.h"
#include "driver_log.h"
#include "korvan_standin.h"
#include "port_name.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace zelhost {

using zeltools::Fail;

namespace {

constexpr int kTraceLevel = 8;
constexpr auto kLookInterval = std::chrono::milliseconds(50);
// The reception thread reads 1000 ms after OpenChannel has started it.
constexpr auto kThreadStartDelay = std::chrono::milliseconds(1050);
// How long an opening waits for its reception thread's first log line.
constexpr auto kThreadStartLogWait = std::chrono::seconds(2);
constexpr int kMostPorts = 16;

std::string Escaped(std::string_view text) {
    const std::string quoted = zeltools::QuoteText(text);
    return quoted.substr(1, quoted.size() - 2);
}

std::size_t PortOfThisThread(const Console &console) { return ChannelOfThisThread(console.threads, console.ports.size()); }

}  // namespace

std::string TimeColumn(const Console &console, double seconds, bool blank) {
    char text[64];
    std::snprintf(text, sizeof text, "%8.3f", seconds);
    std::string column = console.utc ? zeltools::UtcTimeText(std::chrono::system_clock::now()) + "  " + text : text;
    if (blank) column.assign(column.size(), ' ');
    return column;
}

std::string PortColumn(const Console &console, std::size_t index) {
    if (console.ports.size() <= 1) return "";
    std::size_t width = 1;
    for (const PortView &p : console.ports) width = std::max(width, p.name.size());
    std::string name = index < console.ports.size() ? console.ports[index].name : "?";
    name.resize(width, ' ');
    return name + "  ";
}

namespace {

// A read of a port: its bytes, taken from the channel's receive buffer.
void ReadTaken(Console &console, const LogLine &log) {
    const std::size_t index = PortOfThisThread(console);
    if (index >= console.ports.size() || console.ports[index].receiveBuffer == nullptr) return;
    PortView &port = console.ports[index];
    TakeRead(port.bytes, std::string_view(port.receiveBuffer, ZEL_RX_BUFFER_SIZE), log.text);
}

// A stretch the driver handed to its decoder: its bytes shown, captured
// for its port, and counted when it is a message.
void Received(Console &console, double now, const LogLine &log) {
    const std::size_t index = PortOfThisThread(console);
    PortView *port = index < console.ports.size() ? &console.ports[index] : nullptr;
    const bool message = log.kind == LogKind::kMessage;
    if (message) {
        ++console.received;
        console.lastReceivedMs = static_cast<long long>(now * 1000);
        if (port != nullptr) ++port->received;
    }
    const std::vector<std::string> stretches =
        port != nullptr && port->receiveBuffer != nullptr ? TakeDecoded(port->bytes, log.text) : std::vector{log.text};
    const std::string utc = zeltools::UtcTimeText(std::chrono::system_clock::now());
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        // Bytes before the decoder's text were dropped by the driver.
        const bool isMessage = message && i + 1 == stretches.size();
        if (stretches[i].empty()) continue;
        if (console.showReceived)
            std::fprintf(console.out, "%s  %srx  %s%s\n", TimeColumn(console, now).c_str(), PortColumn(console, index).c_str(),
                         zeltools::QuoteText(stretches[i]).c_str(), isMessage ? "" : "  (no message: dropped)");
        if (port != nullptr && port->capture != nullptr) {
            if (port->firstCaptured < 0) port->firstCaptured = now;
            *port->capture << zeltools::CaptureLine(now - port->firstCaptured, utc, stretches[i]) << '\n';
            port->capture->flush();
        }
    }
}

// A text the driver decoded: the changes it made, followed, and handed to
// the command.
void Followed(Console &console, double now, const LogLine &log) {
    const std::size_t index = PortOfThisThread(console);
    if (index >= console.ports.size()) return;
    PortView &port = console.ports[index];
    const std::vector<SeenChange> changes = FollowDecodedText(port.followed, log.text);
    if (changes.empty()) return;
    Record(port.watch, changes);
    if (console.changed) console.changed(index, now, changes);
}

// The driver names the port it lost or got back.
void LineChanged(Console &console, double now, const std::string &port, bool back) {
    if (!console.lineChanged) return;
    for (std::size_t i = 0; i < console.ports.size(); ++i)
        if (console.ports[i].name == zeltools::ShownText(port)) console.lineChanged(i, now, back);
}

void OnDriverLog(void *context, int level, const char *line) {
    auto &console = *static_cast<Console *>(context);
    const std::string_view text = line != nullptr ? line : "";
    const LogLine log = ReadLogLine(level, text);
    std::lock_guard<std::mutex> lock(console.mutex);
    const double now = console.Seconds();
    if (level != kTraceLevel || console.trace) std::fprintf(console.out, "[%d] %s\n", level, Escaped(text).c_str());
    switch (log.kind) {
        case LogKind::kRead: ReadTaken(console, log); break;
        case LogKind::kMessage:
        case LogKind::kNoise:
            Received(console, now, log);
            Followed(console, now, log);
            break;
        case LogKind::kPortLost:
            std::fprintf(console.out, "%s  %s  line lost: reopening every second\n", TimeColumn(console, now).c_str(),
                         Escaped(log.text).c_str());
            LineChanged(console, now, log.text, false);
            break;
        case LogKind::kPortBack:
            std::fprintf(console.out, "%s  %s  line back\n", TimeColumn(console, now).c_str(), Escaped(log.text).c_str());
            LineChanged(console, now, log.text, true);
            break;
        case LogKind::kReceptionStart: NoteReceptionStart(console.threads); break;
        case LogKind::kOther: break;
    }
    std::fflush(console.out);
}

// The driver port name of each port, each device once.
int ResolvePorts(Console &console, const ChannelOptions &o, std::vector<PortChoice> *ports) {
    for (const std::string &given : o.ports) {
        PortChoice port;
        std::string error;
        if (!ResolvePortName(given, &port, &error)) return Fail(kTool, error);
        const std::string shown = zeltools::ShownText(given);
        for (std::size_t i = 0; i < ports->size(); ++i)
            if ((*ports)[i].device == port.device)
                return Fail(kTool, o.ports[i] == given ? "port " + shown + " is given twice"
                                                       : "ports " + zeltools::ShownText(o.ports[i]) + " and " + shown +
                                                             " are both " + zeltools::ShownText(port.device));
        if (port.driverName != given || port.link)
            Say(console, "port " + shown + " is " + zeltools::ShownText(port.device) + ", driver port name " + port.driverName);
        ports->push_back(port);
    }
    return -1;
}

std::string Joined(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

void Say(Console &console, const std::string &text) {
    std::lock_guard<std::mutex> lock(console.mutex);
    std::fprintf(console.out, "%s\n", text.c_str());
    std::fflush(console.out);
}

// The driver loaded, its information read and a channel block allocated.
int Begin(const Options &options, Console &console, DriverLibrary *library, HostSession *session) {
    console.trace = options.trace;
    KorStandinSetLogSink(&OnDriverLog, &console);
    // A variable of the host library's stand-in that it could not apply
    // would otherwise pass unnoticed (a registration result "abc" as 0).
    char problem[200];
    if (KorStandinEnvironmentProblem(problem, sizeof problem) > 0) return Fail(kTool, problem);
    const std::string path = options.driver.empty() ? DefaultDriverPath() : options.driver;
    std::string error;
    if (!LoadDriverLibrary(path, library, &error))
        return Fail(kTool, zeltools::ShownText(error, 300), zeltools::kExitFailure);
    if (!StartSession(library->zelMain, session, &error)) return Fail(kTool, error, zeltools::kExitFailure);
    return -1;
}

// Log lines after this go to the stand-in's default (stderr), not to us.
void End(Console &console) {
    KorStandinSetLogSink(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(console.mutex);
    for (PortView &port : console.ports) {
        // Bytes that came after the last text the decoder took: kept, so that
        // a replay sends all that the line brought.
        if (port.capture != nullptr && !port.bytes.pending.empty()) {
            const double now = console.Seconds();
            *port.capture << zeltools::CaptureLine(port.firstCaptured < 0 ? 0 : now - port.firstCaptured,
                                                   zeltools::UtcTimeText(std::chrono::system_clock::now()), port.bytes.pending)
                          << '\n';
            port.bytes.pending.clear();
        }
        if (port.capture != nullptr) port.capture->flush();
        if (port.captureFile.is_open()) port.captureFile.close();
        port.capture = nullptr;
    }
    std::fflush(stdout);
    std::fflush(console.out);
}

int CheckPortCounts(const ChannelOptions &o, const std::vector<std::pair<std::string, std::size_t>> &perPort) {
    const std::size_t ports = o.ports.size();
    if (ports > kMostPorts) return Fail(kTool, "at most " + std::to_string(kMostPorts) + " ports");
    std::vector<std::pair<std::string, std::size_t>> given{{"--channel", o.channelNumbers.size()},
                                                           {"--silence-limit", o.silenceLimits.size()}};
    given.insert(given.end(), perPort.begin(), perPort.end());
    const std::string problem = PerPortOptionProblem(ports, given, o.channelNumbers);
    return problem.empty() ? -1 : Fail(kTool, problem);
}


int Close(Console &console, std::vector<HostSession> &sessions) {
    int code = -1;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const int32_t result = CloseChannel(sessions[i]);
        const std::string where = console.ports.size() > 1 ? " (" + console.ports[i].name + ")" : "";
        Say(console, "channel closed" + where + ": CloseChannel answered " + ResultText(ZEL_OP_CLOSE_CHANNEL, result));
        if (result != ZEL_OK) code = zeltools::kExitFailure;
    }
    return code;
}

// Opens a channel on each port, one channel block each, with Ctrl-C set to
// stop them; returns -1 when all are open. When one fails, the channels
// already open are closed again.
int OpenChannels(Console &console, HostSession &first, const ChannelOptions &o, std::vector<HostSession> *sessions) {
    zeltools::InstallStopHandler();
    std::vector<PortChoice> ports;
    if (const int code = ResolvePorts(console, o, &ports); code >= 0) return code;
    {
        std::lock_guard<std::mutex> lock(console.mutex);
        console.ports.resize(ports.size());
        for (std::size_t i = 0; i < ports.size(); ++i) {
            console.ports[i].name = zeltools::ShownText(ports[i].driverName);
            console.ports[i].channelNumber = o.channelNumbers.empty() ? static_cast<int>(i) + 1 : o.channelNumbers[i];
        }
    }
    const LineSettings line = ChosenLineSettings(o.line, first.info.lineSettings);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        HostSession session = first;
        std::string error;
        if (i > 0 && !AddChannel(first, &session, &error)) {
            Close(console, *sessions);
            return Fail(kTool, error, zeltools::kExitFailure);
        }
        const int channelNumber = console.ports[i].channelNumber;
        char text[256];
        std::snprintf(text, sizeof text, "opening %s: %u baud, %u data bits, %s, %s, read time-out %d (%.2f s), channel %d",
                      console.ports[i].name.c_str(), line.baudRate, line.dataBits, zeltools::StopBitsText(line.stopBits),
                      zeltools::ParityText(line.parity), o.line.timeoutUnits, o.line.timeoutUnits / 100.0, channelNumber);
        Say(console, text);
        {
            std::lock_guard<std::mutex> lock(console.mutex);
            ExpectReceptionStart(console.threads, i);
            console.ports[i].receiveBuffer = session.channel->rxBuffer;
            // OpenChannel leaves the zero-filled block's table as it is.
            console.ports[i].followed = FollowedTable{};
            console.ports[i].watch = StartWatch([](const std::string &) { return 0; });
        }
        const int32_t result = OpenChannel(session, ports[i].driverName, line, static_cast<uint32_t>(o.line.timeoutUnits),
                                           channelNumber);
        if (result != ZEL_OK) {
            Close(console, *sessions);
            // The driver answers 2 for every port it cannot open; the system says why.
            const std::string problem = result == ZEL_PORT_FAILED ? zeltools::PortOpenProblem(ports[i].driverName) : "";
            const std::string why = "cannot open " + console.ports[i].name + ": " + (problem.empty() ? "" : problem + "; ") +
                                    "OpenChannel answered " + ResultText(ZEL_OP_OPEN_CHANNEL, result);
            return Fail(kTool, why, result == ZEL_PORT_FAILED ? zeltools::kExitBadInput : zeltools::kExitFailure);
        }
        sessions->push_back(session);
        // The next port opens once this one's reception thread has said who it is.
        AwaitReceptionStart(console.threads, console.mutex, kThreadStartLogWait);
    }
    return -1;
}


// Waits for the reception threads, then looks at the tables until stopped:
// Ctrl-C, --duration, or --idle seconds without a message, counted from
// the last message or, before the first, from the start of listening.
// True when it stopped on --idle without any message.
bool Listen(Console &console, const ChannelOptions &o, const std::function<void()> &look) {
    const Clock::time_point opened = Clock::now();
    const auto ready = opened + kThreadStartDelay;
    while (Clock::now() < ready && !zeltools::StopRequested()) std::this_thread::sleep_for(kLookInterval);
    std::vector<std::string> shown;
    for (const std::string &port : o.ports) shown.push_back(zeltools::ShownText(port));
    Say(console, "listening on " + Joined(shown) + (o.duration > 0 || o.idle > 0 ? "" : "; Ctrl-C closes the channel"));
    const double listening = console.Seconds();
    bool idle = false;
    for (;;) {
        look();
        if (zeltools::StopRequested()) break;
        const double now = console.Seconds();
        const double quietSince = console.received > 0 ? console.lastReceivedMs / 1000.0 : listening;
        if (o.duration > 0 && std::chrono::duration<double>(Clock::now() - opened).count() >= o.duration) break;
        if (o.idle > 0 && now - quietSince >= o.idle) {
            idle = true;
            break;
        }
        std::this_thread::sleep_for(kLookInterval);
    }
    look();
    return idle && console.received == 0;
}

// A line on which nothing arrived (wrong baud rate, no cable) ends with a
// negative answer.
int FailNothingReceived(const ChannelOptions &o) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", o.idle);
    return Fail(kTool, std::string("no message received in ") + seconds +
                           " s: check the cable, the line settings and the panel", zeltools::kExitNo);
}

// What LINK means, for the console.
const char *LinkText(int link) {
    switch (link) {
        case ZEL_LINK_UP: return "up";
        case ZEL_LINK_LOST: return "lost (device away, reopening every second)";
        default: return "no port";
    }
}

void AddChannelOptions(CLI::App &command, ChannelOptions &o, bool several) {
    const bool listenByDefault = several;
    CLI::Option *port = command
                            .add_option("--port", o.ports,
                                        std::string("Port: Linux pts/3, ttyUSB0 or a path such as /dev/serial/by-id/...; "
                                                    "Windows COM5") +
                                            (several ? "; repeat it for more ports" : ""))
                            ->required();
    zeltools::AddLineOptions(command, o.line);
    CLI::Option *channel =
        command
            .add_option("--channel", o.channelNumbers,
                        several ? "The host's channel number of each --port, in the same order (default 1, 2, 3, ...)"
                                : "The host's channel number (default 1)")
            ->check(zeltools::NumberCheck("channel number", 0, 9999));
    // One value each time the option is given.
    for (CLI::Option *option : {port, channel}) {
        if (!several) option->expected(1);
        option->allow_extra_args(false);
    }
    if (several)
        command
            .add_option("--silence-limit", o.silenceLimits,
                        "Call the line silent once no message has come for SECONDS (LINK stays up when a cable is "
                        "cut); once per --port")
            ->check(zeltools::NumberCheck("silence limit", 1, 65535))
            ->allow_extra_args(false);
    command.add_option("--duration", o.duration,
                       std::string("Stop after SECONDS") + (listenByDefault ? "" : " of listening (default: read at once)"))
        ->check(zeltools::SecondsCheck("duration", 0.001, 1e6));
    command.add_option("--idle", o.idle,
                       "Stop SECONDS after the last message received, or after listening that long without one (exit 1)")
        ->check(zeltools::SecondsCheck("idle time", 0.001, 1e6));
}


// One line and exit code 2 for a text that is not a seven-digit address.
int FailMalformedAddress(const std::string &address) {
    return Fail(kTool, "malformed address '" + zeltools::ShownText(address, 24) +
                           "': seven digits BBSSPPP, or a diagnostic tag (LINK, SILENCE, MESSAGES, LOSSES, NOISE, KNOWN) expected");
}

}  // namespace zelhost
