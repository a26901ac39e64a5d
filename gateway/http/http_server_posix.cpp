// The HTTP server's sockets and threads, on libmicrohttpd: its listener
// thread accepts (after the allow-list), each connection has a thread of
// its own, so that an event stream may wait for the next change without
// holding up any other client. What to answer is http_request.h's
// decision; the texts are http_view.h's, made from the view the publishing
// loop keeps up to date under `mutex`.
#include <microhttpd.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "gateway_log.h"
#include "http_request.h"
#include "http_server.h"
#include "http_view.h"
#include "client_networks.h"

namespace zelhost {

struct HttpServer {
    HttpSettings settings;
    MHD_Daemon *daemon = nullptr;
    std::mutex mutex;
    std::condition_variable changed;  // the view moved on, or the server stops
    HttpView view;                    // guarded by mutex
    bool stopping = false;            // guarded by mutex
    std::string state;                // StateJson of the view at stateVersion; guarded
    unsigned long long stateVersion = ~0ULL;
    std::atomic<int> clients{0};
    std::atomic<unsigned long long> requests{0};
};

namespace {

// A stream says something at least this often: a page that hears nothing
// for a few of these knows the gateway is gone, and a client that left is
// found out at the next write.
constexpr auto kStreamTick = std::chrono::seconds(1);
// The connections' threads yield to the driver's reception threads, as the
// Modbus server's do: a busy browser never delays the panel's messages.
constexpr int kConnectionNice = 10;
constexpr const char *kRealm = "ZELWNQX gateway";

// The state's JSON, made again only when the view changed since.
const std::string &CurrentState(HttpServer &server) {
    if (server.stateVersion != server.view.version) {
        server.state = StateJson(server.view);
        server.stateVersion = server.view.version;
    }
    return server.state;
}

// One event stream's place in the view.
struct Stream {
    HttpServer *server = nullptr;
    unsigned long long cursor = 0;  // the last event sent
    unsigned long long version = 0; // the view's version of the last state sent
    std::string pending;            // a frame not yet handed to the connection
    std::size_t at = 0;
};

// What a stream sends next, waiting for it at most kStreamTick; false when
// the server stops. Called with the lock held.
bool NextFrames(Stream &s, std::unique_lock<std::mutex> &lock) {
    HttpServer &server = *s.server;
    server.changed.wait_for(lock, kStreamTick, [&] {
        return server.stopping || server.view.lastId != s.cursor || server.view.version != s.version;
    });
    if (server.stopping) return false;
    const HttpView &view = server.view;
    if (view.lastId != s.cursor) {
        // Fallen behind the events kept: whatever is kept, then on.
        for (const ViewEvent &e : view.events)
            if (e.id > s.cursor) s.pending += SseFrame("event", e.id, EventElementJson(e));
        s.cursor = view.lastId;
    }
    if (view.version != s.version) {
        s.pending += SseFrame("state", 0, CurrentState(server));
        s.version = view.version;
    }
    if (s.pending.empty()) s.pending = SseFrame("tick", 0, "{}");
    return true;
}

ssize_t ReadStream(void *context, uint64_t, char *buffer, size_t max) {
    Stream &s = *static_cast<Stream *>(context);
    if (s.at >= s.pending.size()) {
        s.pending.clear();
        s.at = 0;
        std::unique_lock<std::mutex> lock(s.server->mutex);
        if (!NextFrames(s, lock)) return MHD_CONTENT_READER_END_OF_STREAM;
    }
    const std::size_t n = std::min(max, s.pending.size() - s.at);
    std::memcpy(buffer, s.pending.data() + s.at, n);
    s.at += n;
    return static_cast<ssize_t>(n);
}

void FreeStream(void *context) { delete static_cast<Stream *>(context); }

// A new stream starts with the whole state and the recent events.
MHD_Response *StreamResponse(HttpServer &server) {
    auto *s = new Stream;
    s->server = &server;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        s->pending = "retry: 1000\n\n" + SseFrame("state", 0, CurrentState(server)) +
                     SseFrame("events", 0, EventsJson(server.view, 0));
        s->cursor = server.view.lastId;
        s->version = server.view.version;
    }
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, ReadStream, s, FreeStream);
    if (response == nullptr) delete s;
    return response;
}

MHD_Response *TextResponse(const std::string &text) {
    return MHD_create_response_from_buffer(text.size(), const_cast<char *>(text.data()), MHD_RESPMEM_MUST_COPY);
}

