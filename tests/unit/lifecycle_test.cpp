// The channel lifecycle and reception, end to end on pseudo-terminals
// through ZelMain. ctest runs each case in its own process, so each starts
// without a reception thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "channel/channel_block.h"
#include "channel/thread.h"
#include "korvan_standin.h"
#include "panel/reception.h"
#include "pty_pair.h"
#include "recording_backend.h"
#include "serial/serial_port.h"
#include "test_host.h"

using namespace std::chrono_literals;
using zeltest::Call;
using zeltest::PtyPair;
using zeltest::WaitUntil;

namespace {

constexpr char kStartNotice[] = "ZelQX : Start Unsoliceted Thread";

// A 24-character record: panel bus digit, kind, slot digit, point code.
std::string Record(char bus, char kind, char slot, const char *code) {
    std::string r = std::string(1, bus) + kind + "000" + slot + code;
    return r + std::string(24 - r.size(), '0');
}

std::string Message(const std::string &records, int count) {
    return std::string("\r\nhhhhhhhhhS") + "0123456789ABCDEF"[count] + records;
}

OpenChannelRequest OpenRequest(const std::string &port, uint32_t readTimeout = 10, uint32_t enabled = 1) {
    OpenChannelRequest request{};
    std::snprintf(request.portName, sizeof request.portName, "%s", port.c_str());
    request.enabled = enabled;
    request.readTimeout = readTimeout;
    request.lineSettings = {9600, 8, 0, 0};
    return request;
}

ChangeParamsRequest ChangeRequest(const std::string &port, LineSettings settings = {0, 0, 0, 0}) {
    ChangeParamsRequest request{};
    std::snprintf(request.portName, sizeof request.portName, "%s", port.c_str());
    request.lineSettings = settings;
    return request;
}

class Lifecycle : public testing::Test {
protected:
    void SetUp() override { channel = zeltest::NewChannelBlock(); }

    int32_t Open(const std::string &port, uint32_t readTimeout = 10, int32_t number = 1) {
        OpenChannelRequest request = OpenRequest(port, readTimeout);
        return Call(channel, ZEL_OP_OPEN_CHANNEL, &request, number);
    }
    // Opens on `pty` (or the port named) and waits until the thread has
    // taken the channel.
    void OpenAndWaitForThread(const PtyPair &pty, uint32_t readTimeout = 10) {
        OpenAndWaitForThread(pty.PortName(), readTimeout);
    }
    void OpenAndWaitForThread(const std::string &port, uint32_t readTimeout) {
        ASSERT_EQ(Open(port, readTimeout), ZEL_OK);
        ASSERT_TRUE(WaitUntil([&] { return log.Count(32, kStartNotice) == 1; }, 2s));
        std::this_thread::sleep_for(1100ms);
    }
    uint16_t Read(const char *address) { return zeltest::ReadTagValue(channel, address); }
    bool WaitForValue(const char *address, uint16_t value) {
        return WaitUntil([&] { return Read(address) == value; }, 3s);
    }
    int Traces() const { return log.CountPrefix(8, "String from Comport "); }

