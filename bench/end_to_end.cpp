// End-to-end figures of the driver, measured as a host meets them: one
// channel opened through ZelMain on a real pseudo-terminal, the panel played
// on the master end, the status table read back through ZelMain's ReadTag.
//
//   (a) CPU use of the process with the channel open and idle, and closed
//   (b) delay from a transmission's first byte to the start of the read
//   (c) delay from the end of the read time-out to the entry being visible
//       to ReadTag, beside the read time-out itself: to the moment the
//       decoder has stored the message's last entry (its own trace of that
//       entry follows the store), and to the moment the host's ReadTag
//       polling sees the entry
//   (d) ClosePort latency while a read waits for its time-out
//   (e) heap allocations after OpenChannel has returned
//   (f) bursts: events lost out of events sent, messages paced as at 9600
//       and 57600 baud with pauses of 0 to twice the read time-out, and the
//       time from a message's last byte to ReadTag
//   (g) several channels in one process: CPU with 8 and 64 open and idle,
//       memory per channel, and (b), (c) with 8 channels busy at once
//   (h) a vanished device: CPU while its port is retried, and the time
//       from its return to the first message visible to ReadTag
//
// The start and end of every platform read are timestamped by a serial back
// end that forwards each step to the platform's own and adds only a clock
// read around `read`. Heap allocations are counted by this program's malloc
// replacement (alloc_counter.cpp). Figures are printed with their targets
// and a verdict, never asserted: the exit status is 0 unless a measurement
// itself could not be made.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "alloc_counter.h"
#include "korvan_standin.h"
#include "serial/serial_backend.h"
#include "zelwnqx.h"

