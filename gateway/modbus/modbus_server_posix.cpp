// The Modbus TCP server's sockets and threads. Each connection has its own
// libmodbus context on its accepted socket and its own copy of the channels'
// sessions, so ReadTag calls never share a request record. Whom a new
// client replaces is modbus_clients.h's choice.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "gateway_log.h"
#include "line_state.h"
#include "modbus_answer.h"
#include "modbus_clients.h"
#include "modbus_server.h"
#include "zelwnqx.h"

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
    std::string peer;     // as the log names it
    std::string address;  // the key of --modbus-max-per-address
    std::thread thread;
    std::atomic<long long> lastActiveMs{0};  // when it connected or last sent a request
    std::atomic<bool> ended{false};
    // Set by the accepting thread (under fdLock) when a new client takes its
    // place: the reason its log line gives.
    std::string replacedWhy;
};

long long SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct ModbusServer {
    ModbusSettings settings;
    std::vector<HostSession> sessions;
    std::vector<int> units;
    int listenFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<unsigned long long> answered{0};  // requests answered, for the gateway's metrics
    std::mutex fdLock;  // a connection's socket is shut down by the stop, closed by its thread
    std::list<std::unique_ptr<Connection>> connections;  // the accepting thread's, then the stop's
    std::thread acceptor;
};

namespace {

// The peer's address (4 or 16 bytes) and port, of an accepted socket's address.
const uint8_t *PeerOf(const sockaddr_storage &address, int *port) {
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        *port = ntohs(v4.sin_port);
        return reinterpret_cast<const uint8_t *>(&v4.sin_addr);
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    *port = ntohs(v6.sin6_port);
    return v6.sin6_addr.s6_addr;
}

// What a connection's tag reader reads: its own copy of the sessions, and
// the channels' silence limits, which LINE needs.
struct ConnectionTags {
    std::vector<HostSession> sessions;
    const std::vector<int> *silenceLimits;
};

uint16_t ReadConnectionTag(void *context, std::size_t channel, const char *tag) {
    auto &tags = *static_cast<ConnectionTags *>(context);
    HostSession &session = tags.sessions[channel];
    if (std::strcmp(tag, kModbusLineTag) != 0) return ReadTag(session, tag);
    return static_cast<uint16_t>(LineStateOf(ReadTag(session, ZEL_TAG_LINK), ReadTag(session, ZEL_TAG_SILENCE),
                                             SilenceLimitOf(*tags.silenceLimits, channel)));
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
    // Logged here, not by the accepting thread, so that it comes before the line of its end.
    GatewayLog("modbus client " + connection.peer + " connected");
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kConnectionNice);  // this thread only
    ConnectionTags tags{server.sessions, &server.settings.silenceLimits};
    const TagReader reader{ReadConnectionTag, &tags};
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
            connection.lastActiveMs.store(SteadyMs());
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
            const bool served = AnswerModbusRequest(context, adu, length, server.units, reader, &why);
            server.answered.fetch_add(1, std::memory_order_relaxed);
            if (!served) break;
        }
        modbus_free(context);  // the socket stays open: closed below, under the lock
    }
    {
        std::lock_guard<std::mutex> lock(server.fdLock);
        // Its place taken: the shut-down socket's failure is no reason of its own.
        if (!connection.replacedWhy.empty()) why = connection.replacedWhy;
        close(connection.fd);
        connection.fd = -1;
    }
    GatewayLog("modbus client " + connection.peer + " closed: " + why);
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

// The accepted socket's options: replies leave at once, not after the next
// request's bytes; a reply the client does not take fails after the idle
// time instead of holding its place forever. "" when they are set.
std::string PrepareSocket(int fd, int idleSeconds) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // without it replies are only late
    const timeval limit{idleSeconds, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        return std::string("cannot set its send time-out: ") + std::strerror(errno);
    return "";
}

// Why the choice's connection gives up its place to `peer`, for its log line.
std::string ReplacedWhy(const ModbusSettings &settings, Admission admission, const std::string &peer,
                        long long idleMs) {
    const std::string idle = "idle the longest (" + std::to_string(idleMs / 1000) + " s) of ";
    if (admission == Admission::kReplaceOwn)
        return "replaced by " + peer + ", " + idle + "its address's " + std::to_string(settings.maxPerAddress) +
               " connections (--modbus-max-per-address)";
    return "replaced by " + peer + ", " + idle + std::to_string(settings.maxClients) +
           " clients (--modbus-max-clients)";
}

