// A serial back end that passes every step to the platform's own while
// recording it, and fails chosen steps on request: for tests of what the
// serial logic does with each platform result.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_backend.h"

namespace zeltest {

enum class SerialStep { kOpen, kClose, kGetLineState, kSetLineState, kGetTimeouts, kSetTimeouts, kRead, kWrite };

struct BackendRecord {
    std::mutex mutex;
    std::vector<uint32_t> readSizes;       // bytes delivered by each read
    std::vector<uint32_t> readCounts;      // bytes asked for by each read
    zel::LineState lastLineState;          // as handed to setLineState
    std::atomic<int> opens{0}, closes{0}, setTimeoutCalls{0};
    std::atomic<int> failingStep{-1};      // a SerialStep, or -1
    std::atomic<int> failuresLeft{0};      // how many times it fails
    std::atomic<int> shortWriteBy{0};      // bytes a write leaves out
};

BackendRecord &Recorded();

// Installs the recording back end (fresh record) for the scope's life.
class RecordingBackend {
public:
    RecordingBackend();
    ~RecordingBackend();
    void FailNext(SerialStep step, int times = 1);
};

}  // namespace zeltest