    ChannelBlock *channel = nullptr;
    zeltest::LogCapture log;
};

TEST_F(Lifecycle, AnEventTravelsFromTheLineToReadTag) {
    PtyPair pty;
    std::memset(channel->statusTable, 3, sizeof channel->statusTable);
    std::memset(channel->rxBuffer, 'z', sizeof channel->rxBuffer);  // whatever the host's block held
    OpenAndWaitForThread(pty);
    EXPECT_EQ(Read("0104130"), 0) << "the table was cleared";
    EXPECT_EQ(Read("0104150"), 3) << "points 150-154 keep their values";
    const std::string text = Message(Record('0', '3', '3', "00") + Record('1', '8', '0', "7F"), 2);
    pty.Send(text);
    ASSERT_TRUE(WaitForValue("0104130", 1));
    EXPECT_TRUE(WaitForValue("0201127", 2));
    EXPECT_EQ(log.Count(8, "String from Comport " + text), 1);
    EXPECT_EQ(log.Count(8, "[1][04][130]= 1 "), 1);
    EXPECT_EQ(log.Count(32, kStartNotice), 1);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
}

// The host's err runs on the reception thread with texts of up to 999
// characters: it may use more stack than the thread commits.
TEST_F(Lifecycle, TheHostsLogMayUseMoreStackThanTheThreadCommits) {
    static std::atomic<int> lines{0};
    KorStandinSetLogSink(
        [](void *, int, const char *line) {
            volatile char frame[128 * 1024];
            for (std::size_t i = 0; i < sizeof frame; i += 512) frame[i] = line[0];
            lines += frame[sizeof frame - 512] == line[0] ? 1 : 0;
        },
        nullptr);
    PtyPair pty;
    ASSERT_EQ(Open(pty.PortName()), ZEL_OK);
    std::this_thread::sleep_for(1200ms);
    pty.Send(Message(Record('0', '3', '3', "00"), 1));
    EXPECT_TRUE(WaitForValue("0104130", 1));
    EXPECT_GE(lines.load(), 4) << "the start notice and the message's traces";
}

TEST_F(Lifecycle, DisabledChannelOpensNothing) {
    PtyPair pty;
    OpenChannelRequest request = OpenRequest(pty.PortName(), 10, 0);
    EXPECT_EQ(Call(channel, ZEL_OP_OPEN_CHANNEL, &request), ZEL_OK);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(channel->portBlock.name[0], '\0');
    EXPECT_EQ(KorStandinClientCount(), 0);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(log.Count(32, kStartNotice), 0);
    // ReopenPort tries whatever portBlock holds: here nothing.
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_PORT_FAILED);
    std::snprintf(channel->portBlock.name, sizeof channel->portBlock.name, "%s", pty.PortName().c_str());
    channel->portBlock.lineSettings = {9600, 8, 0, 0};
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_OK);
    EXPECT_NE(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(channel->enabled, 1u);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
}

TEST_F(Lifecycle, PortThatCannotBeOpenedIsLoggedAndChangesNothingElse) {
    channel->readTimeout = 77;
    channel->channelNumber = 9;
    EXPECT_EQ(Open("ttyNOSUCH", 10, 5), ZEL_PORT_FAILED);
    EXPECT_EQ(log.Count(32, "ZELQuon : Fail to open ttyNOSUCH"), 1);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(channel->enabled, 1u);
    EXPECT_EQ(channel->readTimeout, 77u);
    EXPECT_EQ(channel->channelNumber, 9);
    EXPECT_EQ(channel->portBlock.name[0], '\0');
}

TEST_F(Lifecycle, NamesThatFillTheFieldAreRefused) {
    OpenChannelRequest request = OpenRequest("x");
    std::memset(request.portName, 'A', sizeof request.portName);  // 12 characters, no terminator
    EXPECT_EQ(Call(channel, ZEL_OP_OPEN_CHANNEL, &request), ZEL_PORT_FAILED);
    EXPECT_EQ(log.Count(32, "ZELQuon : Fail to open AAAAAAAAAAAA"), 1);

    ChangeParamsRequest change{};
    std::memcpy(change.portName, "ABCDEFGHIJKLMNO", 16);  // 15 characters
    std::memcpy(channel->portBlock.name, "COMKEEP", 8);
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &change), ZEL_PORT_FAILED);
    EXPECT_STREQ(channel->portBlock.name, "COMKEEP");
    EXPECT_EQ(log.Count(32, "ZELMR> ChangeZelParams() open new COM port failed"), 1);
    EXPECT_EQ(channel->portBlock.lineSettings.baudRate, 0);
    EXPECT_EQ(channel->clientId, 0) << "nothing beyond the name field was written";
}