// The connections that hold a place, into `live`, and their activity. Not
// those ending: replaced, or whose client has closed its end while their
// thread, at a lower priority, has not yet seen it (a client that reconnects
// at once would otherwise find its own old connection in the way).
std::vector<ClientActivity> PlacesHeld(ModbusServer &server, std::vector<Connection *> *live) {
    std::vector<Connection *> candidates;
    std::vector<pollfd> ends;
    {
        std::lock_guard<std::mutex> lock(server.fdLock);
        for (const auto &c : server.connections)
            if (!c->ended.load() && c->replacedWhy.empty() && c->fd >= 0) {  // replacedWhy: this thread's own writes
                candidates.push_back(c.get());
                ends.push_back({c->fd, POLLRDHUP, 0});
            }
        if (poll(ends.data(), ends.size(), 0) < 0)
            for (pollfd &end : ends) end.revents = 0;  // not known: every one counts
    }
    std::vector<ClientActivity> activity;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (ends[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) continue;
        live->push_back(candidates[i]);
        activity.push_back({candidates[i]->address, candidates[i]->lastActiveMs.load()});
    }
    return activity;
}

// Starts the new client's thread; when the table or its address is full, in
// the place of the connection ChooseAdmission names, which is shut down.
void Admit(ModbusServer &server, int fd, const std::string &peer, const std::string &address) {
    std::vector<Connection *> live;
    const std::vector<ClientActivity> activity = PlacesHeld(server, &live);
    const AdmissionChoice choice =
        ChooseAdmission(activity, address, server.settings.maxClients, server.settings.maxPerAddress);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->peer = peer;
    connection->address = address;
    connection->lastActiveMs.store(SteadyMs());
    try {
        connection->thread = std::thread(ServeConnection, std::ref(server), std::ref(*connection));
    } catch (const std::system_error &e) {
        // Out of threads (a container's pids limit): this client goes, those served stay.
        Refuse(fd, peer, std::string("no thread can be started for it: ") + e.what());
        return;
    }
    server.connections.push_back(std::move(connection));
    if (choice.admission == Admission::kAdmit) return;
    Connection &replaced = *live[choice.replaced];
    const std::string why =
        ReplacedWhy(server.settings, choice.admission, peer, SteadyMs() - replaced.lastActiveMs.load());
    std::lock_guard<std::mutex> lock(server.fdLock);
    replaced.replacedWhy = why;
    if (replaced.fd >= 0) shutdown(replaced.fd, SHUT_RDWR);
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
        int port = 0;
        const uint8_t *bytes = PeerOf(address, &port);
        const std::string peer = PeerText(address.ss_family, bytes, port);
        if (!ClientAllowed(server.settings.allowed, address.ss_family, bytes)) {
            Refuse(fd, peer, "not in --modbus-allow");
            continue;
        }
        if (fd >= kModbusFirstRefusedDescriptor) {
            Refuse(fd, peer, "its socket is descriptor " + std::to_string(fd) + ", at or above " +
                                 std::to_string(kModbusFirstRefusedDescriptor) + " (FD_SETSIZE " +
                                 std::to_string(FD_SETSIZE) + " less " + std::to_string(kModbusDescriptorHeadroom) +
                                 " kept for the ports and the broker)");
            continue;
        }
        if (const std::string problem = PrepareSocket(fd, server.settings.idleSeconds); !problem.empty()) {
            Refuse(fd, peer, problem);
            continue;
        }
        Admit(server, fd, peer, PeerAddressText(address.ss_family, bytes));
    }
}

std::string UnitList(const std::vector<int> &units) {
    std::string text;
    for (int unit : units) text += (text.empty() ? "" : ", ") + std::to_string(unit);
    return text;
}

}  // namespace

ModbusServer *StartModbusServer(const ModbusSettings &settings, const std::vector<HostSession> &sessions,
                                const std::vector<int> &units, std::string *error) {
    const std::string where = ListenAddressText(settings.host, settings.port);
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
    GatewayLog("serving Modbus TCP on " + ListenAddressText(settings.host, BoundPort(fd)) + ", units " +
               UnitList(units) + ", read-only");
    server->acceptor = std::thread(Accept, std::ref(*server));
    return server;
}

unsigned long long ModbusRequestsAnswered(const ModbusServer *server) {
    return server != nullptr ? server->answered.load(std::memory_order_relaxed) : 0;
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
