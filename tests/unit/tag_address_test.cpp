// ValidateAddress, ReadTag and ClearStatusTable.
#include <gtest/gtest.h>

#include <cstring>

#include "panel/status_table.h"
#include "panel/tag_address.h"
#include "test_host.h"

using zeltest::Call;

namespace {

struct AddressCase {
    const char *text;
    int32_t typeCode;
    int32_t expected;
};

class ValidateAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(ValidateAddressTest, AnswersAsTheAddressRulesSay) {
    const AddressCase &c = GetParam();
    ChannelBlock *channel = zeltest::NewChannelBlock();
    char text[64];
    std::strcpy(text, c.text);
    TagRequest request{};
    request.address = text;
    request.typeCode = c.typeCode;
    EXPECT_EQ(Call(channel, ZEL_OP_VALIDATE_ADDRESS, &request), c.expected);
    EXPECT_STREQ(text, c.text) << "the text is not changed";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ValidateAddressTest,
    testing::Values(
        // Circuit and regular points.
        AddressCase{"0104130", 6, 0}, AddressCase{"0104130", 0, 1}, AddressCase{"0104001", 0, 0},
        AddressCase{"0104001", 6, 1}, AddressCase{"0104127", 0, 0}, AddressCase{"0104133", 6, 0},
        AddressCase{"0104140", 6, 0}, AddressCase{"0104143", 6, 0},
        // The Battery address on any bus.
        AddressCase{"0301148", 6, 0}, AddressCase{"0001148", 6, 0}, AddressCase{"0801148", 6, 0},
        AddressCase{"0302148", 6, 1}, AddressCase{"0301148", 0, 1},
        // Bus and slot 0 are accepted, 9 is not.
        AddressCase{"0000001", 0, 0}, AddressCase{"0904001", 0, 1}, AddressCase{"0109001", 0, 1},
        AddressCase{"0808127", 0, 0},
        // Points outside the type's ranges.
        AddressCase{"0104000", 0, 1}, AddressCase{"0104128", 0, 1}, AddressCase{"0104134", 6, 1},
        AddressCase{"0104139", 6, 1}, AddressCase{"0104144", 6, 1}, AddressCase{"0104148", 6, 1},
        AddressCase{"0104999", 6, 1},
        // Other type codes.
        AddressCase{"0104001", 1, 1}, AddressCase{"0104130", 5, 1}, AddressCase{"0104130", -1, 1},
        AddressCase{"0301148", 7, 1},
        // Lengths and characters.
        AddressCase{"010413", 6, 1}, AddressCase{"01041300", 6, 1}, AddressCase{"", 0, 1},
        AddressCase{"01 4130", 6, 1}, AddressCase{"0104A30", 6, 1}, AddressCase{"-104130", 6, 1},
        AddressCase{"010413000000", 6, 1}, AddressCase{"0104130000000000000000", 6, 1},
        // The channel's diagnostic tags, read like Regular points; exactly spelt.
        AddressCase{"LINK", 0, 0}, AddressCase{"SILENCE", 0, 0}, AddressCase{"MESSAGES", 0, 0},
        AddressCase{"LOSSES", 0, 0}, AddressCase{"NOISE", 0, 0}, AddressCase{"KNOWN", 0, 0}, AddressCase{"LINK", 6, 1},
        AddressCase{"KNOWN", 6, 1},
        AddressCase{"link", 0, 1}, AddressCase{"LINKS", 0, 1}, AddressCase{"LIN", 0, 1}),
    [](const testing::TestParamInfo<AddressCase> &info) {
        return std::to_string(info.index) + "_" + zeltest::NameOf(info.param.text) + "_type" +
               zeltest::NameOf(std::to_string(info.param.typeCode));
    });

struct ReadCase {
    const char *text;
    int bus, slot, point;  // the entry set to 3 before the read; bus -1: none
    uint16_t expected;
};

class ReadTagTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadTagTest, ReadsTheDesignatedEntryOrOne) {
    const ReadCase &c = GetParam();
    ChannelBlock *channel = zeltest::NewChannelBlock();
    if (c.bus >= 0) channel->statusTable[c.bus][c.slot][c.point] = 3;
    TagValue value{0x7777, 0xBEEF};
    TagRequest request{};
    request.address = c.text;
    request.value = &value;
    EXPECT_EQ(Call(channel, ZEL_OP_READ_TAG, &request), ZEL_OK);
    EXPECT_EQ(value.value, c.expected);
    EXPECT_EQ(value.reserved, 0x7777) << "only the 16-bit value is written";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ReadTagTest,
    testing::Values(ReadCase{"0104130", 1, 4, 130, 3}, ReadCase{"0104130", -1, 0, 0, 0},
                    ReadCase{"0104150", 1, 4, 150, 3}, ReadCase{"0104151", 1, 4, 151, 1},
                    ReadCase{"0000000", 0, 0, 0, 3}, ReadCase{"0808150", 8, 8, 150, 3},
                    ReadCase{"0904001", -1, 0, 0, 1}, ReadCase{"0109001", -1, 0, 0, 1},
                    // Characters after the seventh only take part in the digit test.
                    ReadCase{"01041300", 1, 4, 130, 3}, ReadCase{"0104130x", 1, 4, 130, 1},
                    // Five or six digits give a point of one or two digits.
                    ReadCase{"010413", 1, 4, 13, 3}, ReadCase{"01041", 1, 4, 1, 3},
                    // Fewer than five digits, non-digits, the empty text.
                    ReadCase{"0104", 0, 1, 4, 1}, ReadCase{"", 0, 0, 0, 1}, ReadCase{"01 4130", 1, 4, 130, 1},
                    ReadCase{"0104-30", -1, 0, 0, 1},
                    // Diagnostic tags of a block no OpenChannel has begun: no port, never heard.
                    ReadCase{"LINK", -1, 0, 0, ZEL_LINK_NO_PORT}, ReadCase{"SILENCE", -1, 0, 0, 65535},
                    ReadCase{"MESSAGES", -1, 0, 0, 0}, ReadCase{"LOSSES", -1, 0, 0, 0}, ReadCase{"NOISE", -1, 0, 0, 0},
                    ReadCase{"KNOWN", -1, 0, 0, 0},
                    ReadCase{"NOISES", -1, 0, 0, 1}, ReadCase{"Link", -1, 0, 0, 1}),
    [](const testing::TestParamInfo<ReadCase> &info) {
        return std::to_string(info.index) + "_" + zeltest::NameOf(info.param.text);
    });

