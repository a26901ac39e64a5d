// The MQTT gateway's logic without a broker: points files, what each change
// publishes, and what goes out when the broker is away and comes back.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "mqtt_topics.h"
#include "zelwnqx.h"

namespace {

using namespace zelhost;

#define ADDRESS_RANGES " (bus and slot 00-08; points 001-127, 130-133, 140-143, and 148 in slot 01)"

struct PointsCase {
    const char *name;
    std::string text;
    std::size_t points;  // when accepted
    const char *error;   // nullptr: accepted
};

class PointsFile : public testing::TestWithParam<PointsCase> {};

TEST_P(PointsFile, IsAcceptedOrRefusedWithItsLine) {
    const PointsCase &c = GetParam();
    std::vector<NamedPoint> points;
    std::string error;
    const bool ok = ParsePointsFile(c.text, &points, &error);
    EXPECT_EQ(ok, c.error == nullptr) << error;
    EXPECT_EQ(error, c.error != nullptr ? c.error : "");
    EXPECT_EQ(points.size(), ok ? c.points : 0u);
}

TEST(PointsFile, QuotedFieldsKeepTheirCommasAndQuotes) {
    std::vector<NamedPoint> points;
    std::string error;
    ASSERT_TRUE(ParsePointsFile("\"0101001\" , \"Lobby, north\",REGULAR\n0101002,\"Say \"\"hi\"\"\"\n", &points, &error)) << error;
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].name, "Lobby, north");
    EXPECT_EQ(points[0].type, "Regular");
    EXPECT_EQ(points[1].name, "Say \"hi\"");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PointsFile,
    testing::Values(
        PointsCase{"Valid", "\xEF\xBB\xBF# site points\n0104130, Lobby CKT ,CKT\n\n0201005,Room 5\r\n0301148,Battery 3,Battery\n", 3,
                   nullptr},
        PointsCase{"NotAnAddress", "01041,Lobby\n", 0, "line 1: '01041' is not a seven-digit address BBSSPPP"},
        PointsCase{"NoTagAddress", "# x\n0808155,Nowhere\n", 0, "line 2: 0808155 is not a tag address of any type" ADDRESS_RANGES},
        // The driver has buses and slots 00-08: a walk test could never finish.
        PointsCase{"BusNine", "0901005,Hall\n", 0, "line 1: 0901005 is not a tag address of any type" ADDRESS_RANGES},
        PointsCase{"SlotNine", "0109005,Hall\n", 0, "line 1: 0109005 is not a tag address of any type" ADDRESS_RANGES},
        // As a spreadsheet saves a sheet: a heading in any words, rows of empty cells.
        PointsCase{"AnyHeadingAndEmptyRows", "\"Punkt\",\"Beschreibung\"\r\n0104130,Lobby\r\n,,\r\n\"\",\"\"\r\n,,\r\n", 1,
                   nullptr},
        PointsCase{"LeadingZeroDropped", "Address,Name\n104130,Lobby\n", 0,
                   "line 2: '104130' has six digits: the spreadsheet dropped the leading zero of 0104130; format the "
                   "address column as text and type the address again"},
        PointsCase{"SlashInName", "0104130,Floor/1\n", 0,
                   "line 1: name 'Floor/1' must be 1-64 characters without '/', '+', '#' or control characters"},
        PointsCase{"WrongType", "0104130,Lobby,Regular\n", 0, "line 1: 0104130 is a CKT point, not Regular"},
        PointsCase{"NameTwice", "0104130,A\n0104131,A\n", 0, "line 2: name 'A' is given twice"},
        PointsCase{"AddressTwice", "0104130,A\n0104130,B\n", 0, "line 2: 0104130 is named twice"},
        PointsCase{"MissingName", "0104130\n", 0, "line 1: expected address,name[,type[,device class]]"},
        PointsCase{"DeviceClass", "0104130,Lobby,,smoke\n0104001,Hall,Regular,heat\n", 2, nullptr},
        PointsCase{"UnknownDeviceClass", "0104130,Lobby,CKT,fire\n", 0,
                   "line 1: 'fire' is not a Home Assistant binary sensor device class (smoke, heat, problem, safety, battery, ...)"},
        // A file saved as Latin-1 by a Windows editor: refused, the line named.
        PointsCase{"Latin1Name", "0104130,Lobby\n0104001,B\xFCro\n", 0, "line 2: the name is not UTF-8: save the file as UTF-8"},
        PointsCase{"Utf8Name", "0104001,B\xC3\xBCro \xE2\x80\x94 Nord\n", 1, nullptr},
        // As Excel saves a sheet: quoted fields, commas and quotes within, any case of type.
        PointsCase{"QuotedWrongType", "\"0101001\",\"Lobby, north\",\"REGULAR\"\r\n\"0101002\",\"Say \"\"hi\"\"\",line shorted\r\n", 0,
                   "line 2: 0101002 is a Regular point, not line shorted"},
        PointsCase{"AnyCaseOfType", "Address,Name,Type\r\n0101141,Riser,line SHORTED\n0101148,Battery,battery\n", 2, nullptr},
        PointsCase{"HeadingOnlyFirst", "0101141,Riser\naddress,name\n", 0, "line 2: 'address' is not a seven-digit address BBSSPPP"},
        PointsCase{"QuoteNotClosed", "\"0101001,Lobby\n", 0, "line 1: a quote is not closed"},
        PointsCase{"TextAfterQuote", "\"0101001\"1,Lobby\n", 0, "line 1: text after a closing quote"}),
    [](const testing::TestParamInfo<PointsCase> &info) { return std::string(info.param.name); });

