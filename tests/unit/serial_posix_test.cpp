// Serial port access on Linux, against pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pty_pair.h"
#include "recording_backend.h"
#include "serial/serial_port.h"
#include "serial/serial_posix.h"

using zeltest::NowMs;
using zeltest::PtyPair;

namespace {

constexpr LineSettings k9600{9600, 8, 0, 0};

// The slave's termios as the driver left it (root ignores TIOCEXCL and the
// test takes no lock, so it can look).
termios SlaveTermios(const PtyPair &pty) {
    const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    return t;
}

zel::PortHandle OpenPty(const PtyPair &pty, LineSettings settings = k9600, uint16_t flowFlags = 0x4333) {
    zel::PortHandle port = 0;
    EXPECT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), settings, flowFlags, &port), zel::kSerialOk);
    EXPECT_NE(port, 0u);
    return port;
}

TEST(SerialOpen, ConfiguresARawLineWithOneSecondReads) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    const termios t = SlaveTermios(pty);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);

    // The device control block as the logic set it.
    const zel::LineState &state = zeltest::Recorded().lastLineState;
    EXPECT_EQ(state.baudRate, 9600u);
    EXPECT_TRUE(state.binary);
    EXPECT_TRUE(state.parityCheck);
    EXPECT_FALSE(state.outxCtsFlow || state.outxDsrFlow || state.dsrSensitivity || state.outX || state.inX ||
                 state.errorCharReplace || state.nullStrip || state.abortOnError);
    EXPECT_EQ(state.dtrControl, zel::kDtrEnable);
    EXPECT_EQ(state.rtsControl, zel::kRtsEnable);
    EXPECT_EQ(static_cast<unsigned char>(state.errorChar), 0xFC);

    EXPECT_EQ(zel::SetReadTimeout(port, 100), 100) << "the opening sets 1000 ms";
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
}

struct LineCase {
    const char *name;
    LineSettings settings;
    int32_t result;
    tcflag_t size, set, clear;  // expected c_cflag bits
};

class SerialLineSettings : public testing::TestWithParam<LineCase> {};

// The termios flags the POSIX back end makes of each setting.
TEST_P(SerialLineSettings, MapToTermios) {
    const LineCase &c = GetParam();
    zel::LineState line;
    line.baudRate = c.settings.baudRate;
    line.byteSize = static_cast<uint8_t>(c.settings.dataBits);
    line.stopBits = static_cast<uint8_t>(c.settings.stopBits);
    line.parity = static_cast<uint8_t>(c.settings.parity);
    termios t{};
    t.c_cflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;  // all cleared unless asked for
    t.c_iflag = ICRNL | IXON | INPCK | ISTRIP | BRKINT | PARMRK;
    t.c_lflag = ICANON | ECHO | ISIG;
    const bool accepted = zel::TermiosForLineState(line, t);
    EXPECT_EQ(accepted, c.result == zel::kSerialOk);
    if (!accepted) return;
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ(t.c_cflag & c.set, c.set);
    EXPECT_EQ(t.c_cflag & c.clear, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK)) << "a break is ignored, not delivered as a NUL byte";
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
}

