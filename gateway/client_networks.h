// Where a gateway's server listens and whom it lets in, shared by its
// Modbus TCP and HTTP servers: `[HOST:]PORT` options, allowed client
// networks, and how a listener and a peer are written in the log. Pure
// functions, tested without sockets, but for the port a listener got.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelhost {

// `--modbus [HOST:]PORT` (or `--http`, the option its reason names): false
// with a reason. "[::1]:502" for IPv6.
bool ParseListenAddress(const std::string &text, std::string *host, int *port, std::string *error,
                        const std::string &option = "--modbus");
// As the log names where a server listens: "127.0.0.1:502", "[::1]:502".
std::string ListenAddressText(const std::string &host, int port);
// The port a listening socket is bound to (the one the system chose for
// port 0), or -1.
int BoundPort(int fd);

// An allowed client network, "10.1.0.0/16", "fd00::/8", or one address.
// An IPv4-mapped network ("::ffff:10.1.0.0/112") is kept as the IPv4 one
// ("10.1.0.0/16"), since clients' mapped addresses are compared as IPv4.
struct ClientNetwork {
    int family = 0;       // AF_INET or AF_INET6
    uint8_t bytes[16]{};  // the network's address
    int prefixBits = 0;
};
// `option` is the one the reason names (--modbus-allow, --http-allow).
bool ParseClientNetwork(const std::string &text, ClientNetwork *network, std::string *error,
                        const std::string &option = "--modbus-allow");
// The IPv4 address inside an IPv4-mapped IPv6 one (::ffff:a.b.c.d), or null.
const uint8_t *MappedIPv4(int family, const uint8_t *address);

// Whether an address (4 or 16 bytes; IPv4-mapped IPv6 counts as IPv4) lies
// in one of the networks; an empty list allows every client.
bool ClientAllowed(const std::vector<ClientNetwork> &allowed, int family, const uint8_t *address);

// A peer's address without its port, the key of --modbus-max-per-address:
// "10.1.2.3", "fd00::5"; an IPv4-mapped IPv6 address is written as IPv4.
// `address` holds 4 bytes (AF_INET) or 16 (AF_INET6).
std::string PeerAddressText(int family, const uint8_t *address);
// As the log names a peer: "10.1.2.3:50312", "[fd00::5]:50312".
std::string PeerText(int family, const uint8_t *address, int port);

}  // namespace zelhost
