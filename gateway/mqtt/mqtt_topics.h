// The MQTT gateway's logic, apart from any broker: what each point change,
// line state and start publishes under which topic, the state a broker must
// hold (sent again whole after every reconnection), and the bounded queue of
// events that happened while the broker could not be reached.
//
// Topics, under a prefix (zelwnqx/<host name> by default), per channel:
//   <prefix>/status                      online, or offline (the last will); retained
//   <prefix>/<channel>/line              up, lost, silent or no port; retained
//   <prefix>/<channel>/point/<BBSSPPP>   the value ReadTag gives, 0-3; retained
//   <prefix>/<channel>/named/<name>      the same, for a point the points file names; retained
//   <prefix>/<channel>/events            one JSON object per change; QoS 1, not retained
//   <prefix>/<channel>/diag/<NAME>       LINK, MESSAGES, LOSSES, NOISE, SILENCE, KNOWN: the diagnostic tags; retained
//   <prefix>/<channel>/known/<BBSSPPP>   for a named point: 1 once its state is known (the channel's
//                                        KNOWN, or a change of its own since the start), else 0; retained
// and with Home Assistant discovery, for named points and each channel's line:
//   <discovery prefix>/binary_sensor/<id>/config   (ids built from the prefix)
// At start the broker is left holding exactly what the gateway publishes:
// retained topics of this shape from an earlier run that it does not publish
// now are cleared; another gateway's, under a longer prefix, are not.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "event_json.h"
#include "line_state.h"
#include "points_file.h"

namespace zelhost {

struct Publication {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = true;
};

// What is wrong with a topic prefix, or empty: it must be UTF-8, not empty,
// not begin with '$' (the broker's own topics), not end with '/', and hold
// no '+' or '#'.
std::string PrefixProblem(const std::string &prefix);

struct GatewayChannel {
    int number = 1;    // the host's channel number: the topic level
    std::string port;  // the driver's port name
    std::vector<NamedPoint> named;
    int silenceLimit = 0;  // seconds of SILENCE that make the line silent; 0: none
    unsigned long long seq = 0;  // the number of the channel's last event
    bool known = false;          // the states are the panel's whole state (its clear followed)
    std::set<std::string> heard;  // named points with a change of their own since the start
};

struct Gateway {
    std::string run;  // this run's id, on every event (NewRunId)
    std::string prefix;
    std::string hostName;
    std::string discoveryPrefix = "homeassistant";
    bool homeAssistant = false;
    std::size_t queueLimit = 10000;
    std::vector<GatewayChannel> channels;
    // The state the broker must hold: every retained topic with its payload.
    std::map<std::string, std::string> retained;
    // Events the broker has not taken yet, oldest first.
    std::deque<Publication> queued;
    std::size_t dropped = 0;  // events dropped since the last report
    unsigned long long published = 0;  // publications the broker client took, for the gateway's metrics
};

std::string DefaultPrefix(const std::string &hostName);
std::string StatusTopic(const Gateway &gateway);


// What the gateway publishes as it starts: online, each channel's line up,
// its named points at 0 (as OpenChannel leaves them), and the discovery
// configs of the named points and lines.
std::vector<Publication> StartPublications(const Gateway &gateway);
// The filter of every topic under the prefix.
std::string PrefixFilter(const Gateway &gateway);
// Whether a topic has the shape of a retained one a gateway with this prefix
// publishes: <prefix>/status, or <prefix>/<channel number>/ then line,
// point/<BBSSPPP>, named/<name> or diag/<NAME>. A topic of another gateway
// whose prefix begins with this one (site/east under site) has not.
bool IsOwnTopic(const std::string &prefix, std::string_view topic);
// The filter of this gateway's discovery configs.
std::string DiscoveryFilter(const Gateway &gateway);
// A retained topic the broker holds, with its payload.
struct HeldTopic {
    std::string topic;
    std::string payload;
};
// Empty retained publications for what the broker holds from an earlier run
// that the gateway does not publish now: topics of its own shape, and
// discovery configs that name this gateway's status topic.
std::vector<Publication> StaleClears(const Gateway &gateway, const std::vector<HeldTopic> &held);

// SILENCE changes every second: published at most this often.
constexpr std::chrono::seconds kSilencePublishedEvery{10};
// A diagnostic tag as read.
struct TagValue {
    std::string name;
    int value = 0;
};
// A diagnostic tag as last published, and when.
struct ShownTag {
    int value = 0;
    std::chrono::steady_clock::time_point when;
};
using ShownTags = std::map<std::string, ShownTag>;
// The diagnostic tags of a channel to publish after a look at them: each one
// never published or changed since; SILENCE only once kSilencePublishedEvery
// has passed since it last was. Records what it returns in `shown`.
std::vector<Publication> DiagnosticChanges(const Gateway &gateway, std::size_t channel, const std::vector<TagValue> &tags,
                                           std::chrono::steady_clock::time_point now, ShownTags &shown);
// A point's change as the event numbered next in its channel: what MQTT
// publishes on the channel's events topic and every other output receives.
PointEvent NumberPointEvent(Gateway &gateway, std::size_t channel, const std::string &address, int before, int after,
                            std::chrono::system_clock::time_point when);
// The topics of a point's change, its event among them.
std::vector<Publication> PointChange(Gateway &gateway, std::size_t channel, const PointEvent &event);
// Both at once.
std::vector<Publication> PointChange(Gateway &gateway, std::size_t channel, const std::string &address, int before,
                                     int after, std::chrono::system_clock::time_point when);
// The channel's states became known (the panel's clear) or unknown again
// (the line lost): the known topics of the named points not heard since
// the start; nothing when it was so already.
std::vector<Publication> KnownChange(Gateway &gateway, std::size_t channel, bool known);
// The line topic after the channel's LINK and SILENCE were read, or a log
// line told of a loss (LINK lost) or a return (LINK up): its state word
// (LineStateOf, with the channel's silence limit) when the broker does not
// hold it already, else nothing.
std::vector<Publication> LineChange(const Gateway &gateway, std::size_t channel, int link, int silenceSeconds);

// What the broker client did with a publication.
enum class Sent {
    kTaken,    // on its way
    kRefused,  // never to be taken (a topic the client refuses): logged and skipped
    kAway,     // not now: the broker is away
};

// The broker client, as the gateway uses it: a table of functions.
struct Publisher {
    Sent (*publish)(void *context, const Publication &publication);
    bool (*connected)(void *context);
    void *context = nullptr;
};

// Records retained publications as the state to keep and hands everything
// to the broker; an event the broker cannot take now is queued (the oldest
// dropped beyond the queue's limit).
void Deliver(Gateway &gateway, const Publisher &publisher, const std::vector<Publication> &publications);

// After a (re)connection: the whole retained state, then the queued events
// in their order. False when the broker went away again before the end;
// `dropped` receives how many events had been dropped since the last
// report.
bool Resend(Gateway &gateway, const Publisher &publisher, std::size_t *dropped);

}  // namespace zelhost
