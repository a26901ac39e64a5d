#include "gateway_lines.h"

#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace zelbench {

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t rank = static_cast<std::size_t>(p * values.size() + 0.999999);
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

void SleepMs(double ms) { std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(ms * 1000))); }

pid_t Spawn(const std::vector<std::string> &arguments, const char *outputPath) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    std::vector<char *> argv;
    for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (FILE *out = std::fopen(outputPath, "w")) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

bool OpenLine(Line &line) {
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&line.master, &slave, nullptr, &raw, nullptr) != 0) return false;
    line.port = std::string(ttyname(slave)).substr(5);
    close(slave);
    return true;
}

void Write(const Line &line, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(line.master, bytes.data() + done, bytes.size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else SleepMs(0.2);
    }
}

std::string EventMessage(int index, EventEntry *entry) {
    const int bus = index / (8 * 127) % 8, slot = index / 127 % 8, point = 1 + index % 127;
    *entry = {bus + 1, slot + 1, point};
    // The panel numbers buses and slots from 0.
    char record[25];
    std::snprintf(record, sizeof record, "%u0000%u%02X0000000000000000", static_cast<unsigned>(bus) % 10u,
                  static_cast<unsigned>(slot) % 10u, static_cast<unsigned>(point) % 256u);
    return std::string("\r\nhhhhhhhhhS1") + record;
}

void ReportAndRemoveWork(const char *work, bool failed, const char *what) {
    if (failed) {
        std::printf("MEASUREMENT FAILED: %s did not get through; the gateway's log ends:\n", what);
        std::fflush(stdout);
        std::system((std::string("tail -5 ") + work + "/gateway.log").c_str());
    }
    std::system((std::string("rm -rf ") + work).c_str());
}

}  // namespace zelbench
