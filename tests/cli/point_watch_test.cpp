// zelhost's view of the table: changes between looks, the points that are
// not 0, and the comparison with what zelpanel reports it sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "message_changes.h"
#include "event_history.h"
#include "point_watch.h"
#include "walk_sheet.h"
#include "walk_test.h"

namespace {

using namespace zelhost;

struct FakeTable {
    std::map<std::string, int> values;
    ReadPoint Reader() {
        return [this](const std::string &a) {
            const auto it = values.find(a);
            return it == values.end() ? 0 : it->second;
        };
    }
};

TEST(PointWatch, WatchesEveryPointThePanelCanSet) {
    FakeTable table;
    const PointWatch watch = StartWatch(table.Reader());
    EXPECT_EQ(watch.addresses.size(), 8u * 8u * 151u);
    EXPECT_EQ(watch.addresses.front(), "0101000");
    EXPECT_EQ(watch.addresses.back(), "0808150");
    EXPECT_EQ(NonZeroView(watch, 10), "(none)");
}

// Each decoded text in the order the driver traced it: a change undone by
// a later message of the same read is still two changes.
TEST(PointWatch, FollowsEveryChangeOfEveryMessage) {
    const std::string alarm = "\r\nhhhhhhhhh 1" + std::string("030003001234567890ABCDEF");  // CKT 0104130 := 1
    const std::string trouble = "\r\nhhhhhhhhh 1" + std::string("080000001234567890ABCDEF");  // 0101000 bit 1
    struct Step {
        std::string text;
        std::vector<std::pair<std::string, int>> changes;  // address, new value
    };
    const std::vector<Step> steps = {
        {alarm, {{"0104130", 1}}},
        {"gggggggggg", {{"0104130", 0}}},         // the clear undoes it
        {"noise of no message", {}},
        {alarm, {{"0104130", 1}}},
        {trouble, {{"0101000", 2}}},
        {alarm, {}},                               // no change: nothing to report
        {"gggggggggg", {{"0101000", 0}, {"0104130", 0}}},
    };
    FollowedTable table;
    PointWatch watch = StartWatch([](const std::string &) { return 0; });
    for (const Step &step : steps) {
        const std::vector<SeenChange> changes = FollowDecodedText(table, step.text);
        ASSERT_EQ(changes.size(), step.changes.size()) << step.text;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].address, step.changes[i].first);
            EXPECT_EQ(changes[i].after, step.changes[i].second);
            EXPECT_EQ(changes[i].before, watch.values[WatchIndex(changes[i].address)]);
        }
        Record(watch, changes);
    }
    EXPECT_EQ(table.messages, 6);
    EXPECT_EQ(watch.history["0104130"], (std::vector<int>{1, 0, 1, 0}));
    EXPECT_EQ(FollowedValue(table, "0104130"), 0);
    EXPECT_EQ(NonZeroView(watch, 10), "(none)");
}

TEST(PointWatch, NonZeroViewIsCompact) {
    FakeTable table;
    for (int point = 1; point <= 5; ++point) table.values["03010" + std::to_string(10 + point)] = point % 4;
    const PointWatch watch = StartWatch(table.Reader());
    EXPECT_EQ(NonZeroView(watch, 2), "0301011=1 0301012=2 (+2 more)");
    EXPECT_EQ(NonZeroView(watch, 10), "0301011=1 0301012=2 0301013=3 0301015=1");
}

TEST(PointWatch, ListsEveryActivePointByBusAndSlotWithItsName) {
    FakeTable table;
    // More points than the compact view shows, on two slots of two buses.
    for (int point = 1; point <= 30; ++point) table.values["0302" + std::string(point < 10 ? "00" : "0") + std::to_string(point)] = 1;
    table.values["0104130"] = 2;
    const PointWatch watch = StartWatch(table.Reader());
    const std::vector<std::string> lines = ActivePointLines(watch, {{"0104130", "Boiler room", "CKT", ""}});
    ASSERT_EQ(lines.size(), 1u + 2 + 31);
    EXPECT_EQ(lines[0], "active points: 31");
    EXPECT_EQ(lines[1], "  bus 01, slot 04");
    EXPECT_EQ(lines[2], "    0104130  CKT           2  Boiler room");
    EXPECT_EQ(lines[3], "  bus 03, slot 02");
    EXPECT_EQ(lines.back(), "    0302030  Regular       1");
    EXPECT_EQ(ActivePointLines(StartWatch(FakeTable{}.Reader()), {}), std::vector<std::string>{"active points: none"});
}

