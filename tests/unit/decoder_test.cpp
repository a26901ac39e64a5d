// The panel message format and its decoding into the status table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "panel/decoder.h"
#include "panel/status_table.h"
#include "test_host.h"

namespace {

// A receive buffer as the reception thread hands it over: the text, then
// zeros up to 1000 bytes.
struct Buffer {
    char bytes[1000] = {};
    explicit Buffer(const std::string &text) { std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 999)); }
};

// Header with `hs` letters h, a free character and the count.
std::string Message(const std::string &records, char count, int hs = 9, char free = 'S') {
    return "\r\n" + std::string(hs, 'h') + free + count + records;
}

// A 24-character record: bus digit, kind, slot digit and point code.
std::string Record(char bus, char kind, char slot, const std::string &code) {
    std::string r = std::string(1, bus) + kind + "000" + slot + code;
    return r + std::string(24 - r.size(), '0');
}

class DecoderTest : public testing::Test {
protected:
    void Decode(const std::string &text) {
        Buffer buffer(text);
        zel::DecodePanelMessage(buffer.bytes, zel::TableOf(block));
    }
    uint8_t &At(int bus, int slot, int point) { return block.statusTable[bus][slot][point]; }
    int NonZeroEntries() const {
        int n = 0;
        for (auto &bus : block.statusTable)
            for (auto &slot : bus)
                for (uint8_t v : slot) n += v != 0;
        return n;
    }
    ChannelBlock block{};
    zeltest::LogCapture log;
};

TEST_F(DecoderTest, TheWorkedExampleSetsACircuitAndBit1) {
    const std::string text = "\r\nhhhhhhhhhhS2030003000000000000000000" "1800007F0000000000000000";
    Decode(text);
    EXPECT_EQ(At(1, 4, 130), 1);
    EXPECT_EQ(At(2, 1, 127), 2);
    EXPECT_EQ(NonZeroEntries(), 2);
    EXPECT_EQ(log.Count(8, "orginal " + text + " "), 1);
    EXPECT_EQ(log.Count(8, " inseide for LOOP tmp==  030003000000000000000000 "), 1);
    EXPECT_EQ(log.Count(8, " inseide for LOOP tmp==  1800007F0000000000000000 "), 1);
    EXPECT_EQ(log.Count(8, "[1][04][130]= 1 "), 1);
    EXPECT_EQ(log.Lines().size(), 4u);
}

TEST_F(DecoderTest, CircuitTraceForPoint131) {
    Decode(Message(Record('0', '3', '3', "01"), '1'));
    EXPECT_EQ(At(1, 4, 131), 1);
    EXPECT_EQ(log.Count(8, "[1][04][131]= 1 "), 1);
    // Other buses and slots are not traced.
    log.Clear();
    Decode(Message(Record('1', '3', '3', "00"), '1'));
    EXPECT_EQ(At(2, 4, 130), 1);
    EXPECT_EQ(log.CountPrefix(8, "[1]"), 0);
}

struct KindCase {
    const char *name;
    char kind;
    std::string code;
    uint8_t before;
    int point;  // the entry changed (bus 1, slot 1)
    uint8_t after;
};

class KindTest : public DecoderTest, public testing::WithParamInterface<KindCase> {};

