// ZelMain's dispatch, GetDriverInfo, WriteParameter and the unsupported codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "channel/channel_block.h"
#include "test_host.h"
#include "zel_version.h"

using zeltest::Call;

namespace {

std::vector<std::string> BannerLines(const char *banner) {
    std::vector<std::string> lines;
    std::string text(banner);
    EXPECT_EQ(text.front(), '\n');
    std::size_t start = 1;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "banner must end with a line feed";
    return lines;
}

TEST(GetDriverInfo, FillsEveryFieldWithoutAChannel) {
    DriverInfo info;
    std::memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(Call(nullptr, ZEL_OP_GET_DRIVER_INFO, &info), ZEL_OK);
    EXPECT_EQ(info.code, 82u);
    EXPECT_STREQ(info.shortName, "Quon");
    EXPECT_EQ(info.channelBlockSize, 13600u);
    EXPECT_EQ(info.fixed10, 4u);
    EXPECT_EQ(info.lineSettings.baudRate, 9600);
    EXPECT_EQ(info.lineSettings.dataBits, 8);
    EXPECT_EQ(info.lineSettings.stopBits, 0);
    EXPECT_EQ(info.lineSettings.parity, 0);
    EXPECT_EQ(info.fixed1C, 0x00430028u);
    ASSERT_NE(info.banner, nullptr);

    // The pointers are constant text: a second call gives the same ones.
    DriverInfo again{};
    EXPECT_EQ(Call(nullptr, ZEL_OP_GET_DRIVER_INFO, &again), ZEL_OK);
    EXPECT_EQ(again.banner, info.banner);
    EXPECT_EQ(again.shortName, info.shortName);
}

TEST(GetDriverInfo, BannerIsAClosedFrameInCodePage437) {
    DriverInfo info{};
    ASSERT_EQ(Call(nullptr, ZEL_OP_GET_DRIVER_INFO, &info), ZEL_OK);
    const std::vector<std::string> lines = BannerLines(info.banner);
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string &line : lines) EXPECT_EQ(line.size(), 62u) << line;

    EXPECT_EQ(lines[0], std::string(" \xC9") + std::string(59, '\xCD') + "\xBB");
    EXPECT_EQ(lines[4], std::string(" \xC8") + std::string(59, '\xCD') + "\xBC");

    const std::string shading = std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') +
                                std::string(6, '\xB0');
    const std::string mirrored(shading.rbegin(), shading.rend());
    EXPECT_EQ(lines[1], " \xBA " + shading + " Z E L Q X " + mirrored + " \xBA");
    // Symmetric about the tag: 23 characters of shading either side of it.
    const std::string left = lines[1].substr(3, 23), right = lines[1].substr(3 + 23 + 11, 23);
    EXPECT_EQ(left, std::string(right.rbegin(), right.rend()));

    EXPECT_EQ(lines[2].substr(0, 9), " \xBA       ");
    EXPECT_EQ(lines[2].substr(9, 45).size(), 45u);
    EXPECT_EQ(lines[2].substr(54 - 17, 17), "Driver installed.");
    EXPECT_EQ(lines[2].substr(54), "       \xBA");

    EXPECT_EQ(lines[3].substr(0, 13), " \xBA           ");
    EXPECT_EQ(lines[3].substr(55 - 12, 12), "Version " ZEL_VERSION_TEXT);
    EXPECT_EQ(lines[3].substr(55), "      \xBA");
}

TEST(ZelMain, CodesWithoutAnOperationAnswerOneAndChangeNothing) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    std::memset(channel, 0x5A, sizeof *channel);
    channel->port = 0;
    std::vector<unsigned char> before(reinterpret_cast<unsigned char *>(channel),
                                      reinterpret_cast<unsigned char *>(channel) + sizeof *channel);
    for (uint32_t code : {0u, 4u, 6u, 8u, 9u, 10u, 17u, 18u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        int request[16] = {};
        EXPECT_EQ(Call(channel, code, request), ZEL_FAILED);
        EXPECT_EQ(zel::CurrentChannel(), channel) << "the call still names the current channel";
    }
    EXPECT_EQ(std::memcmp(before.data(), channel, sizeof *channel), 0);
}

