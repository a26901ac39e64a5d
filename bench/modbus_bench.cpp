// Figures of the gateway's Modbus TCP server (`zelhost publish --no-mqtt
// --modbus`), on loopback, the gateway serving 8 channels on
// pseudo-terminals:
//
//   (a) reception: one message at a time on channel 1; the delay from the
//       end of the driver's read time-out to the point's new value in its
//       register (a client polling it), p50 and p99 - without Modbus load
//   (b) load: 8 clients (libmodbus contexts, one thread each) reading 125
//       input registers back to back; requests per second in all, p50 and
//       p99 of one request
//   (c) reception as in (a), while the 8 clients read at the target rate,
//       20,000 requests per second in all
//   (d) reception as in (a), while the load of (b) runs: the clients, the
//       server and the loopback network take both cores
//
// The probe of (a), (c) and (d) is a Modbus client itself, served by a thread
// that yields to the driver's, as every connection's: each is an upper bound
// of the driver's own delay. `--load SECONDS` runs (b) alone for that long,
// to measure the driver meanwhile with zel_e2e_bench.
//
// Usage: modbus_bench [--quick | --load SECONDS] ZELHOST
// Figures are printed with their targets, never asserted; the exit status is
// non-zero only when a measurement could not be made.
#include <modbus.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
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
constexpr int kClients = 8;
constexpr int kReadTimeoutMs = 50;

// A message of one kind-0 event on entry `index` of the table; `reg` is
// the point's register.
std::string Message(int index, int *reg) {
    EventEntry e;
    const std::string message = EventMessage(index, &e);
    *reg = e.bus * 2000 + e.slot * 200 + e.point;
    return message;
}

modbus_t *Connect(int port) {
    modbus_t *client = modbus_new_tcp("127.0.0.1", port);
    if (client == nullptr) return nullptr;
    modbus_set_slave(client, 1);
    modbus_set_response_timeout(client, 5, 0);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (modbus_connect(client) == 0) return client;
        SleepMs(100);
    }
    modbus_free(client);
    return nullptr;
}

// (a), (c), (d): messages on channel 1, one at a time; each one's delay from
// the end of the read time-out to its register reading 1, waiting for it at
// most `limitMs`. Empty on failure.
std::vector<double> Reception(const Line &line, modbus_t *probe, int first, int messages, double limitMs = 3000) {
    std::vector<double> delays;
    for (int i = first; i < first + messages; ++i) {
        int reg = 0;
        const std::string message = Message(i, &reg);
        SleepMs(5 + i % 7);
        const int64_t sent = NowNs();
        Write(line, message);
        uint16_t value = 0;
        while (value == 0) {
            if (modbus_read_input_registers(probe, reg, 1, &value) != 1 || NowNs() - sent > limitMs * 1e6) {
                std::printf("  message %d: register %d not 1 after %.0f ms\n", i, reg, (NowNs() - sent) / 1e6);
                return {};
            }
        }
        delays.push_back((NowNs() - sent) / 1e6 - kReadTimeoutMs);
    }
    return delays;
}

struct Load {
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    double perClientPerSecond = 0;  // 0: back to back
    std::mutex lock;
    std::vector<double> latencies;  // ms, every request of every client
};

void ReadBackToBack(Load &load, int port, int client) {
    modbus_t *context = Connect(port);
    if (context == nullptr) {
        ++load.failed;
        return;
    }
    std::vector<double> mine;
    mine.reserve(1 << 20);
    uint16_t registers[125];
    // Points 26-150 of one slot per request, slot after slot.
    const int64_t first = NowNs();
    long long requests = 0;
    for (int block = client; !load.stop.load(std::memory_order_relaxed); block = (block + 1) % 81) {
        // Paced: each request at its turn, none made up for when late.
        if (load.perClientPerSecond > 0) {
            const int64_t due = first + static_cast<int64_t>(++requests * 1e9 / load.perClientPerSecond);
            if (due > NowNs()) SleepMs((due - NowNs()) / 1e6);
        }
        const int64_t start = NowNs();
        if (modbus_read_input_registers(context, block / 9 * 2000 + block % 9 * 200 + 26, 125, registers) != 125) {
            ++load.failed;
            break;
        }
        mine.push_back((NowNs() - start) / 1e6);
    }
    modbus_close(context);
    modbus_free(context);
    std::lock_guard<std::mutex> guard(load.lock);
    load.latencies.insert(load.latencies.end(), mine.begin(), mine.end());
}

