// zelhost: a console that plays the host. It loads the driver library by
// path, allocates the channel block the driver asks for and talks to the
// driver through ZelMain alone, with the KORVAN stand-in as its host library.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cctype>
#include <climits>
#include <map>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "cp437.h"
#include "driver_library.h"
#include "host_session.h"
#include "korvan_standin.h"
#include "point_watch.h"
#include "port_name.h"
#include "tool_cli.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zelhost;
using zeltools::Fail;

constexpr std::string_view kTool = "zelhost";
constexpr int kTraceLevel = 8;
constexpr std::string_view kReceivedPrefix = "String from Comport ";
constexpr auto kLookInterval = std::chrono::milliseconds(50);
// The reception thread reads 1000 ms after OpenChannel has started it.
constexpr auto kThreadStartDelay = std::chrono::milliseconds(1050);
constexpr std::size_t kNonZeroShown = 24;

struct Options {
    std::string driver;
    bool trace = false;
};

struct ChannelOptions {
    std::string port;
    zeltools::LineOptions line;
    int channelNumber = 1;
    double duration = 0;
    double idle = 0;
};

// Everything the driver's log lines touch; they arrive on the reception
// thread as well as on the calling thread.
struct Console {
    std::mutex mutex;
    bool trace = false;
    bool showReceived = false;
    Clock::time_point start = Clock::now();
    std::ofstream capture;
    double firstCaptured = -1;
    std::atomic<int> received{0};
    std::atomic<long long> lastReceivedMs{0};

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

std::string Escaped(std::string_view text) {
    const std::string quoted = zeltools::QuoteText(text);
    return quoted.substr(1, quoted.size() - 2);
}

void OnDriverLog(void *context, int level, const char *line) {
    auto &console = *static_cast<Console *>(context);
    const std::string_view text = line != nullptr ? line : "";
    std::lock_guard<std::mutex> lock(console.mutex);
    const double now = console.Seconds();
    if (level != kTraceLevel || console.trace) std::printf("[%d] %s\n", level, Escaped(text).c_str());
    if (level == kTraceLevel && text.rfind(kReceivedPrefix, 0) == 0 && text.size() > kReceivedPrefix.size()) {
        const std::string_view message = text.substr(kReceivedPrefix.size());
        ++console.received;
        console.lastReceivedMs = static_cast<long long>(now * 1000);
        if (console.showReceived) std::printf("%8.3f  rx  %s\n", now, zeltools::QuoteText(message).c_str());
        if (console.capture.is_open()) {
            if (console.firstCaptured < 0) console.firstCaptured = now;
            console.capture << zeltools::CaptureLine(now - console.firstCaptured, message) << '\n';
            console.capture.flush();
        }
    }
    std::fflush(stdout);
}

void Say(Console &console, const std::string &text) {
    std::lock_guard<std::mutex> lock(console.mutex);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The driver loaded, its information read and a channel block allocated.
int Begin(const Options &options, Console &console, DriverLibrary *library, HostSession *session) {
    KorStandinSetLogSink(&OnDriverLog, &console);
    const std::string path = options.driver.empty() ? DefaultDriverPath() : options.driver;
    std::string error;
    if (!LoadDriverLibrary(path, library, &error)) return Fail(kTool, error, zeltools::kExitFailure);
    if (!StartSession(library->zelMain, session, &error)) return Fail(kTool, error, zeltools::kExitFailure);
    return -1;
}

// Log lines after this go to the stand-in's default (stderr), not to us.
void End(Console &console) {
    KorStandinSetLogSink(nullptr, nullptr);
    std::lock_guard<std::mutex> lock(console.mutex);
    if (console.capture.is_open()) console.capture.close();
    std::fflush(stdout);
}

// Ends the console on every way out of a command; the driver's thread
// outlives it.
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
    std::printf("driver          %s\n", library.path.c_str());
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

// Opens the channel as the options say, with Ctrl-C set to stop it; returns
// -1 when open.
int OpenFromOptions(Console &console, HostSession &session, const ChannelOptions &o) {
    zeltools::InstallStopHandler();
    PortChoice port;
    std::string error;
    if (!ResolvePortName(o.port, &port, &error)) return Fail(kTool, error);
    if (port.driverName != o.port) Say(console, "port " + o.port + " is " + port.device + ", driver port name " + port.driverName);
    // Line settings not given are the driver's own defaults.
    const LineSettings defaults = session.info.lineSettings;
    auto pick = [](const CLI::Option *option, int given, uint16_t fallback) {
        return option != nullptr && option->count() > 0 ? static_cast<uint16_t>(given) : fallback;
    };
    const LineSettings line{pick(o.line.baudOption, o.line.baud, defaults.baudRate),
                            pick(o.line.dataBitsOption, o.line.dataBits, defaults.dataBits),
                            pick(o.line.stopBitsOption, o.line.stopBits, defaults.stopBits),
                            pick(o.line.parityOption, o.line.parity, defaults.parity)};
    char text[256];
    std::snprintf(text, sizeof text, "opening %s: %u baud, %u data bits, %s, %s, read time-out %d (%.2f s), channel %d",
                  port.driverName.c_str(), line.baudRate, line.dataBits, zeltools::StopBitsText(line.stopBits),
                  zeltools::ParityText(line.parity), o.line.timeoutUnits, o.line.timeoutUnits / 100.0, o.channelNumber);
    Say(console, text);
    const int32_t result =
        OpenChannel(session, port.driverName, line, static_cast<uint32_t>(o.line.timeoutUnits), o.channelNumber);
    if (result == ZEL_OK) return -1;
    const std::string why = "cannot open " + port.driverName + ": OpenChannel answered " + ResultText(ZEL_OP_OPEN_CHANNEL, result);
    return Fail(kTool, why, result == ZEL_PORT_FAILED ? zeltools::kExitBadInput : zeltools::kExitFailure);
}

// Waits for the reception thread, then looks at the table until stopped:
// Ctrl-C, --duration, or --idle seconds after the last message.
void Listen(Console &console, const ChannelOptions &o, const std::function<void()> &look) {
    const Clock::time_point opened = Clock::now();
    const auto ready = opened + kThreadStartDelay;
    while (Clock::now() < ready && !zeltools::StopRequested()) std::this_thread::sleep_for(kLookInterval);
    Say(console, "listening on " + o.port + (o.duration > 0 || o.idle > 0 ? "" : "; Ctrl-C closes the channel"));
    for (;;) {
        look();
        if (zeltools::StopRequested()) break;
        const double now = console.Seconds();
        if (o.duration > 0 && std::chrono::duration<double>(Clock::now() - opened).count() >= o.duration) break;
        if (o.idle > 0 && console.received > 0 && now - console.lastReceivedMs / 1000.0 >= o.idle) break;
        std::this_thread::sleep_for(kLookInterval);
    }
    look();
}

int Close(Console &console, HostSession &session) {
    const int32_t result = CloseChannel(session);
    Say(console, "channel closed: CloseChannel answered " + ResultText(ZEL_OP_CLOSE_CHANNEL, result));
    return result == ZEL_OK ? -1 : zeltools::kExitFailure;
}

int Summary(const std::string &expectFile, const PointWatch &watch) {
    std::ifstream in(expectFile, std::ios::binary);
    if (!in) return Fail(kTool, "cannot read " + expectFile);
    std::ostringstream all;
    all << in.rdbuf();
    std::vector<zeltools::Expectation> expected;
    std::string error;
    if (!zeltools::ParseExpectations(all.str(), &expected, &error)) return Fail(kTool, expectFile + ": " + error);
    const std::vector<SummaryRow> rows = CompareWithSent(expected, watch.history);
    std::printf("summary: what the panel sent against what ReadTag returned\n");
    std::printf("  %-8s %-13s %-12s %-12s\n", "address", "type", "sent", "ReadTag");
    int differing = 0;
    for (const SummaryRow &row : rows) {
        differing += row.matches ? 0 : 1;
        std::printf("  %-8s %-13s %-12s %-12s %s\n", row.address.c_str(), AddressTypeOf(row.address),
                    ValuesText(row.sent).c_str(), ValuesText(row.read).c_str(), row.matches ? "ok" : "DIFFERS");
    }
    if (rows.empty()) {
        std::printf("summary: nothing was expected and nothing changed\n");
    } else if (differing == 0) {
        std::printf("summary: all %zu points match\n", rows.size());
    } else {
        std::printf("summary: %d of %zu points differ\n", differing, rows.size());
    }
    std::fflush(stdout);
    return differing == 0 ? zeltools::kExitOk : zeltools::kExitNo;
}

int Monitor(const Options &options, const ChannelOptions &o, const std::string &captureFile, const std::string &expectFile) {
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    console.showReceived = true;
    if (!captureFile.empty()) {
        console.capture.open(captureFile, std::ios::binary | std::ios::trunc);
        if (!console.capture) return Fail(kTool, "cannot write the capture " + captureFile);
        console.capture << "# zelhost capture: rx SECONDS TEXT, seconds from the first message\n";
    }
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    if (const int code = OpenFromOptions(console, session, o); code >= 0) return code;

    const ReadPoint read = [&](const std::string &address) { return static_cast<int>(ReadTag(session, address)); };
    PointWatch watch = StartWatch(read);
    Listen(console, o, [&] {
        const std::vector<SeenChange> changes = Look(watch, read);
        if (changes.empty()) return;
        std::lock_guard<std::mutex> lock(console.mutex);
        const double now = console.Seconds();
        for (const SeenChange &c : changes)
            std::printf("%8.3f  %s  %-13s %d -> %d\n", now, c.address.c_str(), AddressTypeOf(c.address), c.before, c.after);
        std::printf("          non-zero: %s\n", NonZeroView(watch, kNonZeroShown).c_str());
        std::fflush(stdout);
    });
    const int closeCode = Close(console, session);
    End(console);
    if (closeCode >= 0) return closeCode;
    std::printf("%d message%s received\n", console.received.load(), console.received == 1 ? "" : "s");
    if (!expectFile.empty()) return Summary(expectFile, watch);
    return zeltools::kExitOk;
}

// One line and exit code 2 for a text that is not a seven-digit address.
int FailMalformedAddress(const std::string &address) {
    return Fail(kTool, "malformed address '" + address + "': seven digits BBSSPPP expected");
}

int Read(const Options &options, const ChannelOptions &o, const std::vector<std::string> &addresses) {
    for (const std::string &a : addresses)
        if (!IsAddressText(a)) return FailMalformedAddress(a);
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    if (const int code = OpenFromOptions(console, session, o); code >= 0) return code;
    if (o.duration > 0 || o.idle > 0) Listen(console, o, [] {});
    std::vector<uint16_t> values;
    for (const std::string &a : addresses) values.push_back(ReadTag(session, a));
    const int closeCode = Close(console, session);
    End(console);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::printf("%s %u %s\n", addresses[i].c_str(), values[i], AddressTypeOf(addresses[i]));
    return closeCode >= 0 ? closeCode : zeltools::kExitOk;
}

int Validate(const Options &options, const std::string &address, int typeCode) {
    if (!IsAddressText(address)) return FailMalformedAddress(address);
    Console console;
    ConsoleScope scope{console};
    console.trace = options.trace;
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    const int32_t result = ValidateAddress(session, address, typeCode);
    std::printf("%s with type code %d: %s, ValidateAddress answered %s\n", address.c_str(), typeCode,
                result == ZEL_OK ? "valid" : "rejected", ResultText(ZEL_OP_VALIDATE_ADDRESS, result).c_str());
    return result == ZEL_OK ? zeltools::kExitOk : zeltools::kExitNo;
}

// A type code, or the name of an address type for its code.
bool TypeCodeOf(const std::string &text, int *code) {
    static const std::map<std::string, int> kNames{{"regular", 0}, {"ckt", 6}, {"shorted", 6}, {"line-shorted", 6}, {"battery", 6}};
    std::string lower = text;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto it = kNames.find(lower); it != kNames.end()) {
        *code = it->second;
        return true;
    }
    if (text.empty() || text.size() > 10 || text.find_first_not_of("-0123456789") != std::string::npos) return false;
    try {
        std::size_t used = 0;
        const long long value = std::stoll(text, &used);
        if (used != text.size() || value < INT32_MIN || value > INT32_MAX) return false;
        *code = static_cast<int>(value);
        return true;
    } catch (...) {
        return false;
    }
}

void AddChannelOptions(CLI::App &command, ChannelOptions &o, bool listenByDefault) {
    command.add_option("--port", o.port, "Port: Linux pts/3, ttyUSB0 or a path such as /dev/serial/by-id/...; Windows COM5")
        ->required();
    zeltools::AddLineOptions(command, o.line);
    command.add_option("--channel", o.channelNumber, "The host's channel number (default 1)")->check(CLI::Range(0, 9999));
    command.add_option("--duration", o.duration,
                       std::string("Stop after SECONDS") + (listenByDefault ? "" : " of listening (default: read at once)"))
        ->check(CLI::Range(0.001, 1e6));
    command.add_option("--idle", o.idle, "Stop SECONDS after the last message received")->check(CLI::Range(0.001, 1e6));
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
    std::string captureFile, expectFile;
    CLI::App *monitor = app.add_subcommand("monitor", "Open the channel and show the points as they change");
    AddChannelOptions(*monitor, monitorOptions, true);
    monitor->add_option("--capture", captureFile, "Write every message received, with its time, to FILE (for zelpanel replay)");
    monitor->add_option("--expect", expectFile, "At the end, compare what ReadTag returned with a zelpanel report FILE");

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

    if (const int code = zeltools::ParseCommandLine(app, argc, argv, kTool); code >= 0) return code;
    if (monitor->parsed()) return Monitor(options, monitorOptions, captureFile, expectFile);
    if (read->parsed()) return Read(options, readOptions, addresses);
    if (validate->parsed()) {
        int typeCode = 0;
        if (!TypeCodeOf(typeText, &typeCode))
            return Fail(kTool, "type '" + typeText + "' is neither a type code nor one of regular, ckt, shorted, battery");
        return Validate(options, address, typeCode);
    }
    return Info(options);
}
