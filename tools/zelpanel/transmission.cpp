#include "transmission.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "pacing.h"
#include "panel_line.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace zelpanel {
namespace {

using Clock = std::chrono::steady_clock;
using zeltools::Fail;

// The driver takes messages back to back, so a short pause is enough.
constexpr double kDefaultPause = 0.05;
// The line stays open this long beyond the driver's read time-out after the
// last message: a pseudo-terminal loses what its reader has not yet read
// when the panel's end closes.
constexpr double kMargin = 0.5;
constexpr double kPtyStartDelay = 1.5;  // the driver's thread reads 1 s after opening

bool SleepFor(double seconds) {
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < until) {
        if (zeltools::StopRequested()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
    }
    return !zeltools::StopRequested();
}

std::string BytesText(std::size_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

double PauseOf(const SendOptions &o) { return o.pause >= 0 ? o.pause : kDefaultPause; }

void AddFaultOptions(CLI::App &command, FaultSettings &f) {
    command.add_option("--corrupt", f.corruptRate,
                       "Line fault: flip one random bit of each byte sent with chance RATE, 0-1 (0.01: one byte in a hundred)")
        ->check(zeltools::SecondsCheck("corruption rate", 0, 1));
    command.add_flag("--noise", f.noise,
                     "Line fault: send 1-8 random bytes of no message before each message (the driver counts them as NOISE)");
    command.add_option("--fault-seed", f.seed, "Seed of the line faults; the same seed gives the same faults (default 1)")
        ->check(zeltools::NumberCheck("fault seed", 0, 4294967295LL));
}

}  // namespace

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
    AddFaultOptions(command, o.faults);
}

double PauseBefore(const SendOptions &o, const Outgoing &m) { return m.pause >= 0 ? m.pause : PauseOf(o); }

bool Reporter::Open(const std::string &path, std::string *error) {
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

void Reporter::Note(const std::string &comment) {
    if (out_ == nullptr) return;
    *out_ << "# " << comment << '\n';
    out_->flush();
}

void Reporter::Message(int sequence, double seconds, const Outgoing &o) {
    bool predicted = true;
    const std::vector<PointChange> changes = ApplyMessage(model_, o.message, &predicted);
    if (out_ == nullptr) return;
    *out_ << zeltools::SentLine(sequence, seconds, o.bytes, Describe(o.message)) << '\n';
    if (!predicted) *out_ << "# message " << sequence << " is raw: its effect is not predicted\n";
    for (const PointChange &c : changes) *out_ << zeltools::ExpectLine(sequence, c.address, c.value) << '\n';
    out_->flush();
}

int Transmit(SendOptions &o, std::vector<Outgoing> &messages) {
    Reporter reporter;
    std::string error;
    if (!reporter.Open(o.report, &error)) return Fail(kTool, error);
    const bool chatty = !reporter.ToStandardOutput();
    if (!o.pty && o.port.empty()) return Fail(kTool, "give --port NAME or --pty");
    LineFaults faults = StartLineFaults(o.faults);
    const bool withFaults = AnyFaults(o.faults);
    // The sent lines keep the messages as they were meant; what the line
    // made of them is not in the report.
    if (withFaults) reporter.Note("line faults: " + FaultsText(o.faults) + ": the expectations may not hold");

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
    if (chatty && withFaults) {
        std::printf("line faults on: %s\n", FaultsText(o.faults).c_str());
        std::fflush(stdout);
    }
    const double timeout = o.line.timeoutUnits / 100.0;
    const double startDelay = o.startDelay >= 0 ? o.startDelay : (o.pty ? kPtyStartDelay : 0.0);
    bool running = SleepFor(startDelay);

    const Clock::time_point first = Clock::now();
    auto secondsSinceFirst = [&] { return std::chrono::duration<double>(Clock::now() - first).count(); };
    double previousEnd = -1;
    int sequence = 0, sent = 0;
    std::size_t noiseSent = 0, corruptedSent = 0;
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
        const FaultedBytes wire = WithLineFaults(faults, m.bytes);
        const double lasts = LineSeconds(wire.bytes.size(), o.line.baud);
        if (chatty) {
            std::printf("message %d at %s s: %s (%zu bytes, %s s on the line)\n", sequence, zeltools::FormatSeconds(at).c_str(),
                        Describe(m.message).c_str(), wire.bytes.size(), zeltools::FormatSeconds(lasts).c_str());
            if (withFaults)
                std::printf("  line faults: %s of noise before it, %s corrupted\n", BytesText(wire.noiseBytes).c_str(),
                            BytesText(wire.corruptedBytes).c_str());
            if (lasts > timeout)
                std::printf("  note: longer than the read time-out of %s s; the driver joins the reads it takes\n",
                            zeltools::FormatSeconds(timeout).c_str());
            std::fflush(stdout);
        }
        if (!SendPaced(wire.bytes, o.line.baud, line.write, zeltools::StopRequested)) {
            line.close();
            const std::string why = line.failure->empty() ? "" : ": " + *line.failure;
            return Fail(kTool, "writing to " + line.description + " failed" + why, zeltools::kExitFailure);
        }
        if (zeltools::StopRequested()) break;  // cut short: not reported as sent
        reporter.Message(sequence, at, m);
        ++sent;
        noiseSent += wire.noiseBytes;
        corruptedSent += wire.corruptedBytes;
        previousEnd = secondsSinceFirst();
    }
    // The driver reads the last message within its time-out; the line stays
    // open until then, and for --hold.
    if (running) running = SleepFor(std::max(PauseOf(o), timeout + kMargin));
    if (running) SleepFor(o.hold);
    line.close();
    if (chatty) {
        std::printf("sent %d message%s on %s\n", sent, sent == 1 ? "" : "s", line.description.c_str());
        if (withFaults)
            std::printf("line faults: %s of noise, %s corrupted\n", BytesText(noiseSent).c_str(),
                        BytesText(corruptedSent).c_str());
        std::fflush(stdout);
    }
    // Cut short before every message went out: a script must be able to tell.
    if (sent < static_cast<int>(messages.size()))
        return Fail(kTool, "interrupted after " + std::to_string(sent) + " of " + std::to_string(messages.size()) +
                               " messages", zeltools::StopExitCode());
    return zeltools::kExitOk;
}

}  // namespace zelpanel
