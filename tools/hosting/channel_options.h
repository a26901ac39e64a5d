// The options of the commands that open channels (monitor, publish): the
// options given once per port, and the line settings to open them with.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tool_cli.h"
#include "zelwnqx.h"

namespace zelhost {

// Each option given once per port must be given for every port or not at
// all, and a channel number only once: the one-line problem, or "" when
// they hold.
std::string PerPortOptionProblem(std::size_t ports, const std::vector<std::pair<std::string, std::size_t>> &given,
                                 const std::vector<int> &channelNumbers);

// The line settings given on the command line, the driver's own defaults
// for those not given.
LineSettings ChosenLineSettings(const zeltools::LineOptions &options, const LineSettings &defaults);

}  // namespace zelhost