Gateway SiteGateway() {
    Gateway gateway;
    gateway.hostName = "site";
    gateway.prefix = DefaultPrefix("site");
    gateway.homeAssistant = true;
    GatewayChannel channel;
    channel.number = 3;
    channel.port = "pts/1";
    channel.named.push_back({"0104130", "Lobby \"A\"", "CKT", ""});
    gateway.channels.push_back(channel);
    return gateway;
}

TEST(GatewayTopics, AChangePublishesThePointItsNameAndOneEvent) {
    Gateway gateway = SiteGateway();
    gateway.run = "5f0c9a1e33b2d470";
    // 2026-12-08 20:41:12.345 UTC.
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796762472345LL));
    const std::vector<Publication> named = PointChange(gateway, 0, "0104130", 0, 1, when);
    ASSERT_EQ(named.size(), 4u);
    EXPECT_EQ(named[0].topic, "zelwnqx/site/3/point/0104130");
    EXPECT_EQ(named[0].payload, "1");
    EXPECT_TRUE(named[0].retain);
    EXPECT_EQ(named[1].topic, "zelwnqx/site/3/named/Lobby \"A\"");
    // Before the panel's reset its state is known all the same: it changed.
    EXPECT_EQ(named[2].topic, "zelwnqx/site/3/known/0104130");
    EXPECT_EQ(named[2].payload, "1");
    EXPECT_EQ(named[3].topic, "zelwnqx/site/3/events");
    EXPECT_FALSE(named[3].retain);
    EXPECT_EQ(named[3].qos, 1);
    EXPECT_EQ(named[3].payload,
              "{\"time\":\"2026-12-08T20:41:12.345Z\",\"channel\":3,\"port\":\"pts/1\",\"address\":\"0104130\","
              "\"type\":\"CKT\",\"name\":\"Lobby \\\"A\\\"\",\"old\":0,\"new\":1,\"run\":\"5f0c9a1e33b2d470\",\"seq\":1,"
              "\"known\":false}");
    const std::vector<Publication> other = PointChange(gateway, 0, "0808153", 2, 3, when);
    ASSERT_EQ(other.size(), 2u) << "no name";
    EXPECT_NE(other[1].payload.find("\"type\":null"), std::string::npos);
    EXPECT_NE(other[1].payload.find("\"seq\":2,\"known\":false}"), std::string::npos) << "numbered on";
    // The panel's clear: the states are known; the point heard already needs nothing.
    EXPECT_TRUE(KnownChange(gateway, 0, true).empty());
    EXPECT_TRUE(KnownChange(gateway, 0, true).empty());
    EXPECT_NE(PointChange(gateway, 0, "0104130", 1, 0, when).back().payload.find("\"seq\":3,\"known\":true}"),
              std::string::npos);
    Gateway restarted = SiteGateway();
    const std::vector<Publication> clear = KnownChange(restarted, 0, true);
    ASSERT_EQ(clear.size(), 1u);
    EXPECT_EQ(clear[0].topic, "zelwnqx/site/3/known/0104130");
    EXPECT_EQ(clear[0].payload, "1");
    EXPECT_EQ(KnownChange(restarted, 0, false)[0].payload, "0") << "the line lost";

    const std::vector<Publication> start = StartPublications(gateway);
    ASSERT_EQ(start.size(), 6u);
    EXPECT_EQ(start[0].topic, "zelwnqx/site/status");
    EXPECT_EQ(start[0].payload, "online");
    EXPECT_EQ(start[1].topic, "zelwnqx/site/3/line");
    // A named point is 0 at start, as OpenChannel leaves it, and not known to be so.
    EXPECT_EQ(start[2].topic, "zelwnqx/site/3/named/Lobby \"A\"");
    EXPECT_EQ(start[2].payload, "0");
    EXPECT_EQ(start[3].topic, "zelwnqx/site/3/known/0104130");
    EXPECT_EQ(start[3].payload, "0");
    EXPECT_NE(start[4].payload.find("\"device_class\":\"connectivity\""), std::string::npos);
    EXPECT_NE(start[4].payload.find("\"state_topic\":\"zelwnqx/site/3/line\""), std::string::npos);
    EXPECT_NE(start[4].payload.find("\"value_template\":\"{{ 'ON' if value == 'up' else 'OFF' }}\""), std::string::npos);
    EXPECT_EQ(start[5].topic, "homeassistant/binary_sensor/zelwnqx_site_3_0104130/config");
    EXPECT_NE(start[5].payload.find("\"state_topic\":\"zelwnqx/site/3/point/0104130\""), std::string::npos);
    EXPECT_NE(start[5].payload.find("\"availability_mode\":\"all\",\"availability\":[{\"topic\":\"zelwnqx/site/status\""),
              std::string::npos);
    EXPECT_NE(start[5].payload.find("{\"topic\":\"zelwnqx/site/3/line\",\"value_template\":\"{{ 'online' if value == 'up' "
                                    "else 'offline' }}\",\"payload_available\":\"online\""),
              std::string::npos);
    EXPECT_NE(start[5].payload.find("{\"topic\":\"zelwnqx/site/3/known/0104130\",\"payload_available\":\"1\","
                                    "\"payload_not_available\":\"0\"}"),
              std::string::npos);
    // What an earlier run left under the prefix and this one does not publish.
    Gateway started = SiteGateway();
    started.retained = {{"zelwnqx/site/3/named/Lobby \"A\"", "0"}, {"zelwnqx/site/status", "online"}};
    const std::string ours = "{\"availability\":[{\"topic\":\"zelwnqx/site/status\",\"payload_available\":\"online\"}]}";
    const std::string theirs = "{\"availability\":[{\"topic\":\"zelwnqx/site2/status\",\"payload_available\":\"online\"}]}";
    const std::vector<Publication> clears = StaleClears(
        started, {{"zelwnqx/site/3/point/0104130", "1"}, {"zelwnqx/site/status", "offline"}, {"zelwnqx/site/3/named/Gone", "1"},
                  {"homeassistant/binary_sensor/zelwnqx_site_3_0104001/config", ours},
                  {"homeassistant/binary_sensor/zelwnqx_site2_3_0104001/config", theirs},
                  {"zelwnqx/site2/3/point/0104130", "1"}, {"zelwnqx/site/east/status", "online"},
                  {"zelwnqx/site/east/3/point/0104130", "1"}});
    ASSERT_EQ(clears.size(), 3u) << "another gateway's topics and configs are left alone";
    EXPECT_EQ(clears[0].topic, "zelwnqx/site/3/point/0104130");
    EXPECT_TRUE(clears[0].payload.empty() && clears[0].retain);
    EXPECT_EQ(clears[1].topic, "zelwnqx/site/3/named/Gone");
    EXPECT_EQ(clears[2].topic, "homeassistant/binary_sensor/zelwnqx_site_3_0104001/config") << "no longer named";
}

