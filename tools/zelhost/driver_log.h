// What zelhost takes from the driver's log lines: each stretch of received
// bytes the driver hands to its decoder (a message, or bytes of no message),
// the loss and return of a channel's port, and the start of a channel's
// reception thread.
#pragma once

#include <string>
#include <string_view>

namespace zelhost {

enum class LogKind { kOther, kMessage, kNoise, kPortLost, kPortBack, kReceptionStart };

struct LogLine {
    LogKind kind = LogKind::kOther;
    std::string text;  // kMessage, kNoise: the bytes; kPortLost, kPortBack: the port name
};

LogLine ReadLogLine(int level, std::string_view line);

}  // namespace zelhost