namespace {

using zelbench::ExcludeFromCount;

// ---------------------------------------------------------------- options

struct Options {
    bool quick = false;
    double idleSeconds = 10.0;
    int messages = 200;
    int closeRuns = 20;
    int hostPollUs = 100;  // pause between the host's ReadTag polls; 0 spins
    uint32_t readTimeoutUnits = 5;    // 10-ms units: 50 ms
    uint32_t closeTimeoutUnits = 200;  // the long read time-out of (d): 2 s
    const char *samplesPath = nullptr;
    int burstMessagesSlow = 40;   // (f) at 9600 baud
    int burstMessagesFast = 200;  // (f) at 57600 baud
    int returnCycles = 5;         // (h)
};

constexpr int kMaxMessages = 10000;
constexpr int kMaxCloseRuns = 1000;

// ---------------------------------------------------------------- time

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntilNs(int64_t deadline) {
    timespec ts{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void SleepMs(double ms) { SleepUntilNs(NowNs() + static_cast<int64_t>(ms * 1e6)); }

double Ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

// ---------------------------------------------------------------- figures

enum class Verdict { kPass, kMiss, kInfo };

struct Figure {
    char name[64];
    char value[48];
    char target[40];
    Verdict verdict;
};

Figure figures[64];
int figureCount = 0;
bool measurementFailed = false;

void AddFigure(const char *name, const char *value, const char *target, Verdict verdict) {
    ExcludeFromCount exclude;
    if (figureCount >= static_cast<int>(sizeof figures / sizeof figures[0])) return;
    Figure &f = figures[figureCount++];
    std::snprintf(f.name, sizeof f.name, "%s", name);
    std::snprintf(f.value, sizeof f.value, "%s", value);
    std::snprintf(f.target, sizeof f.target, "%s", target);
    f.verdict = verdict;
    const char *v = verdict == Verdict::kPass ? "PASS" : verdict == Verdict::kMiss ? "MISS" : "info";
    std::printf("  %-46s %-22s %-18s %s\n", name, value, target, v);
    std::fflush(stdout);
}

// A figure with an upper bound: PASS when value <= limit (or < limit).
void AddBounded(const char *name, double value, const char *unit, double limit, bool inclusive) {
    char v[48], t[40];
    std::snprintf(v, sizeof v, "%.4g %s", value, unit);
    std::snprintf(t, sizeof t, "%s %.4g %s", inclusive ? "<=" : "<", limit, unit);
    const bool pass = inclusive ? value <= limit : value < limit;
    AddFigure(name, v, t, pass ? Verdict::kPass : Verdict::kMiss);
}

void AddInfo(const char *name, double value, const char *unit) {
    char v[48];
    std::snprintf(v, sizeof v, "%.4g %s", value, unit);
    AddFigure(name, v, "-", Verdict::kInfo);
}

void Fail(const char *what) {
    ExcludeFromCount exclude;
    std::printf("MEASUREMENT FAILED: %s\n", what);
    std::fflush(stdout);
    measurementFailed = true;
}

void Section(const char *title) {
    ExcludeFromCount exclude;
    std::printf("\n%s\n", title);
    std::fflush(stdout);
}

// ---------------------------------------------------------------- statistics

struct Stats {
    double min, median, p99, max, mean;
};

// Nearest-rank percentiles of `n` values (sorted in place).
Stats StatsOf(double *values, int n) {
    std::sort(values, values + n);
    auto rank = [&](double p) {
        int index = static_cast<int>(p * n + 0.999999) - 1;
        return values[std::clamp(index, 0, n - 1)];
    };
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += values[i];
    return {values[0], rank(0.5), rank(0.99), values[n - 1], sum / n};
}

// ---------------------------------------------------------------- host side

std::atomic<uint64_t> logLines{0};
std::atomic<uint64_t> startNotices{0};
std::atomic<uint64_t> comportTraces{0};
// The decoder's trace of bus 1, slot 4, point 130, written right after it
// stored that entry: when it came, and how many.
std::atomic<uint64_t> storedTraces{0};
std::atomic<int64_t> storedTraceNs{0};
std::atomic<uint64_t> lostLines{0}, backLines{0};

// The host's log: counts lines and keeps nothing.
void CountingSink(void *, int level, const char *line) {
    if (level == 8 && std::strncmp(line, "[1][04][130]= ", 14) == 0) {
        storedTraceNs.store(NowNs());
        storedTraces.fetch_add(1);
    }
    logLines.fetch_add(1, std::memory_order_relaxed);
    if (level == 32 && std::strstr(line, "Start Unsoliceted Thread") != nullptr) startNotices.fetch_add(1);
    if (level == 8 && std::strncmp(line, "String from Comport ", 20) == 0) comportTraces.fetch_add(1);
    if (level == 32 && std::strstr(line, " lost, reopening it every second") != nullptr) lostLines.fetch_add(1);
    if (level == 32 && std::strstr(line, " back, reception resumed") != nullptr) backLines.fetch_add(1);
}

int32_t Call(ChannelBlock *channel, uint32_t operation, void *request = nullptr, int32_t number = 0) {
    ZelCall call{};
    call.channel = channel;
    call.operation = operation;
    call.channelNumber = number;
    call.request = request;
    return ZelMain(&call);
}

uint16_t ReadTag(ChannelBlock *channel, const char *address) {
    TagValue value{0, 0xFFFF};
    TagRequest request{};
    request.address = address;
    request.value = &value;
    Call(channel, ZEL_OP_READ_TAG, &request);
    return value.value;
}

int32_t OpenChannel(ChannelBlock *channel, const char *port, uint32_t readTimeoutUnits) {
    OpenChannelRequest request{};
    std::snprintf(request.portName, sizeof request.portName, "%s", port);
    request.enabled = 1;
    request.readTimeout = readTimeoutUnits;
    request.lineSettings = {9600, 8, 0, 0};  // the driver's defaults; a pseudo-terminal carries bytes at memory speed
    return Call(channel, ZEL_OP_OPEN_CHANNEL, &request, 1);
}

// ---------------------------------------------------------------- the line

struct Line {
    int master = -1;
    char portName[64] = {};  // "pts/N"
};

bool OpenLine(Line &line) {
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&line.master, &slave, nullptr, &raw, nullptr) != 0) return false;
    char path[64];
    if (ttyname_r(slave, path, sizeof path) != 0 || std::strncmp(path, "/dev/", 5) != 0) return false;
    std::snprintf(line.portName, sizeof line.portName, "%s", path + 5);
    close(slave);  // the driver opens the slave by name
    return true;
}

// Writes all bytes at once to the master end; returns the time taken just
// before the write, which puts the first byte on the line.
int64_t Transmit(const Line &line, const char *bytes, std::size_t length) {
    const int64_t start = NowNs();
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(line.master, bytes + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return -1;
    }
    return start;
}

// ---------------------------------------------------------------- recording back end

struct ReadLog {
    std::atomic<uint64_t> reads{0};
    std::atomic<bool> inRead{false};
    std::atomic<int64_t> enterNs{0}, exitNs{0};
    std::atomic<uint32_t> received{0};
    std::atomic<bool> ok{false};
};
ReadLog readLog;
zel::SerialBackend recordingBackend;
// The same, per port (the handle's low byte), for several channels at once.
std::atomic<int64_t> portReadEnterNs[256], portReadExitNs[256];

zel::IoStatus RecordedRead(zel::PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    readLog.enterNs.store(NowNs());
    portReadEnterNs[port & 0xFF].store(readLog.enterNs.load());
    readLog.inRead.store(true);
    readLog.reads.fetch_add(1);
    const zel::IoStatus status = zel::PlatformSerialBackend().read(port, buffer, count, received);
    const bool ok = status == zel::IoStatus::kOk;
    readLog.exitNs.store(NowNs());
    portReadExitNs[port & 0xFF].store(readLog.exitNs.load());
    readLog.received.store(*received);
    readLog.ok.store(ok);
    readLog.inRead.store(false);
    return status;
}

void InstallRecordingBackend() {
    recordingBackend = zel::PlatformSerialBackend();
    recordingBackend.read = RecordedRead;
    zel::UseSerialBackend(&recordingBackend);
}

// ---------------------------------------------------------------- panel messages

constexpr int kRecordsPerMessage = 15;
constexpr int kWatchedRecords = kRecordsPerMessage - 1;
constexpr int kPointsPerRow = 149;  // points 1-149 of a row, all cleared by a clear command
// Panel bus digits 0-7 by slot digits 0-7, without bus digit 0, slot digit 3
// (table bus 1, slot 4), which the last record of every message sets.
constexpr int kRows = 63;
constexpr int kMessagesPerCycle = kRows * kPointsPerRow / kWatchedRecords;

struct Message {
    char text[400];
    std::size_t length;
    char watched[8];  // address of the 14th record's entry
};

// A full message: header, count F and 15 records. Records 1-14 are of kind
// 0 (sets bit 0), each on an entry that no earlier message of the cycle
// touched; the host watches the 14th. Record 15 is of kind 3 on bus 1,
// slot 4, point 130, after which the decoder writes its trace "[1][04][130]":
// the decoder's own sign that it has stored the message's last entry.
void BuildMessage(int index, Message &m) {
    static const char hex[] = "0123456789ABCDEF";
    std::size_t at = 0;
    const char header[] = "\r\nhhhhhhhhhS";
    std::memcpy(m.text, header, sizeof header - 1);
    at += sizeof header - 1;
    m.text[at++] = hex[kRecordsPerMessage];
    for (int r = 0; r < kWatchedRecords; ++r) {
        const int g = (index % kMessagesPerCycle) * kWatchedRecords + r;
        int row = g / kPointsPerRow;
        if (row >= 3) ++row;  // not bus digit 0, slot digit 3
        const int point = 1 + g % kPointsPerRow;
        const int busDigit = row / 8, slotDigit = row % 8;
        char record[25];
        std::snprintf(record, sizeof record, "%c0000%c%c%c0000000000000000", '0' + busDigit, '0' + slotDigit,
                      hex[point >> 4], hex[point & 15]);
        std::memcpy(m.text + at, record, 24);
        at += 24;
        if (r == kWatchedRecords - 1)
            std::snprintf(m.watched, sizeof m.watched, "%02d%02d%03d", busDigit + 1, slotDigit + 1, point);
    }
    const char last[] = "030003000000000000000000";  // kind 3, bus 1, slot 4, point 130
    std::memcpy(m.text + at, last, 24);
    at += 24;
    m.length = at;
}

// ---------------------------------------------------------------- the machine's load

// Jiffies of all CPUs from /proc/stat: busy (everything but idle and
// iowait) and in all. Read without stdio, so without allocating.
struct MachineTicks {
    unsigned long long busy = 0, total = 0;
};

MachineTicks ReadMachineTicks() {
    MachineTicks t;
    const int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return t;
    char text[512];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return t;
    text[n] = '\0';
    const char *p = text + 3;  // "cpu"
    for (int field = 0; field < 8; ++field) {
        char *end = nullptr;
        const unsigned long long v = std::strtoull(p, &end, 10);
        if (end == p) break;
        p = end;
        t.total += v;
        if (field != 3 && field != 4) t.busy += v;  // idle, iowait
    }
    return t;
}

// Prints how busy the whole machine was (every process, this one included)
// since `since`: other work on the machine disturbs the figures.
void PrintMachineLoad(const MachineTicks &since) {
    const MachineTicks now = ReadMachineTicks();
    const unsigned long long total = now.total - since.total;
    if (total == 0) return;
    ExcludeFromCount exclude;
    std::printf("  machine busy during this measurement (all processes): %.1f%% of all cores\n",
                100.0 * static_cast<double>(now.busy - since.busy) / static_cast<double>(total));
}

// ---------------------------------------------------------------- CPU

struct CpuSample {
    int64_t wallNs;
    int64_t cpuNs;
    long voluntarySwitches;
};

CpuSample SampleCpu() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto ns = [](const timeval &tv) { return static_cast<int64_t>(tv.tv_sec) * 1000000000 + tv.tv_usec * 1000; };
    return {NowNs(), ns(ru.ru_utime) + ns(ru.ru_stime), ru.ru_nvcsw};
}

