// The gateway's HTTP server decides each request here, apart from any
// socket: the method and path give the resource or the error status, and
// the headers every answer carries. http_server_posix.cpp only moves bytes.
//
//   /            the page (its script, style and icon at /app.js, /app.css, /icon.svg)
//   /api/state   JSON: every channel's line, diagnostic tags and active points
//   /api/events  JSON: the recent events; ?after=N for those numbered above N
//   /events      the Server-Sent Events stream of the same, live
//   /metrics     the Prometheus text format
// Read-only: GET and HEAD; any other method is 405 with Allow.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelhost {

enum class HttpResource { kPage, kScript, kStyle, kIcon, kState, kEvents, kStream, kMetrics, kNone };

struct HttpDecision {
    int status = 200;
    HttpResource resource = HttpResource::kNone;
    unsigned long long after = 0;  // kEvents: the number to resume after
    std::string contentType;
    std::string body;  // the answer of an error status: one line of text
};

// `after` is the query's `after` argument, or null when absent.
HttpDecision DecideHttpRequest(std::string_view method, std::string_view path, const char *after);

// The headers of every answer: no framing (Content-Security-Policy
// frame-ancestors and X-Frame-Options), no script but the page's own, no
// content-type guessing, no referrer, nothing cached.
const std::vector<std::pair<std::string, std::string>> &HttpSecurityHeaders();

// Basic authentication: whether the user name and password given match,
// compared in a time that does not depend on where they differ. A null
// name or password (none sent) never matches.
bool CredentialsMatch(const char *user, const char *password, const std::string &expectedUser,
                      const std::string &expectedPassword);

// The page's files, built into the program: no outside resource, no
// script framework.
extern const char kHttpPageHtml[];
extern const char kHttpPageScript[];
extern const char kHttpPageStyle[];
extern const char kHttpPageIcon[];

}  // namespace zelhost
