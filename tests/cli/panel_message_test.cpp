// zelpanel's messages: the readable events become the panel's records, the
// driver's own decoder reads every message as zelpanel's table model says,
// bad events are refused with a reason, and line faults do what they say.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <vector>

#include "line_faults.h"
#include "panel/decoder.h"
#include "panel/framing.h"
#include "panel_message.h"
#include "panel_script.h"
#include "zelwnqx.h"

namespace {

using namespace zelpanel;

PanelMessage Parse(const std::string &text) {
    PanelMessage m;
    std::string error;
    EXPECT_TRUE(ParseMessage(text, &m, &error)) << text << ": " << error;
    return m;
}

struct EventRecord {
    const char *event;
    const char *record;
};

class PanelRecords : public testing::TestWithParam<EventRecord> {};

// Bus and slot digits count from 0 on the wire; kinds and codes are upper
// case hex.
TEST_P(PanelRecords, EventBecomesItsRecord) {
    const PanelMessage m = Parse(GetParam().event);
    ASSERT_EQ(m.events.size(), 1u);
    EXPECT_EQ(RecordText(RecordOf(m.events[0])), GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(
    Events, PanelRecords,
    testing::Values(EventRecord{"ckt bus=1 slot=4 point=130", "030003000000000000000000"},
                    EventRecord{"ckt bus=2 slot=2 point=133", "130001030000000000000000"},
                    EventRecord{"shorted bus=1 slot=2 point=141", "020001010000000000000000"},
                    EventRecord{"shorted bus=8 slot=1 point=149", "720000090000000000000000"},
                    EventRecord{"battery bus=3", "220000080000000000000000"},
                    EventRecord{"bit0 bus=2 slot=1 point=127", "1000007F0000000000000000"},
                    EventRecord{"bit1 bus=2 slot=1 point=127", "1800007F0000000000000000"},
                    EventRecord{"bit0   bus=8  slot=8 point=255 ", "700007FF0000000000000000"},
                    EventRecord{"kind=a bus=5 slot=6 code=3c", "4A00053C0000000000000000"},
                    EventRecord{"kind=1 slot=1 code=0 bus=1", "010000000000000000000000"}));

TEST(PanelMessages, EventMessageHasHeaderCountAndRecordsInPlace) {
    std::string text;
    for (int i = 1; i <= kMaxRecords; ++i) text += (i > 1 ? "; " : "") + std::string("bit0 bus=1 slot=1 point=") + std::to_string(i);
    const PanelMessage m = Parse(text);
    const std::string wire = WireText(m);
    ASSERT_GE(wire.size(), 11u);
    EXPECT_EQ(wire.substr(0, 11), "\r\nhhhhhhhhh");
    const std::size_t k = wire.find_first_not_of('h', 2);
    ASSERT_GE(k, 11u);
    EXPECT_EQ(wire[k + 1], 'F');
    for (int i = 0; i < kMaxRecords; ++i)
        EXPECT_EQ(wire.substr(k + 2 + 24 * i, 24), RecordText(RecordOf(m.events[i]))) << "record " << i;
    EXPECT_EQ(wire.substr(k + 2 + 24 * kMaxRecords), "\r\n");
}

TEST(PanelMessages, ClearAndRawAreSentAsTheyAre) {
    EXPECT_NE(WireText(Parse("clear")).find(std::string(10, 'g')), std::string::npos);
    EXPECT_EQ(WireText(Parse(R"(raw "\r\nhhh\x01")")), "\r\nhhh\x01");
}

TEST(PanelMessages, DescriptionsParseBackToTheSameMessage) {
    std::vector<PanelMessage> messages = RandomTraffic(7, 40, 15, true);
    messages.push_back(Parse("kind=F bus=8 slot=8 code=FF; kind=0 bus=1 slot=1 code=00"));
    messages.push_back(Parse(R"(raw "a;b \"c\"")"));
    for (const PanelMessage &m : messages) {
        const std::string text = Describe(m);
        EXPECT_EQ(WireText(Parse(text)), WireText(m)) << text;
    }
}

struct BadEvent {
    const char *text;
    const char *reason;
};

class PanelMessagesRefuse : public testing::TestWithParam<BadEvent> {};

TEST_P(PanelMessagesRefuse, WithItsReason) {
    PanelMessage m;
    std::string error;
    EXPECT_FALSE(ParseMessage(GetParam().text, &m, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PanelMessagesRefuse,
    testing::Values(BadEvent{"alarm bus=1 slot=1 point=1", "unknown event 'alarm'"},
                    BadEvent{"ckt bus=9 slot=4 point=130", "bus must be 1-8"},
                    BadEvent{"ckt bus=0 slot=4 point=130", "bus must be 1-8"},
                    BadEvent{"ckt bus=1 slot=9 point=130", "slot must be 1-8"},
                    BadEvent{"ckt bus=1 slot=4 point=134", "point of ckt must be 130-133"},
                    BadEvent{"shorted bus=1 slot=4 point=150", "point of shorted must be 140-149"},
                    BadEvent{"bit0 bus=1 slot=4 point=256", "point of bit0 must be 0-255"},
                    BadEvent{"bit1 bus=1 slot=4 point=x", "point of bit1 must be 0-255"},
                    BadEvent{"bit0 bus=1 slot=4", "needs bus=, slot= and point="},
                    BadEvent{"battery", "needs bus="},
                    BadEvent{"battery bus=2 slot=3", "unexpected 'slot=3'"},
                    BadEvent{"ckt bus=1 slot=4 point=130 extra", "unexpected 'extra'"},
                    BadEvent{"ckt bus=1 slot=4 code=00", "unexpected 'code=00'"},
                    BadEvent{"kind=G bus=1 slot=1 code=00", "kind must be one hex digit"},
                    BadEvent{"kind=3 bus=1 slot=1 code=100", "code must be two hex digits"},
                    BadEvent{"kind=3 bus=1 slot=1 point=130", "unexpected 'point=130'"},
                    BadEvent{"ckt bus=1 slot=4 point=130;", "empty event"},
                    BadEvent{"", "empty event"},
                    BadEvent{"ckt bus=1 slot=4 point=130; clear", "messages of their own"},
                    BadEvent{"raw abc", "expected a quoted text"},
                    BadEvent{"raw \"\"", "raw text is empty"},
                    BadEvent{"raw \"a\" b", "nothing after it"},
                    BadEvent{"bit0 bus=1 slot=1 point=1;bit0 bus=1 slot=1 point=2;bit0 bus=1 slot=1 point=3;"
                             "bit0 bus=1 slot=1 point=4;bit0 bus=1 slot=1 point=5;bit0 bus=1 slot=1 point=6;"
                             "bit0 bus=1 slot=1 point=7;bit0 bus=1 slot=1 point=8;bit0 bus=1 slot=1 point=9;"
                             "bit0 bus=1 slot=1 point=10;bit0 bus=1 slot=1 point=11;bit0 bus=1 slot=1 point=12;"
                             "bit0 bus=1 slot=1 point=13;bit0 bus=1 slot=1 point=14;bit0 bus=1 slot=1 point=15;"
                             "bit0 bus=1 slot=1 point=16",
                             "at most 15 events"}));

// The driver's decoder on one side, zelpanel's model on the other: after
// every message each readable point must agree.
class DecoderAgreement : public testing::Test {
protected:
    void Send(const PanelMessage &m) {
        const std::string wire = WireText(m);
        ASSERT_LT(wire.size(), buffer.size());
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::memcpy(buffer.data(), wire.data(), wire.size());
        zel::DecodePanelMessage(buffer.data(), table.data());
        bool predicted = false;
        ApplyMessage(model, m, &predicted);
    }
    void ExpectAgreement(const std::string &context) {
        int differences = 0;
        for (int bus = 1; bus <= 8; ++bus)
            for (int slot = 1; slot <= 8; ++slot)
                for (int point = 0; point <= 150; ++point) {
                    const std::string address = AddressText(bus, slot, point);
                    const auto it = model.values.find(address);
                    const int modelled = it == model.values.end() ? 0 : it->second;
                    const int decoded = table[bus * ZEL_SLOTS * ZEL_POINTS + slot * ZEL_POINTS + point];
                    if (modelled != decoded && ++differences <= 5)
                        ADD_FAILURE() << context << ": " << address << " model " << modelled << ", decoder " << decoded;
                }
    }
    std::vector<char> buffer = std::vector<char>(ZEL_RX_BUFFER_SIZE);
    std::vector<uint8_t> table = std::vector<uint8_t>(ZEL_STATUS_TABLE_SIZE);
    TableModel model;
};

TEST_F(DecoderAgreement, EveryKindOfEvent) {
    const char *const messages[] = {
        "ckt bus=1 slot=4 point=130", "bit1 bus=1 slot=4 point=130", "ckt bus=1 slot=4 point=130",
        "shorted bus=2 slot=3 point=149", "battery bus=8", "bit0 bus=3 slot=3 point=0; bit1 bus=3 slot=3 point=0",
        "bit0 bus=3 slot=3 point=150", "bit1 bus=3 slot=3 point=200", "kind=2 bus=4 slot=4 code=0A",
        "kind=3 bus=4 slot=4 code=04", "kind=3 bus=4 slot=4 code=FF", "kind=1 bus=5 slot=5 code=01",
        "kind=9 bus=5 slot=5 code=01", "bit0 bus=4 slot=4 point=10", "clear", "bit1 bus=6 slot=6 point=1"};
    for (const char *text : messages) {
        Send(Parse(text));
        ExpectAgreement(text);
    }
    EXPECT_EQ(model.values.size(), 2u) << "after the clear: point 150 kept, bus 6 set";
}

TEST_F(DecoderAgreement, RandomTraffic) {
    for (uint32_t seed : {1u, 2u, 3u, 99u, 12345u}) {
        int sequence = 0;
        for (const PanelMessage &m : RandomTraffic(seed, 60, 15, true)) {
            Send(m);
            ExpectAgreement("seed " + std::to_string(seed) + " message " + std::to_string(++sequence));
        }
    }
}

// Noise before every message, through the driver's own framing, the stream
// cut into reads anywhere (within headers and clear commands too): every
// message applied whole, every noise byte counted, and nothing else.
TEST_F(DecoderAgreement, NoiseBeforeEveryMessage) {
    LineFaults faults = StartLineFaults({0, true, 3});
    zel::StreamState state;
    zel::StreamTally total;
    std::size_t noiseSent = 0;
    std::string stream;
    const std::vector<PanelMessage> messages = RandomTraffic(11, 200, 15, true);
    for (const PanelMessage &message : messages) {
        const FaultedBytes wire = WithLineFaults(faults, WireText(message));
        stream += wire.bytes;
        noiseSent += wire.noiseBytes;
        bool predicted = false;
        ApplyMessage(model, message, &predicted);
    }
    uint32_t cutter = 7;
    for (std::size_t at = 0; at < stream.size();) {
        cutter = cutter * 1103515245u + 12345u;
        const std::size_t length = std::min<std::size_t>({1 + (cutter >> 16) % 40, stream.size() - at, zel::ReadRoom(state)});
        std::memcpy(buffer.data() + zel::ReadOffset(state), stream.data() + at, length);
        const zel::StreamTally tally = zel::TakeReceived(buffer.data(), state, length, table.data());
        total.messages += tally.messages;
        total.noiseBytes += tally.noiseBytes;
        at += length;
    }
    const zel::StreamTally last = zel::EndKeptText(buffer.data(), state, table.data());
    EXPECT_EQ(total.messages + last.messages, messages.size());
    EXPECT_EQ(total.noiseBytes + last.noiseBytes, noiseSent);
    ExpectAgreement("after the noisy stream");
}

struct FaultCase {
    const char *name;
    FaultSettings settings;
    bool messageKept;       // the message's own bytes go out as they were
    bool everyByteChanged;  // by one bit each
};

class LineFaultCases : public testing::TestWithParam<FaultCase> {};

TEST_P(LineFaultCases, ChangeTheBytesAsSetAndAgainFromTheSameSeed) {
    const FaultCase &c = GetParam();
    LineFaults faults = StartLineFaults(c.settings), again = StartLineFaults(c.settings);
    for (const PanelMessage &m : RandomTraffic(7, 50, 15, true)) {
        const std::string wire = WireText(m);
        const FaultedBytes f = WithLineFaults(faults, wire);
        EXPECT_EQ(f.bytes, WithLineFaults(again, wire).bytes) << "the same seed gives the same faults";
        ASSERT_EQ(f.bytes.size(), f.noiseBytes + wire.size());
        EXPECT_EQ(f.noiseBytes > 0, c.settings.noise);
        EXPECT_LE(f.noiseBytes, 8u);
        for (std::size_t i = 0; i < f.noiseBytes; ++i)
            ASSERT_EQ(std::string(" \t\n\v\f\r\0gh", 9).find(f.bytes[i]), std::string::npos)
                << "noise byte " << int(f.bytes[i]) << " is white space or may begin a header or clear command";
        if (c.messageKept) {
            EXPECT_EQ(f.bytes.substr(f.noiseBytes), wire);
        }
        if (c.everyByteChanged) {
            EXPECT_EQ(f.corruptedBytes, f.bytes.size());
            for (std::size_t i = 0; i < wire.size(); ++i)
                ASSERT_EQ(std::bitset<8>(static_cast<unsigned char>(f.bytes[f.noiseBytes + i] ^ wire[i])).count(), 1u);
        } else if (c.messageKept) {
            EXPECT_EQ(f.corruptedBytes, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    LineFaults, LineFaultCases,
    testing::Values(FaultCase{"none", {0, false, 1}, true, false}, FaultCase{"rate0", {0, false, 99}, true, false},
                    FaultCase{"noise", {0, true, 1}, true, false}, FaultCase{"noise_seed42", {0, true, 42}, true, false},
                    FaultCase{"rate1", {1, false, 1}, false, true}, FaultCase{"rate1_seed5", {1, false, 5}, false, true}),
    [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST(LineFaults, RateIsTheShareOfBytesCorruptedAndSeedsDiffer) {
    LineFaults faults = StartLineFaults({0.01, false, 1});
    const FaultedBytes f = WithLineFaults(faults, std::string(100000, 'A'));
    EXPECT_GT(f.corruptedBytes, 800u);
    EXPECT_LT(f.corruptedBytes, 1200u);
    EXPECT_EQ(static_cast<std::size_t>(std::count(f.bytes.begin(), f.bytes.end(), 'A')), 100000 - f.corruptedBytes);
    LineFaults other = StartLineFaults({0.01, false, 2});
    EXPECT_NE(WithLineFaults(other, std::string(100000, 'A')).bytes, f.bytes);
}

TEST(PanelModel, ReportsOnlyTheChangesOfEachMessage) {
    TableModel model;
    bool predicted = false;
    auto changes = ApplyMessage(model, Parse("bit0 bus=1 slot=1 point=5; ckt bus=2 slot=2 point=131"), &predicted);
    EXPECT_TRUE(predicted);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].address, "0101005");
    EXPECT_EQ(changes[0].value, 1);
    EXPECT_EQ(changes[1].address, "0202131");
    changes = ApplyMessage(model, Parse("bit0 bus=1 slot=1 point=5"), &predicted);
    EXPECT_TRUE(changes.empty()) << "bit 0 was set already";
    changes = ApplyMessage(model, Parse("clear"), &predicted);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].value, 0);
    EXPECT_EQ(changes[1].value, 0);
    changes = ApplyMessage(model, Parse(R"(raw "\r\nhhhhhhhhhhS1030003000000000000000000")"), &predicted);
    EXPECT_FALSE(predicted);
    EXPECT_TRUE(changes.empty());
}

}  // namespace
