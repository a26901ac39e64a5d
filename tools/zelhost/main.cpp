// zelhost: a console that plays the host. It loads the driver library by
// path, allocates the channel block the driver asks for and talks to the
// driver through ZelMain alone, with the KORVAN stand-in as its host library.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdint>
#include <map>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "cp437.h"
#include "driver_library.h"
#include "channel_options.h"
#include "driver_log.h"
#include "gateway_command.h"
#include "host_session.h"
#include "korvan_standin.h"
#include "message_changes.h"
#include "point_watch.h"
#include "port_name.h"
#include "received_bytes.h"
#include "reception_threads.h"
#include "tool_cli.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zelhost;
using zeltools::Fail;

constexpr std::string_view kTool = "zelhost";
constexpr int kTraceLevel = 8;
constexpr auto kLookInterval = std::chrono::milliseconds(50);
// The reception thread reads 1000 ms after OpenChannel has started it.
constexpr auto kThreadStartDelay = std::chrono::milliseconds(1050);
// How long an opening waits for its reception thread's first log line.
constexpr auto kThreadStartLogWait = std::chrono::seconds(2);
constexpr std::size_t kNonZeroShown = 24;
constexpr std::size_t kNoPort = kNoChannel;
constexpr int kMostPorts = 16;

struct Options {
    std::string driver;
    bool trace = false;
};

struct ChannelOptions {
    std::vector<std::string> ports;
    std::vector<int> channelNumbers;  // in the order of the ports; none: 1, 2, 3, ...
    zeltools::LineOptions line;
    double duration = 0;
    double idle = 0;
    bool utc = false;  // monitor: the wall-clock time on each line
};

// One port as the console shows it.
struct PortView {
    std::string name;  // the driver's port name
    std::ofstream captureFile;
    std::ostream *capture = nullptr;  // the file, or standard output
    double firstCaptured = -1;
    int received = 0;
    // The channel block's receive buffer, and the bytes taken from it.
    const char *receiveBuffer = nullptr;
    ReceivedBytes bytes;
    // Each message the driver applied, followed: the points' values and
    // histories, and the link state last shown.
    FollowedTable followed;
    PointWatch watch;
    int link = -1;
};

// Everything the driver's log lines touch; they arrive on the channels'
// reception threads as well as on the calling thread.
struct Console {
    std::mutex mutex;
    bool trace = false;
    bool showReceived = false;
    bool showChanges = false;
    bool utc = false;
    FILE *out = stdout;  // standard error while a capture goes to standard output
    Clock::time_point start = Clock::now();
    std::vector<PortView> ports;  // sized before any channel opens
    // With several ports, a line belongs to the port whose reception thread
    // logged it.
    ReceptionThreads threads;
    std::atomic<int> received{0};
    std::atomic<long long> lastReceivedMs{0};

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

std::string Escaped(std::string_view text) {
    const std::string quoted = zeltools::QuoteText(text);
    return quoted.substr(1, quoted.size() - 2);
}

// The time at the start of a line: seconds since the start, after the UTC
// time with --utc; blanks of the same width for a line that continues one.
std::string TimeColumn(const Console &console, double seconds, bool blank = false) {
    char text[64];
    std::snprintf(text, sizeof text, "%8.3f", seconds);
    std::string column = console.utc ? zeltools::UtcTimeText(std::chrono::system_clock::now()) + "  " + text : text;
    if (blank) column.assign(column.size(), ' ');
    return column;
}

std::size_t PortOfThisThread(const Console &console) { return ChannelOfThisThread(console.threads, console.ports.size()); }

// The port column of a line: none with one port, the port's name padded
// with several ("?" for a line of no known port).
std::string PortColumn(const Console &console, std::size_t index) {
    if (console.ports.size() <= 1) return "";
    std::size_t width = 1;
    for (const PortView &p : console.ports) width = std::max(width, p.name.size());
    std::string name = index < console.ports.size() ? console.ports[index].name : "?";
    name.resize(width, ' ');
    return name + "  ";
}

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

// A text the driver decoded: the changes it made, each on a line, then the
// points that are not 0.
void Followed(Console &console, double now, const LogLine &log) {
    const std::size_t index = PortOfThisThread(console);
    if (index >= console.ports.size()) return;
    PortView &port = console.ports[index];
    const std::vector<SeenChange> changes = FollowDecodedText(port.followed, log.text);
    if (changes.empty()) return;
    Record(port.watch, changes);
    if (!console.showChanges) return;
    const std::string column = PortColumn(console, index);
    for (const SeenChange &c : changes)
        std::fprintf(console.out, "%s  %s%s  %-13s %d -> %d\n", TimeColumn(console, now).c_str(), column.c_str(),
                     c.address.c_str(), AddressTypeOf(c.address), c.before, c.after);
    std::fprintf(console.out, "%s  %snon-zero: %s\n", TimeColumn(console, now, true).c_str(), column.c_str(),
                 NonZeroView(port.watch, kNonZeroShown).c_str());
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
            break;
        case LogKind::kPortBack:
            std::fprintf(console.out, "%s  %s  line back\n", TimeColumn(console, now).c_str(), Escaped(log.text).c_str());
            break;
        case LogKind::kReceptionStart: NoteReceptionStart(console.threads); break;
        case LogKind::kOther: break;
    }
    std::fflush(console.out);
}

