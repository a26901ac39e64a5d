// What zelhost's commands share: the driver loaded as a host loads it, its
// log lines shown, a channel opened on each port given, and listening until
// stopped. The driver's log lines arrive on the channels' reception threads
// as well as on the calling thread, so all they touch sits in the Console,
// under its mutex.
#pragma once

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver_library.h"
#include "host_session.h"
#include "message_changes.h"
#include "point_watch.h"
#include "received_bytes.h"
#include "reception_threads.h"
#include "tool_cli.h"

namespace zelhost {

inline constexpr std::string_view kTool = "zelhost";

// The options before the command.
struct Options {
    std::string driver;
    bool trace = false;
};

// The options of the commands that open channels.
struct ChannelOptions {
    std::vector<std::string> ports;
    std::vector<int> channelNumbers;  // in the order of the ports; none: 1, 2, 3, ...
    std::vector<int> silenceLimits;   // monitor: seconds, in the order of the ports; none: no limit
    zeltools::LineOptions line;
    double duration = 0;
    double idle = 0;
    bool utc = false;  // monitor: the wall-clock time on each line
};

// `read` takes one port, `monitor` one or more (--port and --channel
// repeated in the same order).
void AddChannelOptions(CLI::App &command, ChannelOptions &o, bool several);

// One port as the console shows it.
struct PortView {
    std::string name;  // the driver's port name
    int channelNumber = 1;
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

using Clock = std::chrono::steady_clock;

struct Console {
    std::mutex mutex;
    bool trace = false;
    bool showReceived = false;
    bool utc = false;
    FILE *out = stdout;  // standard error while a capture goes to standard output
    Clock::time_point start = Clock::now();
    std::vector<PortView> ports;  // sized before any channel opens
    // With several ports, a line belongs to the port whose reception thread
    // logged it.
    ReceptionThreads threads;
    std::atomic<int> received{0};
    std::atomic<long long> lastReceivedMs{0};
    // What a command does with the changes of each message, and with a
    // line lost or back (under the mutex, on the reception thread).
    std::function<void(std::size_t port, double now, const std::vector<SeenChange> &changes)> changed;
    std::function<void(std::size_t port, double now, bool back)> lineChanged;

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

// The time at the start of a line: seconds since the start, after the UTC
// time with --utc; blanks of the same width for a line that continues one.
std::string TimeColumn(const Console &console, double seconds, bool blank = false);
// The port column of a line: none with one port, the port's name padded
// with several ("?" for a line of no known port).
std::string PortColumn(const Console &console, std::size_t index);
// A line on the console's output, at once.
void Say(Console &console, const std::string &text);

// The driver loaded, its information read and a channel block allocated,
// its log lines shown on the console (level 8 with --trace); -1 when all
// went well, else the exit code.
int Begin(const Options &options, Console &console, DriverLibrary *library, HostSession *session);
// Log lines after this go to the stand-in's default (stderr), not to us.
void End(Console &console);
// Ends the console on every way out of a command.
struct ConsoleScope {
    Console &console;
    ~ConsoleScope() { End(console); }
};

// Refuses, before anything is opened, a per-port option whose count does
// not match the ports, and a channel number given twice.
int CheckPortCounts(const ChannelOptions &o, const std::vector<std::pair<std::string, std::size_t>> &perPort);
// Opens a channel on each port, one channel block each, with Ctrl-C set to
// stop them; -1 when all are open. When one fails, the channels already
// open are closed again.
int OpenChannels(Console &console, HostSession &first, const ChannelOptions &o, std::vector<HostSession> *sessions);
int Close(Console &console, std::vector<HostSession> &sessions);

// Waits for the reception threads, then calls `look` until stopped:
// Ctrl-C, --duration, or --idle seconds without a message, counted from
// the last message or, before the first, from the start of listening.
// True when it stopped on --idle without any message.
bool Listen(Console &console, const ChannelOptions &o, const std::function<void()> &look);
// A line on which nothing arrived (wrong baud rate, no cable) ends with a
// negative answer.
int FailNothingReceived(const ChannelOptions &o);

// One line and exit code 2 for a text that is not a seven-digit address
// or a diagnostic tag.
int FailMalformedAddress(const std::string &address);

// What LINK means, for the console.
const char *LinkText(int link);

}  // namespace zelhost