void MeasureIdleCpu(const char *label, const char *name, double seconds) {
    const MachineTicks machine = ReadMachineTicks();
    const CpuSample a = SampleCpu();
    SleepMs(seconds * 1000.0);
    const CpuSample b = SampleCpu();
    PrintMachineLoad(machine);
    const double wall = Ms(b.wallNs - a.wallNs);
    const double cpu = Ms(b.cpuNs - a.cpuNs);
    const double percent = 100.0 * cpu / wall;
    {
        ExcludeFromCount exclude;
        std::printf("  %s: %.3f ms of CPU in %.0f ms of wall time, %ld voluntary context switches (%.0f/s)\n", label,
                    cpu, wall, b.voluntarySwitches - a.voluntarySwitches,
                    (b.voluntarySwitches - a.voluntarySwitches) / (wall / 1000.0));
    }
    AddBounded(name, percent, "% core", 1.0, true);
}

// ---------------------------------------------------------------- phases of the allocation count

enum Phase {
    kSetup = 0,
    kFirstOpen,      // the first OpenChannel call itself (not part of the target)
    kThreadStart,    // the reception thread's start-up
    kOpenIdle,       // (a) channel open and idle
    kMessages,       // (b), (c): reception, decoding, ReadTag
    kCloseReads,     // (d): ClosePort during reads, the thread's failed reads
    kReopenCalls,    // (d): the OpenChannel calls that reopen the port (not part of the target)
    kClosedIdle,     // (a) channel closed
    kPhaseCount
};

const char *const kPhaseNames[kPhaseCount] = {
    "setup", "OpenChannel (first call)", "thread start-up", "open and idle",
    "messages and ReadTag", "ClosePort during reads", "OpenChannel (reopen calls)", "closed and idle",
};

bool InTarget(int phase) { return phase != kSetup && phase != kFirstOpen && phase != kReopenCalls; }

// ---------------------------------------------------------------- reference waits

// The machine's own floor, measured beside each message without the
// driver: a thread of this program blocked in poll() on a second
// pseudo-terminal, woken by a byte written to its master end (as the
// driver's thread is in (b)), and the same thread in a timed wait of 10 ms,
// measuring how late the wait ends (as a read's time-out ends in (c)).
class ReferenceWaits {
public:
    bool Start() {
        int slave = -1;
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master_, &slave, nullptr, &raw, nullptr) != 0) return false;
        slave_ = slave;
        if (pipe2(command_, O_CLOEXEC) != 0) return false;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    // Delay from a byte written to the master end to the thread's wake-up.
    double Wake() {
        const int done = done_.load();
        const int64_t sent = NowNs();
        [[maybe_unused]] const ssize_t n = write(master_, "x", 1);
        while (done_.load() == done) SleepMs(0.05);
        return Ms(result_.load() - sent);
    }

    // How late a timed wait of 10 ms ends.
    double LateEnd() {
        const int done = done_.load();
        [[maybe_unused]] const ssize_t n = write(command_[1], "t", 1);
        while (done_.load() == done) SleepMs(0.05);
        return Ms(result_.load());
    }

    void Stop() {
        if (!thread_.joinable()) return;
        [[maybe_unused]] const ssize_t n = write(command_[1], "q", 1);
        thread_.join();
    }

private:
    void Run() {
        ExcludeFromCount exclude;  // not the driver
        for (;;) {
            pollfd fds[2] = {{slave_, POLLIN, 0}, {command_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            const int64_t now = NowNs();
            char c = 0;
            if (fds[0].revents & POLLIN) {
                [[maybe_unused]] const ssize_t n = read(slave_, &c, 1);
                result_.store(now);
            } else if (fds[1].revents & POLLIN) {
                [[maybe_unused]] const ssize_t n = read(command_[0], &c, 1);
                if (c == 'q') return;
                const int64_t start = NowNs();
                poll(nullptr, 0, 10);
                result_.store(NowNs() - start - 10000000);
            }
            done_.fetch_add(1);
        }
    }

    int master_ = -1, slave_ = -1;
    int command_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<int> done_{0};
    std::atomic<int64_t> result_{0};
};

ReferenceWaits reference;

// ---------------------------------------------------------------- per-message samples

struct MessageSample {
    int64_t sent, readEnter, readExit, stored, visible;
    uint32_t received;
    bool oneRead;
    double referenceWake, referenceLate;  // ms
};
MessageSample messageSamples[kMaxMessages];
double scratch[kMaxMessages];

bool WaitFor(const std::atomic<uint64_t> &counter, uint64_t atLeast, double timeoutMs) {
    const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs * 1e6);
    while (counter.load() < atLeast) {
        if (NowNs() > deadline) return false;
        SleepMs(0.1);
    }
    return true;
}

// Sends the clear command and waits until the watched entry reads 0 again.
bool ClearTableThroughLine(ChannelBlock *channel, const Line &line, const char *watched) {
    const char clear[] = "gggggggggg";
    if (Transmit(line, clear, sizeof clear - 1) < 0) return false;
    const int64_t deadline = NowNs() + 3000000000LL;
    while (ReadTag(channel, watched) != 0) {
        if (NowNs() > deadline) return false;
        SleepMs(1);
    }
    return true;
}

