// The MQTT gateway's logic, apart from any broker: what each point change,
// line state and start publishes under which topic, the state a broker must
// hold (sent again whole after every reconnection), and the bounded queue of
// events that happened while the broker could not be reached.
//
// Topics, under a prefix (zelwnqx/<host name> by default), per channel:
//   <prefix>/status                      online, or offline (the last will); retained
//   <prefix>/<channel>/line              up or lost; retained
//   <prefix>/<channel>/point/<BBSSPPP>   the value ReadTag gives, 0-3; retained
//   <prefix>/<channel>/named/<name>      the same, for a point the points file names; retained
//   <prefix>/<channel>/events            one JSON object per change; QoS 1, not retained
// and with Home Assistant discovery, for named points only:
//   homeassistant/binary_sensor/<id>/config
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelhost {

struct Publication {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = true;
};

struct NamedPoint {
    std::string address;
    std::string name;
    std::string type;  // the address's type: Regular, CKT, Line Shorted or Battery
};

// A points file: "address,name[,type]" a line; blank lines and lines that
// begin with '#' are skipped. Names are topic levels: not empty, no '/',
// '+', '#' or control characters, each once. False with "line N: reason".
bool ParsePointsFile(const std::string &text, std::vector<NamedPoint> *points, std::string *error);

struct GatewayChannel {
    int number = 1;    // the host's channel number: the topic level
    std::string port;  // the driver's port name
    std::vector<NamedPoint> named;
};

struct Gateway {
    std::string prefix;
    std::string hostName;
    bool homeAssistant = false;
    std::size_t queueLimit = 10000;
    std::vector<GatewayChannel> channels;
    // The state the broker must hold: every retained topic with its payload.
    std::map<std::string, std::string> retained;
    // Events the broker has not taken yet, oldest first.
    std::deque<Publication> queued;
    std::size_t dropped = 0;  // events dropped since the last report
};

std::string DefaultPrefix(const std::string &hostName);
std::string StatusTopic(const Gateway &gateway);

// A JSON string literal of `text`.
std::string JsonString(std::string_view text);

// What the gateway publishes as it starts: online, each channel's line up,
// and the discovery configs of the named points.
std::vector<Publication> StartPublications(const Gateway &gateway);
std::vector<Publication> PointChange(const Gateway &gateway, std::size_t channel, const std::string &address, int before,
                                     int after, std::chrono::system_clock::time_point when);
std::vector<Publication> LineChange(const Gateway &gateway, std::size_t channel, bool up);

// The broker client, as the gateway uses it: a table of functions.
struct Publisher {
    // False when the publication was not taken (the broker is away).
    bool (*publish)(void *context, const Publication &publication);
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
