#include "modbus_clients.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "modbus_map.h"

namespace zelhost {

std::string PeerAddressText(int family, const uint8_t *address) {
    if (const uint8_t *v4 = MappedIPv4(family, address)) {
        family = AF_INET;
        address = v4;
    }
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, address, text, sizeof text);
    return text;
}

std::string PeerText(int family, const uint8_t *address, int port) {
    const std::string text = PeerAddressText(family, address);
    const bool v6 = text.find(':') != std::string::npos;
    return (v6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

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