TEST(GatewayTopics, OnlyTopicsOfItsOwnShapeAreItsOwn) {
    const std::pair<const char *, bool> cases[] = {  // under the prefix "site"
        {"site/status", true},       {"site/3/line", true},       {"site/12/point/0104130", true}, {"site/3/named/Lobby", true},
        {"site/3/diag/SILENCE", true}, {"site/east/status", false}, {"site/east/3/line", false},   {"site2/status", false},
        {"site/3/events", false},    {"site/x3/line", false},     {"site/3/point/01041", false},   {"site/3/named/a/b", false},
        {"site/3/diag/", false},     {"site/3/line/x", false}};
    for (const auto &[topic, own] : cases) EXPECT_EQ(IsOwnTopic("site", topic), own) << topic;
}

// With a limit of 5 s, after a log line or a look at LINK and SILENCE: only a change is published.
TEST(GatewayTopics, TheLineFollowsLinkAndSilence) {
    Gateway gateway = SiteGateway();
    gateway.retained["zelwnqx/site/3/line"] = "up";
    EXPECT_TRUE(LineChange(gateway, 0, ZEL_LINK_UP, 65535).empty()) << "no limit: never silent";
    gateway.channels[0].silenceLimit = 5;
    const std::tuple<const char *, int, int, const char *> cases[] = {  // held, LINK, SILENCE, published
        {"up", ZEL_LINK_UP, 4, ""},          {"up", ZEL_LINK_UP, 5, "silent"},      {"silent", ZEL_LINK_UP, 9, ""},
        {"silent", ZEL_LINK_UP, 0, "up"},    {"silent", ZEL_LINK_LOST, 9, "lost"},  {"lost", ZEL_LINK_UP, 30, "silent"},
        {"up", ZEL_LINK_NO_PORT, 0, "no port"}};
    for (const auto &[held, link, silence, published] : cases) {
        gateway.retained["zelwnqx/site/3/line"] = held;
        std::string got;
        for (const Publication &p : LineChange(gateway, 0, link, silence)) got += p.topic + " " + p.payload;
        EXPECT_EQ(got, *published ? "zelwnqx/site/3/line " + std::string(published) : "") << held << link << silence;
    }
}

