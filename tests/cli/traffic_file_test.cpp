// The capture and report files: what the writers produce the readers take
// back, and malformed lines are named by number.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "traffic_file.h"

namespace {

using namespace zeltools;

TEST(TrafficFile, CaptureAndReportLinesReadBack) {
    const std::string a("\r\nhhhhhhhhhhS1030003000000000000000000\r\n");
    const std::string b("raw \x01\xFF \"x\"", 11);
    const std::string text = "# a capture\n" + CaptureLine(0, "", a) + "\n\n" +
                             CaptureLine(1.5, "2025-06-01T10:00:00.123Z", b) + "\r\n" +
                             SentLine(3, 2.25, "gggggggggg", "clear") + "\n" + ExpectLine(3, "0104130", 0) + "\n";
    std::vector<TimedText> messages;
    std::string error;
    ASSERT_TRUE(ParseTimedMessages(text, &messages, &error)) << error;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].bytes, a);
    EXPECT_DOUBLE_EQ(messages[0].seconds, 0);
    EXPECT_EQ(messages[1].bytes, b);
    EXPECT_DOUBLE_EQ(messages[1].seconds, 1.5);
    EXPECT_EQ(messages[1].utc, "2025-06-01T10:00:00.123Z");
    EXPECT_EQ(messages[2].bytes, "gggggggggg");
    EXPECT_DOUBLE_EQ(messages[2].seconds, 2.25);

    // A report's expect lines; its first line alone is a report still being written.
    std::vector<Expectation> expected;
    const std::string title = "# zelpanel report: sent SEQ SECONDS TEXT DESCRIPTION; expect SEQ ADDRESS VALUE\n";
    ASSERT_TRUE(ParseExpectations(title, &expected, &error)) << error;
    EXPECT_TRUE(expected.empty());
    ASSERT_TRUE(ParseExpectations(title + text.substr(text.find("sent")), &expected, &error)) << error;
    ASSERT_EQ(expected.size(), 1u);
    EXPECT_EQ(expected[0].sequence, 3);
    EXPECT_EQ(expected[0].address, "0104130");
    EXPECT_EQ(expected[0].value, 0);
}

struct BadFile {
    const char *text;
    const char *error;  // as ParseTimedMessages (m) or ParseExpectations (e) reports it
    char reader;
};

class TrafficFileRefuses : public testing::TestWithParam<BadFile> {};

TEST_P(TrafficFileRefuses, NamingTheLine) {
    std::string error;
    if (GetParam().reader == 'm') {
        std::vector<TimedText> messages;
        EXPECT_FALSE(ParseTimedMessages(GetParam().text, &messages, &error));
    } else {
        std::vector<Expectation> expected;
        EXPECT_FALSE(ParseExpectations(GetParam().text, &expected, &error));
    }
    EXPECT_EQ(error.substr(0, std::string(GetParam().error).size()), GetParam().error) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrafficFileRefuses,
    testing::Values(BadFile{"rx 0 \"a\"\nbogus 1 \"b\"\n", "line 2: expected rx, sent or expect", 'm'},
                    BadFile{"rx -1 \"a\"\n", "line 1: expected seconds", 'm'},
                    BadFile{"rx 1x \"a\"\n", "line 1: expected seconds", 'm'},
                    BadFile{"rx 1 abc\n", "line 1: expected a UTC time or a quoted text", 'm'},
                    BadFile{"rx 1 2025-06-01T10:00:00.123Z abc\n", "line 1: expected a quoted text", 'm'},
                    BadFile{"rx 1 \"\"\n", "line 1: empty message", 'm'},
                    BadFile{"rx 1 \"a\" extra\n", "line 1: unexpected text", 'm'},
                    BadFile{"rx 2 \"a\"\nrx 1 \"b\"\n", "line 2: time goes backwards", 'm'},
                    BadFile{"sent x 1 \"a\" d\n", "line 1: sent needs a message number", 'm'},
                    BadFile{"\n\nexpect 1 010413 1\n", "line 3: expected: expect SEQ ADDRESS VALUE", 'e'},
                    BadFile{"rx 1 10:00 \"a\"\n", "line 1: expected a UTC time or a quoted text", 'm'},
                    BadFile{"sent 1 0 \"a\" x\nexpect 1 0104130 4\n", "line 2: value 4 for 0104130 is impossible", 'e'},
                    BadFile{" \r\n\n", "is empty", 'e'},
                    BadFile{"# notes\n", "is not a zelpanel report", 'e'},
                    BadFile{"# zelhost capture: rx\n", "is a zelhost capture", 'e'},
                    BadFile{"rx 0.000 \"gggggggggg\"\n", "is a zelhost capture", 'e'},
                    BadFile{"expect 0 0104130 1\n", "line 1: expected: expect SEQ ADDRESS VALUE", 'e'},
                    BadFile{"expect 1 0104130 1 2\n", "line 1: expected: expect SEQ ADDRESS VALUE", 'e'},
                    BadFile{"nonsense\n", "line 1: expected rx, sent or expect", 'e'}));

TEST(TrafficFile, WallClockTimeIsUtcWithMilliseconds) {
    using std::chrono::milliseconds;
    const std::pair<long long, const char *> cases[] = {{0, "1970-01-01T00:00:00.000Z"},
                                                        {951868799999, "2000-02-29T23:59:59.999Z"},
                                                        {1748772000123, "2025-06-01T10:00:00.123Z"}};
    for (const auto &[ms, text] : cases) EXPECT_EQ(UtcTimeText(std::chrono::system_clock::time_point(milliseconds(ms))), text);
}

// Files as Windows editors write them, and a directory where a file belongs.
TEST(TrafficFile, ByteOrderMarkSkippedAndDirectoryNamed) {
    const std::string path = testing::TempDir() + "zel_bom_script.txt";
    std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBFrx 0 \"a\"\n";
    std::string text, error;
    std::vector<TimedText> messages;
    ASSERT_TRUE(ReadTextFile(path, &text, &error)) << error;
    EXPECT_TRUE(ParseTimedMessages(text, &messages, &error)) << error;
    std::remove(path.c_str());
    EXPECT_FALSE(ReadTextFile(testing::TempDir(), &text, &error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
    std::ofstream file;
    EXPECT_FALSE(OpenWriteFile(testing::TempDir(), file, &error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
}

}  // namespace
