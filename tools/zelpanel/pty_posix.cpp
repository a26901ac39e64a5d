// The master end of a pseudo-terminal pair. The slave is closed at once, so
// the master reports a hang-up until a reader opens the slave: that is how
// zelpanel knows when the reader is there. A reader that opens and closes
// the slave between two looks leaves no hang-up to miss; inotify reports
// its open.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "panel_line.h"
#include "tool_cli.h"

namespace zelpanel {

bool OpenPtyLine(PanelLine *line, std::string *portName, std::string *error) {
    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        *error = std::string("cannot create a pseudo-terminal pair: ") + std::strerror(errno);
        return false;
    }
    const char *slavePath = ttyname(slave);
    const std::string path = slavePath != nullptr ? slavePath : "";
    close(slave);
    if (path.rfind("/dev/", 0) != 0) {
        close(master);
        *error = "the pseudo-terminal has no name under /dev";
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // Watched before the name is given out, so that no open comes first.
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens >= 0 && inotify_add_watch(opens, path.c_str(), IN_OPEN) < 0) {
        close(opens);
        opens = -1;
    }
    *portName = path.substr(5);
    line->description = *portName;
    // Non-blocking writes: a reader that has gone away must not leave
    // zelpanel stuck on a full buffer, nor deaf to Ctrl-C.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    line->write = [master, failure = line->failure](const char *bytes, std::size_t count) {
        while (count > 0) {
            pollfd p{master, POLLOUT, 0};
            if (poll(&p, 1, 100) < 0 && errno != EINTR) break;
            if (p.revents & POLLHUP) {
                *failure = "the reader has closed the port";
                return false;
            }
            if (zeltools::StopRequested()) return true;
            const ssize_t n = write(master, bytes, count);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            bytes += n;
            count -= static_cast<std::size_t>(n);
        }
        if (count > 0) *failure = std::strerror(errno);
        return count == 0;
    };
    line->close = [master, opens] {
        close(master);
        if (opens >= 0) close(opens);
    };
    // False when the time is up or a stop was asked for.
    line->waitForReader = [master, opens](double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) return true;
            if (zeltools::StopRequested() || std::chrono::steady_clock::now() >= deadline) return false;
            if (opens < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            // The look waits on the watch: an open, or a signal, ends it early.
            pollfd w{opens, POLLIN, 0};
            if (poll(&w, 1, 20) > 0 && (w.revents & POLLIN)) return true;
        }
    };
    return true;
}

}  // namespace zelpanel