MHD_Response *StaticResponse(const char *text) {
    return MHD_create_response_from_buffer(std::strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
}

// "10.1.2.3:50312", "[fd00::5]:50312", as the Modbus server writes a peer.
std::string PeerOf(const sockaddr *address) {
    if (address == nullptr) return "?";
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        return PeerText(AF_INET, reinterpret_cast<const uint8_t *>(&v4->sin_addr), ntohs(v4->sin_port));
    }
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
    return PeerText(AF_INET6, v6->sin6_addr.s6_addr, ntohs(v6->sin6_port));
}

std::string PeerOf(MHD_Connection *connection) {
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info != nullptr ? PeerOf(info->client_addr) : "?";
}

MHD_Result Queue(MHD_Connection *connection, int status, MHD_Response *response, const std::string &contentType) {
    if (response == nullptr) {
        GatewayLog("http client " + PeerOf(connection) + ": no memory for an answer; connection closed");
        return MHD_NO;
    }
    for (const auto &[name, value] : HttpSecurityHeaders()) MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType.c_str());
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

// Whether the request carries the user and password; if not, the 401
// answer is queued (and a wrong pair logged: none at all is how a browser
// asks first).
bool Authorized(HttpServer &server, MHD_Connection *connection, MHD_Result *queued) {
    if (server.settings.user.empty()) return true;
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(connection, &password);
    const bool match = CredentialsMatch(user, password, server.settings.user, server.settings.password);
    if (!match && user != nullptr)
        GatewayLog("http client " + PeerOf(connection) + " refused: wrong user name or password");
    MHD_free(user);
    MHD_free(password);
    if (match) return true;
    static const std::string text = "authentication required\n";
    MHD_Response *response = TextResponse(text);
    if (response == nullptr) {
        *queued = MHD_NO;
        return false;
    }
    for (const auto &[name, value] : HttpSecurityHeaders()) MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    *queued = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
    MHD_destroy_response(response);
    return false;
}

MHD_Result AnswerRequest(void *context, MHD_Connection *connection, const char *url, const char *method, const char *,
                         const char *, size_t *uploadSize, void **requestContext) {
    auto &server = *static_cast<HttpServer *>(context);
    // The first call has the headers. A read (GET, HEAD) is answered at the
    // next, once the request is whole, so that the connection may carry the
    // next request; any other method is refused at once, its body unread,
    // and its connection ends.
    const bool read = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (*requestContext == nullptr && read) {
        *requestContext = &server;
        return MHD_YES;
    }
    if (*uploadSize != 0) {  // a body on a read: dropped
        *uploadSize = 0;
        return MHD_YES;
    }
    static thread_local bool yielded = false;
    if (!yielded) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kConnectionNice);  // this connection's thread only
        yielded = true;
    }
    server.requests.fetch_add(1, std::memory_order_relaxed);
    MHD_Result queued = MHD_NO;
    if (!Authorized(server, connection, &queued)) return queued;
    const HttpDecision d =
        DecideHttpRequest(method, url, MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "after"));
    if (d.status != 200) return Queue(connection, d.status, TextResponse(d.body), d.contentType);
    const bool head = std::strcmp(method, "HEAD") == 0;
    MHD_Response *response = nullptr;
    switch (d.resource) {
        case HttpResource::kPage: response = StaticResponse(kHttpPageHtml); break;
        case HttpResource::kScript: response = StaticResponse(kHttpPageScript); break;
        case HttpResource::kStyle: response = StaticResponse(kHttpPageStyle); break;
        case HttpResource::kIcon: response = StaticResponse(kHttpPageIcon); break;
        case HttpResource::kStream: response = head ? StaticResponse("") : StreamResponse(server); break;
        default: {
            std::string text;
            {
                std::lock_guard<std::mutex> lock(server.mutex);
                text = d.resource == HttpResource::kState    ? CurrentState(server)
                       : d.resource == HttpResource::kEvents ? EventsJson(server.view, d.after)
                                                             : MetricsText(server.view, {server.clients.load(), server.requests.load()});
            }
            response = TextResponse(text);
        }
    }
    return Queue(connection, 200, response, d.contentType);
}

MHD_Result AcceptClient(void *context, const sockaddr *address, socklen_t) {
    const auto &server = *static_cast<HttpServer *>(context);
    const uint8_t *bytes = address->sa_family == AF_INET
                               ? reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr)
                               : reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr.s6_addr;
    if (ClientAllowed(server.settings.allowed, address->sa_family, bytes)) return MHD_YES;
    GatewayLog("http client " + PeerOf(address) + " refused: not in --http-allow");
    return MHD_NO;
}

