#include "client_networks.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zelhost {
namespace {

// The first 12 bytes of an IPv4-mapped IPv6 address (::ffff:a.b.c.d).
constexpr uint8_t kMappedV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool ParseAddress(const std::string &text, int *family, uint8_t *bytes) {
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

// A number written in decimal digits alone, at most `max`: no sign or
// space, which strtol would let through.
bool Digits(const std::string &text, long max, long *value) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = std::strtol(text.c_str(), nullptr, 10);
    return *value <= max;
}

bool InNetwork(const ClientNetwork &n, const uint8_t *address) {
    const int whole = n.prefixBits / 8, rest = n.prefixBits % 8;
    if (std::memcmp(n.bytes, address, static_cast<std::size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (n.bytes[whole] & mask) == (address[whole] & mask);
}

}  // namespace

bool ParseListenAddress(const std::string &text, std::string *host, int *port, std::string *error,
                        const std::string &option) {
    std::string portText = text;
    *host = "127.0.0.1";
    *error = option + ": '" + text + "' is not [HOST:]PORT (an IPv6 host in brackets: [::1]:502)";
    if (!text.empty() && text.front() == '[') {
        // [IPV6]:PORT, nothing else after the bracket.
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close == 1 || text.compare(close, 2, "]:") != 0) return false;
        *host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        *host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host->empty() || host->find(':') != std::string::npos) return false;
    }
    long value = 0;
    if (!Digits(portText, 65535, &value)) {
        *error = option + ": '" + portText + "' is not a port number 0-65535";
        return false;
    }
    *port = static_cast<int>(value);
    error->clear();
    return true;
}

bool ParseClientNetwork(const std::string &text, ClientNetwork *network, std::string *error, const std::string &option) {
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    *error = option + ": '" + text + "' is not a network such as 10.1.0.0/16, fd00::/8 or one address";
    if (!ParseAddress(address, &network->family, network->bytes)) return false;
    const int bits = network->family == AF_INET ? 32 : 128;
    network->prefixBits = bits;
    if (slash != std::string::npos) {
        long value = 0;
        if (!Digits(text.substr(slash + 1), bits, &value)) return false;
        network->prefixBits = static_cast<int>(value);
    }
    if (const uint8_t *v4 = MappedIPv4(network->family, network->bytes)) {
        // The mapped prefix ::ffff:0:0/96 must be whole, or the network would
        // reach beyond the IPv4 addresses.
        if (network->prefixBits < 96) {
            *error = option + ": '" + text + "' is an IPv4-mapped network with a prefix under 96: write it as IPv4";
            return false;
        }
        std::memmove(network->bytes, v4, 4);
        std::memset(network->bytes + 4, 0, 12);
        network->family = AF_INET;
        network->prefixBits -= 96;
    }
    error->clear();
    return true;
}

const uint8_t *MappedIPv4(int family, const uint8_t *address) {
    if (family != AF_INET6 || std::memcmp(address, kMappedV4, sizeof kMappedV4) != 0) return nullptr;
    return address + sizeof kMappedV4;
}

bool ClientAllowed(const std::vector<ClientNetwork> &allowed, int family, const uint8_t *address) {
    if (allowed.empty()) return true;
    if (const uint8_t *v4 = MappedIPv4(family, address)) {
        family = AF_INET;
        address = v4;
    }
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const ClientNetwork &n) { return n.family == family && InNetwork(n, address); });
}

std::string PeerAddressText(int family, const uint8_t *address) {
    if (const uint8_t *v4 = MappedIPv4(family, address)) {
        family = AF_INET;
        address = v4;
    }
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, address, text, sizeof text);
    return text;
}

std::string ListenAddressText(const std::string &host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int BoundPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) return -1;
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(address).sin_port
                                              : reinterpret_cast<sockaddr_in6 &>(address).sin6_port);
}

std::string PeerText(int family, const uint8_t *address, int port) {
    return ListenAddressText(PeerAddressText(family, address), port);
}

}  // namespace zelhost
