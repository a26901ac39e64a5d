// Figures of the gateway's HTTP server (`zelhost publish --no-mqtt --http`),
// on loopback, the gateway serving 8 channels on pseudo-terminals:
//
//   (a) reception: one message at a time on channel 1, with 50 event
//       streams open (/events, as 50 pages would hold them); the delay from
//       the end of the driver's read time-out to the event's frame at each
//       stream, p50 and p99 over every stream and message, and the spread
//       of one event over the 50 (its last stream less its first)
//   (b) load: 4 clients (keep-alive connections, one thread each) fetching
//       /api/state back to back, the 50 streams still open; requests per
//       second in all, p50 and p99 of one request
//   (c) reception as in (a), while the clients of (b) fetch at the target
//       rate, 2,000 requests per second in all
//
// Usage: http_bench [--quick] ZELHOST
// Figures are printed with their targets, never asserted; the exit status is
// non-zero only when a measurement could not be made.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway_lines.h"

namespace {

using namespace zelbench;

constexpr int kChannels = 8;
constexpr int kStreams = 50;
constexpr int kStateClients = 4;
constexpr int kReadTimeoutMs = 50;

int Connect(int port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        SleepMs(100);
    }
    return -1;
}

bool SendAll(int fd, const std::string &text) {
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// One event stream: its socket, the chunked body decoded so far, and when
// each awaited address's event frame came.
struct Stream {
    int fd = -1;
    std::string raw;      // bytes not yet decoded
    std::string text;     // the decoded body, frames not yet read
    bool headerDone = false;
    std::size_t chunkLeft = 0;
    bool failed = false;
};

// Decodes the chunked transfer encoding of what arrived into `text`.
void Decode(Stream &s) {
    if (!s.headerDone) {
        const std::size_t end = s.raw.find("\r\n\r\n");
        if (end == std::string::npos) return;
        if (s.raw.compare(0, 12, "HTTP/1.1 200") != 0) s.failed = true;
        s.raw.erase(0, end + 4);
        s.headerDone = true;
    }
    for (;;) {
        if (s.chunkLeft == 0) {
            const std::size_t line = s.raw.find("\r\n");
            if (line == std::string::npos) return;
            if (line == 0) {  // the CRLF after a chunk's data
                s.raw.erase(0, 2);
                continue;
            }
            s.chunkLeft = std::strtoul(s.raw.substr(0, line).c_str(), nullptr, 16);
            s.raw.erase(0, line + 2);
            if (s.chunkLeft == 0) {
                s.failed = true;  // the stream ended
                return;
            }
        }
        const std::size_t n = std::min(s.chunkLeft, s.raw.size());
        if (n == 0) return;
        s.text.append(s.raw, 0, n);
        s.raw.erase(0, n);
        s.chunkLeft -= n;
    }
}

struct Streams {
    std::vector<Stream> all;
    std::mutex lock;
    std::string awaited;               // "\"address\":\"BBSSPPP\"" of the event expected
    std::vector<int64_t> arrived;      // per stream, when its frame came; 0: not yet
    std::atomic<bool> stop{false};
};

// Reads every stream, and notes when each one's frame of the awaited event came.
void Follow(Streams &streams) {
    std::vector<pollfd> fds;
    for (const Stream &s : streams.all) fds.push_back({s.fd, POLLIN, 0});
    char buffer[65536];
    while (!streams.stop.load()) {
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        const int64_t now = NowNs();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Stream &s = streams.all[i];
            const ssize_t n = recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                s.failed = true;
                fds[i].fd = -1;
                continue;
            }
            s.raw.append(buffer, static_cast<std::size_t>(n));
            Decode(s);
            // Whole frames: an event frame holding the awaited address.
            for (std::size_t end; (end = s.text.find("\n\n")) != std::string::npos; s.text.erase(0, end + 2)) {
                if (s.text.compare(0, 13, "event: event\n") != 0) continue;
                std::lock_guard<std::mutex> guard(streams.lock);
                if (!streams.awaited.empty() && streams.arrived[i] == 0 &&
                    s.text.substr(0, end).find(streams.awaited) != std::string::npos)
                    streams.arrived[i] = now;
            }
        }
    }
}

struct Reception {
    std::vector<double> delays;  // ms, every stream of every message
    std::vector<double> spreads; // ms, per message: its last stream less its first
    bool ok = true;
};

