// Events as JSON objects, one a line: the gateway publishes point changes
// in this form, and monitor's event history holds the same objects, with
// line losses and returns and its own start and stop beside them.
//   {"time":"2026-12-09T05:10:30.123Z","channel":1,"port":"pts/3","address":"0104130",
//    "type":"CKT","name":"Lobby","old":0,"new":1,"run":"5f0c9a1e33b2d470","seq":17,"known":true}
//   (name only for a named point). `run` names one run of the gateway (or
//   of the monitor); `seq` counts the channel's changes of that run from 1,
//   so a subscriber tells a lost event by a gap and a duplicate by a
//   repeated number; `known` says whether the channel's states were known
//   (its KNOWN tag) when the change came.
//   {"time":...,"channel":1,"port":"pts/3","line":"lost"}  (or "back"; "silent", and "up" when
//                                                           a message ends a silence)
//   {"time":...,"monitor":"start","ports":["pts/3"]}      (or "stop")
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "points_file.h"

namespace zelhost {

// A JSON string literal of `text`.
std::string JsonString(std::string_view text);

struct PointEvent {
    std::chrono::system_clock::time_point when;
    int channel = 1;   // the host's channel number
    std::string port;  // the driver's port name
    std::string address;
    const NamedPoint *named = nullptr;
    int before = 0;
    int after = 0;
    std::string run;  // empty: no run, seq or known in the JSON
    unsigned long long seq = 0;
    bool known = false;
};
std::string PointEventJson(const PointEvent &event);

// A new run's id: 16 hexadecimal digits, random, different at each start.
std::string NewRunId();

std::string LineEventJson(std::chrono::system_clock::time_point when, int channel, const std::string &port,
                          std::string_view line);

std::string MonitorEventJson(std::chrono::system_clock::time_point when, bool start, const std::vector<std::string> &ports);

}  // namespace zelhost
