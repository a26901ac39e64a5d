// The Modbus server's table of clients: how a peer is written in the log,
// which descriptors a client may hold, and whom a new client replaces when
// the table is full. Pure functions over plain records, so that the rules
// are tested without sockets; the sockets are modbus_server_posix.cpp's.
#pragma once

#include <sys/select.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client_networks.h"

namespace zelhost {

// libmodbus waits on a connection with select(), which aborts the process
// for a descriptor of FD_SETSIZE (1024) or more; so does the MQTT client
// library's network thread, and the serial ports are waited on too. A
// client's socket must lie below FD_SETSIZE less this headroom, which stays
// free for the ports, the broker's connection and the gateway's own files.
constexpr int kModbusDescriptorHeadroom = 128;
constexpr int kModbusFirstRefusedDescriptor = FD_SETSIZE - kModbusDescriptorHeadroom;  // 896
// --modbus-max-clients at most: the descriptors below 896 less 64 for those
// the gateway holds before any client comes (standard streams, the
// listener, the ports, the broker's connection, the driver's).
constexpr int kModbusMaxClientsLimit = kModbusFirstRefusedDescriptor - 64;  // 832

// A connected client as the choice of whom to replace sees it.
struct ClientActivity {
    std::string address;         // PeerAddressText
    long long lastActiveMs = 0;  // steady clock: when it connected or last sent a request
};

enum class Admission {
    kAdmit,          // a place is free
    kReplaceOwn,     // its address holds --modbus-max-per-address connections: its own idlest goes
    kReplaceIdlest,  // the table is full (--modbus-max-clients): the idlest of all goes
};

struct AdmissionChoice {
    Admission admission = Admission::kAdmit;
    std::size_t replaced = 0;  // unless kAdmit: the index of the client that gives up its place
};

// Where a new client from `address` goes among the `connected`. Neither a
// full table nor one busy address can lock out another client (the
// building management system): the connection idle the longest makes room,
// the earliest in the list on a tie.
AdmissionChoice ChooseAdmission(const std::vector<ClientActivity> &connected, const std::string &address,
                                int maxClients, int maxPerAddress);

}  // namespace zelhost
