// A channel's line as every output shows it: up, lost, no port, or silent.
// On a plain RS-232 line a cut cable leaves LINK at 0 (the port is still
// there): only the silence tells, so a site may set a limit to it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zelhost {

enum class LineState { kUp = 0, kLost = 1, kNoPort = 2, kSilent = 3 };

// From the channel's LINK and SILENCE tags: silent once SILENCE has reached
// `silenceLimit` seconds while LINK is up; a limit of 0 is none.
LineState LineStateOf(int link, int silenceSeconds, int silenceLimit);
// "up", "lost", "no port", "silent".
const char *LineStateWord(LineState state);

// The limit of each channel, from --silence-limit given once per port or
// not at all (no limit anywhere).
int SilenceLimitOf(const std::vector<int> &limits, std::size_t channel);

}  // namespace zelhost
