// POSIX back end: termios ports, with the read time-outs kept here per port.
//
// Handles name slots of this back end's table of open ports (port_table.h).
// Each port has an eventfd beside its descriptor; a read or wait polls both,
// so a close can wake it at once. A device that vanishes (a hang-up, EIO,
// ENXIO, ENODEV) is reported as gone.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port_table.h"
#include "serial_posix.h"

namespace zel {
namespace {

// The kernel's termios2, for rates without a B-constant (arbitrary-rate
// interface); declared here because <asm/termbits.h> clashes with
// <termios.h>.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
const unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);  // TCGETS2
const unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);  // TCSETS2
constexpr tcflag_t kBaudOther = 0010000;  // BOTHER
constexpr tcflag_t kBaudMask = 0010017;   // CBAUD

constexpr uint32_t kMaxWord = 0xFFFFFFFFu;

struct PosixPort : PortSlot {
    std::atomic<int> fd{-1};
    std::atomic<int> wakeFd{-1};
    std::atomic<bool> isTerminal{false};
    std::atomic<uint32_t> readInterval{0}, readMultiplier{0}, readConstant{0}, writeMultiplier{0},
        writeConstant{0};
};

PosixPort ports[kMaxPorts];

PosixPort *Lookup(PortHandle handle) { return LookUpPort(ports, handle); }

// The errors with which Linux reports a device that is no longer there.
bool DeviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// Microseconds: a read's time-out must not end early by a truncated
// millisecond.
long long NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepFor(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// "NUL" is the null device; other names without a slash live under /dev.
bool DevicePath(const char *name, char *path, std::size_t size) {
    int n = 0;
    if (std::strcmp(name, "NUL") == 0)
        n = std::snprintf(path, size, "/dev/null");
    else if (name[0] == '/')
        n = std::snprintf(path, size, "%s", name);
    else
        n = std::snprintf(path, size, "/dev/%s", name);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

struct StandardRate {
    uint32_t rate;
    speed_t code;
};
constexpr StandardRate kStandardRates[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600},
};

bool StandardCode(uint32_t rate, speed_t *code) {
    for (const StandardRate &r : kStandardRates)
        if (r.rate == rate) {
            *code = r.code;
            return true;
        }
    return false;
}

uint32_t RateOf(int fd, const termios &t) {
    const speed_t code = cfgetospeed(&t);
    for (const StandardRate &r : kStandardRates)
        if (r.code == code) return r.rate;
    KernelTermios2 t2{};
    if (ioctl(fd, kGetTermios2, &t2) == 0) return t2.c_ospeed;
    return 0;
}

// Devices without modem-control lines (pseudo-terminals) refuse these
// requests; there is then no line to set.
bool SetModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return errno == EINVAL || errno == ENOTTY;
}

}  // namespace

bool TermiosForLineState(const LineState &line, termios &t) {
    // Settings this platform cannot carry are refused, never dropped.
    if (line.outxDsrFlow || line.dsrSensitivity || line.baudRate == 0) return false;

    // Raw binary input: no translation, no echo, no signals. Parity errors
    // are not checked here because the kernel would replace or drop the byte,
    // and the driver wants received data unaltered.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    // A line break delivers nothing, as on Windows; without IGNBRK the
    // kernel would deliver it as a NUL byte, which ends a message's text.
    t.c_iflag |= IGNBRK;
    if (line.outX) t.c_iflag |= IXON;
    if (line.inX) t.c_iflag |= IXOFF;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (line.byteSize) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        case 8: t.c_cflag |= CS8; break;
        default: return false;
    }
    switch (line.stopBits) {
        case 0: break;
        // One and a half stop bits: the UART sends 1.5 for 5-bit characters
        // when CSTOPB is set, and a receiver checks only the first.
        case 1:
        case 2: t.c_cflag |= CSTOPB; break;
        default: return false;
    }
    switch (line.parity) {
        case 0: break;
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
        case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
        default: return false;
    }
    if (line.rtsControl == kRtsHandshake || line.outxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return true;
}

