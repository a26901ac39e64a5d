#include "modbus_clients.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "modbus_map.h"

namespace zelhost {

AdmissionChoice ChooseAdmission(const std::vector<ClientActivity> &connected, const std::string &address,
                                int maxClients, int maxPerAddress) {
    AdmissionChoice choice;
    std::size_t own = 0, ownIdlest = 0, idlest = 0;
    for (std::size_t i = 0; i < connected.size(); ++i) {
        if (connected[i].lastActiveMs < connected[idlest].lastActiveMs) idlest = i;
        if (connected[i].address != address) continue;
        if (own == 0 || connected[i].lastActiveMs < connected[ownIdlest].lastActiveMs) ownIdlest = i;
        ++own;
    }
    if (own > 0 && own >= static_cast<std::size_t>(maxPerAddress)) {
        choice.admission = Admission::kReplaceOwn;
        choice.replaced = ownIdlest;
    } else if (!connected.empty() && connected.size() >= static_cast<std::size_t>(maxClients)) {
        choice.admission = Admission::kReplaceIdlest;
        choice.replaced = idlest;
    }
    return choice;
}

}  // namespace zelhost
