// The gateway's HTTP server (Linux, libmicrohttpd): the page, the JSON API,
// the event stream and the metrics of http_request.h, read-only. It follows
// the publishing loop as one of the gateway's outputs (gateway/output.h).
#pragma once

#include <string>
#include <vector>

#include "client_networks.h"
#include "output.h"

namespace zelhost {

struct HttpSettings {
    std::string host = "127.0.0.1";
    int port = 8080;                      // 0: any free port (the log names it)
    std::vector<ClientNetwork> allowed;   // empty: every client
    int maxClients = 64;                  // connections at once, event streams included
    int idleSeconds = 60;                 // a connection that sends nothing for this long ends
    std::string certPem, keyPem;          // TLS when given: the certificate and its key, PEM
    std::string user, password;           // basic authentication when a user is given
};

// The highest --http-max-clients: each connection has a thread of its own.
constexpr int kHttpMaxClientsLimit = 512;

struct HttpServer;

// Listens; null, with a one-line reason, when it cannot.
HttpServer *StartHttpServer(const HttpSettings &settings, std::string *error);
// The server as an output of the publishing loop.
GatewayOutput HttpOutputOf(HttpServer *server);
// Ends every stream and connection, joins the threads, frees the server.
void StopHttpServer(HttpServer *server);

}  // namespace zelhost
