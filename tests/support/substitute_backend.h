// A serial back end in memory, for faults a real line cannot be made to
// show on demand: one device ("SUB", exclusive) whose handle values are
// reused as Windows reuses handles, a line whose bytes the test supplies,
// and steps that are slow or fail when the test says so.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "serial/serial_backend.h"

namespace zeltest {

struct SubstituteLine {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<zel::PortHandle, zel::CommTimeouts> open;  // handle -> its time-outs
    std::map<zel::PortHandle, bool> interrupted;
    std::string incoming;                                // bytes waiting on the line
    std::atomic<int> opens{0}, closes{0};
    std::atomic<uint32_t> firstReadTimeoutMs{0xFFFFFFFF};  // in force at the first read
    std::atomic<int> closeError{0};                      // a released port's error
    std::atomic<int> closeFailures{0};                   // closes that fail outright
    std::atomic<int> slowTimeoutsMs{0}, slowCloseMs{0};
};

SubstituteLine &Line();

// Installs the substitute back end (fresh line) for the scope's life.
class SubstituteBackend {
public:
    SubstituteBackend();
    ~SubstituteBackend();
    void Send(const std::string &bytes);
};

}  // namespace zeltest
