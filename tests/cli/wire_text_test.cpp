// Quoted message texts: every byte survives the round trip, and broken
// quotes are refused with a reason.
#include <gtest/gtest.h>

#include "wire_text.h"

namespace {

using zeltools::ParseQuotedText;
using zeltools::QuoteText;

TEST(WireText, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string quoted = QuoteText(all);
    for (char c : quoted) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u >= 0x20 && u < 0x7F) << "quoted text holds byte " << int(u);
    }
    std::string back;
    std::size_t used = 0;
    std::string error;
    ASSERT_TRUE(ParseQuotedText(quoted + " trailing", &back, &used, &error)) << error;
    EXPECT_EQ(back, all);
    EXPECT_EQ(used, quoted.size());
}

TEST(WireText, MessageCharactersGetReadableEscapes) {
    EXPECT_EQ(QuoteText("\r\nhh\t\"\\"), R"("\r\nhh\t\"\\")");
    EXPECT_EQ(QuoteText(std::string("\x00\x7F\xC9", 3)), R"("\x00\x7F\xC9")");
}

TEST(WireText, UserTextIsShownEscapedAndCut) {
    EXPECT_EQ(zeltools::ShownText("COM5"), "COM5");
    EXPECT_EQ(zeltools::ShownText("\x1B[2J\r\n"), "\\x1B[2J\\r\\n");
    EXPECT_EQ(zeltools::ShownText(std::string(10 << 20, 'x'), 4), "xxxx... (10485760 bytes)");
}

struct BadQuote {
    const char *text;
    const char *reason;
};

class WireTextRefuses : public testing::TestWithParam<BadQuote> {};

TEST_P(WireTextRefuses, WithItsReason) {
    std::string bytes, error;
    std::size_t used = 0;
    EXPECT_FALSE(ParseQuotedText(GetParam().text, &bytes, &used, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Cases, WireTextRefuses,
                         testing::Values(BadQuote{"abc", "expected a quoted text"}, BadQuote{"", "expected a quoted text"},
                                         BadQuote{"\"abc", "no closing quote"}, BadQuote{"\"ab\\", "no closing quote"},
                                         BadQuote{"\"\\x4\"", "two hex digits"}, BadQuote{"\"\\xG0\"", "two hex digits"},
                                         BadQuote{"\"\\q\"", "unknown escape"}));

}  // namespace