TEST(ZelMain, NullCallBlockIsRefused) { EXPECT_EQ(ZelMain(nullptr), ZEL_FAILED); }

TEST(ZelMain, NullChannelKeepsTheCurrentChannel) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    ASSERT_EQ(Call(channel, ZEL_OP_UNSUPPORTED_4), ZEL_FAILED);
    ASSERT_EQ(zel::CurrentChannel(), channel);

    TagValue value{0, 7};
    TagRequest request{};
    request.address = "0104130";
    request.paramCode = ZEL_PARAM_F;
    request.value = &value;
    // Operations that need a channel refuse a call without one.
    for (uint32_t code : {1u, 2u, 5u, 7u, 11u, 12u, 13u, 15u}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Call(nullptr, code, &request), ZEL_FAILED);
    }
    EXPECT_EQ(value.value, 7) << "ReadTag without a channel writes nothing";
    EXPECT_EQ(channel->paramF, 0) << "WriteParameter without a channel stores nothing";
    EXPECT_EQ(zel::CurrentChannel(), channel);
    // The address check needs no channel.
    request.typeCode = 6;
    EXPECT_EQ(Call(nullptr, ZEL_OP_VALIDATE_ADDRESS, &request), ZEL_OK);
}

TEST(ZelMain, MissingRequestRecordsAreRefused) {
    ChannelBlock *channel = zeltest::NewChannelBlock();
    for (uint32_t code : {1u, 3u, 5u, 7u, 14u, 15u}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Call(channel, code, nullptr), ZEL_FAILED);
    }
    TagRequest request{};  // no address, no value
    EXPECT_EQ(Call(channel, ZEL_OP_VALIDATE_ADDRESS, &request), ZEL_FAILED);
    EXPECT_EQ(Call(channel, ZEL_OP_READ_TAG, &request), ZEL_FAILED);
    request.paramCode = ZEL_PARAM_A;
    EXPECT_EQ(Call(channel, ZEL_OP_WRITE_PARAMETER, &request), ZEL_FAILED);
    EXPECT_EQ(channel->paramA, 0);
}

struct ParameterCase {
    uint32_t code;
    int32_t result;
    uint16_t ChannelBlock::*field;  // nullptr: nothing stored
};

class WriteParameterTest : public testing::TestWithParam<ParameterCase> {};

TEST_P(WriteParameterTest, StoresOnlyTheNamedParameter) {
    const ParameterCase &c = GetParam();
    ChannelBlock *channel = zeltest::NewChannelBlock();
    TagValue value{0xFFFF, 0x1234};
    TagRequest request{};
    request.paramCode = c.code;
    request.value = &value;
    EXPECT_EQ(Call(channel, ZEL_OP_WRITE_PARAMETER, &request), c.result);
    for (uint16_t ChannelBlock::*field : {&ChannelBlock::paramA, &ChannelBlock::paramF, &ChannelBlock::paramR})
        EXPECT_EQ(channel->*field, field == c.field ? 0x1234 : 0);
    EXPECT_EQ(value.reserved, 0xFFFF);
}

INSTANTIATE_TEST_SUITE_P(Codes, WriteParameterTest,
                         testing::Values(ParameterCase{65, 0, &ChannelBlock::paramA},
                                         ParameterCase{70, 0, &ChannelBlock::paramF},
                                         ParameterCase{82, 0, &ChannelBlock::paramR},
                                         ParameterCase{97, 1, nullptr},   // 'a'
                                         ParameterCase{102, 1, nullptr},  // 'f'
                                         ParameterCase{0, 1, nullptr},
                                         ParameterCase{66, 1, nullptr},
                                         ParameterCase{0x141, 1, nullptr},  // 'A' plus 0x100
                                         ParameterCase{0xFFFFFFFF, 1, nullptr}),
                         [](const testing::TestParamInfo<ParameterCase> &info) {
                             return "Code" + std::to_string(info.param.code);
                         });

}  // namespace
