#include "pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace zeltest {

PtyPair::PtyPair() {
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave, nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
    char *name = ttyname(slave);
    if (name == nullptr) throw std::runtime_error("ttyname failed");
    slavePath_ = name;
    portName_ = slavePath_.substr(5);  // without "/dev/"
    // The driver opens the slave itself; the master stays with the test.
    close(slave);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (master_ >= 0) close(master_);
}

void PtyPair::Send(const std::string &bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            throw std::runtime_error("write to the pseudo-terminal failed");
        }
    }
}

void PtyPair::SendPaced(const std::string &bytes, int baud) const {
    constexpr std::size_t kChunk = 8;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
        const auto due = start + std::chrono::microseconds(static_cast<long long>(at) * 10'000'000 / baud);
        std::this_thread::sleep_until(due);
        Send(bytes.substr(at, kChunk));
    }
}

std::string PtyPair::Receive() const {
    std::string out;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
        --count;  // the directory's own descriptor
    }
    return count;
}

std::string WhyNotOpenable(const std::string &path) {
    std::string why = " [" + path + ": ";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why += std::string("open: ") + std::strerror(errno);
    } else {
        why += flock(fd, LOCK_EX | LOCK_NB) == 0 ? "opens and locks now" : std::string("flock: ") + std::strerror(errno);
        close(fd);
    }
    // Other processes that hold the device.
    const std::string self = std::to_string(getpid());
    if (DIR *proc = opendir("/proc")) {
        while (dirent *process = readdir(proc)) {
            const std::string pid = process->d_name;
            if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
            const std::string fds = "/proc/" + pid + "/fd";
            DIR *dir = opendir(fds.c_str());
            if (dir == nullptr) continue;
            while (dirent *entry = readdir(dir)) {
                char target[256] = {};
                const std::string link = fds + "/" + entry->d_name;
                if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) why += "; held by " + pid;
            }
            closedir(dir);
        }
        closedir(proc);
    }
    return why + "]";
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace zeltest
