// The gateway's HTTP answers without sockets: which request gets what, the
// view the publishing loop's calls build, and the JSON, event and metrics
// texts made of it.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "http_request.h"
#include "http_view.h"

namespace {

using namespace zelhost;
using R = HttpResource;

struct RequestCase {
    const char *name;
    const char *method;
    const char *path;
    const char *after;  // the query's argument, or null
    int status;
    R resource;
    unsigned long long resumeAfter;
};

class HttpRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(HttpRequest, IsAnsweredAsTheRoutesSay) {
    const RequestCase &c = GetParam();
    const HttpDecision d = DecideHttpRequest(c.method, c.path, c.after);
    EXPECT_EQ(d.status, c.status);
    EXPECT_EQ(d.resource, c.resource);
    EXPECT_EQ(d.after, c.resumeAfter);
    EXPECT_FALSE(d.contentType.empty());
    // An error says why in one line; a resource's body is made by the server.
    EXPECT_EQ(d.body.empty(), c.status == 200);
    if (c.status != 200) {
        EXPECT_EQ(d.body.find('\n'), d.body.size() - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequest,
    testing::Values(
        RequestCase{"Page", "GET", "/", nullptr, 200, R::kPage, 0},
        RequestCase{"PageHead", "HEAD", "/", nullptr, 200, R::kPage, 0},
        RequestCase{"Script", "GET", "/app.js", nullptr, 200, R::kScript, 0},
        RequestCase{"Style", "GET", "/app.css", nullptr, 200, R::kStyle, 0},
        RequestCase{"Icon", "GET", "/icon.svg", nullptr, 200, R::kIcon, 0},
        RequestCase{"State", "GET", "/api/state", nullptr, 200, R::kState, 0},
        RequestCase{"Events", "GET", "/api/events", nullptr, 200, R::kEvents, 0},
        RequestCase{"EventsAfter", "GET", "/api/events", "17", 200, R::kEvents, 17},
        RequestCase{"EventsAfterTheLargest", "GET", "/api/events", "18446744073709551615", 200, R::kEvents, ~0ULL},
        RequestCase{"EventsAfterBeyond64Bits", "GET", "/api/events", "18446744073709551616", 400, R::kNone, 0},
        RequestCase{"EventsAfterNegative", "GET", "/api/events", "-1", 400, R::kNone, 0},
        RequestCase{"EventsAfterEmpty", "GET", "/api/events", "", 400, R::kNone, 0},
        RequestCase{"EventsAfterWords", "GET", "/api/events", "12abc", 400, R::kNone, 0},
        RequestCase{"Stream", "GET", "/events", nullptr, 200, R::kStream, 0},
        RequestCase{"Metrics", "GET", "/metrics", nullptr, 200, R::kMetrics, 0},
        RequestCase{"Post", "POST", "/api/state", nullptr, 405, R::kNone, 0},
        RequestCase{"Put", "PUT", "/", nullptr, 405, R::kNone, 0},
        RequestCase{"Delete", "DELETE", "/events", nullptr, 405, R::kNone, 0},
        RequestCase{"Options", "OPTIONS", "/", nullptr, 405, R::kNone, 0},
        // Methods are case-sensitive: "get" is not GET.
        RequestCase{"LowerCaseGet", "get", "/", nullptr, 405, R::kNone, 0},
        RequestCase{"PostToNowhere", "POST", "/nowhere", nullptr, 405, R::kNone, 0},
        RequestCase{"Unknown", "GET", "/admin", nullptr, 404, R::kNone, 0},
        RequestCase{"TrailingSlash", "GET", "/api/state/", nullptr, 404, R::kNone, 0},
        RequestCase{"DotDot", "GET", "/../etc/passwd", nullptr, 404, R::kNone, 0}),
    [](const testing::TestParamInfo<RequestCase> &info) { return std::string(info.param.name); });

TEST(HttpRequest, EveryAnswerForbidsFramingForeignScriptsAndSniffing) {
    std::map<std::string, std::string> headers(HttpSecurityHeaders().begin(), HttpSecurityHeaders().end());
    EXPECT_NE(headers["Content-Security-Policy"].find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_NE(headers["Content-Security-Policy"].find("script-src 'self'"), std::string::npos);
    EXPECT_NE(headers["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(headers["Content-Security-Policy"].find("unsafe-inline"), std::string::npos);
    EXPECT_EQ(headers["X-Frame-Options"], "DENY");
    EXPECT_EQ(headers["X-Content-Type-Options"], "nosniff");
}

TEST(HttpRequest, ThePageHoldsNoInlineScriptAndWritesNamesAsText) {
    // The policy allows the page's own files only: an inline script would not run.
    const std::string page = kHttpPageHtml, script = kHttpPageScript;
    EXPECT_NE(page.find("<script src=\"/app.js\"></script>"), std::string::npos);
    EXPECT_EQ(std::regex_search(page, std::regex("<script>|<script [^s]|\\son[a-z]+=|\\sstyle=")), false);
    EXPECT_EQ(std::regex_search(page + script, std::regex("https?://(?!www\\.w3\\.org)")), false) << "an outside resource";
    for (const char *markup : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("})
        EXPECT_EQ(script.find(markup), std::string::npos) << markup;
}

struct CredentialsCase {
    const char *user;
    const char *password;
    bool match;
};

TEST(HttpRequest, CredentialsMatchOnlyWhole) {
    const CredentialsCase cases[] = {
        {"site", "right pass", true},   {"site", "right pas", false}, {"site", "right passs", false},
        {"sitE", "right pass", false},  {"site", "", false},          {"", "right pass", false},
        {nullptr, "right pass", false}, {"site", nullptr, false},     {"site\0x", "right pass", true},
    };
    for (const CredentialsCase &c : cases)
        EXPECT_EQ(CredentialsMatch(c.user, c.password, "site", "right pass"), c.match)
            << (c.user ? c.user : "(none)") << " / " << (c.password ? c.password : "(none)");
}

// A gateway of two channels, the second with a points file naming a point
// as a script would be written.
OutputStart TwoChannels() {
    return {"5f0c9a1e33b2d470", "panelhost",
            {{1, "pts/3", {}, 0},
             {7, "ttyZEL1", {{"0104130", "<img src=x onerror=alert(1)>", "CKT", ""}, {"0301148", "Battery 3", "Battery", ""},
                             {"0101001", "Lobby", "Regular", ""}}, 30}}};
}

const auto kWhen = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796800000123));

OutputPoint Change(std::size_t channel, const char *address, int before, int after, unsigned long long seq) {
    return {channel, address, before, after, seq, false, kWhen,
            std::string("{\"address\":\"") + address + "\",\"new\":" + std::to_string(after) + "}"};
}

TEST(HttpView, StateShowsActivePointsNamesAndTheWalkTest) {
    HttpView view = StartView(TwoChannels());
    NotePoint(view, Change(1, "0104130", 0, 1, 1));
    NotePoint(view, Change(1, "0301148", 0, 1, 2));
    NotePoint(view, Change(1, "0202005", 0, 3, 3));  // not on the list
    NotePoint(view, Change(1, "0301148", 1, 0, 4));  // back to rest: no longer active
    NotePoint(view, Change(0, "0101001", 0, 2, 1));  // channel 1 has no names
    const std::string state = StateJson(view);
    EXPECT_NE(state.find("{\"channel\":1,\"port\":\"pts/3\",\"line\":\"up\",\"silenceLimit\":0,"
                         "\"diag\":{\"LINK\":0,\"SILENCE\":0,\"MESSAGES\":0,\"LOSSES\":0,\"NOISE\":0,\"KNOWN\":0},"
                         "\"points\":[{\"address\":\"0101001\",\"bus\":1,\"slot\":1,\"point\":1,\"type\":\"Regular\","
                         "\"kind\":\"alarm\",\"value\":2}]}"),
              std::string::npos)
        << state;
    // The name is JSON text as written; the page makes a text node of it.
    EXPECT_NE(state.find("\"points\":[{\"address\":\"0104130\",\"bus\":1,\"slot\":4,\"point\":130,\"type\":\"CKT\","
                         "\"kind\":\"alarm\",\"value\":1,\"name\":\"<img src=x onerror=alert(1)>\"},"
                         "{\"address\":\"0202005\",\"bus\":2,\"slot\":2,\"point\":5,\"type\":\"Regular\",\"kind\":\"alarm\","
                         "\"value\":3}]"),
              std::string::npos)
        << state;
    EXPECT_NE(state.find("\"walk\":{\"named\":3,\"reported\":[{\"address\":\"0104130\""), std::string::npos) << state;
    EXPECT_NE(state.find("\"name\":\"Battery 3\",\"changes\":2,\"first\":\"2026-12-09T07:06:40.123Z\","
                         "\"last\":\"2026-12-09T07:06:40.123Z\",\"value\":0}]"),
              std::string::npos)
        << state;
    EXPECT_NE(state.find("\"never\":[{\"address\":\"0101001\",\"bus\":1,\"slot\":1,\"point\":1,\"type\":\"Regular\","
                         "\"name\":\"Lobby\"}]"),
              std::string::npos)
        << state;
    EXPECT_NE(state.find("\"unlisted\":[{\"address\":\"0202005\""), std::string::npos) << state;
    EXPECT_EQ(state.find("\"walk\"", state.find("\"channel\":1,")), state.find("\"walk\"")) << "channel 1 has no walk test";
}

TEST(HttpView, AFireAlarmAndATroubleReadDifferently) {
    const std::pair<const char *, const char *> kinds[] = {
        {"CKT", "alarm"}, {"Regular", "alarm"}, {"Line Shorted", "trouble"}, {"Battery", "trouble"}, {"-", "other"}, {"", "other"}};
    for (const auto &[type, kind] : kinds) EXPECT_STREQ(PointKind(type), kind) << type;
}

struct LineStep {
    LineState state;
    const char *word;  // the event's, or null: no change, no event
};

TEST(HttpView, LineChangesAreEventsInMonitorsWords) {
    HttpView view = StartView(TwoChannels());
    const LineStep steps[] = {{LineState::kUp, nullptr},       {LineState::kLost, "lost"},   {LineState::kLost, nullptr},
                              {LineState::kUp, "back"},        {LineState::kSilent, "silent"}, {LineState::kUp, "up"},
                              {LineState::kNoPort, "no port"}, {LineState::kUp, "back"}};
    unsigned long long id = 0;
    for (const LineStep &step : steps) {
        EXPECT_EQ(NoteLine(view, 0, step.state, kWhen), step.word != nullptr) << LineStateWord(step.state);
        if (step.word == nullptr) continue;
        EXPECT_EQ(view.lastId, ++id);
        EXPECT_EQ(view.events.back().json, "{\"time\":\"2026-12-09T07:06:40.123Z\",\"channel\":1,\"port\":\"pts/3\",\"line\":\"" +
                                               std::string(step.word) + "\"}");
    }
    EXPECT_FALSE(NoteLine(view, 5, LineState::kLost, kWhen)) << "no such channel";
}

TEST(HttpView, DiagnosticsGiveTheSilentLineByTheChannelsLimit) {
    HttpView view = StartView(TwoChannels());
    NoteDiagnostics(view, {1, 0, 29, 4, 0, 2, 1, kWhen});
    EXPECT_EQ(view.channels[1].line, LineState::kUp);
    const unsigned long long version = view.version;
    NoteDiagnostics(view, {1, 0, 29, 4, 0, 2, 1, kWhen});
    EXPECT_EQ(view.version, version) << "nothing changed: no new state for the streams";
    NoteDiagnostics(view, {1, 0, 30, 4, 0, 2, 1, kWhen});
    EXPECT_EQ(view.channels[1].line, LineState::kSilent);
    NoteDiagnostics(view, {0, 0, 65535, 0, 0, 0, 0, kWhen});
    EXPECT_EQ(view.channels[0].line, LineState::kUp) << "channel 1 has no limit";
    NoteDiagnostics(view, {0, 1, 3, 0, 1, 0, 0, kWhen});
    EXPECT_EQ(view.channels[0].line, LineState::kLost);
    EXPECT_NE(StateJson(view).find("\"diag\":{\"LINK\":1,\"SILENCE\":3,\"MESSAGES\":0,\"LOSSES\":1,\"NOISE\":0,\"KNOWN\":0}"),
              std::string::npos);
}

TEST(HttpView, EventsResumeAfterTheirNumberAndTellWhatWasDropped) {
    HttpView view = StartView(TwoChannels());
    EXPECT_EQ(EventsJson(view, 0), "{\"run\":\"5f0c9a1e33b2d470\",\"last\":0,\"oldest\":1,\"events\":[]}");
    for (unsigned long long i = 1; i <= kHttpRecentEvents + 5; ++i)
        NotePoint(view, Change(0, "0101001", static_cast<int>((i - 1) % 2), static_cast<int>(i % 2), i));
    EXPECT_EQ(view.events.size(), kHttpRecentEvents);
    const std::string last = "{\"id\":1005,\"event\":{\"address\":\"0101001\",\"new\":1}}";
    EXPECT_EQ(EventsJson(view, 1004), "{\"run\":\"5f0c9a1e33b2d470\",\"last\":1005,\"oldest\":6,\"events\":[" + last + "]}");
    EXPECT_EQ(EventsJson(view, 1005), "{\"run\":\"5f0c9a1e33b2d470\",\"last\":1005,\"oldest\":6,\"events\":[]}");
    EXPECT_EQ(EventsJson(view, 99999), EventsJson(view, 1005)) << "a number from the future: nothing, not everything";
    // From below the oldest kept: all that is kept, and `oldest` tells the gap.
    const std::string all = EventsJson(view, 2);
    EXPECT_EQ(all.find("{\"id\":6,"), all.find("\"events\":[") + 10);
    EXPECT_EQ(std::count(all.begin(), all.end(), '{') - 1, 2 * static_cast<long>(kHttpRecentEvents));
    EXPECT_EQ(EventsJson(view, 0, 1), "{\"run\":\"5f0c9a1e33b2d470\",\"last\":1005,\"oldest\":6,\"events\":[" + last + "]}")
        << "a limit keeps the newest";
}

TEST(HttpView, StreamFramesAreOneLineOfDataEach) {
    EXPECT_EQ(SseFrame("event", 17, "{\"id\":17}"), "event: event\nid: 17\ndata: {\"id\":17}\n\n");
    EXPECT_EQ(SseFrame("tick", 0, "{}"), "event: tick\ndata: {}\n\n");
    // A name with a line break stays one data line: JSON escapes it.
    HttpView view = StartView({"r", "h", {{1, "pts/3", {{"0101001", "two\nlines", "Regular", ""}}, 0}}});
    const std::string state = StateJson(view);
    EXPECT_EQ(state.find('\n'), std::string::npos);
}

// The metrics as a strict reader of the text format takes them: every
// sample's family announced by HELP and TYPE before it, counters ending in
// _total, label values quoted and escaped.
std::map<std::string, double> ReadMetrics(const std::string &text) {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::istringstream lines(text);
    std::string line, help;
    const std::regex helpLine("# HELP ([a-z_]+) [^\n]+"), typeLine("# TYPE ([a-z_]+) (counter|gauge)");
    const std::regex sample("([a-z_]+)(\\{([a-z_]+=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\"(,[a-z_]+=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\")*)\\})? ([0-9]+)");
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, helpLine)) {
            EXPECT_EQ(types.count(m[1]), 0u) << "announced twice: " << line;
            help = m[1];
        } else if (std::regex_match(line, m, typeLine)) {
            EXPECT_EQ(m[1], help) << "TYPE without its HELP: " << line;
            types[m[1]] = m[2];
            EXPECT_EQ(m[2] == "counter", std::string(m[1]).ends_with("_total")) << line;
        } else if (std::regex_match(line, m, sample)) {
            EXPECT_EQ(types.count(m[1]), 1u) << "a sample of no family: " << line;
            EXPECT_EQ(samples.count(std::string(m[1]) + std::string(m[2])), 0u) << "twice: " << line;
            samples[std::string(m[1]) + std::string(m[2])] = std::stod(m[7]);
        } else {
            ADD_FAILURE() << "not of the text format: [" << line << "]";
        }
    }
    return samples;
}

TEST(HttpView, MetricsFollowTheChannelsAndTheGatewaysCounters) {
    HttpView view = StartView(TwoChannels());
    view.channels[0].port = "odd\"port\\";
    NotePoint(view, Change(1, "0104130", 0, 1, 1));
    NotePoint(view, Change(1, "0301148", 0, 1, 2));
    NotePoint(view, Change(1, "0101005", 0, 3, 3));
    NoteDiagnostics(view, {1, 0, 31, 65535, 2, 9, 1, kWhen});
    NoteCounters(view, {true, 42, 3, true, 1000});
    const std::map<std::string, double> m = ReadMetrics(MetricsText(view, {5, 77}));
    const std::string ch7 = "{channel=\"7\",port=\"ttyZEL1\"";
    const std::pair<std::string, double> expected[] = {
        {"zelwnqx_channel_line_state" + ch7 + ",state=\"silent\"}", 1},
        {"zelwnqx_channel_line_state" + ch7 + ",state=\"up\"}", 0},
        {"zelwnqx_channel_line_state{channel=\"1\",port=\"odd\\\"port\\\\\",state=\"up\"}", 1},
        {"zelwnqx_channel_silence_seconds" + ch7 + "}", 31},
        {"zelwnqx_channel_messages_total" + ch7 + "}", 65535},
        {"zelwnqx_channel_losses_total" + ch7 + "}", 2},
        {"zelwnqx_channel_noise_bytes_total" + ch7 + "}", 9},
        {"zelwnqx_channel_states_known" + ch7 + "}", 1},
        {"zelwnqx_channel_active_points" + ch7 + ",type=\"CKT\"}", 1},
        {"zelwnqx_channel_active_points" + ch7 + ",type=\"Regular\"}", 1},
        {"zelwnqx_channel_active_points" + ch7 + ",type=\"Battery\"}", 1},
        {"zelwnqx_channel_active_points" + ch7 + ",type=\"Line Shorted\"}", 0},
        {"zelwnqx_gateway_events_total", 4},  // three changes and the line's silence
        {"zelwnqx_gateway_mqtt_published_total", 42},
        {"zelwnqx_gateway_mqtt_unacknowledged", 3},
        {"zelwnqx_gateway_modbus_requests_total", 1000},
        {"zelwnqx_gateway_http_clients", 5},
        {"zelwnqx_gateway_http_requests_total", 77},
    };
    for (const auto &[name, value] : expected) {
        ASSERT_EQ(m.count(name), 1u) << name;
        EXPECT_EQ(m.at(name), value) << name;
    }
    // Without a broker or a Modbus server their counters are not shown as 0.
    NoteCounters(view, {});
    const std::map<std::string, double> alone = ReadMetrics(MetricsText(view, {}));
    EXPECT_EQ(alone.count("zelwnqx_gateway_mqtt_published_total") + alone.count("zelwnqx_gateway_modbus_requests_total"), 0u);
}

}  // namespace
