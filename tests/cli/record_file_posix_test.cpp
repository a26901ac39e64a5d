// The monitor's record files on Linux: a line the disk could not take whole
// is cut off again, a history renamed under the monitor is begun anew at
// its path, and local times carry their zone's offset.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "event_history.h"
#include "traffic_file.h"

namespace {

using namespace zelhost;

std::string Contents(const std::string &path) {
    std::string text, error;
    EXPECT_TRUE(zeltools::ReadTextFile(path, &text, &error)) << error;
    return text;
}

// A full disk, as the file-size limit gives one: the write stops within
// the line; the history holds only whole lines, and the line comes whole
// once there is room.
TEST(RecordFile, ALineThatDoesNotFitIsCutOffAndWrittenWholeLater) {
    const std::string path = testing::TempDir() + "zel-history-full.jsonl";
    std::remove(path.c_str());
    EventHistory history;
    std::string error;
    ASSERT_TRUE(OpenEventHistory(path, &history, &error)) << error;
    ASSERT_TRUE(AppendEvent(history, "{\"a\":1}"));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit tight = before;
    tight.rlim_cur = 16;  // room for 8 of the next line's 20 bytes
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = AppendEvent(history, "{\"bbbbbbbbbbbbbb\":2}");
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_FALSE(written);
    EXPECT_FALSE(history.failure.empty());
    EXPECT_EQ(Contents(path), "{\"a\":1}\n") << "no half line";
    EXPECT_TRUE(AppendEvent(history, "{\"c\":3}"));
    CloseEventHistory(history);
    EXPECT_EQ(Contents(path), "{\"a\":1}\n{\"bbbbbbbbbbbbbb\":2}\n{\"c\":3}\n");
    std::remove(path.c_str());
}

TEST(RecordFile, AHistoryRenamedUnderTheMonitorIsBegunAnewAtItsPath) {
    const std::string path = testing::TempDir() + "zel-history-rotated.jsonl";
    const std::string rotated = path + ".1";
    std::remove(path.c_str());
    EventHistory history;
    std::string error;
    ASSERT_TRUE(OpenEventHistory(path, &history, &error)) << error;
    ASSERT_TRUE(AppendEvent(history, "{\"a\":1}"));
    EXPECT_FALSE(FollowRotation(history)) << "still at its path";
    ASSERT_EQ(std::rename(path.c_str(), rotated.c_str()), 0);
    EXPECT_TRUE(FollowRotation(history));
    ASSERT_TRUE(AppendEvent(history, "{\"b\":2}"));
    CloseEventHistory(history);
    EXPECT_EQ(Contents(rotated), "{\"a\":1}\n");
    EXPECT_EQ(Contents(path), "{\"b\":2}\n");
    std::remove(path.c_str());
    std::remove(rotated.c_str());
}

TEST(RecordFile, LocalTimesCarryTheirZonesOffset) {
    const char *saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    const auto winter = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765257030123));  // 2025-12-09
    const auto summer = winter - std::chrono::days(180);
    for (const auto &[zone, winterText, summerText, zoneText] :
         {std::tuple{"CET-1CEST,M3.5.0,M10.5.0/3", "2025-12-09T06:10:30.123+01:00", "2025-06-12T07:10:30.123+02:00",
                     "CET (UTC+01:00)"},
          std::tuple{"<-0330>3:30", "2025-12-09T01:40:30.123-03:30", "2025-06-12T01:40:30.123-03:30", "-0330 (UTC-03:30)"},
          std::tuple{"UTC0", "2025-12-09T05:10:30.123+00:00", "2025-06-12T05:10:30.123+00:00", "UTC (UTC+00:00)"}}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(zeltools::LocalTimeText(winter), winterText) << zone;
        EXPECT_EQ(zeltools::LocalTimeText(summer), summerText) << zone;
        EXPECT_EQ(zeltools::LocalZoneText(winter), zoneText) << zone;
    }
    if (saved != nullptr) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
    tzset();
}

}  // namespace