TEST_F(Lifecycle, ClientNameCarriesTheChannelNumber) {
    struct Case {
        int32_t number;
        const char *name;
        uint8_t stored;
    };
    uint16_t firstSeven = 0;
    for (const Case &c : {Case{7, "ZelQX No_07", 7}, Case{300, "ZelQX No_300", 44}, Case{-3, "ZelQX No_-03", 253},
                          Case{7, "ZelQX No_07", 7}}) {
        SCOPED_TRACE(c.number);
        PtyPair pty;
        ASSERT_EQ(Open(pty.PortName(), 10, c.number), ZEL_OK);
        char name[64] = {};
        KorStandinLastClientName(name, sizeof name);
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(channel->channelNumber, c.stored);
        EXPECT_NE(channel->clientId, 0);
        if (c.number == 7 && firstSeven != 0) {
            EXPECT_EQ(channel->clientId, firstSeven) << "a name again: its id";
        }
        if (c.number == 7) firstSeven = channel->clientId;
        EXPECT_EQ(channel->portBlock.flowFlags, 0x4333);
        EXPECT_EQ(channel->readTimeout, 10u);
        EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    }
    EXPECT_EQ(KorStandinClientCount(), 3) << "clients are never removed, and a name registered again is one client";
}

TEST_F(Lifecycle, RefusedClientLeavesThePortOpenWithoutReception) {
    PtyPair pty;
    std::memset(channel->statusTable, 2, sizeof channel->statusTable);
    KorStandinSetRegistrationResult(0x0001);
    EXPECT_EQ(Open(pty.PortName()), ZEL_FAILED);
    KorStandinSetRegistrationResult(0);
    EXPECT_NE(zeltest::PortOf(channel), 0u);
    EXPECT_STREQ(channel->portBlock.name, pty.PortName().c_str());
    EXPECT_EQ(Read("0104130"), 2) << "table not cleared";
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(log.Count(32, kStartNotice), 0);
    // A status whose low 16 bits are 0 registers.
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    KorStandinSetRegistrationResult(0x00010000);
    EXPECT_EQ(Open(pty.PortName()), ZEL_OK);
    KorStandinSetRegistrationResult(0);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(32, kStartNotice) == 1; }, 2s));
}

const zel::ThreadPlatform kNoThreads = {
    [](zel::ThreadProcedure, void *, uint32_t) -> zel::ThreadHandle { return 0; },
    [](zel::ThreadHandle thread, uint32_t ms) { return zel::PlatformThreads().joinThread(thread, ms); },
    [](uint32_t ms) { zel::PlatformThreads().sleep(ms); }, [] { return zel::PlatformThreads().pinModule(); },
    [] { zel::PlatformThreads().unpinModule(); }};

TEST_F(Lifecycle, ThreadThatCannotStartIsLogged) {
    PtyPair pty;
    std::memset(channel->statusTable, 2, sizeof channel->statusTable);
    zel::UseThreadPlatform(&kNoThreads);
    EXPECT_EQ(Open(pty.PortName()), ZEL_PORT_FAILED);
    zel::UseThreadPlatform(nullptr);
    EXPECT_EQ(log.Count(32, "ZelQX : Can Not open Unsolicetd thread !!!"), 1);
    EXPECT_NE(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(KorStandinClientCount(), 1);
    EXPECT_EQ(Read("0104130"), 2) << "table not cleared";
    // Closed and opened anew, the channel gets its thread.
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    EXPECT_EQ(Open(pty.PortName()), ZEL_OK);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(32, kStartNotice) == 1; }, 2s));
}

