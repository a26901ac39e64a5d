// The port name the driver gets. Its field holds at most 11 characters;
// Linux users configure long stable paths (/dev/serial/by-id/...), which are
// resolved to the device they name.
#pragma once

#include <string>

namespace zelhost {

inline constexpr std::size_t kDriverPortNameMax = 11;

struct PortChoice {
    std::string driverName;  // what OpenChannel gets: "pts/3", "ttyUSB0", "COM5"
    std::string device;      // the device it names, for messages
};

// False with a one-line reason: no such port, not a serial device, or a
// name that does not fit the driver's field.
bool ResolvePortName(const std::string &given, PortChoice *choice, std::string *error);

}  // namespace zelhost
