#include "tool_cli.h"

#include <atomic>
#include <cstdio>

namespace zeltools {
namespace {

std::atomic<bool> stopFlag{false};

CLI::Validator RangeCheck(const char *what, long low, long high) {
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            long value = 0;
            std::size_t used = 0;
            try {
                value = std::stol(text, &used);
            } catch (...) {
                used = 0;
            }
            if (used == 0 || used != text.size() || value < low || value > high)
                return std::string(what) + " '" + text + "' out of range " + std::to_string(low) + "-" +
                       std::to_string(high);
            return {};
        },
        std::to_string(low) + "-" + std::to_string(high));
}

}  // namespace

int ParseCommandLine(CLI::App &app, int argc, char **argv, std::string_view tool) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::string message = e.what();
        for (char &c : message)
            if (c == '\n' || c == '\r') c = ' ';
        return Fail(tool, message + " (see " + std::string(tool) + " --help)");
    }
    return -1;
}

int Fail(std::string_view tool, const std::string &message, int code) {
    std::fflush(stdout);
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(tool.size()), tool.data(), message.c_str());
    std::fflush(stderr);
    return code;
}

void AddLineOptions(CLI::App &command, LineOptions &o) {
    o.baudOption = command.add_option("--baud", o.baud, "Baud rate (default 9600)")
                       ->check(RangeCheck("baud rate", 50, 65535));
    o.dataBitsOption = command.add_option("--data-bits", o.dataBits, "Data bits 5-8 (default 8)")
                           ->check(RangeCheck("data bits", 5, 8));
    o.stopBitsOption = command.add_option("--stop-bits", o.stopBits, "Stop-bits code: 0 one, 1 one and a half, 2 two")
                           ->check(RangeCheck("stop-bits code", 0, 2));
    o.parityOption = command.add_option("--parity", o.parity, "Parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space")
                         ->check(RangeCheck("parity code", 0, 4));
    command.add_option("--timeout", o.timeoutUnits, "The driver's read time-out in 10-ms units (default 100)")
        ->check(RangeCheck("time-out", 1, 360000));
}

const char *StopBitsText(int code) {
    switch (code) {
        case 0: return "one stop bit";
        case 1: return "one and a half stop bits";
        case 2: return "two stop bits";
        default: return "unknown stop bits";
    }
}

const char *ParityText(int code) {
    static const char *const kNames[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    return code >= 0 && code <= 4 ? kNames[code] : "unknown parity";
}

bool StopRequested() { return stopFlag.load(); }
void RequestStop() { stopFlag.store(true); }

}  // namespace zeltools