TEST_F(Lifecycle, RepeatedOpenKeepsOneThread) {
    PtyPair pty, other;
    OpenAndWaitForThread(pty);
    const uint32_t port = zeltest::PortOf(channel);
    pty.Send("xx" + Message(Record('0', '3', '3', "00"), 1));
    ASSERT_TRUE(WaitForValue("0104130", 1));
    std::this_thread::sleep_for(1100ms);
    // Port open: refused, and the running line's counters and table stay.
    EXPECT_EQ(Open(other.PortName()), ZEL_PORT_FAILED);
    EXPECT_EQ(zeltest::PortOf(channel), port);
    EXPECT_STREQ(channel->portBlock.name, pty.PortName().c_str());
    EXPECT_EQ(Read(ZEL_TAG_MESSAGES), 1);
    EXPECT_EQ(Read(ZEL_TAG_NOISE), 2);
    EXPECT_GE(Read(ZEL_TAG_SILENCE), 1);
    EXPECT_EQ(Read("0104130"), 1);
    // The states are the panel's whole state only after its clear; a port
    // closed (or opened anew) loses what the panel sends meanwhile.
    EXPECT_EQ(Read(ZEL_TAG_KNOWN), 0);
    pty.Send("gggggggggg");
    ASSERT_TRUE(WaitForValue(ZEL_TAG_KNOWN, 1));
    EXPECT_EQ(Open(other.PortName()), ZEL_PORT_FAILED);
    EXPECT_EQ(Read(ZEL_TAG_KNOWN), 1) << "a refused OpenChannel changes nothing";
    // Port closed, reception running: opened and served by the same thread.
    ASSERT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(Read(ZEL_TAG_KNOWN), 0);
    EXPECT_EQ(Open(other.PortName()), ZEL_OK);
    other.Send(Message(Record('4', '0', '4', "11"), 1));
    EXPECT_TRUE(WaitForValue("0505017", 1));
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(log.Count(32, kStartNotice), 1);
    // CloseChannel ends the reception; the next open starts it again.
    ASSERT_EQ(Call(channel, ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
    EXPECT_EQ(Open(other.PortName()), ZEL_OK);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(32, kStartNotice) == 2; }, 2s));
}

TEST_F(Lifecycle, ACallDuringTheThreadsFirstSecondIsOverridden) {
    PtyPair pty;
    ASSERT_EQ(Open(pty.PortName()), ZEL_OK);
    ChannelBlock *other = zeltest::NewChannelBlock();
    EXPECT_EQ(Call(other, ZEL_OP_UNSUPPORTED_4), ZEL_FAILED);
    EXPECT_EQ(zel::CurrentChannel(), other);
    EXPECT_TRUE(WaitUntil([&] { return zel::CurrentChannel() == channel; }, 2s));
}

TEST_F(Lifecycle, MessagesAreFramedByTheirHeadersWhateverTheReadsCollect) {
    PtyPair pty;
    OpenAndWaitForThread(pty, 20);  // 200 ms
    // A lone message per read: traced and decoded as it came.
    const std::string lone = Message(Record('0', '3', '3', "00"), 1);
    pty.Send(lone);
    ASSERT_TRUE(WaitForValue("0104130", 1));
    EXPECT_EQ(log.Count(8, "String from Comport " + lone), 1);
    EXPECT_EQ(log.Count(8, "orginal " + lone + " "), 1);
    // 1000 and 1300 bytes within a read time-out: no complete message is
    // dropped, however many bytes come around it.
    std::string full = Message(Record('0', '0', '0', "02"), 1);
    full += std::string(1000 - full.size(), 'x');
    pty.Send(full);
    std::string longer = Message(Record('0', '0', '0', "03"), 1);
    longer += std::string(1000 - longer.size(), 'x') + "zz" + Message(Record('0', '0', '0', "04"), 1);
    pty.Send(longer + std::string(1300 - longer.size(), 'y'));
    // Several messages in one read, one cut across two reads.
    pty.Send(Message(Record('0', '0', '0', "05"), 1) + "noise" + Message(Record('0', '8', '0', "05"), 1) +
             "gggggggggg" + Message(Record('0', '0', '0', "06"), 1) + "\r\nhhhhhhhhhS2" + Record('0', '0', '0', "07"));
    std::this_thread::sleep_for(300ms);
    pty.Send(Record('0', '8', '0', "07"));
    EXPECT_TRUE(WaitForValue("0101007", 3));
    EXPECT_EQ(Read("0101002"), 0) << "cleared by the clear command that came after it";
    EXPECT_EQ(Read("0101005"), 0) << "cleared";
    EXPECT_EQ(Read("0101006"), 1) << "after the clear command";
    EXPECT_EQ(Read("0104130"), 0) << "cleared";
    // Nine messages, the clear command among them; every x, z and y byte
    // and the word "noise" belong to none.
    EXPECT_EQ(Read(ZEL_TAG_MESSAGES), 9);
    EXPECT_EQ(Read(ZEL_TAG_NOISE), 2 * (1000 - 37) + 2 + (1300 - 1039) + 5);
    EXPECT_EQ(Read(ZEL_TAG_KNOWN), 1) << "the panel's clear came";
}