void NoteConnection(void *context, MHD_Connection *, void **, MHD_ConnectionNotificationCode code) {
    auto &server = *static_cast<HttpServer *>(context);
    server.clients.fetch_add(code == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1);
}

// libmicrohttpd's own errors (a full connection table, a TLS handshake that
// failed), one line each.
void LogLibrary(void *, const char *format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    GatewayLog("http: " + line);
}

// The output's functions: the publishing loop's thread updates the view,
// and every waiting stream wakes.
void OnStart(void *context, const OutputStart &start) {
    auto &server = *static_cast<HttpServer *>(context);
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        const unsigned long long version = server.view.version;
        server.view = StartView(start);
        server.view.version = version + 1;
    }
    server.changed.notify_all();
}

void OnPoint(void *context, const OutputPoint &point) {
    auto &server = *static_cast<HttpServer *>(context);
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        NotePoint(server.view, point);
    }
    server.changed.notify_all();
}

void OnLine(void *context, const OutputLine &line) {
    auto &server = *static_cast<HttpServer *>(context);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        changed = NoteLine(server.view, line.channel, line.state, line.when);
    }
    if (changed) server.changed.notify_all();
}

void OnDiagnostics(void *context, const OutputDiagnostics &diagnostics) {
    auto &server = *static_cast<HttpServer *>(context);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        const unsigned long long version = server.view.version;
        NoteDiagnostics(server.view, diagnostics);
        changed = server.view.version != version;
    }
    if (changed) server.changed.notify_all();
}

void OnCounters(void *context, const OutputCounters &counters) {
    auto &server = *static_cast<HttpServer *>(context);
    std::lock_guard<std::mutex> lock(server.mutex);
    NoteCounters(server.view, counters);
}

// The listening socket, bound here rather than by the library, so that a
// port in use or an address not on this machine is told as the system
// tells it. -1 with the reason.
int Listen(const HttpSettings &settings, std::string *error) {
    const std::string where = ListenAddressText(settings.host, settings.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(settings.host.c_str(), std::to_string(settings.port).c_str(), &hints, &found); rc != 0) {
        *error = "--http " + where + ": " + gai_strerror(rc);
        return -1;
    }
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int one = 1, zero = 0;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
    // "[::]" takes IPv4 clients too, as the Modbus server's listener does.
    if (ok && found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    ok = ok && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    const int failure = errno;
    freeaddrinfo(found);
    if (ok) return fd;
    if (fd >= 0) close(fd);
    *error = "cannot listen on " + where + " for HTTP: " + std::strerror(failure);
    return -1;
}

}  // namespace

HttpServer *StartHttpServer(const HttpSettings &settings, std::string *error) {
    const int fd = Listen(settings, error);
    if (fd < 0) return nullptr;
    auto *server = new HttpServer;
    server->settings = settings;
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
    if (!settings.certPem.empty()) flags |= MHD_USE_TLS;
    // Without TLS the array is only its end.
    const MHD_OptionItem tls[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(settings.certPem.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(settings.keyPem.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    server->daemon = MHD_start_daemon(
        // The logger first, so that the library's lines about the options are ours too.
        flags, 0, AcceptClient, server, AnswerRequest, server, MHD_OPTION_EXTERNAL_LOGGER, LogLibrary, server,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(settings.maxClients),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(settings.idleSeconds), MHD_OPTION_NOTIFY_CONNECTION,
        NoteConnection, server, MHD_OPTION_ARRAY, settings.certPem.empty() ? &tls[2] : tls, MHD_OPTION_END);
    const std::string where = ListenAddressText(settings.host, BoundPort(fd));
    if (server->daemon == nullptr) {
        close(fd);
        *error = "cannot serve HTTP on " + where +
                 (settings.certPem.empty() ? ": libmicrohttpd could not start (no threads?)"
                                           : ": the TLS certificate or key was refused (PEM files that belong together?)");
        delete server;
        return nullptr;
    }
    GatewayLog(std::string("serving HTTP") + (settings.certPem.empty() ? "" : "S") + " on " + where + ", read-only" +
               (settings.user.empty() ? "" : ", basic authentication"));
    return server;
}

GatewayOutput HttpOutputOf(HttpServer *server) {
    return {OnStart, OnPoint, OnLine, OnDiagnostics, OnCounters, server};
}

void StopHttpServer(HttpServer *server) {
    if (server == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        server->stopping = true;
    }
    server->changed.notify_all();
    MHD_stop_daemon(server->daemon);
    delete server;
}

}  // namespace zelhost