// (b) and (c): `count` full messages, each sent at once on an idle line.
int RunMessages(ChannelBlock *channel, const Line &line, const Options &options) {
    const int64_t timeoutNs = static_cast<int64_t>(options.readTimeoutUnits) * 10000000;
    uint32_t lcg = 12345;
    char previousWatched[8] = {};
    int done = 0;
    for (int i = 0; i < options.messages; ++i) {
        Message m;
        BuildMessage(i, m);
        if (i > 0 && i % kMessagesPerCycle == 0 && !ClearTableThroughLine(channel, line, previousWatched)) {
            Fail("the clear command did not clear the table");
            return done;
        }
        // A pause of 3 to 12 ms, varied so that sending never locks onto a
        // phase of the thread's waits; the thread is back waiting by then.
        lcg = lcg * 1103515245u + 12345u;
        SleepMs(3.0 + (lcg >> 16) % 10);
        const uint64_t readsBefore = readLog.reads.load();
        const uint64_t tracesBefore = comportTraces.load();
        const uint64_t storedBefore = storedTraces.load();
        const int64_t sent = Transmit(line, m.text, m.length);
        if (sent < 0) {
            Fail("writing to the pseudo-terminal failed");
            return done;
        }
        // Sleep through most of the time-out, then poll ReadTag with short
        // pauses. A host thread that spun without pause would hold a core
        // and, on a busy machine, delay the reception thread it measures.
        SleepUntilNs(sent + timeoutNs - 3000000);
        const int64_t giveUp = sent + timeoutNs + 3000000000LL;
        int64_t visible = 0;
        // The time is taken after the ReadTag that saw the entry: never
        // before the entry was there, late by at most one poll.
        for (;;) {
            if (ReadTag(channel, m.watched) == 1) {
                visible = NowNs();
                break;
            }
            if (NowNs() > giveUp) break;
            if (options.hostPollUs > 0) SleepMs(options.hostPollUs / 1000.0);
        }
        if (visible == 0) {
            Fail("a message never became visible to ReadTag");
            return done;
        }
        // The thread has traced the message before decoding it; the read is over.
        if (!WaitFor(comportTraces, tracesBefore + 1, 1000) || !WaitFor(storedTraces, storedBefore + 1, 1000)) {
            Fail("no trace of the message");
            return done;
        }
        MessageSample &s = messageSamples[done++];
        s.sent = sent;
        s.visible = visible;
        s.stored = storedTraceNs.load();
        s.readEnter = readLog.enterNs.load();
        s.readExit = readLog.exitNs.load();
        s.received = readLog.received.load();
        s.oneRead = readLog.reads.load() == readsBefore + 1 && s.received == m.length;
        std::memcpy(previousWatched, m.watched, sizeof previousWatched);
        // The machine's floor, now, without the driver.
        s.referenceWake = reference.Wake();
        s.referenceLate = reference.LateEnd();
    }
    return done;
}

void ReportMessages(int n, const Options &options) {
    const double timeoutMs = options.readTimeoutUnits * 10.0;
    int whole = 0;
    for (int i = 0; i < n; ++i) whole += messageSamples[i].oneRead ? 1 : 0;
    auto stats = [&](auto value) {
        for (int i = 0; i < n; ++i) scratch[i] = value(messageSamples[i]);
        return StatsOf(scratch, n);
    };
    const int64_t timeoutNs = static_cast<int64_t>(timeoutMs * 1e6);
    auto timeoutEnd = [&](const MessageSample &s) { return s.readEnter + timeoutNs; };
    const Stats firstByte = stats([](const MessageSample &s) { return Ms(s.readEnter - s.sent); });
    const Stats overshoot = stats([&](const MessageSample &s) { return Ms(s.readExit - timeoutEnd(s)); });
    const Stats decode = stats([](const MessageSample &s) { return Ms(s.stored - s.readExit); });
    const Stats stored = stats([&](const MessageSample &s) { return Ms(s.stored - timeoutEnd(s)); });
    const Stats visible = stats([&](const MessageSample &s) { return Ms(s.visible - timeoutEnd(s)); });
    const Stats plain = stats([&](const MessageSample &s) { return Ms(s.visible - (s.sent + timeoutNs)); });
    const Stats total = stats([](const MessageSample &s) { return Ms(s.visible - s.sent); });
    const Stats referenceWake = stats([](const MessageSample &s) { return s.referenceWake; });
    const Stats referenceLate = stats([](const MessageSample &s) { return s.referenceLate; });
    {
        ExcludeFromCount exclude;
        std::printf("  %d messages of 373 bytes (header, count F, 15 records), each written at once; read time-out %.0f ms\n",
                    n, timeoutMs);
        if (options.hostPollUs > 0)
            std::printf("  the host thread polls ReadTag every %d us from 3 ms before the time-out ends\n", options.hostPollUs);
        else
            std::printf("  the host thread polls ReadTag without pause from 3 ms before the time-out ends\n");
        std::printf("  framing: %d of %d messages read whole by exactly one read\n", whole, n);
        auto row = [](const char *what, const Stats &s) {
            std::printf("  %-58s min %8.3f  median %8.3f  p99 %8.3f  max %8.3f ms\n", what, s.min, s.median, s.p99,
                        s.max);
        };
        row("first byte written -> read entered", firstByte);
        row("read time-out end -> read returned (platform read)", overshoot);
        row("read returned -> last entry stored (decoder's trace)", decode);
        row("read time-out end -> last entry stored (decoder's trace)", stored);
        row("read time-out end -> seen by the host's ReadTag", visible);
        row("same, from first byte written + time-out (no recorder)", plain);
        row("first byte written -> seen by ReadTag (floor: time-out)", total);
        std::printf("  the same waits without the driver, one of each after every message:\n");
        row("reference: byte written -> poll() on a pty woke", referenceWake);
        row("reference: 10-ms timed poll() ended late by", referenceLate);
    }
    AddBounded("(b) first byte -> start of read, median", firstByte.median, "ms", 2.0, true);
    AddBounded("(b) first byte -> start of read, p99", firstByte.p99, "ms", 2.0, true);
    AddBounded("(b) first byte -> start of read, max", firstByte.max, "ms", 2.0, true);
    AddInfo("(c) read time-out (the framing's floor)", timeoutMs, "ms");
    AddBounded("(c) time-out end -> stored, median", stored.median, "ms", 1.0, false);
    AddBounded("(c) time-out end -> stored, p99", stored.p99, "ms", 5.0, false);
    AddInfo("(c) time-out end -> stored, max", stored.max, "ms");
    AddBounded("(c) time-out end -> seen by ReadTag, median", visible.median, "ms", 1.0, false);
    AddBounded("(c) time-out end -> seen by ReadTag, p99", visible.p99, "ms", 5.0, false);
    AddInfo("(c) first byte -> seen by ReadTag, median", total.median, "ms");
    char v[48];
    std::snprintf(v, sizeof v, "%d/%d", whole, n);
    AddFigure("(c) messages read whole in one read", v, "all", whole == n ? Verdict::kPass : Verdict::kMiss);
    AddInfo("(ref) pty wake-up without driver, p99", referenceWake.p99, "ms");
    AddInfo("(ref) timed wait ends late, no driver, p99", referenceLate.p99, "ms");
}

