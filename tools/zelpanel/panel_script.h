// What zelpanel sends: scripts of messages and waits, and random traffic.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "panel_message.h"

namespace zelpanel {

// One step of a script: a message to send, or an extra wait.
struct ScriptStep {
    bool isWait = false;
    double waitSeconds = 0;
    PanelMessage message;
};

// One script line: a message (see ParseMessage) or "wait SECONDS". Blank
// lines and lines beginning with '#' add nothing.
bool ParseScriptLine(std::string_view line, std::vector<ScriptStep> *steps, std::string *error);
// A whole script; errors name the line: "line N: reason".
bool ParseScript(std::string_view text, std::vector<ScriptStep> *steps, std::string *error);

// `count` messages of 1 to `maxEvents` events each (named events on
// distinct points within a message), with a clear now and then when
// `withClears`. The same seed gives the same traffic on every platform.
std::vector<PanelMessage> RandomTraffic(uint32_t seed, int count, int maxEvents, bool withClears);

}  // namespace zelpanel