// The same settings through a real open: refused ones give 5 and leave the
// device free.
TEST_P(SerialLineSettings, OpenAppliesOrRefuses) {
    const LineCase &c = GetParam();
    PtyPair pty;
    zel::PortHandle port = 0;
    ASSERT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), c.settings, 0x4333, &port), c.result);
    if (c.result == zel::kSerialOk) {
        // Pseudo-terminals keep the stop-bit and mark/space flags (they
        // force CS8 and no parity themselves).
        const termios t = SlaveTermios(pty);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CMSPAR), c.set & (CSTOPB | CMSPAR));
        zel::CloseSerialPort(port);
        return;
    }
    EXPECT_EQ(port, 0u) << "no handle survives a failed open";
    zel::PortHandle again = 0;
    EXPECT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &again), zel::kSerialOk);
    zel::CloseSerialPort(again);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SerialLineSettings,
    testing::Values(
        LineCase{"Default", {9600, 8, 0, 0}, 0, CS8, 0, PARENB | CSTOPB},
        LineCase{"SevenOdd", {19200, 7, 0, 1}, 0, CS7, PARENB | PARODD, CSTOPB | CMSPAR},
        LineCase{"SevenEvenTwoStop", {4800, 7, 2, 2}, 0, CS7, PARENB | CSTOPB, PARODD | CMSPAR},
        LineCase{"Mark", {1200, 8, 0, 3}, 0, CS8, PARENB | CMSPAR | PARODD, 0},
        LineCase{"Space", {1200, 8, 0, 4}, 0, CS8, PARENB | CMSPAR, PARODD},
        LineCase{"FiveBitsOneAndAHalf", {300, 5, 1, 0}, 0, CS5, CSTOPB, PARENB},
        LineCase{"SixBits", {57600, 6, 0, 0}, 0, CS6, 0, PARENB},
        LineCase{"OnlyLowBytesCount", {9600, 0x0108, 0x0100, 0x0100}, 0, CS8, 0, PARENB | CSTOPB},
        LineCase{"NineDataBitsRefused", {9600, 9, 0, 0}, 5, 0, 0, 0},
        LineCase{"FourDataBitsRefused", {9600, 4, 0, 0}, 5, 0, 0, 0},
        LineCase{"ParityFiveRefused", {9600, 8, 0, 5}, 5, 0, 0, 0},
        LineCase{"StopCodeThreeRefused", {9600, 8, 3, 0}, 5, 0, 0, 0},
        LineCase{"ZeroBaudRefused", {0, 8, 0, 0}, 5, 0, 0, 0}),
    [](const testing::TestParamInfo<LineCase> &info) { return std::string(info.param.name); });

TEST(SerialLineSettings, HandshakesMapToTheNearestPosixForm) {
    zel::LineState line;
    line.baudRate = 9600;
    line.byteSize = 8;
    termios t{};
    line.rtsControl = zel::kRtsHandshake;
    ASSERT_TRUE(zel::TermiosForLineState(line, t));
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u) << "RTS handshake is hardware flow control";
    line.rtsControl = zel::kRtsToggle;
    ASSERT_TRUE(zel::TermiosForLineState(line, t));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    line.outX = line.inX = true;
    ASSERT_TRUE(zel::TermiosForLineState(line, t));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    // DSR flow control and sensitivity have no POSIX form: refused, not dropped.
    line.outxDsrFlow = true;
    EXPECT_FALSE(zel::TermiosForLineState(line, t));
    line.outxDsrFlow = false;
    line.dsrSensitivity = true;
    EXPECT_FALSE(zel::TermiosForLineState(line, t));
}

TEST(SerialOpen, RatesWithoutAConstantUseTheArbitraryRateInterface) {
    struct Termios2 {
        tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
        cc_t c_line;
        cc_t c_cc[19];
        speed_t c_ispeed, c_ospeed;
    };
    for (uint16_t rate : {31250, 14400, 65535, 1000}) {
        SCOPED_TRACE(rate);
        PtyPair pty;
        const zel::PortHandle port = OpenPty(pty, {rate, 8, 0, 0});
        const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        Termios2 t2{};
        ASSERT_EQ(ioctl(fd, _IOR('T', 0x2A, Termios2), &t2), 0);
        close(fd);
        EXPECT_EQ(t2.c_ospeed, rate);
        EXPECT_EQ(t2.c_ispeed, rate);
        zel::CloseSerialPort(port);
    }
}

TEST(SerialOpen, OpeningFailuresGiveTheirCodes) {
    zel::PortHandle port = 99;
    EXPECT_EQ(zel::OpenSerialPort("ttyNOSUCH", k9600, 0x4333, &port), zel::kSerialCannotOpen);
    EXPECT_EQ(port, 0u);
    // A file that is no serial port: its control block cannot be read.
    char path[] = "/tmp/zelnotaportXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(zel::OpenSerialPort(path, k9600, 0x4333, &port), zel::kSerialNoLineState);
    EXPECT_EQ(port, 0u);
    unlink(path);
    // Only the exact text "NUL" names the null device.
    EXPECT_EQ(zel::OpenSerialPort("nul", k9600, 0x4333, &port), zel::kSerialCannotOpen);
}

TEST(SerialOpen, NullDeviceGetsNoConfiguration) {
    zeltest::RecordingBackend recording;
    zel::PortHandle port = 0;
    ASSERT_EQ(zel::OpenSerialPort("NUL", {0, 99, 99, 99}, 0, &port), zel::kSerialOk);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(zeltest::Recorded().setTimeoutCalls, 0);
    uint32_t got = 5;
    char buffer[16];
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialIoFailed) << "nothing to read";
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
}

