#include "tool_cli.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "bash_completion.h"
#include "wire_text.h"
#include "zel_version.h"

namespace zeltools {
namespace {

std::atomic<bool> stopFlag{false};
std::atomic<int> stopSignal{0};

// "WHAT 'TEXT' is not a number" or "WHAT 'TEXT' out of range LOW-HIGH".
std::string NumberProblem(const char *what, const std::string &text, bool isNumber, const std::string &range) {
    return std::string(what) + " '" + ShownText(text, 24) + (isNumber ? "' out of range " + range : "' is not a number");
}

std::string RangeText(double low, double high) {
    char text[64];
    std::snprintf(text, sizeof text, "%g-%g", low, high);
    return text;
}

}  // namespace

bool WholeNumber(std::string_view text, long long *value) {
    if (text.empty()) return false;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && stop == end;
}

CLI::Validator NumberCheck(const char *what, long long low, long long high) {
    const std::string range = std::to_string(low) + "-" + std::to_string(high);
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            // Any run of digits is a number; one too large for a long long
            // is out of range like any other.
            const std::size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
            const bool isNumber = text.size() > digits &&
                                  text.find_first_not_of("0123456789", digits) == std::string::npos;
            long long value = 0;
            if (isNumber && WholeNumber(text, &value) && value >= low && value <= high) return {};
            return NumberProblem(what, text, isNumber, range);
        },
        range);
}

CLI::Validator SecondsCheck(const char *what, double low, double high) {
    const std::string range = RangeText(low, high);
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            // Plain decimals only: no hex, exponents, inf or nan.
            const std::size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
            const bool isNumber = text.size() > digits && text.size() <= 24 &&
                                  text.find_first_not_of("0123456789.", digits) == std::string::npos &&
                                  text.find_first_of("0123456789") != std::string::npos &&
                                  text.find('.') == text.rfind('.');
            if (isNumber) {
                const double value = std::strtod(text.c_str(), nullptr);
                if (value >= low && value <= high) return {};
            }
            return NumberProblem(what, text, isNumber, range);
        },
        range);
}

namespace {

// A key or section of a --config file that no option takes, named as the
// file has it ("[publsh]", "brokr in [publish]"), not as the parser does.
std::string ConfigFileProblem(const std::string &what) {
    const std::string parser = "INI was not able to parse ";
    if (what.compare(0, parser.size(), parser) != 0) return what;
    std::string item = what.substr(parser.size());
    if (item.size() > 3 && item.compare(item.size() - 3, 3, ".++") == 0)
        return "--config: unknown section [" + item.substr(0, item.size() - 3) + "]";
    const std::size_t dot = item.rfind('.');
    if (dot == std::string::npos) return "--config: unknown key '" + item + "'";
    return "--config: unknown key '" + item.substr(dot + 1) + "' in [" + item.substr(0, dot) + "]";
}

}  // namespace

int ParseCommandLine(CLI::App &app, int argc, char **argv, std::string_view tool) {
    app.set_version_flag("--version", std::string(tool) + " " + ZEL_VERSION_TEXT, "Print the version and exit");
    app.name(std::string(tool));  // the usage line names the tool, not the path it was started by
    app.set_help_all_flag("--help-all", "Print the help of every command and exit");
    // For the package: the completion script, made from the options as defined.
    if (argc == 2 && std::string_view(argv[1]) == "--bash-completion") {
        std::fputs(BashCompletion(app, tool).c_str(), stdout);
        return kExitOk;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        // The message may echo anything the user typed: one line, escaped, cut.
        std::string message = ConfigFileProblem(e.what());
        for (char &c : message)
            if (c == '\n' || c == '\r') c = ' ';
        return Fail(tool, ShownText(message, 300) + " (see " + std::string(tool) + " --help)");
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
                       ->check(NumberCheck("baud rate", 50, 65535));
    o.dataBitsOption = command.add_option("--data-bits", o.dataBits, "Data bits 5-8 (default 8)")
                           ->check(NumberCheck("data bits", 5, 8));
    o.stopBitsOption = command.add_option("--stop-bits", o.stopBits, "Stop-bits code: 0 one, 1 one and a half, 2 two")
                           ->check(NumberCheck("stop-bits code", 0, 2));
    o.parityOption = command.add_option("--parity", o.parity, "Parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space")
                         ->check(NumberCheck("parity code", 0, 4));
    command.add_option("--timeout", o.timeoutUnits, "The driver's read time-out in 10-ms units (default 100)")
        ->check(NumberCheck("time-out", 1, 360000));
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
void RequestStop(int signal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    stopFlag.store(true);
}
int StopExitCode() { return 128 + (stopSignal.load() != 0 ? stopSignal.load() : kStopInterrupt); }

}  // namespace zeltools