namespace {

bool OpenDevice(const char *name, PortHandle *out) {
    char path[64];
    if (!DevicePath(name, path, sizeof path)) return false;
    const bool nullDevice = std::strcmp(name, "NUL") == 0;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = isatty(fd) == 1;
    // Exclusive use: flock holds against a second open in this process and
    // against root, TIOCEXCL keeps out programs that do not lock.
    if (!nullDevice && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    if (terminal && ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return false;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
        return false;
    }
    PortHandle handle = 0;
    PosixPort *port = ReservePort(ports, &handle);
    if (port == nullptr) {
        close(wake);
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
        return false;
    }
    port->fd.store(fd);
    port->wakeFd.store(wake);
    port->isTerminal.store(terminal);
    port->readInterval = 0;
    port->readMultiplier = 0;
    port->readConstant = 0;
    port->writeMultiplier = 0;
    port->writeConstant = 0;
    PublishPort(*port, handle);
    *out = handle;
    return true;
}

// Linux releases the descriptor even when close() reports an error (and
// it must not be closed again): the port is closed either way, and the
// error is handed up for the log.
bool CloseDevice(PortHandle handle, int *error) {
    *error = 0;
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    const int fd = port->fd.exchange(-1);
    const int wake = port->wakeFd.exchange(-1);
    if (port->isTerminal.load()) ioctl(fd, TIOCNXCL);
    if (close(fd) != 0 && errno != EINTR) *error = errno;
    close(wake);
    ReleasePort(*port);
    return true;
}

bool GetLineState(PortHandle handle, LineState *state) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    const int fd = port->fd.load();
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    static_assert(sizeof(termios) <= sizeof state->platform);
    std::memcpy(state->platform, &t, sizeof t);
    state->baudRate = RateOf(fd, t);
    switch (t.c_cflag & CSIZE) {
        case CS5: state->byteSize = 5; break;
        case CS6: state->byteSize = 6; break;
        case CS7: state->byteSize = 7; break;
        default: state->byteSize = 8; break;
    }
    state->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    if (!(t.c_cflag & PARENB))
        state->parity = 0;
    else if (t.c_cflag & CMSPAR)
        state->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        state->parity = (t.c_cflag & PARODD) ? 1 : 2;
    state->binary = !(t.c_lflag & ICANON);
    state->parityCheck = (t.c_iflag & INPCK) != 0;
    state->outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    state->outX = (t.c_iflag & IXON) != 0;
    state->inX = (t.c_iflag & IXOFF) != 0;
    int lines = 0;
    const bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
    state->dtrControl = (!haveLines || (lines & TIOCM_DTR)) ? kDtrEnable : kDtrDisable;
    state->rtsControl = (t.c_cflag & CRTSCTS) ? kRtsHandshake
                        : (!haveLines || (lines & TIOCM_RTS)) ? kRtsEnable
                                                               : kRtsDisable;
    return true;
}

bool SetLineState(PortHandle handle, const LineState *state) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    const int fd = port->fd.load();
    termios t{};
    std::memcpy(&t, state->platform, sizeof t);
    if (!TermiosForLineState(*state, t)) return false;
    speed_t code = B9600;
    const bool standard = StandardCode(state->baudRate, &code);
    if (standard) {
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    if (!standard) {
        KernelTermios2 t2{};
        if (ioctl(fd, kGetTermios2, &t2) != 0) return false;
        t2.c_cflag &= ~(kBaudMask | (kBaudMask << 16));
        t2.c_cflag |= kBaudOther | (kBaudOther << 16);
        t2.c_ispeed = state->baudRate;
        t2.c_ospeed = state->baudRate;
        if (ioctl(fd, kSetTermios2, &t2) != 0) return false;
    }
    // DTR handshake has no POSIX form: the line is held on, as a handshake
    // holds it while the input queue has room. RTS toggle raises RTS only
    // while sending, and this line never sends: RTS stays off.
    const bool dtrOn = state->dtrControl == kDtrEnable || state->dtrControl == kDtrHandshake;
    if (!SetModemLine(fd, TIOCM_DTR, dtrOn)) return false;
    if (state->rtsControl != kRtsHandshake) {
        const bool rtsOn = state->rtsControl == kRtsEnable;
        if (!SetModemLine(fd, TIOCM_RTS, rtsOn)) return false;
    }
    return true;
}

bool GetTimeouts(PortHandle handle, CommTimeouts *timeouts) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    timeouts->readInterval = port->readInterval;
    timeouts->readTotalMultiplier = port->readMultiplier;
    timeouts->readTotalConstant = port->readConstant;
    timeouts->writeTotalMultiplier = port->writeMultiplier;
    timeouts->writeTotalConstant = port->writeConstant;
    return true;
}

bool SetTimeouts(PortHandle handle, const CommTimeouts *timeouts) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    port->readInterval = timeouts->readInterval;
    port->readMultiplier = timeouts->readTotalMultiplier;
    port->readConstant = timeouts->readTotalConstant;
    port->writeMultiplier = timeouts->writeTotalMultiplier;
    port->writeConstant = timeouts->writeTotalConstant;
    return true;
}

// Linux has no recommended queue sizes.
bool SetupQueues(PortHandle handle, uint32_t, uint32_t) { return Lookup(handle) != nullptr; }

IoStatus ClearErrors(PortHandle handle, uint32_t *waiting) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return IoStatus::kFailed;
    int count = 0;
    if (ioctl(port->fd.load(), FIONREAD, &count) != 0) return DeviceGone(errno) ? IoStatus::kGone : IoStatus::kFailed;
    *waiting = count > 0 ? static_cast<uint32_t>(count) : 0;
    return IoStatus::kOk;
}

