// The Windows serial back end and the channel lifecycle under Wine, on COM
// ports mapped to pseudo-terminals. Serial tests use the driver's code
// linked into this program; lifecycle tests load ZELWNQX.DLL as the host
// does.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "korvan_standin.h"
#include "line_link.h"
#include "recording_backend.h"
#include "serial/serial_port.h"
#include "serial/serial_win32.h"
#include "zelwnqx.h"

using zeltest::LineLink;
using zeltest::NowMs;
using zeltest::PanelPort;
using zeltest::WaitUntil;

namespace {

constexpr LineSettings k9600{9600, 8, 0, 0};

HANDLE AsHandle(zel::PortHandle port) { return zel::DeviceHandleOf(port); }

zel::PortHandle OpenCom(const char *name) {
    zel::PortHandle port = 0;
    EXPECT_EQ(zel::OpenSerialPort(name, k9600, 0x4333, &port), zel::kSerialOk) << name;
    return port;
}

bool WaitingBytes(zel::PortHandle port, uint32_t wanted) {
    return WaitUntil(
        [&] {
            uint32_t waiting = 0;
            return zel::QueryInputQueue(port, &waiting) == zel::IoStatus::kOk && waiting == wanted;
        },
        3000);
}

class WineSerial : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(link.Up()) << "socat link COM5-COM6"; }
    LineLink link{5, 6};
};

TEST_F(WineSerial, OpenSetsTheControlBlockTimeoutsAndQueues) {
    const zel::PortHandle port = OpenCom("COM5");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(AsHandle(port), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(AsHandle(port), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    EXPECT_EQ(zel::SetReadTimeout(port, 100), 100);
    EXPECT_EQ(zel::SetReadTimeout(port, 50), 100);
    ASSERT_TRUE(GetCommTimeouts(AsHandle(port), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 500u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u) << "the other fields stay as read";
    EXPECT_EQ(zel::SetReadTimeout(port, 0x7FFFFFFF), 50);
    ASSERT_TRUE(GetCommTimeouts(AsHandle(port), &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 4294967290u) << "clamped, not wrapped";
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialIoFailed);
}

TEST_F(WineSerial, LineSettingsReachTheDevice) {
    zel::PortHandle port = 0;
    ASSERT_EQ(zel::OpenSerialPort("COM5", {19200, 7, 2, 2}, 0x4333, &port), zel::kSerialOk);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(AsHandle(port), &dcb));
    // A pseudo-terminal keeps speed and stop bits; it forces 8 data bits
    // without parity whatever it is told.
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    zel::CloseSerialPort(port);
}

TEST_F(WineSerial, OpeningFailuresGiveTheirCodes) {
    zel::PortHandle port = 99;
    EXPECT_EQ(zel::OpenSerialPort("COM9", k9600, 0x4333, &port), zel::kSerialCannotOpen) << "not mapped";
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(zel::OpenSerialPort("C:\\windows\\win.ini", k9600, 0x4333, &port), zel::kSerialNoLineState);
    EXPECT_EQ(port, 0u);
    ASSERT_EQ(zel::OpenSerialPort("NUL", {0, 0, 0, 0}, 0, &port), zel::kSerialOk);
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
}

TEST_F(WineSerial, SecondExclusiveOpenIsRefused) {
    GTEST_SKIP() << "Wine does not enforce exclusive opens of COM devices";
}

TEST_F(WineSerial, ReadReturnsWhatCameWithinTheTimeout) {
    const zel::PortHandle port = OpenCom("COM5");
    PanelPort panel(6);
    ASSERT_TRUE(panel.Open());
    zel::SetReadTimeout(port, 20);
    panel.Send(std::string(37, 'a'));
    ASSERT_TRUE(WaitingBytes(port, 37));
    char buffer[1000];
    uint32_t got = 0;
    const double start = NowMs();
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialOk);
    EXPECT_EQ(got, 37u);
    EXPECT_GE(NowMs() - start, 150.0);
    got = 3;
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialIoFailed);
    EXPECT_EQ(got, 0u);
    zel::CloseSerialPort(port);
}

