#include "http_request.h"

#include <cstddef>

namespace zelhost {
namespace {

HttpDecision Error(int status, std::string body) {
    HttpDecision d;
    d.status = status;
    d.contentType = "text/plain; charset=utf-8";
    d.body = std::move(body) + "\n";
    return d;
}

// A decimal number 0 to 2^64-1, digits only.
bool ParseNumber(const char *text, unsigned long long *value) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long long v = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        const unsigned digit = static_cast<unsigned>(*c - '0');
        if (v > (~0ULL - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

}  // namespace

HttpDecision DecideHttpRequest(std::string_view method, std::string_view path, const char *after) {
    if (method != "GET" && method != "HEAD") return Error(405, "read-only: GET and HEAD only");
    struct Route {
        std::string_view path;
        HttpResource resource;
        const char *contentType;
    };
    static const Route routes[] = {
        {"/", HttpResource::kPage, "text/html; charset=utf-8"},
        {"/app.js", HttpResource::kScript, "text/javascript; charset=utf-8"},
        {"/app.css", HttpResource::kStyle, "text/css; charset=utf-8"},
        {"/icon.svg", HttpResource::kIcon, "image/svg+xml"},
        {"/api/state", HttpResource::kState, "application/json"},
        {"/api/events", HttpResource::kEvents, "application/json"},
        {"/events", HttpResource::kStream, "text/event-stream"},
        {"/metrics", HttpResource::kMetrics, "text/plain; version=0.0.4; charset=utf-8"},
    };
    for (const Route &route : routes) {
        if (route.path != path) continue;
        HttpDecision d;
        d.resource = route.resource;
        d.contentType = route.contentType;
        if (route.resource == HttpResource::kEvents && after != nullptr && !ParseNumber(after, &d.after))
            return Error(400, "after: expected an event number 0-18446744073709551615");
        return d;
    }
    return Error(404, "not found: the gateway serves /, /api/state, /api/events, /events and /metrics");
}

const std::vector<std::pair<std::string, std::string>> &HttpSecurityHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers{
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    };
    return headers;
}

bool CredentialsMatch(const char *user, const char *password, const std::string &expectedUser,
                      const std::string &expectedPassword) {
    if (user == nullptr || password == nullptr) return false;
    // Every byte of both is looked at whatever differs: the time tells nothing.
    const auto differs = [](const char *given, const std::string &expected) {
        const std::string_view g(given);
        unsigned char difference = g.size() != expected.size();
        for (std::size_t i = 0; i < expected.size(); ++i)
            difference |= static_cast<unsigned char>(expected[i] ^ (i < g.size() ? g[i] : 0));
        return difference != 0;
    };
    const bool userDiffers = differs(user, expectedUser);
    const bool passwordDiffers = differs(password, expectedPassword);
    return !userDiffers && !passwordDiffers;
}

}  // namespace zelhost
