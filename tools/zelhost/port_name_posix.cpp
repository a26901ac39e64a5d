// Linux: a name without a leading '/' is a device under /dev, as the driver
// reads it; links are followed to the real device, whose name under /dev is
// what the driver gets.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "port_name.h"

namespace zelhost {

bool ResolvePortName(const std::string &given, PortChoice *choice, std::string *error) {
    if (given.empty()) {
        *error = "the port name is empty";
        return false;
    }
    const std::string path = given[0] == '/' ? given : "/dev/" + given;
    char real[PATH_MAX];
    struct stat info {};
    if (realpath(path.c_str(), real) == nullptr || stat(real, &info) != 0) {
        *error = "no such port: " + given + (given[0] == '/' ? "" : " (" + path + ")");
        return false;
    }
    const std::string device = real;
    if (!S_ISCHR(info.st_mode)) {
        *error = "port " + given + " is " + device + ", which is not a serial device";
        return false;
    }
    std::string name = device;
    if (device.rfind("/dev/", 0) == 0 && device.size() - 5 <= kDriverPortNameMax) name = device.substr(5);
    if (name.size() > kDriverPortNameMax) {
        *error = "port name too long: " + device + " has " + std::to_string(name.size()) +
                 " characters, the driver's field holds " + std::to_string(kDriverPortNameMax);
        return false;
    }
    *choice = {name, device};
    return true;
}

}  // namespace zelhost
