// What the publishing loop (publishing_loop.h) hands every output
// of the gateway other than MQTT: the channels at the start, each point
// change with its event as MQTT publishes it, each line state the loop
// learns of, the diagnostic tags at every look (once a second), and the
// gateway's own counters. An output is a table of functions, as the broker
// client is (Publisher in mqtt/mqtt_topics.h); every call comes from
// the loop's thread, in the panel's order, and must return at once: an
// output that waits delays the others.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "line_state.h"
#include "points_file.h"

namespace zelhost {

struct OutputChannel {
    int number = 1;    // the host's channel number
    std::string port;  // the driver's port name
    std::vector<NamedPoint> named;
    int silenceLimit = 0;  // seconds; 0: none
};

struct OutputStart {
    std::string run;  // this run's id, as on every event
    std::string hostName;
    std::vector<OutputChannel> channels;  // in channel order: the indexes below
};

// A point's change: the event is the JSON object MQTT publishes on
// <prefix>/<channel>/events (event_json.h), `seq` its number in the channel.
struct OutputPoint {
    std::size_t channel = 0;
    std::string address;
    int before = 0;
    int after = 0;
    unsigned long long seq = 0;
    bool known = false;
    std::chrono::system_clock::time_point when;
    std::string eventJson;
};

// The line's state as the loop learned it: a loss or a return told by the
// driver's log, at once.
struct OutputLine {
    std::size_t channel = 0;
    LineState state = LineState::kUp;
    std::chrono::system_clock::time_point when;
};

// The channel's diagnostic tags as just read.
struct OutputDiagnostics {
    std::size_t channel = 0;
    int link = 0;
    int silence = 0;
    int messages = 0;
    int losses = 0;
    int noise = 0;
    int known = 0;
    std::chrono::system_clock::time_point when;
};

// The gateway's own counters, with the diagnostics.
struct OutputCounters {
    bool mqtt = false;                     // a broker is in use: the two below mean something
    unsigned long long published = 0;      // publications the broker client took
    unsigned long unacknowledged = 0;      // QoS 1 publications the broker has not acknowledged yet
    bool modbus = false;                   // the Modbus server runs
    unsigned long long modbusRequests = 0; // requests it answered
};

struct GatewayOutput {
    void (*start)(void *context, const OutputStart &start);
    void (*point)(void *context, const OutputPoint &point);
    void (*line)(void *context, const OutputLine &line);
    void (*diagnostics)(void *context, const OutputDiagnostics &diagnostics);
    void (*counters)(void *context, const OutputCounters &counters);
    void *context = nullptr;
};

}  // namespace zelhost
