// The bash completion of a tool, made from its command line as defined, so
// that it always knows every command and option the tool has.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

namespace zeltools {

// A bash script that completes `tool`'s commands and options: the
// commands, then each command's options; file names after an option whose
// value is a file, serial devices after --port, nothing after any other.
std::string BashCompletion(const CLI::App &app, std::string_view tool);

}  // namespace zeltools
