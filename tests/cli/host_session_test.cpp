// zelhost as the host of the real driver library: loaded by path, asked for
// its information, validating addresses; result texts and address types.
#include <gtest/gtest.h>

#include <cstring>

#include "cp437.h"
#include "driver_library.h"
#include "driver_log.h"
#include "host_session.h"

namespace {

using namespace zelhost;

// The driver beside the test program, as beside zelhost.
class RealDriver : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (session.channel != nullptr) return;  // one session for both suites
        std::string error;
        ASSERT_TRUE(LoadDriverLibrary(DefaultDriverPath(), &library, &error)) << error;
        ASSERT_TRUE(StartSession(library.zelMain, &session, &error)) << error;
    }
    static DriverLibrary library;
    static HostSession session;
};

DriverLibrary RealDriver::library;
HostSession RealDriver::session;

TEST_F(RealDriver, SessionHasTheReportedBlockZeroFilled) {
    EXPECT_EQ(session.info.channelBlockSize, static_cast<uint32_t>(ZEL_CHANNEL_BLOCK_SIZE));
    const auto *bytes = reinterpret_cast<const unsigned char *>(session.channel);
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < session.info.channelBlockSize; ++i) nonZero += bytes[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    EXPECT_STREQ(session.info.shortName, "Quon");
}

TEST_F(RealDriver, BannerConvertsCharacterForCharacter) {
    ASSERT_NE(session.info.banner, nullptr);
    const std::string banner = session.info.banner;
    const std::string utf8 = Cp437ToUtf8(banner);
    std::size_t codePoints = 0;
    for (unsigned char c : utf8) codePoints += (c & 0xC0) != 0x80;
    EXPECT_EQ(codePoints, banner.size());
    EXPECT_NE(utf8.find("\u2554\u2550"), std::string::npos) << "double top-left corner and line";
    EXPECT_NE(utf8.find("Z E L Q X"), std::string::npos);
}

struct Validation {
    const char *address;
    int typeCode;
    int32_t result;
};

class RealDriverValidates : public RealDriver, public testing::WithParamInterface<Validation> {};

TEST_P(RealDriverValidates, AsTheTypeAllows) {
    EXPECT_EQ(ValidateAddress(session, GetParam().address, GetParam().typeCode), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Addresses, RealDriverValidates,
                         testing::Values(Validation{"0104130", 6, ZEL_OK}, Validation{"0104130", 0, ZEL_FAILED},
                                         Validation{"0104001", 0, ZEL_OK}, Validation{"0301148", 6, ZEL_OK},
                                         Validation{"0302148", 6, ZEL_FAILED}, Validation{"0904001", 0, ZEL_FAILED},
                                         Validation{"0104130", 5, ZEL_FAILED}));

TEST_F(RealDriver, ReadTagOnAFreshBlockReadsZeroAndOneForNoEntry) {
    EXPECT_EQ(ReadTag(session, "0104130"), 0);
    EXPECT_EQ(ReadTag(session, "0104151"), 1);
}

TEST(DriverLibrary, RefusesWhatIsNotTheDriver) {
    DriverLibrary library;
    std::string error;
    EXPECT_FALSE(LoadDriverLibrary(DefaultDriverPath() + ".missing", &library, &error));
    EXPECT_NE(error.find("cannot load the driver"), std::string::npos) << error;
}

struct Meaning {
    uint32_t operation;
    int32_t result;
    const char *text;
};

class ResultTexts : public testing::TestWithParam<Meaning> {};

TEST_P(ResultTexts, SayWhatTheResultMeans) {
    EXPECT_EQ(ResultText(GetParam().operation, GetParam().result), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Results, ResultTexts,
    testing::Values(Meaning{ZEL_OP_OPEN_CHANNEL, 0, "0 (success)"},
                    Meaning{ZEL_OP_OPEN_CHANNEL, 1, "1 (the host refused the channel's client)"},
                    Meaning{ZEL_OP_OPEN_CHANNEL, 2, "2 (port not opened, or reception thread not started)"},
                    Meaning{ZEL_OP_VALIDATE_ADDRESS, 1, "1 (address rejected)"},
                    Meaning{ZEL_OP_CLOSE_CHANNEL, 2, "2 (port not closed)"},
                    Meaning{ZEL_OP_WRITE_PARAMETER, 1, "1 (parameter code other than A, F and R)"},
                    Meaning{ZEL_OP_EDIT_TAG_ADDRESS, 53, "53 (no address confirmed)"},
                    Meaning{ZEL_OP_READ_TAG, 7, "7 (unknown result)"}));

struct TypeOf {
    const char *address;
    const char *type;
};

class AddressTypes : public testing::TestWithParam<TypeOf> {};

TEST_P(AddressTypes, FollowPointAndSlot) { EXPECT_STREQ(AddressTypeOf(GetParam().address), GetParam().type); }

INSTANTIATE_TEST_SUITE_P(
    Points, AddressTypes,
    testing::Values(TypeOf{"0101001", "Regular"}, TypeOf{"0808127", "Regular"}, TypeOf{"0101000", "-"},
                    TypeOf{"0101128", "-"}, TypeOf{"0104130", "CKT"}, TypeOf{"0104133", "CKT"}, TypeOf{"0104134", "-"},
                    TypeOf{"0102140", "Line Shorted"}, TypeOf{"0102143", "Line Shorted"}, TypeOf{"0102144", "-"},
                    TypeOf{"0301148", "Battery"}, TypeOf{"0302148", "-"}, TypeOf{"010413", "-"}));

struct LogCase {
    int level;
    const char *line;
    LogKind kind;
    const char *text;
};

class DriverLogLines : public testing::TestWithParam<LogCase> {};

TEST_P(DriverLogLines, SayWhatHappened) {
    const LogLine log = ReadLogLine(GetParam().level, GetParam().line);
    EXPECT_EQ(log.kind, GetParam().kind);
    EXPECT_EQ(log.text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DriverLogLines,
    testing::Values(LogCase{8, "orginal \r\nhhhhhhhhhhS1030003000000000000000000\r\n ", LogKind::kMessage,
                            "\r\nhhhhhhhhhhS1030003000000000000000000\r\n"},
                    LogCase{8, "orginal gggggggggg\r\n ", LogKind::kMessage, "gggggggggg\r\n"},
                    LogCase{8, "orginal \r\nhh ", LogKind::kNoise, "\r\nhh"},
                    LogCase{8, "orginal  ", LogKind::kNoise, ""},
                    LogCase{8, "String from Comport \r\nhhhhhhhhhhS1", LogKind::kRead, "\r\nhhhhhhhhhhS1"},
                    LogCase{32, "orginal gggggggggg ", LogKind::kOther, ""},
                    LogCase{32, "ZELQuon : Port ttyZEL0 lost, reopening it every second", LogKind::kPortLost, "ttyZEL0"},
                    LogCase{32, "ZELQuon : Port pts/3 back, reception resumed", LogKind::kPortBack, "pts/3"},
                    LogCase{32, "ZELQuon : Port  back, reception resumed", LogKind::kOther, ""},
                    LogCase{32, "ZELQuon : Fail to open pts/3", LogKind::kOther, ""},
                    LogCase{32, "ZelQX : Start Unsoliceted Thread", LogKind::kReceptionStart, ""}));

TEST(AddressText, IsSevenDigits) {
    EXPECT_TRUE(IsAddressText("0104130"));
    for (const char *bad : {"010413", "01041300", "01x4130", "", " 104130"}) EXPECT_FALSE(IsAddressText(bad)) << bad;
}

}  // namespace