TEST(SerialOpen, SecondExclusiveOpenIsRefused) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    zel::PortHandle second = 0;
    EXPECT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &second), zel::kSerialCannotOpen);
    EXPECT_EQ(second, 0u);
    // Also for another process.
    const pid_t child = fork();
    if (child == 0) {
        zel::PortHandle other = 0;
        _exit(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &other));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), zel::kSerialCannotOpen);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
    // Free after the close.
    zel::PortHandle third = 0;
    EXPECT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &third), zel::kSerialOk);
    zel::CloseSerialPort(third);
}

TEST(SerialOpen, FullPathsAndDeviceNamesBothWork) {
    PtyPair pty;
    zel::PortHandle port = 0;
    ASSERT_EQ(zel::OpenSerialPort(pty.SlavePath().c_str(), k9600, 0x4333, &port), zel::kSerialOk);
    zel::CloseSerialPort(port);
    PortBlock block{};
    std::snprintf(block.name, sizeof block.name, "%s", pty.PortName().c_str());
    block.lineSettings = k9600;
    block.flowFlags = 0x4333;
    port = zel::OpenPortBlock(block);
    EXPECT_NE(port, 0u);
    zel::CloseSerialPort(port);
    std::memset(block.name, 'x', sizeof block.name);  // no terminator
    EXPECT_EQ(zel::OpenPortBlock(block), 0u);
}

struct FlowCase {
    uint16_t flags;
    uint8_t dtr, rts;
};

TEST(SerialFlowFlags, FirstMatchingMaskDecides) {
    for (const FlowCase &c : {FlowCase{0x4333, zel::kDtrEnable, zel::kRtsEnable}, FlowCase{0x0100, zel::kDtrEnable, 0},
                              FlowCase{0x0001, zel::kDtrEnable, 0}, FlowCase{0x8000, zel::kDtrHandshake, 0},
                              FlowCase{0x8001, zel::kDtrEnable, 0}, FlowCase{0x3000, 0, zel::kRtsHandshake},
                              FlowCase{0x2000, 0, zel::kRtsToggle}, FlowCase{0x1202, 0, zel::kRtsEnable},
                              FlowCase{0x0000, 0, 0}, FlowCase{0x4C00, 0, 0}}) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(zel::DtrControlFor(c.flags), c.dtr);
        EXPECT_EQ(zel::RtsControlFor(c.flags), c.rts);
    }
}

TEST(SerialReadTimeout, ReturnsThePreviousValueAndWritesOnlyChanges) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    const int writesAfterOpen = zeltest::Recorded().setTimeoutCalls;
    EXPECT_EQ(zel::SetReadTimeout(port, 100), 100);
    EXPECT_EQ(zeltest::Recorded().setTimeoutCalls, writesAfterOpen) << "equal: nothing written";
    EXPECT_EQ(zel::SetReadTimeout(port, 50), 100);
    EXPECT_EQ(zel::SetReadTimeout(port, 0), 50);
    EXPECT_EQ(zel::SetReadTimeout(port, 1), 0);
    // Milliseconds that would overflow 32 bits are clamped, never wrapped.
    EXPECT_EQ(zel::SetReadTimeout(port, 0x7FFFFFFF), 1);
    EXPECT_EQ(zel::SetReadTimeout(port, -1), 429496729);
    EXPECT_EQ(zel::SetReadTimeout(port, 429496729), 429496729);
    EXPECT_EQ(zel::SetReadTimeout(port, 10), 429496729);
    EXPECT_EQ(zel::SetReadTimeout(0, 10), 0) << "no port";
    zel::CloseSerialPort(port);
    EXPECT_EQ(zel::SetReadTimeout(port, 10), 0) << "closed port";
}

TEST(SerialRead, ReturnsWhatCameWhenTheTimeoutRunsOut) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 20);  // 200 ms
    pty.Send(std::string(37, 'a'));
    char buffer[1000];
    uint32_t got = 0;
    const double start = NowMs();
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialOk);
    const double elapsed = NowMs() - start;
    EXPECT_EQ(got, 37u);
    EXPECT_GE(elapsed, 200.0) << "waits for the whole read time-out, never less";
    EXPECT_LT(elapsed, 1000.0);

    got = 5;
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialIoFailed) << "nothing came";
    EXPECT_EQ(got, 0u);

    // A full count returns at once.
    zel::SetReadTimeout(port, 500);
    pty.Send(std::string(1200, 'b'));
    const double fullStart = NowMs();
    EXPECT_EQ(zel::ReadSerial(port, buffer, 1000, &got), zel::kSerialOk);
    EXPECT_EQ(got, 1000u);
    EXPECT_LT(NowMs() - fullStart, 2000.0);
    zel::CloseSerialPort(port);
}

