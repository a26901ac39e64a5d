// zelpanel: plays the fire-alarm panel on a serial line, so that the whole
// chain from the wire to the host's ReadTag runs without a panel.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "pacing.h"
#include "panel_line.h"
#include "panel_message.h"
#include "panel_script.h"
#include "tool_cli.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zelpanel;
using zeltools::Fail;

constexpr std::string_view kTool = "zelpanel";
// The driver takes messages back to back, so a short pause is enough.
constexpr double kDefaultPause = 0.05;
// The line stays open this long beyond the driver's read time-out after the
// last message: a pseudo-terminal loses what its reader has not yet read
// when the panel's end closes.
constexpr double kMargin = 0.5;
constexpr double kPtyStartDelay = 1.5;  // the driver's thread reads 1 s after opening

struct SendOptions {
    std::string port;
    bool pty = false;
    zeltools::LineOptions line;
    double pause = -1;       // -1: kDefaultPause
    double startDelay = -1;  // -1: kPtyStartDelay on a pseudo-terminal, else 0
    double waitReader = 60;
    double hold = 0;
    std::string report;
    double speed = 1;  // replay: recorded times divided by this
    CLI::Option *pauseOption = nullptr;
};

struct Sources {
    std::vector<std::string> events;
    std::string script;
};

// One message to send, with its planned start relative to the first (replay)
// or the pause before it (scripts).
struct Outgoing {
    PanelMessage message;
    std::string bytes;
    double extraWait = 0;  // script waits before this message
    double at = -1;        // replay: seconds after the first message
    double pause = -1;     // script: the pause before it; -1: --pause
};

void AddSendOptions(CLI::App &command, SendOptions &o, bool withLine) {
    if (withLine) {
        auto *port = command.add_option("--port", o.port, "Serial port to send on (Linux: pts/3, ttyUSB0 or a path; Windows: COM6)");
        auto *pty = command.add_flag("--pty", o.pty, "Create a pseudo-terminal pair and print the reader's port name (Linux)");
        port->excludes(pty);
    }
    zeltools::AddLineOptions(command, o.line);
    o.pauseOption = command.add_option("--pause", o.pause, "Seconds between messages (default 0.05; 0 sends them back to back)")
                        ->check(zeltools::SecondsCheck("pause", 0, 3600));
    if (!withLine) return;
    command.add_option("--start-delay", o.startDelay, "Seconds before the first message (default 1.5 with --pty, else 0)")
        ->check(zeltools::SecondsCheck("start delay", 0, 3600));
    command.add_option("--wait-reader", o.waitReader, "With --pty: seconds to wait for a reader to open the port (default 60)")
        ->check(zeltools::SecondsCheck("reader wait", 0, 86400));
    command.add_option("--hold", o.hold, "Seconds to keep the line open after the last message, beyond the read time-out + 0.5 s it stays open anyway")
        ->check(zeltools::SecondsCheck("hold", 0, 86400));
    command.add_option("--report", o.report, "Write what was sent, and the ReadTag values it should give, to FILE (- for standard output)");
}

void AddSources(CLI::App &command, Sources &s) {
    command.add_option("events", s.events, "Messages, one per argument: \"ckt bus=1 slot=4 point=130\", \"battery bus=3; bit1 bus=2 slot=1 point=127\", clear, raw \"...\", \"wait 2\", \"pause 0\" (back to back from here on)");
    command.add_option("--script", s.script, "Script file, one message, wait or pause per line (- for standard input)");
}

bool StepsFromSources(const Sources &s, std::vector<Outgoing> *out, std::string *error) {
    std::vector<ScriptStep> steps;
    if (!s.script.empty()) {
        std::string text;
        if (!zeltools::ReadTextFile(s.script, &text, error)) return false;
        if (!ParseScript(text, &steps, error)) {
            *error = zeltools::ShownText(s.script) + ": " + *error;
            return false;
        }
    }
    for (const std::string &event : s.events)
        if (!ParseScriptLine(event, &steps, error)) return false;
    double wait = 0, pause = -1;
    for (const ScriptStep &step : steps) {
        if (step.isWait) {
            wait += step.waitSeconds;
            continue;
        }
        if (step.isPause) {
            pause = step.pauseSeconds;
            continue;
        }
        out->push_back({step.message, WireText(step.message), wait, -1, pause});
        wait = 0;
    }
    if (out->empty()) {
        *error = "nothing to send: give events or --script";
        return false;
    }
    return true;
}