TEST_F(WineSerial, PurgeDrainsInHalfKilobyteReadsAndRestoresTheTimeout) {
    zeltest::RecordingBackend recording;
    const zel::PortHandle port = OpenCom("COM5");
    PanelPort panel(6);
    zel::SetReadTimeout(port, 30);
    panel.Send(std::string(1300, 'p'));
    ASSERT_TRUE(WaitingBytes(port, 1300));
    EXPECT_EQ(zel::PurgeSerialInput(port), zel::kSerialOk);
    EXPECT_EQ(zeltest::Recorded().readSizes, (std::vector<uint32_t>{512, 512, 276}));
    EXPECT_EQ(zel::SetReadTimeout(port, 30), 30);
    uint32_t waiting = 1;
    EXPECT_EQ(zel::QueryInputQueue(port, &waiting), zel::IoStatus::kOk);
    EXPECT_EQ(waiting, 0u);
    zel::CloseSerialPort(port);
}

TEST_F(WineSerial, CloseDoesNotWaitForAReadTimeout) {
    const zel::PortHandle port = OpenCom("COM5");
    zel::SetReadTimeout(port, 300);  // 3 s
    std::atomic<int32_t> result{-1};
    std::thread reader([&] {
        char buffer[100];
        uint32_t got = 0;
        result = zel::ReadSerial(port, buffer, sizeof buffer, &got);
    });
    Sleep(200);
    HANDLE device = AsHandle(port);
    const double start = NowMs();
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialOk);
    EXPECT_LT(NowMs() - start, 1000.0);
    DWORD flags = 0;
    // The read ended at once: the close did not have to leave the handle
    // to the reader.
    EXPECT_FALSE(GetHandleInformation(device, &flags)) << "closed before the close returned";
    reader.join();
    EXPECT_EQ(result.load(), zel::kSerialIoFailed);
}

TEST_F(WineSerial, HandleCountStaysTheSameOverAThousandCycles) {
    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int i = 0; i < 1000; ++i) {
        zel::PortHandle port = 0;
        ASSERT_EQ(zel::OpenSerialPort("COM5", k9600, 0x4333, &port), zel::kSerialOk) << i;
        ASSERT_EQ(zel::CloseSerialPort(port), zel::kSerialOk) << i;
    }
    GetProcessHandleCount(GetCurrentProcess(), &after);
    EXPECT_EQ(after, before);
}

TEST(WineSerialNames, PortsTenAndAboveOpenInTheDeviceForm) {
    LineLink link(12, 13);
    ASSERT_TRUE(link.Up());
    const zel::PortHandle port = OpenCom("COM12");
    EXPECT_NE(port, 0u);
    PanelPort panel(13);
    ASSERT_TRUE(panel.Open());
    zel::SetReadTimeout(port, 10);
    panel.Send("twelve");
    char buffer[16];
    uint32_t got = 0;
    ASSERT_TRUE(WaitingBytes(port, 6));
    EXPECT_EQ(zel::ReadSerial(port, buffer, sizeof buffer, &got), zel::kSerialOk);
    EXPECT_EQ(std::string(buffer, got), "twelve");
    zel::CloseSerialPort(port);
}

// --- The channel lifecycle through the real DLL. Each case runs in a
// process of its own (one reception thread per process).

using ZelMainPtr = int32_t(__stdcall *)(ZelCall *);

struct LogLines {
    CRITICAL_SECTION lock;
    std::vector<std::pair<int, std::string>> lines;
    LogLines() { InitializeCriticalSection(&lock); }
    // The reception thread outlives the test and logs on (the line's loss
    // as the link is cut): it must not log into a destroyed record.
    ~LogLines() {
        KorStandinSetLogSink(nullptr, nullptr);
        DeleteCriticalSection(&lock);
    }
    int Count(int level, const std::string &prefix) {
        EnterCriticalSection(&lock);
        int n = 0;
        for (const auto &line : lines) n += line.first == level && line.second.rfind(prefix, 0) == 0;
        LeaveCriticalSection(&lock);
        return n;
    }
    std::string All() {
        EnterCriticalSection(&lock);
        std::string all;
        for (const auto &line : lines) all += std::to_string(line.first) + " " + line.second + "\n";
        LeaveCriticalSection(&lock);
        return all;
    }
    static void Sink(void *context, int level, const char *text) {
        auto *self = static_cast<LogLines *>(context);
        EnterCriticalSection(&self->lock);
        self->lines.emplace_back(level, text);
        LeaveCriticalSection(&self->lock);
    }
};