TEST_P(KindTest, ChangesTheEntryAsTheKindSays) {
    const KindCase &c = GetParam();
    if (c.point >= 0) At(1, 1, c.point) = c.before;
    Decode(Message(Record('0', c.kind, '0', c.code), '1'));
    if (c.point >= 0) {
        EXPECT_EQ(At(1, 1, c.point), c.after);
        EXPECT_EQ(NonZeroEntries(), c.after != 0 ? 1 : 0);
    } else {
        EXPECT_EQ(NonZeroEntries(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KindTest,
    testing::Values(KindCase{"Bit0", '0', "05", 0, 5, 1}, KindCase{"Bit0KeepsBit1", '0', "05", 2, 5, 3},
                    KindCase{"Bit1", '8', "7F", 0, 127, 2}, KindCase{"Bit1KeepsBit0", '8', "7F", 1, 127, 3},
                    KindCase{"ShortedLine", '2', "03", 0, 143, 1}, KindCase{"ShortedOverwrites", '2', "00", 3, 140, 1},
                    KindCase{"ShortedTenIsPoint10", '2', "0A", 0, 10, 1},
                    KindCase{"Battery", '2', "08", 0, 148, 1}, KindCase{"CircuitOverwrites", '3', "02", 3, 132, 1},
                    KindCase{"CircuitFourIsPoint4", '3', "04", 0, 4, 1},
                    KindCase{"LowerCaseHexIsZero", '0', "7f", 0, 112, 1},
                    KindCase{"NonHexKindActsAsBit0", 'x', "10", 0, 16, 1},
                    KindCase{"PunctuationKindActsAsBit0", '!', "10", 0, 16, 1},
                    KindCase{"Point153", '0', "99", 0, 153, 1}, KindCase{"Point154", '8', "9A", 0, 154, 2},
                    KindCase{"Kind1Ignored", '1', "05", 0, -1, 0}, KindCase{"Kind4Ignored", '4', "05", 0, -1, 0},
                    KindCase{"Kind9Ignored", '9', "05", 0, -1, 0}, KindCase{"KindFIgnored", 'F', "05", 0, -1, 0},
                    KindCase{"Point155Dropped", '0', "9B", 0, -1, 0},
                    KindCase{"PointFFDropped", '8', "FF", 0, -1, 0},
                    KindCase{"ShortedBeyondTableDropped", '2', "C8", 0, -1, 0}),
    [](const testing::TestParamInfo<KindCase> &info) { return std::string(info.param.name); });

TEST_F(DecoderTest, BatteryOfPanelBus2ReadsThroughItsAddress) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    Buffer buffer(Message(Record('2', '2', '0', "08"), '1'));
    zel::DecodePanelMessage(buffer.bytes, zel::TableOf(*channel));
    EXPECT_EQ(zeltest::ReadTagValue(channel, "0301148"), 1);
}

TEST_F(DecoderTest, RecordsThatDesignateNoEntryAreDroppedAlone) {
    const std::string records = Record('8', '0', '0', "01") + Record('0', '0', '8', "01") + Record('9', '0', '9', "01") +
                                Record('A', '0', '0', "01") + Record('0', '0', 'x', "01") + Record('7', '0', '7', "01");
    Decode(Message(records, '6'));
    EXPECT_EQ(At(8, 8, 1), 1);
    EXPECT_EQ(NonZeroEntries(), 1);
    EXPECT_EQ(log.CountPrefix(8, " inseide for LOOP tmp==  "), 6);
}

TEST_F(DecoderTest, CountDecidesHowManyRecordsAreApplied) {
    std::string records;
    for (int i = 0; i < 16; ++i) records += Record('0', '0', '0', std::string("0") + "0123456789ABCDEF"[i]);
    Decode(Message(records, 'F'));
    EXPECT_EQ(NonZeroEntries(), 15);
    EXPECT_EQ(At(1, 1, 14), 1);
    EXPECT_EQ(At(1, 1, 15), 0) << "the sixteenth record lies beyond the count";

    ChannelBlock other{};
    Buffer zero(Message(records, '0'));
    zel::DecodePanelMessage(zero.bytes, zel::TableOf(other));
    Buffer notHex(Message(records, 'g'));
    zel::DecodePanelMessage(notHex.bytes, zel::TableOf(other));
    Buffer lower(Message(records, 'a'));
    zel::DecodePanelMessage(lower.bytes, zel::TableOf(other));
    for (auto &bus : other.statusTable)
        for (auto &slot : bus)
            for (uint8_t v : slot) ASSERT_EQ(v, 0);
}

TEST_F(DecoderTest, HeaderMustHoldNineLettersH) {
    Decode(Message(Record('0', '0', '0', "01"), '1', 8));
    EXPECT_EQ(NonZeroEntries(), 0);
    EXPECT_EQ(log.Lines().size(), 1u) << "only the first trace";
    Decode("\n\rhhhhhhhhhS1" + Record('0', '0', '0', "01"));
    Decode("\r\nhhhh");
    Decode("");
    EXPECT_EQ(NonZeroEntries(), 0);
    // Any number of further 'h' shifts the count and the records.
    Decode(Message(Record('0', '0', '0', "02"), '1', 30));
    EXPECT_EQ(At(1, 1, 2), 1);
}

TEST_F(DecoderTest, WhiteSpaceBeforeTheCountAndRecordsIsPassedOver) {
    // The count is the first character after the free one that is not white
    // space; the records still stand at their fixed places.
    const std::string text = "\r\nhhhhhhhhhS 2";  // position k+1 is a blank
    // Record 0 is read from position k+2 = 13, which is the count '2'
    // itself: "20800000..." is panel bus 2, kind 0, slot 0, point 0.
    // Record 1 starts 24 characters later, inside the zeros.
    Decode(text + "0800000" + Record('1', '0', '0', "03"));
    EXPECT_EQ(log.CountPrefix(8, " inseide for LOOP tmp==  "), 2);
    EXPECT_EQ(At(3, 1, 0), 1);
    EXPECT_EQ(At(1, 1, 0), 1);
    EXPECT_EQ(NonZeroEntries(), 2);
}

TEST_F(DecoderTest, RecordStartingWithWhiteSpaceIsTakenAfterIt) {
    // Record 0 begins with two blanks: it is taken from after them, and
    // record 1 still stands at its own fixed place.
    const std::string first = "  " + Record('0', '0', '0', "05").substr(0, 22);
    Decode(Message(first + Record('0', '0', '0', "06"), '2'));
    EXPECT_EQ(At(1, 1, 5), 1);
    EXPECT_EQ(At(1, 1, 6), 1);
}

TEST_F(DecoderTest, RecordsEndAtWhiteSpaceAndShortOnesAreDropped) {
    // "0000 001" holds a blank among its first 8 characters.
    Decode(Message("0000 001" + std::string(16, '0'), '1'));
    EXPECT_EQ(log.Count(8, " inseide for LOOP tmp==  0000 "), 1);
    EXPECT_EQ(NonZeroEntries(), 0);
}

TEST_F(DecoderTest, TextEndingEarlyDecodesOnlyTheRecordsPresent) {
    Decode(Message(Record('0', '0', '0', "01") + "0000000", '3'));
    EXPECT_EQ(At(1, 1, 1), 1);
    EXPECT_EQ(NonZeroEntries(), 1);
    EXPECT_EQ(log.CountPrefix(8, " inseide for LOOP tmp==  "), 2);
    // Ending before the count.
    log.Clear();
    Decode("\r\nhhhhhhhhhS");
    Decode("\r\nhhhhhhhhhhhhh");
    EXPECT_EQ(log.CountPrefix(8, " inseide"), 0);
}

TEST_F(DecoderTest, TenGAnywhereClearTheTableAndNothingElseHappens) {
    for (const std::string &where : {std::string("gggggggggg"), Message(Record('0', '0', '0', "07"), '1') + "gggggggggg",
                                     std::string("xxgggggggggg")}) {
        std::memset(block.statusTable, 3, sizeof block.statusTable);
        Decode(where);
        EXPECT_EQ(At(1, 1, 7), 0);
        EXPECT_EQ(At(1, 1, 149), 0);
        EXPECT_EQ(At(1, 1, 150), 3);
        EXPECT_EQ(At(8, 8, 154), 3);
    }
    EXPECT_EQ(log.CountPrefix(8, " inseide"), 0);
}

TEST_F(DecoderTest, ClearCommandIsFoundBehindANulByte) {
    std::memset(block.statusTable, 3, sizeof block.statusTable);
    Buffer buffer("abc");
    std::memset(buffer.bytes + 990, 'g', 10);  // the last ten bytes of the buffer
    zel::DecodePanelMessage(buffer.bytes, zel::TableOf(block));
    EXPECT_EQ(At(0, 0, 0), 0);
    EXPECT_EQ(log.Count(8, "orginal abc "), 1);
}

TEST_F(DecoderTest, NineGDoNothing) {
    std::memset(block.statusTable, 3, sizeof block.statusTable);
    Decode("gggggggggXggggggggg");
    EXPECT_EQ(At(0, 0, 0), 3);
}

// What each text is, and how many of its bytes (white space aside) belong
// to no message: the diagnostic NOISE counts them.
TEST_F(DecoderTest, StrayBytesAreCountedWhereverTheyStand) {
    const std::string one = Message(Record('0', '3', '3', "00"), '1');
    struct Case {
        std::string text;
        zel::DecodedText kind;
        std::size_t stray;
    } cases[] = {
        {one + "\r\n", zel::DecodedText::kEventMessage, 0},
        {one + "xyz\r\n", zel::DecodedText::kEventMessage, 3},
        {one + Record('0', '3', '3', "01"), zel::DecodedText::kEventMessage, 24},  // beyond the count
        {Message("", '0') + "\r\n", zel::DecodedText::kEventMessage, 0},
        {"gggggggggg\r\n", zel::DecodedText::kClearCommand, 0},
        {"ab gggggggggg c", zel::DecodedText::kClearCommand, 3},
        {"\r\nhhhhhhhxS1" + Record('0', '3', '3', "00"), zel::DecodedText::kNoMessage, 34},
        {"\r\n \t", zel::DecodedText::kNoMessage, 0},
    };
    for (const Case &c : cases) {
        const zel::DecodedPanelText decoded = zel::DecodePanelText(c.text.c_str(), c.text.size(), zel::TableOf(block));
        EXPECT_EQ(decoded.kind, c.kind) << c.text;
        EXPECT_EQ(decoded.strayBytes, c.stray) << c.text;
    }
}

TEST(HexValue, ReadsUpperCaseDigitsOnly) {
    EXPECT_EQ(zel::HexValue("7F", 2), 127);
    EXPECT_EQ(zel::HexValue("7f", 2), 112);
    EXPECT_EQ(zel::HexValue("FF", 2), 255);
    EXPECT_EQ(zel::HexValue("A", 1), 10);
    EXPECT_EQ(zel::HexValue("G", 1), 0);
    EXPECT_EQ(zel::HexValue(" 1", 2), 1);
}

}  // namespace
