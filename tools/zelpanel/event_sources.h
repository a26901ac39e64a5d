// Events from the command line or a script, as send and show take them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "transmission.h"

namespace zelpanel {

struct Sources {
    std::vector<std::string> events;
    std::string script;
};

void AddSources(CLI::App &command, Sources &s);

// The messages of the script, then of the events, with the waits and pauses
// before them. False with a one-line reason.
bool StepsFromSources(const Sources &s, std::vector<Outgoing> *out, std::string *error);

}  // namespace zelpanel