// Polls the port and its wake-up descriptor for at most `timeoutMs` (-1: no
// limit). Input still waiting on a device that hung up is reported first.
InputWait Await(const PosixPort &port, int timeoutMs) {
    pollfd fds[2] = {{port.fd.load(), POLLIN, 0}, {port.wakeFd.load(), POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return InputWait::kFailed;
        if (n == 0) return InputWait::kTimeout;
        if (fds[1].revents != 0) return InputWait::kFailed;
        if (fds[0].revents & POLLIN) return InputWait::kInput;
        if (fds[0].revents & (POLLHUP | POLLERR)) return InputWait::kGone;
        return InputWait::kFailed;
    }
}

// One read with the Windows time-out rules: all read fields 0 waits for the
// whole count; interval MAXDWORD with the others 0 returns at once; else the
// total time-out runs from the start of the read and the interval time-out
// between bytes.
IoStatus Read(PortHandle handle, void *buffer, uint32_t count, uint32_t *received) {
    *received = 0;
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return IoStatus::kFailed;
    const uint32_t interval = port->readInterval, multiplier = port->readMultiplier,
                   constant = port->readConstant;
    const bool immediate = interval == kMaxWord && multiplier == 0 && constant == 0;
    const bool totalLimited = multiplier != 0 || constant != 0;
    const long long start = NowUs();
    const long long totalDeadline =
        start + (static_cast<long long>(multiplier) * count + static_cast<long long>(constant)) * 1000;
    long long lastByte = 0;
    auto *bytes = static_cast<char *>(buffer);
    bool sawReadable = false;
    const int fd = port->fd.load();
    const bool terminal = port->isTerminal.load();
    while (*received < count) {
        const ssize_t n = ::read(fd, bytes + *received, count - *received);
        if (n > 0) {
            *received += static_cast<uint32_t>(n);
            lastByte = NowUs();
            sawReadable = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return DeviceGone(errno) ? IoStatus::kGone : IoStatus::kFailed;
        // End of file on a terminal is a hang-up; elsewhere (the null
        // device) the end of the data.
        if (n == 0 && terminal) return IoStatus::kGone;
        if (n == 0 && sawReadable) return IoStatus::kOk;
        if (immediate) return IoStatus::kOk;
        long long waitUs = -1;
        const long long now = NowUs();
        if (totalLimited) waitUs = totalDeadline - now;
        if (interval != 0 && interval != kMaxWord && *received > 0) {
            const long long gap = lastByte + static_cast<long long>(interval) * 1000 - now;
            waitUs = waitUs < 0 ? gap : (gap < waitUs ? gap : waitUs);
        }
        if ((totalLimited || (interval != 0 && *received > 0)) && waitUs <= 0) return IoStatus::kOk;
        // poll() counts whole milliseconds: round up, never end early.
        const long long waitMs = waitUs < 0 ? -1 : (waitUs + 999) / 1000;
        const InputWait wait = Await(*port, waitMs > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(waitMs));
        if (wait == InputWait::kFailed) return IoStatus::kFailed;
        if (wait == InputWait::kGone) return IoStatus::kGone;
        sawReadable = wait == InputWait::kInput;
    }
    return IoStatus::kOk;
}

bool Write(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    const int fd = port->fd.load();
    const auto *bytes = static_cast<const char *>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd out{fd, POLLOUT, 0};
            if (poll(&out, 1, -1) < 0 && errno != EINTR) break;
            continue;
        }
        break;
    }
    *written = done;
    return done == count || done > 0;
}

bool SetBreak(PortHandle handle, bool on) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return false;
    return ioctl(port->fd.load(), on ? TIOCSBRK : TIOCCBRK) == 0;
}

InputWait WaitInput(PortHandle handle, uint32_t milliseconds) {
    PosixPort *port = Lookup(handle);
    if (port == nullptr) return InputWait::kFailed;
    return Await(*port, milliseconds > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(milliseconds));
}

void InterruptIo(PortHandle handle) {
    if (PosixPort *port = Lookup(handle)) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(port->wakeFd.load(), &one, sizeof one);
    }
}

void ResumeIo(PortHandle handle) {
    if (PosixPort *port = Lookup(handle)) {
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(port->wakeFd.load(), &value, sizeof value);
    }
}

constexpr SerialBackend kPosixBackend = {
    OpenDevice,  CloseDevice, GetLineState, SetLineState, GetTimeouts, SetTimeouts, SetupQueues, ClearErrors,
    Read,        Write,       SetBreak,     SleepFor,     WaitInput,   InterruptIo, ResumeIo,
};

}  // namespace

const SerialBackend &PlatformSerialBackend() { return kPosixBackend; }

}  // namespace zel
