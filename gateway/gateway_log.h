// The gateway's lines on standard error: each one stamped with the UTC time,
// since a gateway runs for months and its log is read after the fact.
#pragma once

#include <string>

namespace zelhost {

// "2026-12-09T02:55:00.123Z zelhost: TEXT".
void GatewayLog(const std::string &text);
// Logs `text` and returns `code`: the gateway's way out of a command.
int GatewayFail(const std::string &text, int code);

}  // namespace zelhost
