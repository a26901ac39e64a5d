// Linux: SIGINT and SIGTERM ask the tool to stop; output needs nothing.
#include <csignal>

#include "tool_cli.h"

namespace zeltools {
namespace {

extern "C" void OnStopSignal(int) { RequestStop(); }

}  // namespace

void InstallStopHandler() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void PrepareConsole() {}

}  // namespace zeltools
