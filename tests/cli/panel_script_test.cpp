// Scripts and random traffic of zelpanel.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "panel_script.h"

namespace {

using namespace zelpanel;

TEST(PanelScript, MessagesWaitsAndCommentsInOrder) {
    const std::string script =
        "# a comment\n"
        "\n"
        "ckt bus=1 slot=4 point=130\r\n"
        "   wait 2.5\n"
        "battery bus=3; bit0 bus=2 slot=1 point=7\n"
        "clear\n"
        "raw \"# not a comment\"\n"
        "pause 0\n"
        "pause";
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScript(script, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_TRUE(steps[5].isPause && steps[6].isPause);
    EXPECT_DOUBLE_EQ(steps[5].pauseSeconds, 0);
    EXPECT_DOUBLE_EQ(steps[6].pauseSeconds, -1);
    EXPECT_FALSE(steps[0].isWait);
    EXPECT_EQ(Describe(steps[0].message), "ckt bus=1 slot=4 point=130");
    EXPECT_TRUE(steps[1].isWait);
    EXPECT_DOUBLE_EQ(steps[1].waitSeconds, 2.5);
    EXPECT_EQ(steps[2].message.events.size(), 2u);
    EXPECT_EQ(steps[3].message.type, MessageType::Clear);
    EXPECT_EQ(steps[4].message.raw, "# not a comment");
}

struct BadScript {
    const char *text;
    const char *error;
};

class PanelScriptRefuses : public testing::TestWithParam<BadScript> {};

TEST_P(PanelScriptRefuses, NamingTheLine) {
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_FALSE(ParseScript(GetParam().text, &steps, &error));
    EXPECT_EQ(error.substr(0, std::string(GetParam().error).size()), GetParam().error) << error;
}

INSTANTIATE_TEST_SUITE_P(Cases, PanelScriptRefuses,
                         testing::Values(BadScript{"clear\nwait\n", "line 2: wait needs seconds"},
                                         BadScript{"wait -1", "line 1: wait needs seconds"},
                                         BadScript{"wait 3601", "line 1: wait needs seconds"},
                                         BadScript{"wait 1s", "line 1: wait needs seconds"},
                                         BadScript{"clear\npause -0.5", "line 2: pause needs seconds"},
                                         BadScript{"\n\n# c\nckt bus=1", "line 4: 'ckt bus=1' needs"},
                                         BadScript{"waiting 1", "line 1: unknown event 'waiting'"}));

TEST(RandomTraffic, SameSeedSameTrafficOtherSeedOtherTraffic) {
    auto texts = [](uint32_t seed) {
        std::vector<std::string> out;
        for (const PanelMessage &m : RandomTraffic(seed, 30, 5, true)) out.push_back(Describe(m));
        return out;
    };
    EXPECT_EQ(texts(42), texts(42));
    EXPECT_NE(texts(42), texts(43));
}

TEST(RandomTraffic, MessagesStayWithinTheirLimits) {
    for (int maxEvents : {1, 4, 15}) {
        int clears = 0;
        const std::vector<PanelMessage> messages = RandomTraffic(5, 200, maxEvents, true);
        ASSERT_EQ(messages.size(), 200u);
        EXPECT_NE(messages.front().type, MessageType::Clear) << "the first message sets points";
        for (const PanelMessage &m : messages) {
            if (m.type == MessageType::Clear) {
                ++clears;
                continue;
            }
            ASSERT_GE(m.events.size(), 1u);
            ASSERT_LE(static_cast<int>(m.events.size()), maxEvents);
            std::set<std::tuple<int, int, int>> points;
            for (const PanelEvent &e : m.events) {
                const WireRecord r = RecordOf(e);
                EXPECT_TRUE(r.kind == 0 || r.kind == 2 || r.kind == 3 || r.kind == 8);
                EXPECT_TRUE(points.insert({e.bus, e.slot, e.point}).second) << "one event per point: " << Describe(m);
            }
        }
        EXPECT_GT(clears, 0);
        EXPECT_LT(clears, 60);
    }
    for (const PanelMessage &m : RandomTraffic(5, 200, 3, false)) EXPECT_NE(m.type, MessageType::Clear);
}

}  // namespace