void Say(Console &console, const std::string &text) {
    std::lock_guard<std::mutex> lock(console.mutex);
    std::fprintf(console.out, "%s\n", text.c_str());
    std::fflush(console.out);
}

// The driver loaded, its information read and a channel block allocated.
int Begin(const Options &options, Console &console, DriverLibrary *library, HostSession *session) {
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

// Ends the console on every way out of a command.
struct ConsoleScope {
    Console &console;
    ~ConsoleScope() { End(console); }
};

int Info(const Options &options) {
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    const DriverInfo &info = session.info;
    const LineSettings &line = info.lineSettings;
    std::printf("driver          %s\n", zeltools::ShownText(library.path, 300).c_str());
    std::printf("short name      %s\n", info.shortName != nullptr ? info.shortName : "(none)");
    std::printf("channel block   %u bytes\n", static_cast<unsigned>(info.channelBlockSize));
    std::printf("line defaults   %u baud, %u data bits, stop-bits code %u (%s), parity code %u (%s)\n", line.baudRate,
                line.dataBits, line.stopBits, zeltools::StopBitsText(line.stopBits), line.parity,
                zeltools::ParityText(line.parity));
    std::printf("fixed values    0x%X, %u, 0x%08X\n", static_cast<unsigned>(info.code), static_cast<unsigned>(info.fixed10),
                static_cast<unsigned>(info.fixed1C));
    std::printf("banner (code page 437):%s", info.banner != nullptr ? Cp437ToUtf8(info.banner).c_str() : " (none)\n");
    return zeltools::kExitOk;
}

// Refuses, before anything is opened, a --channel, --capture or --expect
// count that does not match the ports, and a channel number given twice.
int CheckPortCounts(const ChannelOptions &o, const std::vector<std::string> &captures,
                    const std::vector<std::string> &expects) {
    const std::size_t ports = o.ports.size();
    if (ports > kMostPorts) return Fail(kTool, "at most " + std::to_string(kMostPorts) + " ports");
    const std::string problem = PerPortOptionProblem(
        ports, {{"--channel", o.channelNumbers.size()}, {"--capture", captures.size()}, {"--expect", expects.size()}},
        o.channelNumbers);
    return problem.empty() ? -1 : Fail(kTool, problem);
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
        for (std::size_t i = 0; i < ports.size(); ++i) console.ports[i].name = zeltools::ShownText(ports[i].driverName);
    }
    const LineSettings line = ChosenLineSettings(o.line, first.info.lineSettings);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        HostSession session = first;
        std::string error;
        if (i > 0 && !AddChannel(first, &session, &error)) {
            Close(console, *sessions);
            return Fail(kTool, error, zeltools::kExitFailure);
        }
        const int channelNumber = o.channelNumbers.empty() ? static_cast<int>(i) + 1 : o.channelNumbers[i];
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

std::string Joined(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
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

// Prints one line that counts the points of `rows`; `title` starts it.
void SummaryLine(FILE *out, const std::string &title, std::size_t rows, int differing) {
    if (rows == 0) {
        std::fprintf(out, "%s: nothing was expected and nothing changed\n", title.c_str());
    } else if (differing == 0) {
        std::fprintf(out, "%s: all %zu points match\n", title.c_str(), rows);
    } else {
        std::fprintf(out, "%s: %d of %zu points differ\n", title.c_str(), differing, rows);
    }
}

// The table of one port; returns the points that differ.
int SummaryTable(FILE *out, const std::string &title, const std::vector<SummaryRow> &rows) {
    std::fprintf(out, "%s: what the panel sent against what the driver applied\n", title.c_str());
    std::fprintf(out, "  %-8s %-13s %-12s %-12s\n", "address", "type", "sent", "applied");
    int differing = 0;
    for (const SummaryRow &row : rows) {
        // Every change is followed: a value sent and never applied is lost.
        differing += row.allSeen ? 0 : 1;
        std::fprintf(out, "  %-8s %-13s %-12s %-12s %s\n", row.address.c_str(), AddressTypeOf(row.address),
                     ValuesText(row.sent).c_str(), ValuesText(row.read).c_str(),
                     row.allSeen ? "ok" : row.matches ? "DIFFERS (some unseen)" : "DIFFERS");
    }
    SummaryLine(out, title, rows.size(), differing);
    return differing;
}

// Reads and checks every --expect report: before any port is opened, so
// that a wrong file wastes no run, and again at the end, when zelpanel has
// written all of it.
int ReadExpectations(const std::vector<std::string> &files, std::vector<std::vector<zeltools::Expectation>> *reports) {
    for (const std::string &file : files) {
        std::string text, error;
        std::vector<zeltools::Expectation> expected;
        if (!zeltools::ReadTextFile(file, &text, &error)) return Fail(kTool, "--expect: " + error);
        if (!zeltools::ParseExpectations(text, &expected, &error))
            return Fail(kTool, "--expect " + zeltools::ShownText(file) + ": " + error);
        reports->push_back(std::move(expected));
    }
    return -1;
}

// Each port's report against its points, then the whole.
int Summary(const Console &console, const std::vector<std::vector<zeltools::Expectation>> &reports) {
    std::vector<std::vector<SummaryRow>> rows;
    for (const std::vector<zeltools::Expectation> &expected : reports)
        rows.push_back(CompareWithSent(expected, console.ports[rows.size()].watch.history));
    std::size_t total = 0;
    int differing = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        differing += SummaryTable(console.out, rows.size() > 1 ? "summary for " + console.ports[i].name : "summary", rows[i]);
        total += rows[i].size();
    }
    if (rows.size() > 1) SummaryLine(console.out, "summary", total, differing);
    std::fflush(console.out);
    return differing == 0 ? zeltools::kExitOk : zeltools::kExitNo;
}

// What LINK means, for the console.
const char *LinkText(int link) {
    switch (link) {
        case ZEL_LINK_UP: return "up";
        case ZEL_LINK_LOST: return "lost (device away, reopening every second)";
        default: return "no port";
    }
}

// A status line for each channel whose LINK changed since the last look.
void ShowLinkChanges(Console &console, std::vector<HostSession> &sessions) {
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const int link = ReadTag(sessions[i], ZEL_TAG_LINK);
        std::lock_guard<std::mutex> lock(console.mutex);
        PortView &port = console.ports[i];
        if (link == port.link) continue;
        port.link = link;
        std::fprintf(console.out, "%s  %slink: %s, silent %u s\n", TimeColumn(console, console.Seconds()).c_str(),
                     PortColumn(console, i).c_str(), LinkText(link), ReadTag(sessions[i], ZEL_TAG_SILENCE));
        std::fflush(console.out);
    }
}