TEST(GatewayTopics, DiagnosticsOnChangeSilenceAtMostEveryTenSeconds) {
    const Gateway gateway = SiteGateway();
    ShownTags shown;
    std::string published;
    for (const auto &[second, link, silence] : {std::tuple{0, 0, 0}, {1, 0, 1}, {9, 1, 9}, {10, 1, 10}, {19, 0, 0}, {20, 0, 1}, {35, 0, 1}}) {
        published += std::to_string(second) + ":";
        for (const Publication &p : DiagnosticChanges(gateway, 0, {{"LINK", link}, {"SILENCE", silence}},
                                                      std::chrono::steady_clock::time_point{} + std::chrono::seconds(second), shown))
            published += p.topic.substr(p.topic.rfind('/') + 1) + "=" + p.payload + " ";
    }
    EXPECT_EQ(published, "0:LINK=0 SILENCE=0 1:9:LINK=1 10:SILENCE=10 19:LINK=0 20:SILENCE=1 35:");
}

TEST(GatewayTopics, PrefixesThatCannotServeAreRefused) {
    const std::pair<const char *, const char *> cases[] = {
        {"zelwnqx/site", ""}, {"bldgA", ""}, {"", "--prefix may not be empty"},
        {"$SYS/x", "--prefix may not begin with '$' (the broker's own topics)"},
        {"site/", "--prefix may not end with '/'"}, {"a/+/b", "--prefix may not hold '+' or '#'"},
        {"b\xFCro", "--prefix is not UTF-8"}, {"\xED\xA0\x80", "--prefix is not UTF-8"},  // a surrogate
        {"\xC0\xAF", "--prefix is not UTF-8"}};                                            // overlong '/'
    for (const auto &[prefix, problem] : cases) EXPECT_EQ(PrefixProblem(prefix), problem) << prefix;
}

