// The Modbus TCP server's sockets and threads. Each connection has its own
// libmodbus context on its accepted socket and its own copy of the channels'
// sessions, so ReadTag calls never share a request record.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "gateway_log.h"
#include "modbus_answer.h"
#include "modbus_server.h"

namespace zelhost {
namespace {

// How often the accepting thread looks at the stop request.
constexpr int kAcceptWakeMs = 100;
// The longest pause between two bytes of one frame.
constexpr int kByteTimeoutMs = 500;
// The connections' threads yield to the driver's reception threads: a
// busy Modbus client never delays the panel's messages.
constexpr int kConnectionNice = 10;

struct Connection {
    int fd = -1;  // guarded by ModbusServer::fdLock once the thread runs
    std::string peer;
    std::thread thread;
    std::atomic<bool> ended{false};
};

}  // namespace

struct ModbusServer {
    ModbusSettings settings;
    std::vector<HostSession> sessions;
    std::vector<int> units;
    int listenFd = -1;
    std::atomic<bool> stopping{false};
    std::mutex fdLock;  // a connection's socket is shut down by the stop, closed by its thread
    std::list<std::unique_ptr<Connection>> connections;  // the accepting thread's, then the stop's
    std::thread acceptor;
};

namespace {

std::string PeerText(const sockaddr_storage &address, int *family, const uint8_t **bytes) {
    char text[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
        *bytes = reinterpret_cast<const uint8_t *>(&v4.sin_addr);
    } else {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
        *bytes = v6.sin6_addr.s6_addr;
    }
    *family = address.ss_family;
    return std::string(text) + ":" + std::to_string(port);
}

uint16_t ReadSessionTag(void *context, std::size_t channel, const char *tag) {
    return ReadTag((*static_cast<std::vector<HostSession> *>(context))[channel], tag);
}

// Reads the bytes the frame's header declares beyond what libmodbus took
// (it sizes a frame by its function code alone). False when they do not come.
bool ReadRest(int fd, uint8_t *adu, std::size_t *length, std::size_t declared) {
    while (*length < declared) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kByteTimeoutMs) <= 0) return false;
        const ssize_t n = recv(fd, adu + *length, declared - *length, 0);
        if (n <= 0) return false;
        *length += static_cast<std::size_t>(n);
    }
    return true;
}

// Why the connection's next request did not come, or "" when it is there.
std::string AwaitRequest(ModbusServer &server, int fd) {
    pollfd p{fd, POLLIN, 0};
    int ready = 0;
    do ready = poll(&p, 1, server.settings.idleSeconds * 1000);
    while (ready < 0 && errno == EINTR);
    if (server.stopping.load()) return "the gateway stops";
    if (ready == 0) return "idle for " + std::to_string(server.settings.idleSeconds) + " s";
    char byte = 0;
    const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return "disconnected";
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return std::string("disconnected: ") + std::strerror(errno);
    return "";
}

void ServeConnection(ModbusServer &server, Connection &connection) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kConnectionNice);  // this thread only
    std::vector<HostSession> sessions = server.sessions;
    const TagReader reader{ReadSessionTag, &sessions};
    modbus_t *context = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    std::string why = "cannot make a libmodbus context";
    if (context != nullptr) {
        modbus_set_socket(context, connection.fd);
        modbus_set_indication_timeout(context, static_cast<uint32_t>(server.settings.idleSeconds), 0);
        modbus_set_byte_timeout(context, 0, kByteTimeoutMs * 1000);
        uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            why = AwaitRequest(server, connection.fd);
            if (!why.empty()) break;
            const int received = modbus_receive(context, adu);
            if (server.stopping.load()) {
                why = "the gateway stops";
                break;
            }
            if (received < 0) {
                why = std::string("incomplete or oversized frame: ") + modbus_strerror(errno);
                break;
            }
            if (received == 0) continue;
            auto length = static_cast<std::size_t>(received);
            const std::size_t declared = DeclaredAduBytes(adu, length);
            if (declared > length && declared <= sizeof adu && !ReadRest(connection.fd, adu, &length, declared)) {
                why = "incomplete frame: the header declares " + std::to_string(declared) + " bytes";
                break;
            }
            if (!AnswerModbusRequest(context, adu, length, server.units, reader, &why)) {
                why = "malformed frame: " + why;
                break;
            }
        }
        modbus_free(context);  // the socket stays open: closed below, under the lock
    }
    GatewayLog("modbus client " + connection.peer + " closed: " + why);
    {
        std::lock_guard<std::mutex> lock(server.fdLock);
        close(connection.fd);
        connection.fd = -1;
    }
    connection.ended.store(true);
}

