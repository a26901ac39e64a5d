// Linux: SIGINT and SIGTERM ask the tool to stop; output needs nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "tool_cli.h"

namespace zeltools {
namespace {

extern "C" void OnStopSignal(int signal) { RequestStop(signal == SIGTERM ? kStopTerminate : kStopInterrupt); }

}  // namespace

void InstallStopHandler() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void PrepareConsole() {}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

bool LocalCalendar(std::time_t time, std::tm *local) { return localtime_r(&time, local) != nullptr; }

// Opens the device as the driver does (a name without '/' lives under /dev,
// NUL is the null device) and looks at what stands in the way.
std::string PortOpenProblem(const std::string &name) {
    if (name == "NUL") return "";
    const std::string path = !name.empty() && name[0] == '/' ? name : "/dev/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
            case ENXIO:
            case ENODEV: return "no such port";
            case EBUSY: return "in use by another program";
            case EACCES:
            case EPERM: return "no permission to open it (is the user in the dialout group?)";
            case EISDIR: return "not a serial port";
            default: return "";
        }
    }
    std::string problem;
    if (isatty(fd) != 1) {
        problem = "not a serial port";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        problem = errno == EWOULDBLOCK ? "in use by another program" : "";
    }
    close(fd);
    return problem;
}

}  // namespace zeltools