TEST(SerialRead, TimeoutZeroWaitsForTheWholeCount) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 0);
    std::thread panel([&] {
        pty.Send("12345");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pty.Send("67890");
    });
    char buffer[10];
    uint32_t got = 0;
    EXPECT_EQ(zel::ReadSerial(port, buffer, 10, &got), zel::kSerialOk);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(std::string(buffer, 10), "1234567890");
    panel.join();
    zel::CloseSerialPort(port);
}

TEST(SerialRead, CountIsTakenAsSixteenBits) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 5);
    pty.Send("xyz");
    char buffer[8];
    uint32_t got = 0;
    // 0x10002 asks for 2 bytes.
    EXPECT_EQ(zel::ReadSerial(port, buffer, 0x10002, &got), zel::kSerialOk);
    EXPECT_EQ(got, 2u);
    zel::CloseSerialPort(port);
}

TEST(SerialPurge, DrainsWaitingInputInHalfKilobyteReads) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 30);
    pty.Send(std::string(1300, 'p'));
    ASSERT_TRUE(zeltest::WaitUntil(
        [&] {
            uint32_t waiting = 0;
            return zel::QueryInputQueue(port, &waiting) == zel::IoStatus::kOk && waiting == 1300;
        },
        std::chrono::seconds(2)));
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
    EXPECT_EQ(zeltest::Recorded().readSizes, (std::vector<uint32_t>{512, 512, 276}));
    EXPECT_EQ(zeltest::Recorded().readCounts, (std::vector<uint32_t>{512, 512, 512}));
    EXPECT_EQ(zel::SetReadTimeout(port, 30), 30) << "the previous time-out is back";
    uint32_t waiting = 9;
    EXPECT_EQ(zel::QueryInputQueue(port, &waiting), zel::IoStatus::kOk);
    EXPECT_EQ(waiting, 0u);
    zel::CloseSerialPort(port);
}

TEST(SerialPurge, ExactlyHalfAKilobyteEndsWithAnEmptyRead) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    pty.Send(std::string(512, 'p'));
    ASSERT_TRUE(zeltest::WaitUntil(
        [&] {
            uint32_t waiting = 0;
            return zel::QueryInputQueue(port, &waiting) == zel::IoStatus::kOk && waiting == 512;
        },
        std::chrono::seconds(2)));
    const double start = NowMs();
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
    EXPECT_GE(NowMs() - start, 45.0) << "the last read waits its 50 ms";
    EXPECT_EQ(zeltest::Recorded().readSizes, (std::vector<uint32_t>{512, 0}));
    EXPECT_EQ(zel::SetReadTimeout(port, 100), 100);
    zel::CloseSerialPort(port);
}

TEST(SerialPurge, EmptyQueueReadsNothing) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    const int writes = zeltest::Recorded().setTimeoutCalls;
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
    EXPECT_TRUE(zeltest::Recorded().readSizes.empty());
    EXPECT_EQ(zeltest::Recorded().setTimeoutCalls, writes);
    zel::CloseSerialPort(port);
}

TEST(SerialPurge, FailedReadGivesOneAndAPreviousZeroIsPutBack) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 0);
    pty.Send(std::string(100, 'p'));
    ASSERT_TRUE(zeltest::WaitUntil(
        [&] {
            uint32_t waiting = 0;
            return zel::QueryInputQueue(port, &waiting) == zel::IoStatus::kOk && waiting == 100;
        },
        std::chrono::seconds(2)));
    recording.FailNext(zeltest::SerialStep::kRead);
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialCannotOpen);
    uint32_t timeout = 99;
    EXPECT_TRUE(zel::ReadTimeoutMilliseconds(port, &timeout));
    EXPECT_EQ(timeout, 0u) << "a previous 0 (wait for the full count) is put back, not left at 50 ms";
    EXPECT_EQ(zel::PurgeSerialInput(0), zel::kSerialCannotOpen) << "no port: the status query and the read fail";
    zel::CloseSerialPort(port);
}