TEST_F(Lifecycle, TransmissionLongerThanTheTimeoutIsJoined) {
    PtyPair pty;
    OpenAndWaitForThread(pty, 10);  // 100 ms
    // At 9600 baud a message of 15 records takes 380 ms: four reads.
    std::string records;
    for (int i = 0; i < 15; ++i) records += Record('0', '0', '0', i < 10 ? ("0" + std::to_string(i)).c_str() : "7F");
    pty.SendPaced(Message(records, 15), 9600);
    EXPECT_TRUE(WaitForValue("0101127", 1));
    EXPECT_EQ(Read("0101000"), 1);
    EXPECT_EQ(Read("0101009"), 1);
    EXPECT_GE(Traces(), 3);
    // A message that stops short is applied with its records once nothing
    // more comes for a read time-out.
    pty.Send(Message(Record('1', '0', '1', "01") + Record('1', '0', '1', "02"), 3));
    EXPECT_TRUE(WaitForValue("0202002", 1));
    EXPECT_EQ(Read("0202001"), 1);
}

TEST_F(Lifecycle, CloseAndReopenKeepTheThreadAndTheTable) {
    PtyPair pty;
    OpenAndWaitForThread(pty);
    pty.Send(Message(Record('0', '8', '0', "01"), 1));
    ASSERT_TRUE(WaitForValue("0101001", 2));
    const uint32_t port = zeltest::PortOf(channel);

    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK) << "nothing to close";
    EXPECT_EQ(Call(channel, ZEL_OP_PURGE_INPUT), ZEL_OK);
    EXPECT_EQ(Read("0101001"), 2) << "the table keeps its contents";
    EXPECT_EQ(zel::CloseSerialPort(port), zel::kSerialIoFailed) << "the handle was really closed";

    // Bytes sent while closed wait in the line; ReopenPort brings them in.
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_OK);
    EXPECT_EQ(channel->enabled, 1u);
    EXPECT_EQ(zel::SetReadTimeout(zeltest::PortOf(channel), 100), 100) << "reopened with the opening's 1000 ms";
    zel::SetReadTimeout(zeltest::PortOf(channel), 10);
    pty.Send(Message(Record('0', '0', '0', "02"), 1));
    EXPECT_TRUE(WaitForValue("0101002", 1));
    EXPECT_EQ(log.Count(32, kStartNotice), 1);
}

TEST_F(Lifecycle, ReopenWhileOpenIsRefusedByTheExclusiveOpen) {
    PtyPair pty;
    ASSERT_EQ(Open(pty.PortName()), ZEL_OK);
    const uint32_t port = zeltest::PortOf(channel);
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_PORT_FAILED);
    EXPECT_EQ(zeltest::PortOf(channel), port);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
}