std::string Record(char bus, char kind, char slot, const char *code) {
    std::string r = std::string(1, bus) + kind + "000" + slot + code;
    return r + std::string(24 - r.size(), '0');
}

std::string Message(const std::string &record) { return "\r\nhhhhhhhhhS1" + record; }

class WineChannel : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.Up());
        KorStandinSetLogSink(&LogLines::Sink, &log);
        driver = LoadLibraryA("ZELWNQX.DLL");
        ASSERT_NE(driver, nullptr);
        zelMain = reinterpret_cast<ZelMainPtr>(reinterpret_cast<void *>(GetProcAddress(driver, "ZelMain")));
        ASSERT_NE(zelMain, nullptr);
        channel = static_cast<ChannelBlock *>(calloc(1, sizeof(ChannelBlock)));  // lives on with the thread
    }
    int32_t Call(uint32_t operation, void *request = nullptr, ChannelBlock *block = nullptr) const {
        ZelCall call{};
        call.channel = block != nullptr ? block : channel;
        call.operation = operation;
        call.channelNumber = 1;
        call.request = request;
        return zelMain(&call);
    }
    int32_t Open(const char *port, uint32_t readTimeout = 10) {
        OpenChannelRequest request{};
        std::strcpy(request.portName, port);
        request.enabled = 1;
        request.readTimeout = readTimeout;
        request.lineSettings = k9600;
        return Call(ZEL_OP_OPEN_CHANNEL, &request);
    }
    void OpenAndWaitForThread(const char *port, uint32_t readTimeout = 10) {
        ASSERT_EQ(Open(port, readTimeout), ZEL_OK);
        ASSERT_TRUE(WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 1; }, 3000));
        Sleep(1100);
    }
    uint16_t Read(const char *address) {
        TagValue value{};
        TagRequest request{};
        request.address = address;
        request.value = &value;
        Call(ZEL_OP_READ_TAG, &request);
        return value.value;
    }
    bool WaitForValue(const char *address, uint16_t value) {
        return WaitUntil([&] { return Read(address) == value; }, 4000);
    }
    int Traces() { return log.Count(8, "String from Comport "); }

    LineLink link{5, 6};
    LogLines log;
    HMODULE driver = nullptr;
    ZelMainPtr zelMain = nullptr;
    ChannelBlock *channel = nullptr;
};

TEST_F(WineChannel, MessagesAreFramedByTheirHeaders) {
    PanelPort panel(6);
    ASSERT_TRUE(panel.Open());
    OpenAndWaitForThread("COM5", 20);
    panel.Send(Message(Record('0', '3', '3', "00")));
    ASSERT_TRUE(WaitForValue("0104130", 1));
    EXPECT_EQ(log.Count(8, "[1][04][130]= 1 "), 1);
    // 1000 and 1300 bytes within a read time-out: every message applied.
    std::string full = Message(Record('0', '0', '0', "02"));
    panel.Send(full + std::string(1000 - full.size(), 'x'));
    std::string longer = Message(Record('0', '0', '0', "03"));
    longer += std::string(1000 - longer.size(), 'x') + "zz" + Message(Record('0', '0', '0', "04"));
    panel.Send(longer + std::string(1300 - longer.size(), 'y'));
    EXPECT_TRUE(WaitForValue("0101004", 1));
    EXPECT_EQ(Read("0101002"), 1);
    EXPECT_EQ(Read("0101003"), 1);
}

// A burst of messages with random pauses from 0 to twice the read time-out:
// every point as sent.
TEST_F(WineChannel, EveryMessageOfABurstIsApplied) {
    PanelPort panel(6);
    ASSERT_TRUE(panel.Open());
    OpenAndWaitForThread("COM5", 10);
    srand(GetTickCount());
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        char code[3];
        std::snprintf(code, sizeof code, "%02X", 1 + i);
        panel.Send(Message(Record('2', '0', '3', code)) + (i % 5 == 0 ? "\r\n" : ""));
        Sleep(static_cast<DWORD>(rand() % 201));
    }
    ASSERT_TRUE(WaitForValue("0304020", 1));
    for (int point = 1; point <= 20; ++point) {
        char address[8];
        std::snprintf(address, sizeof address, "0304%03d", point);
        EXPECT_EQ(Read(address), 1) << address;
    }
}