void JoinEnded(ModbusServer &server) {
    for (auto it = server.connections.begin(); it != server.connections.end();)
        if ((*it)->ended.load()) {
            (*it)->thread.join();
            it = server.connections.erase(it);
        } else {
            ++it;
        }
}

// A refused client is closed at once, and the log says why.
void Refuse(int fd, const std::string &peer, const std::string &why) {
    close(fd);
    GatewayLog("modbus client " + peer + " refused: " + why);
}

void Accept(ModbusServer &server) {
    while (!server.stopping.load()) {
        pollfd p{server.listenFd, POLLIN, 0};
        const int ready = poll(&p, 1, kAcceptWakeMs);
        JoinEnded(server);
        if (ready <= 0) continue;
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        const int fd = accept4(server.listenFd, reinterpret_cast<sockaddr *>(&address), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the pending client waits, the accepting does not spin.
            if (errno == EMFILE || errno == ENFILE) GatewayLog(std::string("modbus: accept: ") + std::strerror(errno));
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWakeMs));
            continue;
        }
        int family = 0;
        const uint8_t *bytes = nullptr;
        const std::string peer = PeerText(address, &family, &bytes);
        if (!ClientAllowed(server.settings.allowed, family, bytes)) {
            Refuse(fd, peer, "not in --modbus-allow");
            continue;
        }
        if (server.connections.size() >= static_cast<std::size_t>(server.settings.maxClients)) {
            Refuse(fd, peer, std::to_string(server.settings.maxClients) + " clients connected already (--modbus-max-clients)");
            continue;
        }
        // Replies leave at once, not after the next request's bytes.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        GatewayLog("modbus client " + peer + " connected");
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peer;
        Connection &c = *connection;
        server.connections.push_back(std::move(connection));
        c.thread = std::thread(ServeConnection, std::ref(server), std::ref(c));
    }
}

int ListenPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) return -1;
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(address).sin_port
                                              : reinterpret_cast<sockaddr_in6 &>(address).sin6_port);
}

std::string UnitList(const std::vector<int> &units) {
    std::string text;
    for (int unit : units) text += (text.empty() ? "" : ", ") + std::to_string(unit);
    return text;
}

}  // namespace

ModbusServer *StartModbusServer(const ModbusSettings &settings, const std::vector<HostSession> &sessions,
                                const std::vector<int> &units, std::string *error) {
    const std::string where = settings.host + ":" + std::to_string(settings.port);
    modbus_t *listener = modbus_new_tcp_pi(settings.host.c_str(), std::to_string(settings.port).c_str());
    if (listener == nullptr) {
        *error = "--modbus " + where + ": " + modbus_strerror(errno);
        return nullptr;
    }
    const int fd = modbus_tcp_pi_listen(listener, settings.maxClients);
    const int listenError = errno;
    modbus_free(listener);
    if (fd < 0) {
        *error = "cannot listen on " + where + " for Modbus TCP: " + std::strerror(listenError);
        return nullptr;
    }
    auto *server = new ModbusServer;
    server->settings = settings;
    server->sessions = sessions;
    server->units = units;
    server->listenFd = fd;
    GatewayLog("serving Modbus TCP on " + settings.host + ":" + std::to_string(ListenPort(fd)) + ", units " +
               UnitList(units) + ", read-only");
    server->acceptor = std::thread(Accept, std::ref(*server));
    return server;
}

void StopModbusServer(ModbusServer *server) {
    if (server == nullptr) return;
    server->stopping.store(true);
    server->acceptor.join();
    close(server->listenFd);
    {
        // Wakes every connection's wait at once, whatever its time-out.
        std::lock_guard<std::mutex> lock(server->fdLock);
        for (const auto &c : server->connections)
            if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    }
    for (const auto &c : server->connections) c->thread.join();
    delete server;
}

}  // namespace zelhost