// Messages on channel 1, one at a time; each one's delay from the end of the
// read time-out to its frame at each stream, waiting at most 3 s.
Reception Receive(const Line &line, Streams &streams, int first, int messages) {
    Reception r;
    for (int i = first; i < first + messages && r.ok; ++i) {
        EventEntry e;
        const std::string message = EventMessage(i, &e);
        char address[32];
        std::snprintf(address, sizeof address, "\"address\":\"%02d%02d%03d\"", e.bus, e.slot, e.point);
        {
            std::lock_guard<std::mutex> guard(streams.lock);
            streams.awaited = address;
            std::fill(streams.arrived.begin(), streams.arrived.end(), 0);
        }
        SleepMs(5 + i % 7);
        const int64_t sent = NowNs();
        Write(line, message);
        for (;;) {
            SleepMs(1);
            std::lock_guard<std::mutex> guard(streams.lock);
            if (std::none_of(streams.arrived.begin(), streams.arrived.end(), [](int64_t t) { return t == 0; })) break;
            if (NowNs() - sent > 3'000'000'000LL) {
                std::printf("  message %d: %ld of %d streams had its event after 3 s\n", i,
                            std::count_if(streams.arrived.begin(), streams.arrived.end(), [](int64_t t) { return t != 0; }),
                            kStreams);
                r.ok = false;
                break;
            }
        }
        std::lock_guard<std::mutex> guard(streams.lock);
        if (!r.ok) break;
        const auto [firstAt, lastAt] = std::minmax_element(streams.arrived.begin(), streams.arrived.end());
        for (int64_t t : streams.arrived) r.delays.push_back((t - sent) / 1e6 - kReadTimeoutMs);
        r.spreads.push_back((*lastAt - *firstAt) / 1e6);
    }
    return r;
}

void PrintReception(const char *label, const Reception &r) {
    const double p99 = Percentile(r.delays, 0.99);
    std::printf("  %s read time-out end -> event at each of %d streams: p50 %.2f ms, p99 %.2f ms (target < 10 ms: %s), "
                "max %.2f ms; spread over the streams p50 %.2f ms, p99 %.2f ms (%zu messages)\n",
                label, kStreams, Percentile(r.delays, 0.5), p99, r.ok && p99 < 10 ? "PASS" : "MISS",
                Percentile(r.delays, 1.0), Percentile(r.spreads, 0.5), Percentile(r.spreads, 0.99), r.spreads.size());
}

struct Load {
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    double perClientPerSecond = 0;  // 0: back to back
    std::mutex lock;
    std::vector<double> latencies;  // ms
};