// Writes the report: a line for each message sent and one for each point it
// should change.
class Reporter {
public:
    // The first line goes out at once, so that a host reading the report
    // while it is being written knows it for one.
    bool Open(const std::string &path, std::string *error) {
        if (path.empty()) return true;
        if (path == "-") {
            out_ = &std::cout;
        } else if (zeltools::OpenWriteFile(path, file_, error)) {
            out_ = &file_;
        } else {
            *error = "--report: " + *error;
            return false;
        }
        *out_ << "# zelpanel report: sent SEQ SECONDS TEXT DESCRIPTION; expect SEQ ADDRESS VALUE\n";
        out_->flush();
        return true;
    }
    bool ToStandardOutput() const { return out_ == &std::cout; }
    void Message(int sequence, double seconds, const Outgoing &o) {
        bool predicted = true;
        const std::vector<PointChange> changes = ApplyMessage(model_, o.message, &predicted);
        if (out_ == nullptr) return;
        *out_ << zeltools::SentLine(sequence, seconds, o.bytes, Describe(o.message)) << '\n';
        if (!predicted) *out_ << "# message " << sequence << " is raw: its effect is not predicted\n";
        for (const PointChange &c : changes) *out_ << zeltools::ExpectLine(sequence, c.address, c.value) << '\n';
        out_->flush();
    }

private:
    std::ofstream file_;
    std::ostream *out_ = nullptr;
    TableModel model_;
};

bool SleepFor(double seconds) {
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < until) {
        if (zeltools::StopRequested()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
    }
    return !zeltools::StopRequested();
}

double PauseOf(const SendOptions &o) { return o.pause >= 0 ? o.pause : kDefaultPause; }
double PauseBefore(const SendOptions &o, const Outgoing &m) { return m.pause >= 0 ? m.pause : PauseOf(o); }

// Sends the messages; returns the exit code.
int Transmit(SendOptions &o, std::vector<Outgoing> &messages) {
    Reporter reporter;
    std::string error;
    if (!reporter.Open(o.report, &error)) return Fail(kTool, error);
    const bool chatty = !reporter.ToStandardOutput();
    if (!o.pty && o.port.empty()) return Fail(kTool, "give --port NAME or --pty");

    PanelLine line;
    zeltools::InstallStopHandler();
    if (o.pty) {
        std::string portName;
        if (!OpenPtyLine(&line, &portName, &error)) return Fail(kTool, error);
        // The reader's port name comes first; within a report it is a comment.
        std::printf("%sport %s\n", chatty ? "" : "# ", portName.c_str());
        if (chatty) std::printf("waiting for a reader to open %s\n", portName.c_str());
        std::fflush(stdout);
        if (!line.waitForReader(o.waitReader)) {
            line.close();
            if (zeltools::StopRequested())
                return Fail(kTool, "interrupted while waiting for a reader of " + portName + ": nothing sent",
                            zeltools::StopExitCode());
            return Fail(kTool, "nobody opened " + portName + " within " + zeltools::FormatSeconds(o.waitReader) + " s",
                        zeltools::kExitFailure);
        }
    } else {
        const LineSettings settings{static_cast<uint16_t>(o.line.baud), static_cast<uint16_t>(o.line.dataBits),
                                    static_cast<uint16_t>(o.line.stopBits), static_cast<uint16_t>(o.line.parity)};
        if (!OpenPortLine(o.port, settings, &line, &error)) return Fail(kTool, error);
        if (chatty)
            std::printf("port %s: %d baud, %d data bits, %s, %s\n", zeltools::ShownText(o.port).c_str(), o.line.baud,
                        o.line.dataBits, zeltools::StopBitsText(o.line.stopBits), zeltools::ParityText(o.line.parity));
        std::fflush(stdout);
    }
    const double timeout = o.line.timeoutUnits / 100.0;
    const double startDelay = o.startDelay >= 0 ? o.startDelay : (o.pty ? kPtyStartDelay : 0.0);
    bool running = SleepFor(startDelay);

    const Clock::time_point first = Clock::now();
    auto secondsSinceFirst = [&] { return std::chrono::duration<double>(Clock::now() - first).count(); };
    double previousEnd = -1;
    int sequence = 0, sent = 0;
    for (const Outgoing &m : messages) {
        if (!running) break;
        if (previousEnd >= 0) {
            // Replay keeps the recorded spacing; scripts pause after each message.
            const double start = m.at >= 0 ? std::max(m.at - messages.front().at, previousEnd)
                                           : previousEnd + PauseBefore(o, m) + m.extraWait;
            running = SleepFor(start - secondsSinceFirst());
            if (!running) break;
        } else if (m.extraWait > 0 && !(running = SleepFor(m.extraWait))) {
            break;
        }
        const double at = previousEnd < 0 ? 0.0 : secondsSinceFirst();
        ++sequence;
        const double lasts = LineSeconds(m.bytes.size(), o.line.baud);
        if (chatty) {
            std::printf("message %d at %s s: %s (%zu bytes, %s s on the line)\n", sequence, zeltools::FormatSeconds(at).c_str(),
                        Describe(m.message).c_str(), m.bytes.size(), zeltools::FormatSeconds(lasts).c_str());
            if (lasts > timeout)
                std::printf("  note: longer than the read time-out of %s s; the driver joins the reads it takes\n",
                            zeltools::FormatSeconds(timeout).c_str());
            std::fflush(stdout);
        }
        if (!SendPaced(m.bytes, o.line.baud, line.write, zeltools::StopRequested)) {
            line.close();
            const std::string why = line.failure->empty() ? "" : ": " + *line.failure;
            return Fail(kTool, "writing to " + line.description + " failed" + why, zeltools::kExitFailure);
        }
        if (zeltools::StopRequested()) break;  // cut short: not reported as sent
        reporter.Message(sequence, at, m);
        ++sent;
        previousEnd = secondsSinceFirst();
    }
    // The driver reads the last message within its time-out; the line stays
    // open until then, and for --hold.
    if (running) running = SleepFor(std::max(PauseOf(o), timeout + kMargin));
    if (running) SleepFor(o.hold);
    line.close();
    if (chatty) {
        std::printf("sent %d message%s on %s\n", sent, sent == 1 ? "" : "s", line.description.c_str());
        std::fflush(stdout);
    }
    // Cut short before every message went out: a script must be able to tell.
    if (sent < static_cast<int>(messages.size()))
        return Fail(kTool, "interrupted after " + std::to_string(sent) + " of " + std::to_string(messages.size()) +
                               " messages", zeltools::StopExitCode());
    return zeltools::kExitOk;
}