void WriteSamples(const char *path, int n, const Options &options) {
    ExcludeFromCount exclude;
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) {
        std::printf("  (could not write %s)\n", path);
        return;
    }
    const int64_t timeoutNs = static_cast<int64_t>(options.readTimeoutUnits) * 10000000;
    std::fprintf(f, "message,first_byte_to_read_ms,timeout_end_to_read_return_ms,read_return_to_stored_ms,"
                    "timeout_end_to_stored_ms,timeout_end_to_readtag_ms,first_byte_to_readtag_ms,bytes_read,one_read,"
                    "reference_pty_wake_ms,reference_timed_wait_late_ms\n");
    for (int i = 0; i < n; ++i) {
        const MessageSample &s = messageSamples[i];
        std::fprintf(f, "%d,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%u,%d,%.4f,%.4f\n", i, Ms(s.readEnter - s.sent),
                     Ms(s.readExit - s.readEnter - timeoutNs), Ms(s.stored - s.readExit),
                     Ms(s.stored - s.readEnter - timeoutNs), Ms(s.visible - s.readEnter - timeoutNs),
                     Ms(s.visible - s.sent), s.received, s.oneRead ? 1 : 0, s.referenceWake, s.referenceLate);
    }
    std::fclose(f);
    std::printf("  per-message samples written to %s\n", path);
}

// ---------------------------------------------------------------- (d)

double closeLatency[kMaxCloseRuns];
double readReturnAfterClose[kMaxCloseRuns];

bool RunCloseLatency(ChannelBlock *channel, const Line &line, const Options &options) {
    int runs = 0;
    int interrupted = 0;
    for (int i = 0; i < options.closeRuns && i < kMaxCloseRuns; ++i) {
        zelbench::SetPhase(kReopenCalls);
        const int32_t opened = OpenChannel(channel, line.portName, options.closeTimeoutUnits);
        zelbench::SetPhase(kCloseReads);
        if (opened != ZEL_OK) {
            Fail("OpenChannel on the closed channel failed");
            return false;
        }
        SleepMs(30);  // the thread finds the new port and waits on it
        const uint64_t readsBefore = readLog.reads.load();
        const char partial[] = "\r\nhhh";  // the start of a message; the rest never comes
        if (Transmit(line, partial, sizeof partial - 1) < 0 || !WaitFor(readLog.reads, readsBefore + 1, 1000)) {
            Fail("the read did not begin");
            return false;
        }
        SleepMs(20);  // well inside the read's 2-s wait
        const bool reading = readLog.inRead.load();
        const int64_t t0 = NowNs();
        const int32_t closed = Call(channel, ZEL_OP_CLOSE_PORT);
        const int64_t t1 = NowNs();
        if (closed != ZEL_OK) {
            Fail("ClosePort failed");
            return false;
        }
        // Wait for the read to end, however long it takes.
        const int64_t deadline = NowNs() + 5000000000LL;
        while (readLog.inRead.load() && NowNs() < deadline) SleepMs(0.1);
        if (!reading) continue;  // not a close during a read: not counted
        ++interrupted;
        closeLatency[runs] = Ms(t1 - t0);
        readReturnAfterClose[runs] = Ms(readLog.exitNs.load() - t0);
        ++runs;
    }
    if (runs == 0) {
        Fail("no ClosePort met a read in progress");
        return false;
    }
    const Stats latency = StatsOf(closeLatency, runs);
    const Stats readEnd = StatsOf(readReturnAfterClose, runs);
    {
        ExcludeFromCount exclude;
        std::printf("  %d ClosePort calls, each 20 ms into a read with a %.0f-ms time-out (%d of %d met a read in progress)\n",
                    runs, options.closeTimeoutUnits * 10.0, interrupted, options.closeRuns);
        std::printf("  %-58s min %8.3f  median %8.3f  p99 %8.3f  max %8.3f ms\n", "ClosePort call -> returned",
                    latency.min, latency.median, latency.p99, latency.max);
        std::printf("  %-58s min %8.3f  median %8.3f  p99 %8.3f  max %8.3f ms\n", "ClosePort call -> read returned",
                    readEnd.min, readEnd.median, readEnd.p99, readEnd.max);
    }
    AddInfo("(d) ClosePort during a read, median", latency.median, "ms");
    AddBounded("(d) ClosePort during a read, max", latency.max, "ms", 50.0, false);
    return true;
}

// ---------------------------------------------------------------- (e)

void ReportAllocations() {
    ExcludeFromCount exclude;
    uint64_t inTarget = 0;
    std::printf("  %-30s %12s %14s %10s\n", "phase", "host thread", "other threads", "bytes");
    for (int p = kFirstOpen; p < kPhaseCount; ++p) {
        const zelbench::PhaseCount c = zelbench::CountOf(p);
        std::printf("  %-30s %12" PRIu64 " %14" PRIu64 " %10" PRIu64 "%s\n", kPhaseNames[p], c.hostThread,
                    c.otherThreads, c.bytes, InTarget(p) ? "" : "   (OpenChannel itself, not in the target)");
        if (InTarget(p)) inTarget += c.hostThread + c.otherThreads;
    }
    for (int i = 0; i < zelbench::SampleCount(); ++i) {
        const zelbench::AllocationSample s = zelbench::SampleAt(i);
        Dl_info info{};
        const char *symbol = "?";
        const char *object = "?";
        if (dladdr(s.caller, &info) != 0) {
            if (info.dli_sname != nullptr) symbol = info.dli_sname;
            if (info.dli_fname != nullptr) object = info.dli_fname;
        }
        std::printf("    allocation %d: %zu bytes in phase '%s' on the %s thread, called from %s (%s)\n", i, s.size,
                    kPhaseNames[s.phase], s.hostThread ? "host" : "driver's", symbol, object);
    }
    char v[48];
    std::snprintf(v, sizeof v, "%" PRIu64, inTarget);
    AddFigure("(e) heap allocations after OpenChannel returned", v, "0", inTarget == 0 ? Verdict::kPass : Verdict::kMiss);
}

// ---------------------------------------------------------------- (f) bursts