TEST_F(Lifecycle, ChangeZelParamsMovesReceptionToAnotherPort) {
    PtyPair first, second;
    OpenAndWaitForThread(first);
    const uint32_t old = zeltest::PortOf(channel);
    ChangeParamsRequest request = ChangeRequest(second.PortName(), {19200, 7, 0, 2});
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &request), ZEL_OK);
    EXPECT_NE(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(zel::CloseSerialPort(old), zel::kSerialIoFailed) << "the old port was closed";
    EXPECT_STREQ(channel->portBlock.name, second.PortName().c_str());
    EXPECT_EQ(channel->portBlock.lineSettings.baudRate, 19200);
    EXPECT_EQ(channel->portBlock.lineSettings.parity, 2);
    EXPECT_EQ(zel::SetReadTimeout(zeltest::PortOf(channel), 10), 10) << "the stored read time-out applied";
    second.Send(Message(Record('2', '0', '2', "21"), 1));
    EXPECT_TRUE(WaitForValue("0303033", 1));
    first.Send(Message(Record('2', '0', '2', "22"), 1));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Read("0303034"), 0) << "the old line is no longer read";
    EXPECT_EQ(log.Count(32, kStartNotice), 1);

    // Baud rate 0 keeps the stored settings and changes only the name.
    ChangeParamsRequest back = ChangeRequest(first.PortName());
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &back), ZEL_OK);
    EXPECT_STREQ(channel->portBlock.name, first.PortName().c_str());
    EXPECT_EQ(channel->portBlock.lineSettings.baudRate, 19200);
    EXPECT_EQ(channel->portBlock.lineSettings.dataBits, 7);
}

TEST_F(Lifecycle, ChangeZelParamsToTheOpenPortIsRefusedButStoresTheSettings) {
    PtyPair pty;
    OpenAndWaitForThread(pty);
    const uint32_t port = zeltest::PortOf(channel);
    ChangeParamsRequest request = ChangeRequest(pty.PortName(), {4800, 8, 2, 0});
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &request), ZEL_PORT_FAILED);
    EXPECT_EQ(log.Count(32, "ZELMR> ChangeZelParams() open new COM port failed"), 1);
    EXPECT_EQ(zeltest::PortOf(channel), port) << "the open port keeps running";
    EXPECT_EQ(channel->portBlock.lineSettings.baudRate, 4800);
    pty.Send(Message(Record('0', '0', '0', "09"), 1));
    EXPECT_TRUE(WaitForValue("0101009", 1));
}

TEST_F(Lifecycle, FailedChangeLeavesTheChannelClosedWithTheNewNameStored) {
    PtyPair pty;
    ASSERT_EQ(Open(pty.PortName()), ZEL_OK);
    ChangeParamsRequest request = ChangeRequest("ttyNOSUCH", {2400, 8, 0, 0});
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &request), ZEL_PORT_FAILED);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_STREQ(channel->portBlock.name, "ttyNOSUCH");
    EXPECT_EQ(channel->portBlock.lineSettings.baudRate, 2400);
    // A fresh block: the open uses whatever flow flags the block holds.
    ChannelBlock *fresh = zeltest::NewChannelBlock();
    ChangeParamsRequest onFresh = ChangeRequest(pty.PortName(), {9600, 8, 0, 0});
    EXPECT_EQ(Call(fresh, ZEL_OP_CHANGE_ZEL_PARAMS, &onFresh), ZEL_OK);
    EXPECT_EQ(fresh->enabled, 1u);
    EXPECT_EQ(fresh->portBlock.flowFlags, 0);
    EXPECT_EQ(Call(fresh, ZEL_OP_CLOSE_PORT), ZEL_OK);
}

TEST_F(Lifecycle, OldPortWhoseCloseFailedIsClosedOnceTheNewOneOpens) {
    PtyPair first, second;
    ASSERT_EQ(Open(first.PortName()), ZEL_OK);
    zeltest::RecordingBackend recording;
    const int descriptors = zeltest::OpenDescriptorCount();
    recording.FailNext(zeltest::SerialStep::kClose);
    ChangeParamsRequest request = ChangeRequest(second.PortName());
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &request), ZEL_OK);
    EXPECT_EQ(zeltest::Recorded().closes.load(), 1) << "the old handle was closed on the second attempt";
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors);
    // The first device is free again.
    zel::PortHandle again = 0;
    EXPECT_EQ(zel::OpenSerialPort(first.PortName().c_str(), {9600, 8, 0, 0}, 0x4333, &again), zel::kSerialOk);
    zel::CloseSerialPort(again);
}