int Show(SendOptions &o, std::vector<Outgoing> &messages) {
    // The report of a transmission, with the times it would have, unsent.
    Reporter reporter;
    std::string error;
    reporter.Open("-", &error);
    double at = 0;
    int sequence = 0;
    for (const Outgoing &m : messages) {
        if (sequence > 0) at += PauseBefore(o, m) + m.extraWait;
        reporter.Message(++sequence, at, m);
        at += LineSeconds(m.bytes.size(), o.line.baud);
    }
    return zeltools::kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    zeltools::PrepareConsole();
    CLI::App app{"zelpanel: plays the fire-alarm panel on a serial line (the panel's message format, paced at the baud rate)"};
    app.require_subcommand(1);

    SendOptions sendOptions;
    Sources sendSources;
    CLI::App *send = app.add_subcommand("send", "Send events from the command line or a script");
    AddSendOptions(*send, sendOptions, true);
    AddSources(*send, sendSources);

    SendOptions randomOptions;
    uint32_t seed = 1;
    int count = 10, maxEvents = 3;
    bool noClear = false;
    CLI::App *random = app.add_subcommand("random", "Send random traffic from a seed, for soak tests");
    AddSendOptions(*random, randomOptions, true);
    random->add_option("--seed", seed, "Seed; the same seed sends the same traffic (default 1)")
        ->check(zeltools::NumberCheck("seed", 0, 4294967295LL));
    random->add_option("--count", count, "Messages to send (default 10)")->check(zeltools::NumberCheck("count", 1, 1000000));
    random->add_option("--max-events", maxEvents, "Events per message, at most (1-15, default 3)")
        ->check(zeltools::NumberCheck("events per message", 1, 15));
    random->add_flag("--no-clear", noClear, "Send no clear commands");

    SendOptions replayOptions;
    std::string replayFile;
    CLI::App *replay = app.add_subcommand("replay", "Send the messages of a zelhost capture (or a zelpanel report) with their timing");
    AddSendOptions(*replay, replayOptions, true);
    replay->add_option("file", replayFile, "Capture file (rx lines) or report (sent lines)")->required();
    replay->add_option("--speed", replayOptions.speed, "Replay FACTOR times faster (default 1; 288 plays 24 hours in 5 minutes)")
        ->check(zeltools::SecondsCheck("speed factor", 0.001, 1000000));

    SendOptions showOptions;
    Sources showSources;
    CLI::App *show = app.add_subcommand("show", "Print the report of events without sending them");
    AddSendOptions(*show, showOptions, false);
    AddSources(*show, showSources);

    if (const int code = zeltools::ParseCommandLine(app, argc, argv, kTool); code >= 0) return code;

    std::string error;
    std::vector<Outgoing> messages;
    if (send->parsed()) {
        if (!StepsFromSources(sendSources, &messages, &error)) return Fail(kTool, error);
        return Transmit(sendOptions, messages);
    }
    if (show->parsed()) {
        if (!StepsFromSources(showSources, &messages, &error)) return Fail(kTool, error);
        return Show(showOptions, messages);
    }
    if (random->parsed()) {
        for (const PanelMessage &m : RandomTraffic(seed, count, maxEvents, !noClear)) messages.push_back({m, WireText(m), 0, -1});
        return Transmit(randomOptions, messages);
    }
    // A replay keeps the recorded spacing, scaled by --speed; a pause would contradict it.
    if (replayOptions.pauseOption->count() > 0)
        return Fail(kTool, "replay keeps the recorded timing: --pause does not apply (--speed FACTOR plays it faster)");
    std::string text;
    std::vector<zeltools::TimedText> recorded;
    const std::string shownFile = zeltools::ShownText(replayFile);
    if (!zeltools::ReadTextFile(replayFile, &text, &error)) return Fail(kTool, error);
    if (!zeltools::ParseTimedMessages(text, &recorded, &error)) return Fail(kTool, shownFile + ": " + error);
    if (recorded.empty()) return Fail(kTool, shownFile + ": no messages (rx or sent lines)");
    for (const zeltools::TimedText &r : recorded) {
        PanelMessage m;
        m.type = MessageType::Raw;
        m.raw = r.bytes;
        messages.push_back({m, r.bytes, 0, r.seconds / replayOptions.speed});
    }
    return Transmit(replayOptions, messages);
}