TEST_F(WineChannel, TransmissionLongerThanTheTimeoutIsJoined) {
    PanelPort panel(6);
    ASSERT_TRUE(panel.Open());
    OpenAndWaitForThread("COM5", 10);
    std::string records;
    for (const char *code : {"05", "06", "07", "08", "09", "0A", "0B", "0C", "0D", "0E", "0F", "10"})
        records += Record('0', '0', '0', code);
    panel.SendPaced("\r\nhhhhhhhhhSC" + records, 9600);
    EXPECT_TRUE(WaitForValue("0101016", 1)) << log.All();
    EXPECT_EQ(Read("0101005"), 1);
    EXPECT_GE(Traces(), 2);
}

TEST_F(WineChannel, CloseReopenAndChange) {
    PanelPort panel(6);
    OpenAndWaitForThread("COM5");
    EXPECT_EQ(Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(channel->port, 0u);
    EXPECT_EQ(Call(ZEL_OP_PURGE_INPUT), ZEL_OK);
    EXPECT_EQ(Call(ZEL_OP_REOPEN_PORT), ZEL_OK);
    panel.Send(Message(Record('1', '0', '1', "07")));
    EXPECT_TRUE(WaitForValue("0202007", 1));
    EXPECT_EQ(log.Count(32, "ZelQX : Start Unsoliceted Thread"), 1);

    LineLink second(7, 8);
    ASSERT_TRUE(second.Up());
    PanelPort otherPanel(8);
    ChangeParamsRequest change{};
    std::strcpy(change.portName, "COM7");
    EXPECT_EQ(Call(ZEL_OP_CHANGE_ZEL_PARAMS, &change), ZEL_OK);
    EXPECT_STREQ(channel->portBlock.name, "COM7");
    otherPanel.Send(Message(Record('1', '0', '1', "08")));
    EXPECT_TRUE(WaitForValue("0202008", 1));
    // CloseChannel ends the reception; a reopened port gets it back.
    EXPECT_EQ(Call(ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    EXPECT_EQ(Call(ZEL_OP_REOPEN_PORT), ZEL_OK);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 2; }, 3000));
    Sleep(1100);
    otherPanel.Send(Message(Record('1', '0', '1', "09")));
    EXPECT_TRUE(WaitForValue("0202009", 1));
    EXPECT_EQ(Call(ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
}

// Two channels in one process, each on its own line: each panel's points
// land in its own block only.
TEST_F(WineChannel, TwoChannelsEachGetTheirOwnPanel) {
    LineLink second(7, 8);
    ASSERT_TRUE(second.Up());
    PanelPort panelA(6), panelB(8);
    ChannelBlock *other = static_cast<ChannelBlock *>(calloc(1, sizeof(ChannelBlock)));
    OpenChannelRequest request{};
    std::strcpy(request.portName, "COM7");
    request.enabled = 1;
    request.readTimeout = 10;
    request.lineSettings = k9600;
    ASSERT_EQ(Call(ZEL_OP_OPEN_CHANNEL, &request, other), ZEL_OK);
    ASSERT_EQ(Open("COM5"), ZEL_OK);
    ASSERT_TRUE(WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 2; }, 3000));
    Sleep(1100);
    panelA.Send(Message(Record('0', '3', '3', "00")));
    panelB.Send(Message(Record('1', '0', '0', "05")));
    EXPECT_TRUE(WaitForValue("0104130", 1));
    EXPECT_TRUE(WaitUntil([&] { return other->statusTable[2][1][5] == 1; }, 4000));
    EXPECT_EQ(Read("0201005"), 0) << "B's event stays out of A's table";
    EXPECT_EQ(other->statusTable[1][4][130], 0) << "A's event stays out of B's table";
    EXPECT_EQ(Call(ZEL_OP_CLOSE_CHANNEL, nullptr, other), ZEL_OK);
    EXPECT_NE(channel->port, 0u) << "closing B leaves A's port open";
    free(other);  // allowed once CloseChannel has returned
    panelA.Send(Message(Record('0', '3', '3', "01")));
    EXPECT_TRUE(WaitForValue("0104131", 1));
}