TEST_F(Lifecycle, FailedCloseKeepsTheHandle) {
    PtyPair pty;
    ASSERT_EQ(Open(pty.PortName()), ZEL_OK);
    const uint32_t port = zeltest::PortOf(channel);
    zeltest::RecordingBackend recording;
    recording.FailNext(zeltest::SerialStep::kClose);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_PORT_FAILED);
    EXPECT_EQ(zeltest::PortOf(channel), port);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
}

TEST_F(Lifecycle, CloseDuringAWaitingReadReturnsPromptly) {
    PtyPair pty;
    OpenAndWaitForThread(pty, 500);  // 5 s read time-out
    pty.Send("\r\nhhh");  // starts a read that waits for its time-out
    std::this_thread::sleep_for(200ms);
    const double start = zeltest::NowMs();
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_LT(zeltest::NowMs() - start, 1000.0);
    // The cut read is traced and decoded like any failed read.
    EXPECT_TRUE(WaitUntil([&] { return log.Count(8, "String from Comport \r\nhhh") == 1; }, 2s));
}

// A device behind a stable name that vanishes and comes back, as a
// USB-serial adapter behind a udev link does.
class Recovery : public Lifecycle {
protected:
    void SetUp() override {
        Lifecycle::SetUp();
        std::snprintf(link, sizeof link, "/tmp/zr%d", static_cast<int>(getpid() % 10000));  // fits 11 characters
        unlink(link);
    }
    void TearDown() override {
        unlink(link);
        zel::SetReopenInterval(zel::kReopenIntervalMs);
    }
    void Plug(const PtyPair &pty) {
        unlink(link);
        ASSERT_EQ(symlink(pty.SlavePath().c_str(), link), 0);
    }
    int Lost() const { return log.Count(32, std::string("ZELQuon : Port ") + link + " lost, reopening it every second"); }
    int Back() const { return log.Count(32, std::string("ZELQuon : Port ") + link + " back, reception resumed"); }
    char link[32];
};

TEST_F(Recovery, AVanishedDeviceIsReopenedByNameWhenItComesBack) {
    auto first = std::make_unique<PtyPair>();
    Plug(*first);
    OpenAndWaitForThread(link, 20);
    first->Send("gggggggggg");
    ASSERT_TRUE(WaitForValue(ZEL_TAG_KNOWN, 1));
    std::memset(channel->statusTable[5][5], 2, 10);
    first->Send("\r\nhhhhhhhhhS1" + Record('0', '0', '0', "01").substr(0, 10));
    std::this_thread::sleep_for(100ms);
    // The name goes before the device, as a device node does: no reopen
    // reaches the freed terminal number, which another process may get.
    unlink(link);
    first->CloseMaster();  // gone in the middle of a read
    ASSERT_TRUE(WaitUntil([&] { return Lost() == 1; }, 2s));
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(Read(ZEL_TAG_LINK), ZEL_LINK_LOST);
    EXPECT_EQ(Read(ZEL_TAG_LOSSES), 1);
    EXPECT_EQ(Read(ZEL_TAG_MESSAGES), 2) << "the clear, and the message cut by the loss";
    EXPECT_EQ(Read(ZEL_TAG_KNOWN), 0) << "what the panel sends while its line is away is lost";
    EXPECT_EQ(Read("0101001"), 1) << "the records that arrived before the loss are applied";
    EXPECT_EQ(Read("0505000"), 2) << "the table keeps its entries";
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Lost(), 1) << "no line per attempt";
    EXPECT_EQ(Back(), 0);

    PtyPair second;
    Plug(second);
    ASSERT_TRUE(WaitUntil([&] { return Back() == 1; }, 3s));
    second.Send(Message(Record('6', '2', '6', "02"), 1));
    EXPECT_TRUE(WaitForValue("0707142", 1));
    EXPECT_EQ(Read(ZEL_TAG_LINK), ZEL_LINK_UP);
    EXPECT_EQ(Read(ZEL_TAG_MESSAGES), 3);
    EXPECT_LE(Read(ZEL_TAG_SILENCE), 1);
    EXPECT_EQ(zel::SetReadTimeout(zeltest::PortOf(channel), 20), 20) << "reopened with the channel's read time-out";
    EXPECT_STREQ(channel->portBlock.name, link);
    EXPECT_EQ(log.Count(32, kStartNotice), 1);

    // A port the host closed is never reopened behind its back.
    unlink(link);
    second.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return Lost() == 2; }, 2s));
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(Read(ZEL_TAG_LINK), ZEL_LINK_NO_PORT) << "closed by the host: no recovery";
    EXPECT_EQ(Read(ZEL_TAG_LOSSES), 2);
    PtyPair third;
    Plug(third);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(Back(), 1);

    // Loss and return, over and over, leak no descriptor.
    zel::SetReopenInterval(5);
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_OK);
    auto current = std::make_unique<PtyPair>();
    Plug(*current);
    third.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return Back() == 2; }, 3s));
    const int descriptors = zeltest::OpenDescriptorCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        unlink(link);
        current->CloseMaster();
        ASSERT_TRUE(WaitUntil([&] { return Lost() == 4 + cycle; }, 2s)) << cycle;
        current = std::make_unique<PtyPair>();
        Plug(*current);
        ASSERT_TRUE(WaitUntil([&] { return Back() == 3 + cycle; }, 2s)) << cycle;
    }
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors);
    current->Send(Message(Record('7', '0', '7', "03"), 1));
    EXPECT_TRUE(WaitForValue("0808003", 1));
}

