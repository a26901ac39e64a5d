// Linux: a name without a leading '/' is a device under /dev, as the driver
// reads it. A link that fits the driver's field goes to the driver as it is,
// so that after a loss the driver reopens the link (a udev name stays with
// the adapter, the device name may not); any other name is followed to the
// real device, whose name under /dev is what the driver gets.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "port_name.h"
#include "wire_text.h"

namespace zelhost {
namespace {

// The driver's form of a path: without /dev/ for a device there.
std::string DriverForm(const std::string &path) {
    return path.rfind("/dev/", 0) == 0 && path.size() - 5 <= kDriverPortNameMax ? path.substr(5) : path;
}

}  // namespace

bool ResolvePortName(const std::string &given, PortChoice *choice, std::string *error) {
    if (given.empty()) {
        *error = "the port name is empty";
        return false;
    }
    // The driver's name of the null device, which takes no line settings.
    if (given == "NUL") {
        *choice = {given, "/dev/null", false};
        return true;
    }
    const std::string shown = zeltools::ShownText(given);
    const std::string path = given[0] == '/' ? given : "/dev/" + given;
    char real[PATH_MAX];
    struct stat info {};
    if (realpath(path.c_str(), real) == nullptr || stat(real, &info) != 0) {
        *error = "no such port: " + shown + (given[0] == '/' ? "" : " (" + zeltools::ShownText(path) + ")");
        return false;
    }
    const std::string device = real;
    if (!S_ISCHR(info.st_mode)) {
        *error = "port " + shown + " is " + zeltools::ShownText(device) + ", which is not a serial device";
        return false;
    }
    struct stat link {};
    const bool isLink = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    std::string name = DriverForm(path);
    if (!isLink || name.size() > kDriverPortNameMax) name = DriverForm(device);
    if (name.size() > kDriverPortNameMax) {
        *error = "port name too long: " + zeltools::ShownText(device) + " has " + std::to_string(name.size()) +
                 " characters, the driver's field holds " + std::to_string(kDriverPortNameMax);
        return false;
    }
    *choice = {name, device, isLink};
    return true;
}

std::string AbsentPortDriverName(const std::string &given) {
    if (given.empty() || given == "NUL") return "";
    const std::string path = given[0] == '/' ? given : "/dev/" + given;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) return "";  // there: not absent
    const std::string name = DriverForm(path);
    return name.size() <= kDriverPortNameMax ? name : "";
}

}  // namespace zelhost
