// What the gateway benchmarks share: the clock, percentiles, the gateway
// started as a child process, the panels' pseudo-terminals, and the one-event messages
// written on them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zelbench {

int64_t NowNs();
void SleepMs(double ms);

// The nearest-rank percentile (p in 0-1) of the values; 0 when there are none.
double Percentile(std::vector<double> values, double p);

// Starts a program with its output (standard output and error) in a file.
pid_t Spawn(const std::vector<std::string> &arguments, const char *outputPath);

// A panel's line: the master side of a pseudo-terminal, and the port name
// ("pts/N") the gateway opens.
struct Line {
    int master = -1;
    std::string port;
};
bool OpenLine(Line &line);
// Writes all of `bytes`, waiting while the line is full.
void Write(const Line &line, const std::string &bytes);

// A message of one kind-0 event on entry `index` of the table (buses 1-8,
// slots 1-8, points 1-127); the entry's bus, slot and point.
struct EventEntry {
    int bus = 1;
    int slot = 1;
    int point = 1;
};
std::string EventMessage(int index, EventEntry *entry);

// A benchmark's last step: a failed run is reported (`what` did not get
// through) with the last lines of the gateway's log, WORK/gateway.log; the
// work folder goes in either case.
void ReportAndRemoveWork(const char *work, bool failed, const char *what);

}  // namespace zelbench