struct OpenFault {
    const char *name;
    zeltest::SerialStep step;
};

class LifecycleOpenFaults : public Lifecycle, public testing::WithParamInterface<OpenFault> {};

TEST_P(LifecycleOpenFaults, EachFailingStepGivesTwoAndLeaksNothing) {
    PtyPair pty;
    zeltest::RecordingBackend recording;
    const int descriptors = zeltest::OpenDescriptorCount();
    recording.FailNext(GetParam().step);
    EXPECT_EQ(Open(pty.PortName()), ZEL_PORT_FAILED);
    EXPECT_EQ(log.Count(32, "ZELQuon : Fail to open " + pty.PortName()), 1);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(KorStandinClientCount(), 0) << "no client for a channel that did not open";
    EXPECT_EQ(zeltest::Recorded().opens.load(), zeltest::Recorded().closes.load());
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors);
    // The same steps fail in ReopenPort and ChangeZelParams too.
    std::snprintf(channel->portBlock.name, sizeof channel->portBlock.name, "%s", pty.PortName().c_str());
    channel->portBlock.lineSettings = {9600, 8, 0, 0};
    recording.FailNext(GetParam().step);
    EXPECT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_PORT_FAILED);
    recording.FailNext(GetParam().step);
    ChangeParamsRequest change = ChangeRequest(pty.PortName());
    EXPECT_EQ(Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &change), ZEL_PORT_FAILED);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors);
    // Nothing is held: the next attempt opens.
    EXPECT_EQ(Open(pty.PortName()), ZEL_OK);
}

INSTANTIATE_TEST_SUITE_P(Steps, LifecycleOpenFaults,
                         testing::Values(OpenFault{"Open", zeltest::SerialStep::kOpen},
                                         OpenFault{"GetLineState", zeltest::SerialStep::kGetLineState},
                                         OpenFault{"SetTimeouts", zeltest::SerialStep::kSetTimeouts},
                                         OpenFault{"SetLineState", zeltest::SerialStep::kSetLineState}),
                         [](const testing::TestParamInfo<OpenFault> &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, DescriptorsStayTheSameOverAThousandCloseAndReopenCycles) {
    PtyPair pty;
    OpenAndWaitForThread(pty);
    ASSERT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    const int before = zeltest::OpenDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(Call(channel, ZEL_OP_REOPEN_PORT), ZEL_OK) << i << zeltest::WhyNotOpenable(pty.SlavePath());
        ASSERT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK) << i;
    }
    EXPECT_EQ(zeltest::OpenDescriptorCount(), before);
}

}  // namespace