// Each channel's diagnostic tags as the monitor ends, read before the close.
std::vector<std::string> LineSummaries(Console &console, std::vector<HostSession> &sessions) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        HostSession &s = sessions[i];
        char text[256];
        const unsigned link = ReadTag(s, ZEL_TAG_LINK);
        std::snprintf(text, sizeof text, "line%s: LINK %u %s, SILENCE %u s, MESSAGES %u, LOSSES %u, NOISE %u",
                      console.ports.size() > 1 ? (" " + console.ports[i].name).c_str() : "", link, LinkText(link),
                      ReadTag(s, ZEL_TAG_SILENCE), ReadTag(s, ZEL_TAG_MESSAGES), ReadTag(s, ZEL_TAG_LOSSES),
                      ReadTag(s, ZEL_TAG_NOISE));
        lines.emplace_back(text);
    }
    return lines;
}

// Once the channels are closed: ReadTag must give for every point what the
// messages followed gave; a difference means a message went unseen.
int CheckFollowedTables(Console &console, std::vector<HostSession> &sessions) {
    for (std::size_t i = 0; i < sessions.size(); ++i)
        for (const std::string &address : TableAddresses()) {
            const int followed = FollowedValue(console.ports[i].followed, address);
            const int read = ReadTag(sessions[i], address);
            if (followed != read)
                return Fail(kTool, "ReadTag gives " + std::to_string(read) + " for " + address + " where the messages followed give " +
                                       std::to_string(followed) + ": a message went unseen",
                            zeltools::kExitFailure);
        }
    return -1;
}

