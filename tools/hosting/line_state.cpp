#include "line_state.h"

#include "zelwnqx.h"

namespace zelhost {

LineState LineStateOf(int link, int silenceSeconds, int silenceLimit) {
    if (link == ZEL_LINK_LOST) return LineState::kLost;
    if (link != ZEL_LINK_UP) return LineState::kNoPort;
    return silenceLimit > 0 && silenceSeconds >= silenceLimit ? LineState::kSilent : LineState::kUp;
}

const char *LineStateWord(LineState state) {
    switch (state) {
        case LineState::kUp: return "up";
        case LineState::kLost: return "lost";
        case LineState::kSilent: return "silent";
        default: return "no port";
    }
}

int SilenceLimitOf(const std::vector<int> &limits, std::size_t channel) {
    return channel < limits.size() ? limits[channel] : 0;
}

}  // namespace zelhost