// Writes `bytes` as a line at `baud` carries them (10 bits a character), in
// small pieces; returns the time of the last byte's write.
int64_t TransmitPaced(const Line &line, const char *bytes, std::size_t length, int baud) {
    constexpr std::size_t kPiece = 8;
    const int64_t start = NowNs();
    int64_t last = start;
    for (std::size_t at = 0; at < length; at += kPiece) {
        SleepUntilNs(start + static_cast<int64_t>(at) * 10000000000LL / baud);
        last = NowNs();
        if (Transmit(line, bytes + at, std::min(kPiece, length - at)) < 0) return -1;
    }
    return last;
}

// Message `index` of a burst: 15 records of kind 0, each on an entry of its
// own (buses 1-8, slots 1-8, points 1-127), so that every event can be
// found in the table afterwards.
constexpr int kBurstRecords = 15;
constexpr int kBurstMaxMessages = 8 * 8 * 127 / kBurstRecords;

void BurstEntry(int event, char *address, int *busDigit, int *slotDigit, int *point) {
    *busDigit = event / (8 * 127);
    *slotDigit = event / 127 % 8;
    *point = 1 + event % 127;
    if (address != nullptr)
        std::snprintf(address, 8, "%02u%02u%03u", static_cast<unsigned>(*busDigit + 1) % 100u,
                      static_cast<unsigned>(*slotDigit + 1) % 100u, static_cast<unsigned>(*point) % 1000u);
}

std::size_t BuildBurstMessage(int index, char *text) {
    static const char hex[] = "0123456789ABCDEF";
    std::size_t at = 0;
    std::memcpy(text, "\r\nhhhhhhhhhSF", 13);
    at += 13;
    for (int r = 0; r < kBurstRecords; ++r) {
        int bus, slot, point;
        BurstEntry(index * kBurstRecords + r, nullptr, &bus, &slot, &point);
        std::snprintf(text + at, 25, "%c0000%c%c%c0000000000000000", '0' + bus, '0' + slot, hex[point >> 4], hex[point & 15]);
        at += 24;
    }
    return at;
}

int64_t lastByteNs[kBurstMaxMessages];
std::atomic<int64_t> visibleNs[kBurstMaxMessages];

void RunBurst(const char *label, int baud, int messages, ChannelBlock *channel, const Line &line,
              const Options &options) {
    messages = std::clamp(messages, 1, kBurstMaxMessages);
    const int spacingMs = 2 * static_cast<int>(options.readTimeoutUnits) * 10;
    for (int i = 0; i < messages; ++i) visibleNs[i].store(0);
    // The host watches each message's last entry, in order.
    std::thread host([&] {
        for (int i = 0; i < messages; ++i) {
            char address[8];
            int bus, slot, point;
            BurstEntry(i * kBurstRecords + kBurstRecords - 1, address, &bus, &slot, &point);
            const int64_t giveUp = NowNs() + 60000000000LL;
            while (ReadTag(channel, address) == 0 && NowNs() < giveUp) SleepMs(0.1);
            visibleNs[i].store(NowNs());
        }
    });
    uint32_t lcg = 777u + static_cast<uint32_t>(baud);
    for (int i = 0; i < messages; ++i) {
        char text[400];
        const std::size_t length = BuildBurstMessage(i, text);
        lastByteNs[i] = TransmitPaced(line, text, length, baud);
        lcg = lcg * 1103515245u + 12345u;
        SleepMs((lcg >> 16) % (spacingMs + 1));
    }
    host.join();
    int lost = 0;
    for (int e = 0; e < messages * kBurstRecords; ++e) {
        char address[8];
        int bus, slot, point;
        BurstEntry(e, address, &bus, &slot, &point);
        lost += ReadTag(channel, address) == 1 ? 0 : 1;
    }
    int n = 0;
    for (int i = 0; i < messages; ++i)
        if (lastByteNs[i] > 0 && visibleNs[i].load() > lastByteNs[i]) scratch[n++] = Ms(visibleNs[i].load() - lastByteNs[i]);
    char name[64], value[48];
    std::snprintf(name, sizeof name, "(f) %s: events lost", label);
    std::snprintf(value, sizeof value, "%d of %d", lost, messages * kBurstRecords);
    AddFigure(name, value, "0 lost", lost == 0 ? Verdict::kPass : Verdict::kMiss);
    if (n == 0) return;
    const Stats st = StatsOf(scratch, n);
    std::snprintf(name, sizeof name, "(f) %s: last byte to ReadTag, p50", label);
    AddBounded(name, st.median, "ms", options.readTimeoutUnits * 10.0 + 5.0, true);
    std::snprintf(name, sizeof name, "(f) %s: last byte to ReadTag, max", label);
    AddBounded(name, st.max, "ms", options.readTimeoutUnits * 10.0 + 5.0, true);
}

// ---------------------------------------------------------------- (g) several channels

long ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

constexpr int kManyChannels = 64;
constexpr int kBusyChannels = 8;

struct Bank {
    Line lines[kManyChannels];
    ChannelBlock *blocks[kManyChannels] = {};
    int open = 0;
};

// Opens channels up to `count`; false when one could not be opened.
bool OpenUpTo(Bank &bank, int count, const Options &options, uint32_t infoBlockSize) {
    const uint64_t before = startNotices.load();
    const int first = bank.open;
    for (int i = first; i < count; ++i) {
        if (!OpenLine(bank.lines[i])) return false;
        bank.blocks[i] = static_cast<ChannelBlock *>(std::calloc(1, infoBlockSize));
        if (OpenChannel(bank.blocks[i], bank.lines[i].portName, options.readTimeoutUnits) != ZEL_OK) return false;
        bank.open = i + 1;
    }
    if (!WaitFor(startNotices, before + static_cast<uint64_t>(count - first), 5000)) return false;
    SleepMs(1300);
    return true;
}