// Every change of a named point with its own time (a trip after a reset
// too), names lined up by the characters shown, the points that changed
// without a name, and the line's silences.
TEST(PointWatch, WalkSheetShowsEveryChangeWhoNeverReportedAndWhoIsNotOnTheList) {
    const std::vector<NamedPoint> named = {{"0101001", "Halle Süd", "Regular", ""}, {"0104130", "Boiler", "CKT", ""},
                                           {"0301148", "Battery", "Battery", ""}};
    WalkTest walk = StartWalkTest(named);
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765257030123));
    NoteWalkChanges(walk, {{"0104130", 0, 1}, {"0202002", 0, 1}}, at);
    NoteWalkChanges(walk, {{"0101001", 0, 2}, {"0104130", 1, 0}}, at + std::chrono::seconds(5));
    NoteWalkLine(walk, "silent: no message for 30 s", at + std::chrono::seconds(40));
    NoteWalkChanges(walk, {{"0104130", 0, 1}}, at + std::chrono::seconds(60));
    EXPECT_EQ(NeverReported(walk), 1u);
    EXPECT_EQ(WalkSheetLines(walk, zeltools::UtcTimeText),
              (std::vector<std::string>{"walk test: 2 of 3 named points reported",
                                        "  2025-12-09T05:10:30.123Z  0104130  CKT           Boiler     0 -> 1",
                                        "  2025-12-09T05:10:35.123Z  0104130  CKT           Boiler     1 -> 0",
                                        "  2025-12-09T05:11:30.123Z  0104130  CKT           Boiler     0 -> 1",
                                        "  2025-12-09T05:10:35.123Z  0101001  Regular       Halle Süd  0 -> 2",
                                        "never reported: 1",
                                        "  0301148  Battery       Battery",
                                        "reported but not on the list: 1",
                                        "  2025-12-09T05:10:30.123Z  0202002  Regular        0 -> 1",
                                        "line:",
                                        "  2025-12-09T05:11:10.123Z  silent: no message for 30 s"}));
    // The record to hand in: the heading, then the sheet; as CSV one row a change.
    WalkRecord record{"Main \"A\", Zürich", "J. Smith", "ZELWNQX 7.00", {{"pts/3", 4, &walk}}, at, {}, true};
    const std::string text = RecordText(record);
    EXPECT_EQ(text.substr(0, text.find("\n\n")), "Walk test record\n"
                                                 "  site:     Main \"A\", Zürich\n"
                                                 "  engineer: J. Smith\n"
                                                 "  ports:    pts/3 (channel 4)\n"
                                                 "  started:  2025-12-09T05:10:30.123Z\n"
                                                 "  ended:    not yet: the walk test runs\n"
                                                 "  times:    UTC\n"
                                                 "  driver:   ZELWNQX 7.00");
    EXPECT_NE(text.find("\n\nwalk test: 2 of 3 named points reported\n"), std::string::npos);
    const std::string csv = RecordCsv(record);
    EXPECT_NE(csv.find("site,\"Main \"\"A\"\", Zürich\"\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("pts/3,4,reported,0104130,CKT,Boiler,2025-12-09T05:11:30.123Z,0,1\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("pts/3,4,never reported,0301148,Battery,Battery,,,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("pts/3,4,not on the list,0202002,Regular,,2025-12-09T05:10:30.123Z,0,1\r\n"), std::string::npos) << csv;
    EXPECT_TRUE(IsCsvName("walk.CSV"));
    EXPECT_FALSE(IsCsvName("walk.txt"));
}

// A line a failed write left is written later, in its place, and nothing
// else: no empty line for the retry.
TEST(EventHistory, LinesAFailedWriteLeftFollowInOrder) {
    const std::string path = testing::TempDir() + "zel-history-test.jsonl";
    std::remove(path.c_str());
    EventHistory history;
    std::string error;
    ASSERT_TRUE(OpenEventHistory(path, &history, &error)) << error;
    ASSERT_TRUE(AppendEvent(history, "{\"a\":1}"));
    const int file = history.file;
    history.file = 9999;  // no such descriptor: every write fails
    EXPECT_FALSE(AppendEvent(history, "{\"b\":2}"));
    EXPECT_FALSE(history.failure.empty());
    history.file = file;
    EXPECT_TRUE(WriteUnwritten(history));
    EXPECT_TRUE(history.failure.empty());
    EXPECT_TRUE(AppendEvent(history, "{\"c\":3}"));
    CloseEventHistory(history);
    std::string text, readError;
    ASSERT_TRUE(zeltools::ReadTextFile(path, &text, &readError)) << readError;
    EXPECT_EQ(text, "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n");
    std::remove(path.c_str());
}

TEST(PointWatch, SummaryComparesSequencesPerPoint) {
    using zeltools::Expectation;
    const std::vector<Expectation> expected = {
        {2, "0104130", 0}, {1, "0104130", 1},                      // out of order in the file
        {1, "0201127", 2}, {2, "0201127", 2}, {3, "0201127", 0},   // a repeated value is no change
        {1, "0301148", 1},                                          // never seen
        {1, "0000001", 0},                                          // nothing to see
        // Back to back: values replaced within one look go unseen.
        {1, "0402001", 1}, {2, "0402001", 3}, {3, "0402001", 0},   // seen: 3 0
        {1, "0402002", 1}, {2, "0402002", 0},                      // seen: nothing
        {1, "0402003", 1}, {2, "0402003", 3},                      // seen: 1, not the end
        {1, "0402004", 1}, {2, "0402004", 3},                      // seen: 3 1, out of order
    };
    const std::map<std::string, std::vector<int>> seen = {
        {"0104130", {1, 0}}, {"0201127", {2, 0}}, {"0808133", {1}},  // 0808133 unexpected
        {"0402001", {3, 0}}, {"0402003", {1}}, {"0402004", {3, 1}}};
    const std::vector<SummaryRow> rows = CompareWithSent(expected, seen);
    std::map<std::string, SummaryRow> byAddress;
    for (const SummaryRow &r : rows) byAddress[r.address] = r;
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_TRUE(byAddress["0402001"].matches && !byAddress["0402001"].allSeen);
    EXPECT_TRUE(byAddress["0402002"].matches && !byAddress["0402002"].allSeen);
    EXPECT_FALSE(byAddress["0402003"].matches);
    EXPECT_FALSE(byAddress["0402004"].matches);
    EXPECT_TRUE(byAddress["0104130"].allSeen);
    EXPECT_TRUE(byAddress["0201127"].matches);
    EXPECT_EQ(ValuesText(byAddress["0201127"].sent), "2 0");
    EXPECT_FALSE(byAddress["0301148"].matches);
    EXPECT_EQ(ValuesText(byAddress["0301148"].read), "-");
    EXPECT_FALSE(byAddress["0808133"].matches);
    EXPECT_TRUE(byAddress["0000001"].matches);
}

}  // namespace
