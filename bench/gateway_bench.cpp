// Figures of the MQTT gateway (`zelhost publish`), measured as a site meets
// them: a Mosquitto broker on loopback, the gateway serving 8 channels on
// pseudo-terminals, a subscriber (this program) on the events topic.
//
//   (a) latency: one message at a time on channel 1; the delay from the end
//       of the driver's read time-out (when the driver applies the message)
//       to the event's arrival at the subscriber, p50 and p99
//   (b) throughput: 8 channels busy at once, messages back to back; the
//       events per second that reach the subscriber, and none lost
//
// Usage: gateway_bench [--quick] ZELHOST
// Figures are printed, never asserted; the exit status is non-zero only when
// a measurement could not be made.
#include <mosquitto.h>
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
constexpr int kReadTimeoutMs = 50;

// A message of one kind-0 event on entry `index` of the table: its address
// identifies it at the subscriber.
std::string Message(int index, char *address) {
    EventEntry e;
    const std::string message = EventMessage(index, &e);
    std::snprintf(address, 8, "%02u%02u%03u", static_cast<unsigned>(e.bus) % 100u, static_cast<unsigned>(e.slot) % 100u,
                  static_cast<unsigned>(e.point) % 1000u);
    return message;
}

// What the subscriber saw: each event's channel and address, with its time.
struct Arrival {
    int channel;
    char address[8];
    int64_t at;
};
std::mutex arrivalsLock;
std::vector<Arrival> arrivals;
std::atomic<int> arrived{0};

void OnMessage(mosquitto *, void *, const mosquitto_message *m) {
    const int64_t at = NowNs();
    const std::string payload(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen));
    const std::size_t a = payload.find("\"address\":\""), c = payload.find("\"channel\":");
    if (a == std::string::npos || c == std::string::npos) return;
    Arrival arrival{std::atoi(payload.c_str() + c + 10), {}, at};
    std::memcpy(arrival.address, payload.c_str() + a + 11, 7);
    std::lock_guard<std::mutex> lock(arrivalsLock);
    arrivals.push_back(arrival);
    ++arrived;
}

// Waits up to `ms` for `count` arrivals in all.
bool WaitForArrivals(int count, double ms) {
    const int64_t end = NowNs() + static_cast<int64_t>(ms * 1e6);
    while (arrived.load() < count)
        if (NowNs() > end) return false;
        else SleepMs(0.2);
    return true;
}

int64_t ArrivalOf(int channel, const char *address) {
    std::lock_guard<std::mutex> lock(arrivalsLock);
    for (const Arrival &a : arrivals)
        if (a.channel == channel && std::strcmp(a.address, address) == 0) return a.at;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (argc != (quick ? 3 : 2)) {
        std::fprintf(stderr, "usage: %s [--quick] ZELHOST\n", argv[0]);
        return 2;
    }
    const std::string zelhost = argv[argc - 1];
    const int latencyMessages = quick ? 10 : 200;
    const int burstPerChannel = quick ? 20 : 1000;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);

    char work[] = "/tmp/zel-gateway-bench-XXXXXX";
    if (mkdtemp(work) == nullptr) return 1;
    const std::string dir = work;
    const int port = 20000 + static_cast<int>(getpid() % 20000);
    {
        FILE *conf = std::fopen((dir + "/broker.conf").c_str(), "w");
        if (conf == nullptr) return 1;
        std::fprintf(conf, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n"
                     // A site's setting (docs/mosquitto-site.conf): the broker drops no QoS 1
                     // message for a subscriber behind the burst, so the figures are the gateway's.
                     "max_queued_messages 0\nmax_inflight_messages 0\n", port,
                     getenv("USER") != nullptr ? getenv("USER") : "root");
        std::fclose(conf);
    }
    const pid_t broker = Spawn({"mosquitto", "-c", dir + "/broker.conf"}, (dir + "/broker.log").c_str());
    SleepMs(500);

    Line lines[kChannels];
    std::vector<std::string> gateway = {zelhost, "publish", "--timeout", std::to_string(kReadTimeoutMs / 10),
                                        "--broker", "127.0.0.1", "--broker-port", std::to_string(port),
                                        "--prefix", "bench"};
    for (Line &line : lines) {
        if (!OpenLine(line)) return 1;
        gateway.insert(gateway.end(), {"--port", line.port});
    }
    mosquitto_lib_init();
    mosquitto *subscriber = mosquitto_new("zel-bench-subscriber", true, nullptr);
    mosquitto_message_callback_set(subscriber, OnMessage);
    if (mosquitto_connect(subscriber, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(subscriber, nullptr, "bench/+/events", 1) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(subscriber) != MOSQ_ERR_SUCCESS) {
        std::printf("MEASUREMENT FAILED: no broker on port %d\n", port);
        kill(broker, SIGTERM);
        return 1;
    }
    const pid_t gatewayPid = Spawn(gateway, (dir + "/gateway.log").c_str());
    SleepMs(2500);  // the channels' first second, and the connection

    std::printf("ZELWNQX MQTT gateway benchmark%s: 8 channels, read time-out %d ms, broker on loopback\n",
                quick ? " (quick run)" : "", kReadTimeoutMs);
    int failed = 0;
    // (a) one message at a time on channel 1.
    std::vector<double> fromTimeout, fromFirstByte;
    for (int i = 0; i < latencyMessages; ++i) {
        char address[8];
        const std::string message = Message(i, address);
        SleepMs(5 + i % 7);
        const int64_t sent = NowNs();
        Write(lines[0], message);
        if (!WaitForArrivals(i + 1, 3000)) {
            std::printf("MEASUREMENT FAILED: message %d never reached the subscriber\n", i);
            failed = 1;
            break;
        }
        const int64_t at = ArrivalOf(1, address);
        fromFirstByte.push_back((at - sent) / 1e6);
        fromTimeout.push_back((at - sent) / 1e6 - kReadTimeoutMs);
    }
    if (!fromTimeout.empty()) {
        std::printf("  (a) read time-out end -> event at the subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu messages)\n",
                    Percentile(fromTimeout, 0.5), Percentile(fromTimeout, 0.99), Percentile(fromTimeout, 1.0),
                    fromTimeout.size());
        std::printf("      first byte -> event at the subscriber: p50 %.2f ms, p99 %.2f ms\n", Percentile(fromFirstByte, 0.5),
                    Percentile(fromFirstByte, 0.99));
    }
    // (b) 8 channels, messages back to back.
    const int before = arrived.load();
    const int64_t start = NowNs();
    std::vector<std::thread> panels;
    for (int c = 0; c < kChannels; ++c)
        panels.emplace_back([&, c] {
            for (int i = 0; i < burstPerChannel; ++i) {
                char address[8];
                Write(lines[c], Message(1000 + i, address));
            }
        });
    for (std::thread &t : panels) t.join();
    const int expected = before + kChannels * burstPerChannel;
    const bool all = WaitForArrivals(expected, 20000);
    const double seconds = (NowNs() - start) / 1e9;
    const int got = arrived.load() - before;
    std::printf("  (b) 8 busy channels: %d of %d events reached the subscriber in %.2f s: %.0f events/s%s\n", got,
                kChannels * burstPerChannel, seconds, got / seconds, all ? "" : " (SOME LOST)");
    if (!all) failed = 1;

    kill(gatewayPid, SIGTERM);
    waitpid(gatewayPid, nullptr, 0);
    mosquitto_loop_stop(subscriber, true);
    mosquitto_destroy(subscriber);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    for (Line &line : lines) close(line.master);
    std::system(("rm -rf " + dir).c_str());
    return failed;
}
