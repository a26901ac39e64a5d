// What zelhost takes from the driver's log lines: each read of the port,
// each stretch of received bytes the driver hands to its decoder (a message,
// or bytes of no message), the loss and return of a channel's port, and the
// start of a channel's reception thread.
#pragma once

#include <string>
#include <string_view>

namespace zelhost {

enum class LogKind { kOther, kRead, kMessage, kNoise, kPortLost, kPortBack, kReceptionStart };

struct LogLine {
    LogKind kind = LogKind::kOther;
    // kRead, kMessage, kNoise: the bytes, up to the first NUL byte;
    // kPortLost, kPortBack: the port name
    std::string text;
};

LogLine ReadLogLine(int level, std::string_view line);

}  // namespace zelhost