int Monitor(const Options &options, const ChannelOptions &o, const std::vector<std::string> &captureFiles,
            const std::vector<std::string> &expectFiles) {
    if (const int code = CheckPortCounts(o, captureFiles, expectFiles); code >= 0) return code;
    if (std::count(captureFiles.begin(), captureFiles.end(), "-") > 1)
        return Fail(kTool, "--capture - is given twice: standard output takes one capture");
    std::vector<std::vector<zeltools::Expectation>> reports;
    if (const int code = ReadExpectations(expectFiles, &reports); code >= 0) return code;
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    console.showReceived = true;
    console.showChanges = true;
    console.utc = o.utc;
    console.ports.resize(o.ports.size());
    for (std::size_t i = 0; i < captureFiles.size(); ++i) {
        PortView &port = console.ports[i];
        std::string error;
        if (captureFiles[i] == "-") {
            // Standard output holds the capture alone; the console goes to standard error.
            port.capture = &std::cout;
            console.out = stderr;
        } else if (!zeltools::OpenWriteFile(captureFiles[i], port.captureFile, &error)) {
            return Fail(kTool, "--capture: " + error);
        } else {
            port.capture = &port.captureFile;
        }
        *port.capture << "# zelhost capture: rx SECONDS UTC-TIME TEXT, seconds from the first message\n";
    }
    DriverLibrary library;
    HostSession first;
    std::vector<HostSession> sessions;
    if (const int code = Begin(options, console, &library, &first); code >= 0) return code;
    if (const int code = OpenChannels(console, first, o, &sessions); code >= 0) return code;

    const bool nothing = Listen(console, o, [&] { ShowLinkChanges(console, sessions); });
    const std::vector<std::string> lines = LineSummaries(console, sessions);
    const int closeCode = Close(console, sessions);
    End(console);
    for (const std::string &line : lines) std::fprintf(console.out, "%s\n", line.c_str());
    if (closeCode >= 0) return closeCode;
    if (const int code = CheckFollowedTables(console, sessions); code >= 0) return code;
    // Panel messages, however the reads cut them: the decoder traces each once.
    const int received = console.received.load();
    std::string perPort;  // with several ports: " (pts/4 12, pts/5 6)"
    for (const PortView &port : console.ports)
        if (console.ports.size() > 1) perPort += (perPort.empty() ? " (" : ", ") + port.name + " " + std::to_string(port.received);
    std::fprintf(console.out, "%d message%s received%s%s\n", received, received == 1 ? "" : "s", perPort.c_str(),
                 perPort.empty() ? "" : ")");
    reports.clear();
    if (const int code = ReadExpectations(expectFiles, &reports); code >= 0) return code;
    const int summaryCode = reports.empty() ? zeltools::kExitOk : Summary(console, reports);
    return nothing ? FailNothingReceived(o) : summaryCode;
}

