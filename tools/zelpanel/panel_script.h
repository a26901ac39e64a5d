// What zelpanel sends: scripts of messages and waits, and random traffic.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "panel_message.h"

namespace zelpanel {

// One step of a script: a message to send, an extra wait, or a new pause
// before each of the messages that follow.
struct ScriptStep {
    bool isWait = false;
    double waitSeconds = 0;
    bool isPause = false;
    double pauseSeconds = -1;  // -1: back to the pause of the command line
    PanelMessage message;
};

// One script line: a message (see ParseMessage), "wait SECONDS", or
// "pause SECONDS" ("pause" alone: the command line's pause again). Blank
// lines and lines beginning with '#' add nothing.
bool ParseScriptLine(std::string_view line, std::vector<ScriptStep> *steps, std::string *error);
// A whole script; errors name the line: "line N: reason".
bool ParseScript(std::string_view text, std::vector<ScriptStep> *steps, std::string *error);

// `count` messages of 1 to `maxEvents` events each (named events on
// distinct points within a message), with a clear now and then when
// `withClears`. The same seed gives the same traffic on every platform.
std::vector<PanelMessage> RandomTraffic(uint32_t seed, int count, int maxEvents, bool withClears);

}  // namespace zelpanel
