// Pacing: a message takes as long as on a real line, arrives whole and in
// order, and a stop request or a failed write ends it.
#include <gtest/gtest.h>

#include <chrono>

#include "pacing.h"

namespace {

using zelpanel::LineSeconds;
using zelpanel::SendPaced;
using Clock = std::chrono::steady_clock;

TEST(Pacing, LineTimeIsTenBitsPerCharacter) {
    EXPECT_DOUBLE_EQ(LineSeconds(960, 9600), 1.0);
    EXPECT_DOUBLE_EQ(LineSeconds(12, 1200), 0.1);
}

TEST(Pacing, BytesArriveInOrderNoFasterThanTheLine) {
    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>('A' + i % 26);
    for (int baud : {9600, 19200}) {
        std::string received;
        std::vector<double> arrival;
        const Clock::time_point start = Clock::now();
        ASSERT_TRUE(SendPaced(
            text, baud,
            [&](const char *bytes, std::size_t count) {
                const double now = std::chrono::duration<double>(Clock::now() - start).count();
                for (std::size_t i = 0; i < count; ++i) arrival.push_back(now);
                received.append(bytes, count);
                return true;
            },
            [] { return false; }));
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(received, text);
        // Character i leaves no earlier than its start on the line.
        for (std::size_t i = 0; i < arrival.size(); ++i)
            ASSERT_GE(arrival[i] + 1e-3, LineSeconds(i, baud)) << "character " << i << " at " << baud;
        EXPECT_GE(took, LineSeconds(text.size() - 1, baud));
        EXPECT_LT(took, LineSeconds(text.size(), baud) + 0.5);
    }
}

TEST(Pacing, StopRequestEndsEarlyAndWriteFailureIsReported) {
    int writes = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(SendPaced(
        std::string(960, 'x'), 9600, [&](const char *, std::size_t) { return ++writes > 0; },
        [&] { return writes >= 3; }));
    EXPECT_EQ(writes, 3);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
    EXPECT_FALSE(SendPaced("abc", 9600, [](const char *, std::size_t) { return false; }, [] { return false; }));
}

}  // namespace