// One line and exit code 2 for a text that is not a seven-digit address.
int FailMalformedAddress(const std::string &address) {
    return Fail(kTool, "malformed address '" + zeltools::ShownText(address, 24) +
                           "': seven digits BBSSPPP, or a diagnostic tag (LINK, SILENCE, MESSAGES, LOSSES, NOISE) expected");
}

// Seven digits that name no entry ReadTag reads (bus or slot above 8,
// point above 150): the driver answers 1 for them, as for any text it
// cannot read.
bool NamesNoEntry(const std::string &address) {
    const std::string_view text = address;
    long long bus = 0, slot = 0, point = 0;
    return !zeltools::WholeNumber(text.substr(0, 2), &bus) || !zeltools::WholeNumber(text.substr(2, 2), &slot) ||
           !zeltools::WholeNumber(text.substr(4), &point) || bus > 8 || slot > 8 || point > 150;
}

int Read(const Options &options, const ChannelOptions &o, const std::vector<std::string> &addresses) {
    for (const std::string &a : addresses)
        if (!IsAddressText(a) && !IsDiagnosticTag(a)) return FailMalformedAddress(a);
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    DriverLibrary library;
    HostSession first;
    std::vector<HostSession> sessions;
    if (const int code = Begin(options, console, &library, &first); code >= 0) return code;
    if (const int code = OpenChannels(console, first, o, &sessions); code >= 0) return code;
    const bool nothing = (o.duration > 0 || o.idle > 0) && Listen(console, o, [] {});
    std::vector<uint16_t> values;
    for (const std::string &a : addresses) values.push_back(ReadTag(sessions.front(), a));
    const int closeCode = Close(console, sessions);
    End(console);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::printf("%s %u %s\n", addresses[i].c_str(), values[i],
                    IsDiagnosticTag(addresses[i]) ? "diagnostic tag"
                    : NamesNoEntry(addresses[i]) ? "not a tag address" : AddressTypeOf(addresses[i]));
    if (closeCode >= 0) return closeCode;
    return nothing ? FailNothingReceived(o) : zeltools::kExitOk;
}

// A type named on the command line: its code, and the address type whose
// points it takes (empty for a bare type code).
struct TagType {
    int code = 0;
    std::string addressType;
};

// The driver's answer for the type code; a named type also needs an
// address of its own kind, since type code 6 serves CKT, Line Shorted and
// Battery points alike.
int Validate(const Options &options, const std::string &address, const TagType &type) {
    if (!IsAddressText(address)) return FailMalformedAddress(address);
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    const int32_t result = ValidateAddress(session, address, type.code);
    const std::string answer = "ValidateAddress answered " + ResultText(ZEL_OP_VALIDATE_ADDRESS, result);
    const std::string kind = AddressTypeOf(address);
    if (result == ZEL_OK && !type.addressType.empty() && type.addressType != kind) {
        std::printf("%s with type code %d: rejected, a %s point, not %s (%s)\n", address.c_str(), type.code,
                    kind == "-" ? "table" : kind.c_str(), type.addressType.c_str(), answer.c_str());
        return zeltools::kExitNo;
    }
    std::printf("%s with type code %d: %s, %s%s\n", address.c_str(), type.code, result == ZEL_OK ? "valid" : "rejected",
                answer.c_str(), result == ZEL_OK ? ("; a " + kind + " point").c_str() : "");
    return result == ZEL_OK ? zeltools::kExitOk : zeltools::kExitNo;
}

