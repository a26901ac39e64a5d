#include "tls_check.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace zelhost {
namespace {

// A TCP connection to host:port within a few seconds, or -1.
int Connect(const std::string &host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        timeval limit{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

bool IsAddressLiteral(const std::string &host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

}  // namespace

std::string TlsVerifyProblem(const std::string &host, int port, const std::string &caFile) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context || SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) return "";
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    if (!ssl) return "";
    // The host checked as the MQTT client checks it: an address against the
    // certificate's IP entries, a name against its DNS names.
    X509_VERIFY_PARAM *check = SSL_get0_param(ssl.get());
    if (IsAddressLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    }
    const int fd = Connect(host, port);
    if (fd < 0) return "";
    SSL_set_fd(ssl.get(), fd);
    const bool handshake = SSL_connect(ssl.get()) == 1;
    const long result = SSL_get_verify_result(ssl.get());
    close(fd);
    ERR_clear_error();
    if (handshake || result == X509_V_OK) return "";
    const std::string why = X509_verify_cert_error_string(result);
    switch (result) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "the broker's certificate does not name " + host + " (" + why + "): connect by a name it holds";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "the broker's certificate is not signed by the CA in " + caFile + " (" + why + ")";
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "the broker's certificate is out of date (" + why + ")";
        default: return "the broker's certificate did not verify: " + why;
    }
}

}  // namespace zelhost
