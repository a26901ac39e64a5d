// Figures of the driver's Windows code under Wine, on COM ports mapped to
// pseudo-terminals: CPU of the process with the channel open and idle and
// with it closed, the delay from a transmission's first byte to the start of
// the read, and ClosePort while a read waits. The driver's code is linked in
// so that a timing serial back end can be put in place; it is the code of
// ZELWNQX.DLL. Figures are printed, never asserted.
//
// Usage (under tests/scripts/wine-serial-run.sh): zel_wine_bench [--quick]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "korvan_standin.h"
#include "line_link.h"
#include "serial/serial_backend.h"
#include "zelwnqx.h"

namespace {

std::atomic<double> readEntered{0.0};
std::atomic<int> traces{0};

const zel::SerialBackend &Platform() { return zel::PlatformSerialBackend(); }

// The platform's back end, with the moment each read begins recorded.
zel::IoStatus TimedRead(zel::PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    readEntered = zeltest::NowMs();
    return Platform().read(port, buffer, count, received);
}

zel::SerialBackend TimingBackend() {
    zel::SerialBackend backend = Platform();
    backend.read = TimedRead;
    return backend;
}

void CountTraces(void *, int level, const char *line) {
    if (level == 8 && std::strncmp(line, "String from Comport ", 20) == 0) ++traces;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

double CpuPercentOver(DWORD milliseconds) {
    const double cpu = ProcessCpuMs(), start = zeltest::NowMs();
    Sleep(milliseconds);
    return 100.0 * (ProcessCpuMs() - cpu) / (zeltest::NowMs() - start);
}

int32_t Call(ChannelBlock *channel, uint32_t operation, void *request = nullptr) {
    ZelCall call{};
    call.channel = channel;
    call.operation = operation;
    call.channelNumber = 1;
    call.request = request;
    return ZelMain(&call);
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void Row(const char *figure, double value, const char *unit, const char *target, bool pass) {
    std::printf("  %-48s %10.3f %-8s %-10s %s\n", figure, value, unit, target, pass ? "PASS" : "MISS");
}

}  // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const DWORD idleMs = quick ? 2000 : 10000;
    const int messages = quick ? 20 : 100;
    const int closes = quick ? 3 : 10;

    zeltest::LineLink link(5, 6);
    zeltest::PanelPort panel(6);
    if (!link.Up() || !panel.Open()) {
        std::fprintf(stderr, "zel_wine_bench: no line between COM5 and COM6\n");
        return 1;
    }
    static const zel::SerialBackend timing = TimingBackend();
    zel::UseSerialBackend(&timing);
    KorStandinSetLogSink(CountTraces, nullptr);

    auto *channel = static_cast<ChannelBlock *>(calloc(1, sizeof(ChannelBlock)));
    OpenChannelRequest open{};
    std::strcpy(open.portName, "COM5");
    open.enabled = 1;
    open.readTimeout = 5;  // 50 ms
    open.lineSettings = {9600, 8, 0, 0};
    if (Call(channel, ZEL_OP_OPEN_CHANNEL, &open) != ZEL_OK) {
        std::fprintf(stderr, "zel_wine_bench: OpenChannel on COM5 failed\n");
        return 1;
    }
    Sleep(1300);
    std::printf("ZELWNQX under Wine: idle %lu ms, %d messages, %d closes\n\n", idleMs, messages, closes);

    const double openIdle = CpuPercentOver(idleMs);

    std::vector<double> delays;
    const std::string message = "\r\nhhhhhhhhhhS1030003000000000000000000";
    for (int i = 0; i < messages; ++i) {
        Sleep(60 + (i * 7) % 40);  // not in step with the thread's 10-ms look
        const int before = traces;
        const double sent = zeltest::NowMs();
        panel.Send(message);
        if (!zeltest::WaitUntil([&] { return readEntered.load() >= sent; }, 2000) ||
            !zeltest::WaitUntil([&] { return traces > before; }, 2000)) {
            std::fprintf(stderr, "zel_wine_bench: message %d was not read\n", i);
            return 1;
        }
        delays.push_back(readEntered.load() - sent);
    }

    std::vector<double> closeMs;
    for (int i = 0; i < closes; ++i) {
        const double sent = zeltest::NowMs();
        panel.Send("\r\nhh");  // a read that waits for its time-out
        if (!zeltest::WaitUntil([&] { return readEntered.load() >= sent; }, 2000)) return 1;
        Sleep(20);
        const double start = zeltest::NowMs();
        Call(channel, ZEL_OP_CLOSE_PORT);
        closeMs.push_back(zeltest::NowMs() - start);
        Sleep(1200);  // the read Wine did not cancel ends with its time-out
        Call(channel, ZEL_OP_REOPEN_PORT);
        Sleep(100);
    }
    Call(channel, ZEL_OP_CLOSE_CHANNEL);
    Sleep(1200);
    const double closedIdle = CpuPercentOver(idleMs);

    std::printf("  %-48s %10s %-8s %-10s %s\n", "figure", "value", "unit", "target", "verdict");
    Row("(a) CPU, channel open and idle", openIdle, "% core", "<= 1 %", openIdle <= 1.0);
    Row("(a) CPU, channel closed", closedIdle, "% core", "<= 1 %", closedIdle <= 1.0);
    Row("(b) first byte -> start of read, median", Percentile(delays, 0.5), "ms", "<= 20 ms",
        Percentile(delays, 0.5) <= 20.0);
    Row("(b) first byte -> start of read, p99", Percentile(delays, 0.99), "ms", "<= 20 ms",
        Percentile(delays, 0.99) <= 20.0);
    Row("(b) first byte -> start of read, max", Percentile(delays, 1.0), "ms", "<= 20 ms",
        Percentile(delays, 1.0) <= 20.0);
    Row("(d) ClosePort while a read waits, max", Percentile(closeMs, 1.0), "ms", "< 50 ms",
        Percentile(closeMs, 1.0) < 50.0);
    return 0;
}
