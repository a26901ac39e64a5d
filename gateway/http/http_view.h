// What the gateway's web page, its JSON API and its metrics show: the
// channels as the publishing loop tells of them (gateway/output.h), kept as
// plain records, and the texts made of them. Pure: no sockets, no threads,
// no clock of its own, so that the tests drive it with the loop's calls.
//
//   StateJson    /api/state and the stream's `state` frames: every channel's
//                line, diagnostic tags, active points with their names, and
//                with a points file the walk test (reported / never reported)
//   EventsJson   /api/events?after=N and the stream's first frame: the recent
//                events, each the object the gateway publishes (event_json.h)
//                under a number of the web view's own, for a client to resume
//   MetricsText  /metrics, in the Prometheus text format
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "line_state.h"
#include "output.h"
#include "points_file.h"

namespace zelhost {

// The recent events kept: a page shows them, a client resumes within them.
constexpr std::size_t kHttpRecentEvents = 1000;

// A named point in the walk test: how often and when it reported.
struct WalkMark {
    std::size_t changes = 0;
    std::chrono::system_clock::time_point first, last;
    int value = 0;
};

struct ViewChannel {
    int number = 1;
    std::string port;
    int silenceLimit = 0;
    std::vector<NamedPoint> named;
    LineState line = LineState::kUp;
    // The diagnostic tags as last read; before the first look, as
    // OpenChannel leaves them.
    int link = 0, silence = 0, messages = 0, losses = 0, noise = 0, known = 0;
    std::map<std::string, int> active;          // address -> value, the points not at 0
    std::map<std::string, WalkMark> reported;   // named points that changed since the start
    std::map<std::string, WalkMark> unlisted;   // points that changed and have no name
};

struct ViewEvent {
    unsigned long long id = 0;  // 1, 2, ... in this run, across the channels
    std::string json;           // the event as the gateway publishes it
};

// The server's own figures, which the metrics show beside the loop's.
struct HttpFigures {
    int clients = 0;                    // connections open now
    unsigned long long requests = 0;    // requests answered since the start
};

struct HttpView {
    std::string run;
    std::string hostName;
    std::vector<ViewChannel> channels;
    std::deque<ViewEvent> events;  // oldest first, at most kHttpRecentEvents
    unsigned long long lastId = 0;
    OutputCounters counters;
    // Bumped at every change a page shows: a stream sends the state again
    // when it has moved since its last frame.
    unsigned long long version = 0;
};

HttpView StartView(const OutputStart &start);
// A point's change: the active points, the walk test, and the event kept.
void NotePoint(HttpView &view, const OutputPoint &point);
// The line's state; an event ("lost", "back", "silent", "up", "no port")
// when it changed. False when it was so already.
bool NoteLine(HttpView &view, std::size_t channel, LineState state, std::chrono::system_clock::time_point when);
// The tags just read, and the line's state they give (LineStateOf with the
// channel's silence limit).
void NoteDiagnostics(HttpView &view, const OutputDiagnostics &diagnostics);
void NoteCounters(HttpView &view, const OutputCounters &counters);

std::string StateJson(const HttpView &view);
// The events numbered above `after`, oldest first, at most `limit` of the
// newest of them: {"run":...,"last":N,"oldest":N,"events":[{"id":N,"event":{...}},...]}.
// `oldest` is the first number still kept: a client that resumes from
// below it has missed events.
std::string EventsJson(const HttpView &view, unsigned long long after, std::size_t limit = kHttpRecentEvents);
// One element of EventsJson, as the stream sends each new event.
std::string EventElementJson(const ViewEvent &event);
std::string MetricsText(const HttpView &view, const HttpFigures &figures);

// A frame of the Server-Sent Events stream: "event: NAME", "id: N" when not
// 0, the data (one line: JSON holds no raw line break) and the blank line.
std::string SseFrame(const char *event, unsigned long long id, const std::string &data);

// Whether a non-zero point of this type is a fire alarm (CKT, Regular) or
// a trouble (Line Shorted, Battery); "other" for a point of no type.
const char *PointKind(const std::string &type);

}  // namespace zelhost