TEST_F(WineChannel, ACallDuringTheFirstSecondIsOverridden) {
    PanelPort panel(6);
    ASSERT_EQ(Open("COM5"), ZEL_OK);
    ChannelBlock *other = static_cast<ChannelBlock *>(calloc(1, sizeof(ChannelBlock)));
    EXPECT_EQ(Call(ZEL_OP_UNSUPPORTED_4, nullptr, other), ZEL_FAILED);
    Sleep(1300);
    panel.Send(Message(Record('0', '0', '0', "11")));
    // Decoding goes to the thread's own block, not the one named last.
    EXPECT_TRUE(WaitUntil([&] { return channel->statusTable[1][1][17] == 1; }, 4000));
    EXPECT_EQ(other->statusTable[1][1][17], 0);
}

// The line vanishes (socat stops, as an adapter pulled out) and comes back:
// the loss and the return are logged once each and reception resumes by
// itself; a port the host closed is not reopened.
TEST_F(WineChannel, AVanishedLineIsReopenedWhenItComesBack) {
    OpenAndWaitForThread("COM5");
    link.Cut();
    ASSERT_TRUE(WaitUntil([&] { return log.Count(32, "ZELQuon : Port COM5 lost") == 1; }, 3000)) << log.All();
    EXPECT_EQ(channel->port, 0u);
    EXPECT_EQ(Read(ZEL_TAG_LINK), ZEL_LINK_LOST);
    EXPECT_EQ(Read(ZEL_TAG_LOSSES), 1);
    Sleep(1500);
    EXPECT_EQ(log.Count(32, "ZELQuon : Port COM5 lost"), 1);
    {
        LineLink again(5, 6);
        ASSERT_TRUE(again.Up());
        ASSERT_TRUE(WaitUntil([&] { return log.Count(32, "ZELQuon : Port COM5 back") == 1; }, 4000)) << log.All();
        PanelPort panel(6);
        panel.Send(Message(Record('5', '2', '5', "02")));
        EXPECT_TRUE(WaitForValue("0606142", 1));
        EXPECT_EQ(Read(ZEL_TAG_LINK), ZEL_LINK_UP);
        EXPECT_EQ(Read(ZEL_TAG_MESSAGES), 1);
    }
    ASSERT_TRUE(WaitUntil([&] { return log.Count(32, "ZELQuon : Port COM5 lost") == 2; }, 3000));
    EXPECT_EQ(Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
    LineLink third(5, 6);
    ASSERT_TRUE(third.Up());
    Sleep(2000);
    EXPECT_EQ(channel->port, 0u) << "closed by the host: not reopened";
    EXPECT_EQ(log.Count(32, "ZELQuon : Port COM5 back"), 1);
}

// Once a channel has received, the driver stays loaded until the process
// ends: FreeLibrary before CloseChannel (called through the kept ZelMain)
// or after it is safe.
TEST_F(WineChannel, UnloadingBeforeOrAfterCloseChannelIsSafe) {
    PanelPort panel(6);
    OpenAndWaitForThread("COM5");
    EXPECT_TRUE(FreeLibrary(driver));
    EXPECT_NE(GetModuleHandleA("ZELWNQX.DLL"), nullptr) << "pinned once a channel received";
    panel.Send(Message(Record('0', '0', '0', "01")));
    Sleep(500);
    EXPECT_EQ(Call(ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    std::memset(channel, 0xEE, sizeof(ChannelBlock));
    free(channel);
    channel = static_cast<ChannelBlock *>(calloc(1, sizeof(ChannelBlock)));
    panel.Send(Message(Record('0', '0', '0', "01")));
    Sleep(500);

    driver = LoadLibraryA("ZELWNQX.DLL");
    zelMain = reinterpret_cast<ZelMainPtr>(reinterpret_cast<void *>(GetProcAddress(driver, "ZelMain")));
    ASSERT_NE(zelMain, nullptr);
    ASSERT_EQ(Open("COM5"), ZEL_OK);
    EXPECT_EQ(Call(ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    EXPECT_TRUE(FreeLibrary(driver));
    panel.Send(Message(Record('0', '0', '0', "01")));
    Sleep(500);
}

TEST_F(WineChannel, ClosePortDuringAWaitingReadReturnsPromptly) {
    PanelPort panel(6);
    OpenAndWaitForThread("COM5", 300);  // 3 s read time-out
    panel.Send("\r\nhhh");
    Sleep(200);
    const double start = NowMs();
    EXPECT_EQ(Call(ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_LT(NowMs() - start, 1000.0);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(8, "String from Comport \r\nhhh") == 1; }, 5000)) << log.All();
}

}  // namespace