// GET /api/state on one keep-alive connection until stopped.
void FetchState(Load &load, int port) {
    const int fd = Connect(port);
    if (fd < 0) {
        ++load.failed;
        return;
    }
    const std::string request = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<double> mine;
    std::string in;
    char buffer[65536];
    const int64_t first = NowNs();
    long long requests = 0;
    while (!load.stop.load(std::memory_order_relaxed)) {
        if (load.perClientPerSecond > 0) {
            const int64_t due = first + static_cast<int64_t>(++requests * 1e9 / load.perClientPerSecond);
            if (due > NowNs()) SleepMs((due - NowNs()) / 1e6);
        }
        const int64_t start = NowNs();
        if (!SendAll(fd, request)) {
            ++load.failed;
            break;
        }
        // The header, then Content-Length bytes of body.
        std::size_t need = 0;
        bool ok = true;
        for (;;) {
            const std::size_t end = in.find("\r\n\r\n");
            if (need == 0 && end != std::string::npos) {
                const std::size_t at = in.find("Content-Length: ");
                ok = in.compare(0, 12, "HTTP/1.1 200") == 0 && at != std::string::npos && at < end;
                if (!ok) break;
                need = end + 4 + std::strtoul(in.c_str() + at + 16, nullptr, 10);
            }
            if (need != 0 && in.size() >= need) break;
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ok = false;
                break;
            }
            in.append(buffer, static_cast<std::size_t>(n));
        }
        if (!ok) {
            ++load.failed;
            break;
        }
        in.erase(0, need);
        mine.push_back((NowNs() - start) / 1e6);
    }
    close(fd);
    std::lock_guard<std::mutex> guard(load.lock);
    load.latencies.insert(load.latencies.end(), mine.begin(), mine.end());
}

}  // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (argc != (quick ? 3 : 2)) {
        std::fprintf(stderr, "usage: %s [--quick] ZELHOST\n", argv[0]);
        return 2;
    }
    const int messages = quick ? 10 : 200;
    const double loadSeconds = quick ? 1 : 10;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    char work[] = "/tmp/zel-http-bench-XXXXXX";
    if (mkdtemp(work) == nullptr) return 1;
    const int port = 20000 + static_cast<int>(getpid() % 20000);

    Line lines[kChannels];
    std::vector<std::string> gateway = {argv[argc - 1], "publish", "--timeout", std::to_string(kReadTimeoutMs / 10),
                                        "--no-mqtt", "--http", "127.0.0.1:" + std::to_string(port),
                                        "--http-max-clients", std::to_string(kStreams + kStateClients + 8)};
    for (Line &line : lines) {
        if (!OpenLine(line)) return 1;
        gateway.insert(gateway.end(), {"--port", line.port});
    }
    const pid_t gatewayPid = Spawn(gateway, (std::string(work) + "/gateway.log").c_str());
    SleepMs(1500);  // the channels' first second
    Streams streams;
    streams.all.resize(kStreams);
    streams.arrived.assign(kStreams, 0);
    int failed = 0;
    for (Stream &s : streams.all) {
        s.fd = Connect(port);
        if (s.fd < 0 || !SendAll(s.fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) failed = 1;
    }
    if (failed) {
        std::printf("MEASUREMENT FAILED: no HTTP server on port %d\n", port);
        kill(gatewayPid, SIGTERM);
        return 1;
    }
    std::thread follower(Follow, std::ref(streams));
    SleepMs(300);
    std::printf("ZELWNQX HTTP server benchmark%s: 8 channels, read time-out %d ms, %d event streams and %d /api/state "
                "clients on loopback\n",
                quick ? " (quick run)" : "", kReadTimeoutMs, kStreams, kStateClients);

    const Reception quiet = Receive(lines[0], streams, 0, messages);
    if (!quiet.ok) failed = 1;
    PrintReception("(a) no other load:", quiet);

    // (c): the clients at the target rate, 2,000 requests per second in all.
    {
        Load paced;
        paced.perClientPerSecond = 2000.0 / kStateClients;
        std::vector<std::thread> clients;
        const int64_t begun = NowNs();
        for (int c = 0; c < kStateClients; ++c) clients.emplace_back(FetchState, std::ref(paced), port);
        SleepMs(200);
        const Reception underTarget = Receive(lines[0], streams, 2000, messages);
        paced.stop = true;
        for (std::thread &t : clients) t.join();
        if (!underTarget.ok || paced.failed.load() > 0) failed = 1;
        std::printf("  (c) beside it %zu /api/state requests, %.0f requests/s in all (paced to 2000)\n",
                    paced.latencies.size(), paced.latencies.size() / ((NowNs() - begun) / 1e9));
        PrintReception("(c) under the target load:", underTarget);
    }

    // (b): the clients back to back.
    Load load;
    std::vector<std::thread> clients;
    const int64_t start = NowNs();
    for (int c = 0; c < kStateClients; ++c) clients.emplace_back(FetchState, std::ref(load), port);
    while ((NowNs() - start) / 1e9 < loadSeconds) SleepMs(10);
    load.stop = true;
    for (std::thread &t : clients) t.join();
    const double seconds = (NowNs() - start) / 1e9;
    const double rate = load.latencies.size() / seconds;
    std::printf("  (b) %d clients of /api/state beside %d streams: %zu requests in %.2f s: %.0f requests/s "
                "(target >= 2000: %s), p50 %.3f ms, p99 %.3f ms\n",
                kStateClients, kStreams, load.latencies.size(), seconds, rate, rate >= 2000 ? "PASS" : "MISS",
                Percentile(load.latencies, 0.5), Percentile(load.latencies, 0.99));
    if (load.failed.load() > 0) failed = 1;
    const int broken = static_cast<int>(std::count_if(streams.all.begin(), streams.all.end(), [](const Stream &s) { return s.failed; }));
    if (broken > 0) {
        std::printf("  %d of %d streams ended or failed during the run\n", broken, kStreams);
        failed = 1;
    }

    streams.stop = true;
    follower.join();
    for (Stream &s : streams.all) close(s.fd);
    kill(gatewayPid, SIGTERM);
    waitpid(gatewayPid, nullptr, 0);
    for (Line &line : lines) close(line.master);
    ReportAndRemoveWork(work, failed, "a stream, a client or a message");
    return failed;
}
