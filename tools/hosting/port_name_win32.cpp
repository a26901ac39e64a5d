// Windows: the name goes to the driver as it is (COM5, \\.\COM12); whether
// the port exists the driver's OpenChannel tells.
#include "port_name.h"
#include "wire_text.h"

namespace zelhost {

bool ResolvePortName(const std::string &given, PortChoice *choice, std::string *error) {
    if (given.empty()) {
        *error = "the port name is empty";
        return false;
    }
    if (given.size() > kDriverPortNameMax) {
        *error = "port name too long: " + zeltools::ShownText(given) + " has " + std::to_string(given.size()) +
                 " characters, the driver's field holds " + std::to_string(kDriverPortNameMax);
        return false;
    }
    *choice = {given, given};
    return true;
}

}  // namespace zelhost
