// The gateway's Modbus TCP server (Linux): one thread accepts, one thread
// per connection reads its requests, so that a silent or slow client never
// delays the others. Read-only; the register map is modbus_map.h's.
#pragma once

#include <string>
#include <vector>

#include "host_session.h"
#include "modbus_map.h"

namespace zelhost {

struct ModbusSettings {
    std::string host = "127.0.0.1";
    int port = 502;                       // 0: any free port (the log names it)
    std::vector<ClientNetwork> allowed;   // empty: every client
    int maxClients = 64;                  // at most kModbusMaxClientsLimit (modbus_clients.h)
    int maxPerAddress = 8;                // connections of one client address
    int idleSeconds = 60;
    std::vector<int> silenceLimits;       // per channel, seconds; 0: none
};

struct ModbusServer;

// Listens and serves the channels' sessions, unit id = channel number.
// Null, with a one-line reason, when the listener cannot be opened.
ModbusServer *StartModbusServer(const ModbusSettings &settings, const std::vector<HostSession> &sessions,
                                const std::vector<int> &units, std::string *error);
// The requests it has answered (values, an exception, or a malformed frame
// that ended its connection); 0 without a server.
unsigned long long ModbusRequestsAnswered(const ModbusServer *server);
// Ends every connection and joins the threads; then frees the server.
void StopModbusServer(ModbusServer *server);

}  // namespace zelhost