// (b), (c) on each of the first 8 channels at once: each panel sends a
// message, its host thread waits for it in the table.
void RunBusyChannels(Bank &bank, const Options &options) {
    constexpr int kPerChannel = 25;
    static double firstByte[kBusyChannels * kPerChannel], timeoutToRead[kBusyChannels * kPerChannel];
    std::atomic<int> samples{0};
    std::atomic<bool> failed{false};
    const int messages = options.quick ? 3 : kPerChannel;
    const int64_t timeoutNs = static_cast<int64_t>(options.readTimeoutUnits) * 10000000;
    std::thread threads[kBusyChannels];
    for (int c = 0; c < kBusyChannels; ++c)
        threads[c] = std::thread([&, c] {
            uint32_t lcg = 99u + static_cast<uint32_t>(c);
            for (int i = 0; i < messages && !failed; ++i) {
                char text[400];
                const std::size_t length = BuildBurstMessage(i, text);
                char address[8];
                int bus, slot, point;
                BurstEntry(i * kBurstRecords + kBurstRecords - 1, address, &bus, &slot, &point);
                lcg = lcg * 1103515245u + 12345u;
                SleepMs(20.0 + (lcg >> 16) % 40);
                const int64_t sent = Transmit(bank.lines[c], text, length);
                SleepUntilNs(sent + timeoutNs - 3000000);
                const int64_t giveUp = sent + 3000000000LL;
                while (ReadTag(bank.blocks[c], address) == 0 && NowNs() < giveUp) SleepMs(0.1);
                const int64_t visible = NowNs();
                if (visible >= giveUp) {
                    failed = true;
                    break;
                }
                const uint32_t port = std::atomic_ref<uint32_t>(bank.blocks[c]->port).load();
                const int k = samples.fetch_add(1);
                firstByte[k] = Ms(portReadEnterNs[port & 0xFF].load() - sent);
                timeoutToRead[k] = Ms(visible - (sent + timeoutNs));
            }
        });
    for (std::thread &t : threads) t.join();
    if (failed) Fail("a message on one of 8 busy channels never reached ReadTag");
    const int n = samples.load();
    if (n == 0) return;
    Stats st = StatsOf(firstByte, n);
    AddBounded("(g) 8 busy: first byte to read start, p50", st.median, "ms", 1.0, true);
    AddBounded("(g) 8 busy: first byte to read start, p99", st.p99, "ms", 5.0, true);
    st = StatsOf(timeoutToRead, n);
    AddBounded("(g) 8 busy: time-out end to ReadTag, p50", st.median, "ms", 1.0, true);
    AddBounded("(g) 8 busy: time-out end to ReadTag, p99", st.p99, "ms", 5.0, true);
}

void RunSeveralChannels(const Options &options, uint32_t infoBlockSize) {
    static Bank bank;
    if (!OpenUpTo(bank, kBusyChannels, options, infoBlockSize)) {
        Fail("opening 8 channels");
        return;
    }
    MeasureIdleCpu("8 channels open and idle", "(g) CPU, 8 channels open and idle", options.idleSeconds);
    RunBusyChannels(bank, options);
    // The blocks are the host's; the driver's share is what opening adds.
    for (int i = kBusyChannels; i < kManyChannels; ++i)
        bank.blocks[i] = static_cast<ChannelBlock *>(std::calloc(1, infoBlockSize));
    const long before = ResidentBytes();
    for (int i = kBusyChannels; i < kManyChannels; ++i) {
        if (!OpenLine(bank.lines[i]) ||
            OpenChannel(bank.blocks[i], bank.lines[i].portName, options.readTimeoutUnits) != ZEL_OK) {
            Fail("opening 64 channels");
            return;
        }
        bank.open = i + 1;
    }
    SleepMs(1500);
    const long after = ResidentBytes();
    AddInfo("(g) memory per channel (resident)", (after - before) / 1024.0 / (kManyChannels - kBusyChannels), "KiB");
    MeasureIdleCpu("64 channels open and idle", "(g) CPU, 64 channels open and idle", options.idleSeconds);
    for (int i = 0; i < bank.open; ++i)
        if (Call(bank.blocks[i], ZEL_OP_CLOSE_CHANNEL) != ZEL_OK) Fail("CloseChannel of one of 64");
}

// ---------------------------------------------------------------- (h) a vanished device

void RunVanishedDevice(const Options &options, uint32_t infoBlockSize) {
    char link[16];
    std::snprintf(link, sizeof link, "/tmp/zb%d", static_cast<int>(getpid() % 10000));
    unlink(link);
    Line line;
    char path[80];
    if (!OpenLine(line)) return Fail("no pseudo-terminal for (h)");
    std::snprintf(path, sizeof path, "/dev/%s", line.portName);
    if (symlink(path, link) != 0) return Fail("no link for (h)");
    auto *channel = static_cast<ChannelBlock *>(std::calloc(1, infoBlockSize));
    const uint64_t started = startNotices.load();
    if (OpenChannel(channel, link, options.readTimeoutUnits) != ZEL_OK) return Fail("OpenChannel on the link");
    WaitFor(startNotices, started + 1, 3000);
    SleepMs(1200);
    int n = 0;
    for (int cycle = 0; cycle < options.returnCycles; ++cycle) {
        const uint64_t lost = lostLines.load();
        close(line.master);
        unlink(link);
        if (!WaitFor(lostLines, lost + 1, 3000)) return Fail("the loss was not logged");
        if (cycle == 0)
            MeasureIdleCpu("port lost, reopened once a second", "(h) CPU while a lost port is retried",
                           options.idleSeconds);
        SleepMs(300 + 137 * cycle);  // the return falls anywhere in the retry period
        if (!OpenLine(line)) return Fail("no pseudo-terminal for (h)");
        std::snprintf(path, sizeof path, "/dev/%s", line.portName);
        char text[400];
        const std::size_t length = BuildBurstMessage(cycle, text);
        char address[8];
        int bus, slot, point;
        BurstEntry(cycle * kBurstRecords + kBurstRecords - 1, address, &bus, &slot, &point);
        // The panel sends as soon as the device is back; the bytes wait on
        // the line until the driver has the port open again.
        const int64_t back = NowNs();
        if (symlink(path, link) != 0 || Transmit(line, text, length) < 0) return Fail("bringing the device back");
        while (ReadTag(channel, address) == 0 && NowNs() < back + 5000000000LL) SleepMs(0.5);
        if (ReadTag(channel, address) == 0) return Fail("no message after the device came back");
        scratch[n++] = Ms(NowNs() - back);
    }
    const Stats st = StatsOf(scratch, n);
    const double bound = 1000.0 + options.readTimeoutUnits * 10.0 + 50.0;
    AddBounded("(h) device back to first message, p50", st.median, "ms", bound, true);
    AddBounded("(h) device back to first message, max", st.max, "ms", bound, true);
    Call(channel, ZEL_OP_CLOSE_CHANNEL);
    close(line.master);
    unlink(link);
}

// ---------------------------------------------------------------- main