void PrintReception(const char *label, const std::vector<double> &delays) {
    std::printf("  %s read time-out end -> value in its register: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu messages)\n",
                label, Percentile(delays, 0.5), Percentile(delays, 0.99), Percentile(delays, 1.0), delays.size());
}

}  // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const bool loadOnly = argc > 2 && std::strcmp(argv[1], "--load") == 0;
    if (argc != (quick ? 3 : loadOnly ? 4 : 2) || (loadOnly && std::atof(argv[2]) <= 0)) {
        std::fprintf(stderr, "usage: %s [--quick | --load SECONDS] ZELHOST\n", argv[0]);
        return 2;
    }
    const int messages = loadOnly ? 0 : quick ? 10 : 200;
    const double loadSeconds = loadOnly ? std::atof(argv[2]) : quick ? 1 : 10;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    char work[] = "/tmp/zel-modbus-bench-XXXXXX";
    if (mkdtemp(work) == nullptr) return 1;
    const int port = 20000 + static_cast<int>(getpid() % 20000);

    Line lines[kChannels];
    // The clients and the probe all come from loopback: one address, more
    // connections than its default limit.
    std::vector<std::string> gateway = {argv[argc - 1], "publish", "--timeout", std::to_string(kReadTimeoutMs / 10),
                                        "--no-mqtt", "--modbus", "127.0.0.1:" + std::to_string(port),
                                        "--modbus-max-per-address", std::to_string(kClients + 1)};
    for (Line &line : lines) {
        if (!OpenLine(line)) return 1;
        gateway.insert(gateway.end(), {"--port", line.port});
    }
    const pid_t gatewayPid = Spawn(gateway, (std::string(work) + "/gateway.log").c_str());
    SleepMs(1500);  // the channels' first second
    modbus_t *probe = Connect(port);
    if (probe == nullptr) {
        std::printf("MEASUREMENT FAILED: no Modbus server on port %d\n", port);
        kill(gatewayPid, SIGTERM);
        return 1;
    }
    std::printf("ZELWNQX Modbus TCP server benchmark%s: 8 channels, read time-out %d ms, %d clients on loopback\n",
                quick ? " (quick run)" : "", kReadTimeoutMs, kClients);
    int failed = 0;
    const std::vector<double> quiet = Reception(lines[0], probe, 0, messages);
    if (quiet.empty() && !loadOnly) failed = 1;
    if (!loadOnly) PrintReception("(a) no Modbus load:", quiet);

    // (c): the clients at the target rate, 20,000 requests per second in all.
    if (!loadOnly) {
        Load paced;
        paced.perClientPerSecond = 20000.0 / kClients;
        std::vector<std::thread> clients;
        const int64_t begun = NowNs();
        for (int c = 0; c < kClients; ++c) clients.emplace_back(ReadBackToBack, std::ref(paced), port, c);
        SleepMs(200);
        const std::vector<double> underTarget = Reception(lines[0], probe, 2000, messages);
        paced.stop = true;
        for (std::thread &t : clients) t.join();
        if (underTarget.empty() || paced.failed.load() > 0) failed = 1;
        std::printf("  (c) beside it %zu requests, %.0f requests/s in all (paced to 20000)\n", paced.latencies.size(),
                    paced.latencies.size() / ((NowNs() - begun) / 1e9));
        PrintReception("(c) under the target load:", underTarget);
    }

    // (b) and (d): the clients back to back, as fast as they are answered.
    Load load;
    std::vector<std::thread> clients;
    const int64_t start = NowNs();
    for (int c = 0; c < kClients; ++c) clients.emplace_back(ReadBackToBack, std::ref(load), port, c);
    SleepMs(200);
    // Not a failure when late: how late, on a machine the load saturates.
    const std::vector<double> saturated = loadOnly ? std::vector<double>{} : Reception(lines[0], probe, 4000, messages / 4, 30000);
    while ((NowNs() - start) / 1e9 < loadSeconds) SleepMs(10);
    load.stop = true;
    for (std::thread &t : clients) t.join();
    const double seconds = (NowNs() - start) / 1e9;
    const double rate = load.latencies.size() / seconds;
    const double p99 = Percentile(load.latencies, 0.99);
    std::printf("  (b) %d clients, 125 registers a request: %zu requests in %.2f s: %.0f requests/s (target >= 20000: %s), "
                "p50 %.3f ms, p99 %.3f ms (target < 2 ms: %s)\n",
                kClients, load.latencies.size(), seconds, rate, rate >= 20000 ? "PASS" : "MISS",
                Percentile(load.latencies, 0.5), p99, p99 < 2 ? "PASS" : "MISS");
    if (load.failed.load() > 0) failed = 1;
    if (!loadOnly) PrintReception("(d) under the load of (b), both cores busy:", saturated);

    modbus_close(probe);
    modbus_free(probe);
    kill(gatewayPid, SIGTERM);
    waitpid(gatewayPid, nullptr, 0);
    for (Line &line : lines) close(line.master);
    ReportAndRemoveWork(work, failed, "a client or a message");
    return failed;
}