TEST(ReadTag, ReturnsEachBitCombination) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    for (uint8_t v = 0; v <= 3; ++v) {
        channel->statusTable[2][1][127] = v;
        EXPECT_EQ(zeltest::ReadTagValue(channel, "0201127"), v);
    }
}

TEST(ClearStatusTable, ClearsPointsUpTo149OfEveryRow) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    std::memset(channel->statusTable, 3, sizeof channel->statusTable);
    std::memset(channel->rxBuffer, 'x', sizeof channel->rxBuffer);
    zel::ClearStatusTable(*channel);
    for (int bus = 0; bus < 9; ++bus)
        for (int slot = 0; slot < 9; ++slot)
            for (int point = 0; point < 155; ++point)
                ASSERT_EQ(channel->statusTable[bus][slot][point], point < 150 ? 0 : 3)
                    << bus << "/" << slot << "/" << point;
    EXPECT_EQ(channel->rxBuffer[999], 'x');
    EXPECT_EQ(channel->reserved[0], 0);
    EXPECT_EQ(zeltest::ReadTagValue(channel, "0104149"), 0);
    EXPECT_EQ(zeltest::ReadTagValue(channel, "0104150"), 3);
}

TEST(StatusTable, EntryIndexIsBusMajor) {
    ChannelBlock block{};
    EXPECT_EQ(&block.statusTable[1][4][130], zel::TableOf(block) + zel::EntryIndex(1, 4, 130));
    EXPECT_EQ(zel::EntryIndex(8, 8, 154), 12554u);
    EXPECT_EQ(zel::EntryIndex(1, 0, 0), 1395u);
}

}  // namespace
