// The port name the driver gets. Its field holds at most 11 characters;
// Linux users configure stable names: a short link (a udev name such as
// ttyZEL0) goes to the driver as it is, a long path (/dev/serial/by-id/...)
// is resolved to the device it names.
#pragma once

#include <string>

namespace zelhost {

inline constexpr std::size_t kDriverPortNameMax = 11;

struct PortChoice {
    std::string driverName;  // what OpenChannel gets: "pts/3", "ttyUSB0", "COM5"
    std::string device;      // the device it names, for messages
    bool link = false;       // the name given is a link to `device`
};

// False with a one-line reason: no such port, not a serial device, or a
// name that does not fit the driver's field.
bool ResolvePortName(const std::string &given, PortChoice *choice, std::string *error);

// Linux: the driver's name of a port that is not there now (an adapter
// pulled, its udev link gone) but whose name fits the driver's field, so
// that it can be opened by that name once it is back; empty otherwise.
std::string AbsentPortDriverName(const std::string &given);

}  // namespace zelhost