TEST(SerialWrite, ReportsShortAndFailedWrites) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    uint32_t written = 0;
    EXPECT_EQ(zel::WriteSerial(port, "hello", 5, &written), zel::kSerialOk);
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(zeltest::WaitUntil([&] { return pty.Receive() == "hello"; }, std::chrono::seconds(2)));
    zeltest::Recorded().shortWriteBy = 2;
    EXPECT_EQ(zel::WriteSerial(port, "hello", 5, &written), zel::kSerialShortWrite);
    EXPECT_EQ(written, 3u);
    zeltest::Recorded().shortWriteBy = 0;
    written = 77;
    recording.FailNext(zeltest::SerialStep::kWrite);
    EXPECT_EQ(zel::WriteSerial(port, "hello", 5, &written), zel::kSerialIoFailed);
    EXPECT_EQ(written, 77u) << "untouched on failure";
    EXPECT_EQ(zel::SendSerialBreak(1, port), zel::kSerialOk);
    EXPECT_EQ(zel::SerialSleep(1), zel::kSerialOk);
    zel::CloseSerialPort(port);
}

TEST(SerialClose, SecondCloseFailsAndHandlesAreNotReused) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialIoFailed);
    EXPECT_EQ(zel::CloseSerialPort(0), zel::kSerialIoFailed);
    const zel::PortHandle again = OpenPty(pty);
    EXPECT_NE(again, port) << "a stale handle never names a newer port";
    char buffer[4];
    uint32_t got = 0;
    EXPECT_EQ(zel::ReadSerial(port, buffer, 4, &got), zel::kSerialIoFailed);
    zel::CloseSerialPort(again);
}

TEST(SerialClose, InterruptsAReadThatWaitsForItsTimeout) {
    PtyPair pty;
    const zel::PortHandle port = OpenPty(pty);
    zel::SetReadTimeout(port, 1000);  // 10 s
    std::atomic<int32_t> result{-1};
    std::thread reader([&] {
        char buffer[100];
        uint32_t got = 0;
        result = zel::ReadSerial(port, buffer, sizeof buffer, &got);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double start = NowMs();
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
    const double closeMs = NowMs() - start;
    reader.join();
    EXPECT_EQ(result.load(), zel::kSerialIoFailed) << "a read cut short by a close fails";
    EXPECT_LT(closeMs, 1000.0) << "the close does not wait for the read time-out";
}

TEST(SerialClose, FailedCloseLeavesThePortUsable) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenPty(pty);
    recording.FailNext(zeltest::SerialStep::kClose);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialIoFailed);
    zel::SetReadTimeout(port, 10);
    pty.Send("still here");
    char buffer[32];
    uint32_t got = 0;
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialOk);
    EXPECT_EQ(std::string(buffer, got), "still here");
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
}

struct FaultCase {
    const char *name;
    zeltest::SerialStep step;
    int32_t result;
};

class SerialOpenFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(SerialOpenFaults, EachFailingStepClosesThePort) {
    const FaultCase &c = GetParam();
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const int descriptors = zeltest::OpenDescriptorCount();
    recording.FailNext(c.step);
    zel::PortHandle port = 1234;
    EXPECT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &port), c.result);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(zeltest::Recorded().opens.load(), zeltest::Recorded().closes.load()) << "every opened device closed";
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors);
    // And the device can be opened again.
    port = OpenPty(pty);
    zel::CloseSerialPort(port);
}

INSTANTIATE_TEST_SUITE_P(Steps, SerialOpenFaults,
                         testing::Values(FaultCase{"Open", zeltest::SerialStep::kOpen, 1},
                                         FaultCase{"GetLineState", zeltest::SerialStep::kGetLineState, 4},
                                         FaultCase{"SetTimeouts", zeltest::SerialStep::kSetTimeouts, 1},
                                         FaultCase{"SetLineState", zeltest::SerialStep::kSetLineState, 5}),
                         [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST(SerialOpen, DescriptorsStayTheSameOverAThousandCycles) {
    PtyPair pty;
    const int before = zeltest::OpenDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        zel::PortHandle port = 0;
        ASSERT_EQ(zel::OpenSerialPort(pty.PortName().c_str(), k9600, 0x4333, &port), zel::kSerialOk)
            << i << zeltest::WhyNotOpenable(pty.SlavePath());
        ASSERT_EQ(zel::CloseSerialPort(port), zel::kSerialOk) << i;
    }
    EXPECT_EQ(zeltest::OpenDescriptorCount(), before);
}

}  // namespace
