#include "channel_options.h"

namespace zelhost {

std::string PerPortOptionProblem(std::size_t ports, const std::vector<std::pair<std::string, std::size_t>> &given,
                                 const std::vector<int> &channelNumbers) {
    for (const auto &[option, count] : given) {
        if (count == 0 || count == ports) continue;
        return option + " is given " + std::to_string(count) + " time" + (count == 1 ? "" : "s") + " for " +
               std::to_string(ports) + " port" + (ports == 1 ? "" : "s") + ": give it once per --port, in the same order";
    }
    for (std::size_t i = 0; i < channelNumbers.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (channelNumbers[i] == channelNumbers[j])
                return "channel number " + std::to_string(channelNumbers[i]) + " is given twice";
    return "";
}

LineSettings ChosenLineSettings(const zeltools::LineOptions &options, const LineSettings &defaults) {
    const auto pick = [](const CLI::Option *option, int given, uint16_t fallback) {
        return option != nullptr && option->count() > 0 ? static_cast<uint16_t>(given) : fallback;
    };
    return LineSettings{pick(options.baudOption, options.baud, defaults.baudRate),
                        pick(options.dataBitsOption, options.dataBits, defaults.dataBits),
                        pick(options.stopBitsOption, options.stopBits, defaults.stopBits),
                        pick(options.parityOption, options.parity, defaults.parity)};
}

}  // namespace zelhost
