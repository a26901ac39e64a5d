// What zelhost and zelpanel share on the command line: one-line errors with
// exit code 2, the serial line options with their ranges, and stopping on
// Ctrl-C.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace zeltools {

enum ExitCode : int {
    kExitOk = 0,
    kExitNo = 1,         // a negative answer: address rejected, summary differs
    kExitBadInput = 2,   // bad input, including a port that cannot be opened
    kExitFailure = 3,    // the driver or the system failed
};

// Parses the command line, with --version added. Returns -1 when the
// program should go on, otherwise its exit code: 0 after help or the
// version, 2 after a one-line error.
int ParseCommandLine(CLI::App &app, int argc, char **argv, std::string_view tool);

// "TOOL: message" on stderr, one line; returns `code`.
int Fail(std::string_view tool, const std::string &message, int code = kExitBadInput);

// Option checks with messages in one style: "WHAT 'abc' is not a number",
// "WHAT '70000' out of range 50-65535". Whole numbers, and seconds
// (plain decimals).
CLI::Validator NumberCheck(const char *what, long long low, long long high);
// The whole text as a decimal number, optionally negative; false for
// anything else, and for a number too large for a long long.
bool WholeNumber(std::string_view text, long long *value);
CLI::Validator SecondsCheck(const char *what, double low, double high);

// The serial line options of both tools; ranges are the driver's fields.
struct LineOptions {
    int baud = 9600;
    int dataBits = 8;
    int stopBits = 0;
    int parity = 0;
    int timeoutUnits = 100;
    CLI::Option *baudOption = nullptr;
    CLI::Option *dataBitsOption = nullptr;
    CLI::Option *stopBitsOption = nullptr;
    CLI::Option *parityOption = nullptr;
};
void AddLineOptions(CLI::App &command, LineOptions &options);

// Text of the codes, for messages.
const char *StopBitsText(int code);
const char *ParityText(int code);

// Ctrl-C (and SIGTERM on Linux) sets a flag instead of ending the process,
// so that the tools can close their ports first. The signal is kept for
// the exit status of a tool cut short: 128 + its number, 130 after Ctrl-C,
// 143 after SIGTERM (on Windows: Ctrl-C, and Ctrl-Break or closing the
// console).
inline constexpr int kStopInterrupt = 2;   // SIGINT
inline constexpr int kStopTerminate = 15;  // SIGTERM
void InstallStopHandler();
bool StopRequested();
void RequestStop(int signal = kStopInterrupt);
int StopExitCode();

// Why a port cannot be opened, as far as the system tells: "no such port",
// "in use by another program", "not a serial port", "no permission to open
// it"; empty when it does not tell. Names as the driver reads them.
std::string PortOpenProblem(const std::string &name);

// Standard output as the tools write it: UTF-8, LF line ends.
void PrepareConsole();
// A write to a closed pipe fails (and the tool notices) instead of ending
// the process, so a record can still be finished (Linux: SIGPIPE ignored).
void IgnoreBrokenPipe();

// The local calendar time of `time` in the system's time zone; false when
// the system cannot tell.
bool LocalCalendar(std::time_t time, std::tm *local);

}  // namespace zeltools