bool ParseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        auto value = [&](const char *name) -> const char * {
            const std::size_t n = std::strlen(name);
            if (std::strncmp(a, name, n) == 0 && a[n] == '=') return a + n + 1;
            return nullptr;
        };
        if (std::strcmp(a, "--quick") == 0) {
            options.quick = true;
            options.idleSeconds = 1.0;
            options.messages = 20;
            options.closeRuns = 5;
            options.burstMessagesSlow = 5;
            options.burstMessagesFast = 12;
            options.returnCycles = 1;
        } else if (const char *v = value("--idle-seconds")) {
            options.idleSeconds = std::atof(v);
        } else if (const char *v = value("--messages")) {
            options.messages = std::atoi(v);
        } else if (const char *v = value("--close-runs")) {
            options.closeRuns = std::atoi(v);
        } else if (const char *v = value("--timeout-units")) {
            options.readTimeoutUnits = static_cast<uint32_t>(std::atoi(v));
        } else if (const char *v = value("--host-poll-us")) {
            options.hostPollUs = std::atoi(v);
        } else if (const char *v = value("--samples")) {
            options.samplesPath = v;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--quick] [--idle-seconds=S] [--messages=N] [--close-runs=N] "
                         "[--timeout-units=U] [--host-poll-us=US] [--samples=FILE]\n",
                         argv[0]);
            return false;
        }
    }
    options.messages = std::clamp(options.messages, 1, kMaxMessages);
    options.closeRuns = std::clamp(options.closeRuns, 1, kMaxCloseRuns);
    if (options.readTimeoutUnits < 1) options.readTimeoutUnits = 1;
    if (options.idleSeconds <= 0) options.idleSeconds = 0.1;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    zelbench::MarkHostThread();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ZELWNQX end-to-end benchmark%s: idle %.1f s, %d messages, %d closes\n",
                options.quick ? " (quick run)" : "", options.idleSeconds, options.messages, options.closeRuns);
    std::printf("  host log: the KORVAN stand-in with a counting sink that keeps no line\n");
    std::printf("  serial back end: the platform's, with a clock read around each read\n");
    if (!zelbench::HookActive()) {
        std::printf("MEASUREMENT FAILED: the allocation hook is not in use\n");
        return 1;
    }
    KorStandinSetLogSink(CountingSink, nullptr);
    InstallRecordingBackend();

    Line line;
    if (!OpenLine(line)) {
        std::printf("MEASUREMENT FAILED: no pseudo-terminal\n");
        return 1;
    }
    DriverInfo info{};
    if (Call(nullptr, ZEL_OP_GET_DRIVER_INFO, &info) != ZEL_OK || info.channelBlockSize < sizeof(ChannelBlock)) {
        std::printf("MEASUREMENT FAILED: GetDriverInfo\n");
        return 1;
    }
    if (!reference.Start()) {
        std::printf("MEASUREMENT FAILED: no pseudo-terminal for the reference waits\n");
        return 1;
    }
    // The host's channel block, for the life of the process.
    auto *channel = static_cast<ChannelBlock *>(std::calloc(1, info.channelBlockSize));

    std::printf("\nfigure                                           value                  target             verdict\n");

    zelbench::StartCounting();
    zelbench::SetPhase(kFirstOpen);
    if (OpenChannel(channel, line.portName, options.readTimeoutUnits) != ZEL_OK) {
        std::printf("MEASUREMENT FAILED: OpenChannel on %s\n", line.portName);
        return 1;
    }
    zelbench::SetPhase(kThreadStart);
    // The thread waits a second before it takes its channel.
    if (!WaitFor(startNotices, 1, 3000)) Fail("the reception thread did not start");
    SleepMs(1200);

    Section("(a) CPU use, channel open and idle");
    zelbench::SetPhase(kOpenIdle);
    MeasureIdleCpu("open and idle", "(a) CPU, channel open and idle", options.idleSeconds);

    Section("(b), (c) messages from the line to ReadTag");
    zelbench::SetPhase(kMessages);
    const MachineTicks machine = ReadMachineTicks();
    const int received = RunMessages(channel, line, options);
    PrintMachineLoad(machine);
    if (received > 0) ReportMessages(received, options);
    if (received > 0 && options.samplesPath != nullptr) WriteSamples(options.samplesPath, received, options);

    Section("(d) ClosePort while a read waits for its time-out");
    zelbench::SetPhase(kCloseReads);
    if (Call(channel, ZEL_OP_CLOSE_PORT) != ZEL_OK) Fail("ClosePort");
    RunCloseLatency(channel, line, options);

    Section("(a) CPU use, channel closed");
    zelbench::SetPhase(kClosedIdle);
    if (Call(channel, ZEL_OP_CLOSE_CHANNEL) != ZEL_OK) Fail("CloseChannel");
    SleepMs(100);  // the thread leaves the port
    MeasureIdleCpu("closed", "(a) CPU, channel closed", options.idleSeconds);
    zelbench::StopCounting();

    reference.Stop();

    Section("(e) heap allocations (malloc replacement, every thread)");
    ReportAllocations();

    Section("(f) bursts: messages back to back and far apart, paced as on the line");
    if (OpenChannel(channel, line.portName, options.readTimeoutUnits) != ZEL_OK) Fail("OpenChannel for (f)");
    WaitFor(startNotices, 2, 3000);
    SleepMs(1200);
    RunBurst("9600 baud", 9600, options.burstMessagesSlow, channel, line, options);
    if (!ClearTableThroughLine(channel, line, "0101001")) Fail("the clear command did not clear the table");
    RunBurst("57600 baud", 57600, options.burstMessagesFast, channel, line, options);
    if (Call(channel, ZEL_OP_CLOSE_CHANNEL) != ZEL_OK) Fail("CloseChannel after (f)");

    Section("(g) several channels in one process");
    RunSeveralChannels(options, info.channelBlockSize);

    Section("(h) a vanished device and its return");
    RunVanishedDevice(options, info.channelBlockSize);

    int pass = 0, miss = 0;
    std::printf("\n== summary: %d figures\n", figureCount);
    for (int i = 0; i < figureCount; ++i) {
        const Figure &f = figures[i];
        const char *v = f.verdict == Verdict::kPass ? "PASS" : f.verdict == Verdict::kMiss ? "MISS" : "info";
        pass += f.verdict == Verdict::kPass;
        miss += f.verdict == Verdict::kMiss;
        std::printf("  %-46s %-22s %-18s %s\n", f.name, f.value, f.target, v);
    }
    std::printf("== %d PASS, %d MISS%s\n", pass, miss, measurementFailed ? ", MEASUREMENT FAILED" : "");
    std::printf("  log lines received by the host: %" PRIu64 "\n", logLines.load());
    return measurementFailed ? 1 : 0;
}