// Two gateways with their own prefixes never share a discovery id.
TEST(GatewayTopics, DiscoveryIdsFollowThePrefix) {
    Gateway a = SiteGateway(), b = SiteGateway();
    a.prefix = "bldgA";
    b.prefix = "bldgB";
    b.discoveryPrefix = "ha";
    b.channels[0].named = {{"0104130", "Garage", "CKT", "smoke"}};
    const std::vector<Publication> startA = StartPublications(a), startB = StartPublications(b);
    EXPECT_EQ(startA.back().topic, "homeassistant/binary_sensor/bldgA_3_0104130/config");
    EXPECT_EQ(startB.back().topic, "ha/binary_sensor/bldgB_3_0104130/config");
    EXPECT_EQ(startA.back().payload.find("device_class"), std::string::npos) << "none unless the file gives one";
    EXPECT_NE(startB.back().payload.find("\"device_class\":\"smoke\""), std::string::npos);
    EXPECT_NE(startB.back().payload.find("\"identifiers\":[\"bldgB\"]"), std::string::npos);
}

// A broker that records what it takes, is there or not, and refuses topics
// with a byte that is not UTF-8, as the client library does.
struct Broker {
    bool up = true;
    std::vector<Publication> taken;
    static Sent Publish(void *context, const Publication &p) {
        auto &broker = *static_cast<Broker *>(context);
        if (!broker.up) return Sent::kAway;
        if (!IsUtf8(p.topic)) return Sent::kRefused;
        broker.taken.push_back(p);
        return Sent::kTaken;
    }
    static bool Connected(void *context) { return static_cast<Broker *>(context)->up; }
};

TEST(GatewayDelivery, EventsWaitInOrderWhileTheBrokerIsAwayAndTheStateIsSentAgain) {
    Gateway gateway = SiteGateway();
    gateway.queueLimit = 3;
    Broker broker;
    const Publisher publisher{Broker::Publish, Broker::Connected, &broker};
    const auto now = std::chrono::system_clock::now();
    Deliver(gateway, publisher, PointChange(gateway, 0, "0201005", 0, 1, now));
    EXPECT_EQ(broker.taken.size(), 2u);

    broker.up = false;
    for (int value : {2, 3, 1, 0}) Deliver(gateway, publisher, PointChange(gateway, 0, "0201005", 1, value, now));
    EXPECT_EQ(gateway.queued.size(), 3u);
    EXPECT_EQ(gateway.dropped, 1u) << "the oldest beyond the limit";
    // One the client will never take: skipped, not in the way of the rest.
    gateway.queued.insert(gateway.queued.begin() + 1, Publication{"zelwnqx/site/3/b\xFCro", "x", 1, false});

    broker.up = true;
    broker.taken.clear();
    std::size_t dropped = 0;
    ASSERT_TRUE(Resend(gateway, publisher, &dropped));
    EXPECT_EQ(dropped, 1u);
    ASSERT_EQ(broker.taken.size(), 4u) << "the one retained point, then three events";
    EXPECT_EQ(broker.taken[0].topic, "zelwnqx/site/3/point/0201005");
    EXPECT_EQ(broker.taken[0].payload, "0") << "the latest state";
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(broker.taken[i].topic, "zelwnqx/site/3/events");
    EXPECT_NE(broker.taken[1].payload.find("\"new\":3"), std::string::npos);
    EXPECT_NE(broker.taken[3].payload.find("\"new\":0"), std::string::npos);
    EXPECT_TRUE(gateway.queued.empty());    EXPECT_EQ(gateway.published, 6u) << "taken: 2 at first and 4 on the resend; not the refused one, not while away";
    // The event every other output receives is the one MQTT publishes, numbered on.
    const PointEvent next = NumberPointEvent(gateway, 0, "0201005", 0, 2, now);
    EXPECT_EQ(next.seq, 6u);
    EXPECT_EQ(PointChange(gateway, 0, next).back().payload, PointEventJson(next));
    EXPECT_EQ(gateway.channels[0].seq, 6u) << "numbered once, not again by PointChange";
}

}  // namespace
