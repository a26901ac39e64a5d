// What zelpanel's commands share: the options of a transmission, the
// messages to send, the report of what was sent, and the sending itself.
#pragma once

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "line_faults.h"
#include "panel_message.h"
#include "tool_cli.h"

namespace zelpanel {

inline constexpr std::string_view kTool = "zelpanel";

struct SendOptions {
    std::string port;
    bool pty = false;
    zeltools::LineOptions line;
    double pause = -1;       // -1: the default pause
    double startDelay = -1;  // -1: a start delay on a pseudo-terminal, else 0
    double waitReader = 60;
    double hold = 0;
    std::string report;
    double speed = 1;  // replay: recorded times divided by this
    FaultSettings faults;
    CLI::Option *pauseOption = nullptr;
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

// The options of a command that sends (`withLine`: on a port, with line
// faults) or only shows what it would send.
void AddSendOptions(CLI::App &command, SendOptions &o, bool withLine);

double PauseBefore(const SendOptions &o, const Outgoing &m);

// Writes the report: a line for each message sent and one for each point it
// should change.
class Reporter {
public:
    // The first line goes out at once, so that a host reading the report
    // while it is being written knows it for one.
    bool Open(const std::string &path, std::string *error);
    bool ToStandardOutput() const { return out_ == &std::cout; }
    void Note(const std::string &comment);
    void Message(int sequence, double seconds, const Outgoing &o);

private:
    std::ofstream file_;
    std::ostream *out_ = nullptr;
    TableModel model_;
};

// Sends the messages; returns the exit code.
int Transmit(SendOptions &o, std::vector<Outgoing> &messages);

}  // namespace zelpanel