// A type code, or the name of an address type for its code.
bool TypeCodeOf(const std::string &text, TagType *type) {
    static const std::map<std::string, TagType> kNames{{"regular", {0, "Regular"}},
                                                       {"ckt", {6, "CKT"}},
                                                       {"shorted", {6, "Line Shorted"}},
                                                       {"line-shorted", {6, "Line Shorted"}},
                                                       {"battery", {6, "Battery"}}};
    std::string lower = text;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto it = kNames.find(lower); it != kNames.end()) {
        *type = it->second;
        return true;
    }
    int *code = &type->code;
    long long value = 0;
    if (!zeltools::WholeNumber(text, &value) || value < INT32_MIN || value > INT32_MAX) return false;
    *code = static_cast<int>(value);
    return true;
}

// `read` takes one port, `monitor` one or more (--port and --channel
// repeated in the same order).
void AddChannelOptions(CLI::App &command, ChannelOptions &o, bool listenByDefault) {
    const bool several = listenByDefault;
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
    command.add_option("--duration", o.duration,
                       std::string("Stop after SECONDS") + (listenByDefault ? "" : " of listening (default: read at once)"))
        ->check(zeltools::SecondsCheck("duration", 0.001, 1e6));
    command.add_option("--idle", o.idle,
                       "Stop SECONDS after the last message received, or after listening that long without one (exit 1)")
        ->check(zeltools::SecondsCheck("idle time", 0.001, 1e6));
}

}  // namespace

int main(int argc, char **argv) {
    zeltools::PrepareConsole();
    CLI::App app{"zelhost: the host console of the ZELWNQX fire-alarm panel driver"};
    app.require_subcommand(1);
    app.fallthrough();
    Options options;
    app.add_option("--driver", options.driver, "Driver library (default: the one beside zelhost)");
    app.add_flag("--trace", options.trace, "Also show the driver's level-8 trace lines");

    app.add_subcommand("info", "Show the driver's information and banner");

    ChannelOptions monitorOptions;
    std::vector<std::string> captureFiles, expectFiles;
    CLI::App *monitor = app.add_subcommand("monitor", "Open a channel on each port and show the points as they change");
    AddChannelOptions(*monitor, monitorOptions, true);
    monitor
        ->add_option("--capture", captureFiles,
                     "Write every message received, with its time, to FILE (for zelpanel replay; - for standard output); "
                     "once per --port")
        ->allow_extra_args(false);
    monitor->add_flag("--utc", monitorOptions.utc, "Show the wall-clock time (UTC, ISO 8601) on each line");
    monitor
        ->add_option("--expect", expectFiles,
                     "At the end, compare what ReadTag returned with a zelpanel report FILE; once per --port")
        ->allow_extra_args(false);

    ChannelOptions readOptions;
    std::vector<std::string> addresses;
    CLI::App *read = app.add_subcommand("read", "Open the channel, optionally listen, and print ReadTag of each address");
    AddChannelOptions(*read, readOptions, false);
    read->add_option("address", addresses, "Tag addresses BBSSPPP")->required();

    std::string address;
    std::string typeText;
    CLI::App *validate = app.add_subcommand("validate", "Ask the driver whether an address suits a tag type (exit 0 valid, 1 rejected)");
    validate->add_option("address", address, "Tag address BBSSPPP")->required();
    validate->add_option("type", typeText, "Type code (0 Regular; 6 CKT, Line Shorted, Battery) or a type name: regular, ckt, shorted, battery")
        ->required();

    zelhost::GatewayCommand *gateway = zelhost::AddGatewayCommand(app);

    if (const int code = zeltools::ParseCommandLine(app, argc, argv, kTool); code >= 0) return code;
    if (zelhost::GatewayChosen(gateway)) return zelhost::RunGateway(*gateway, options.driver, options.trace);
    if (monitor->parsed()) return Monitor(options, monitorOptions, captureFiles, expectFiles);
    if (read->parsed()) return Read(options, readOptions, addresses);
    if (validate->parsed()) {
        TagType type;
        if (!TypeCodeOf(typeText, &type))
            return Fail(kTool, "type '" + zeltools::ShownText(typeText, 24) +
                                   "' is neither a type code nor one of regular, ckt, shorted, battery");
        return Validate(options, address, type);
    }
    return Info(options);
}
