#include "substitute_backend.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace zeltest {
namespace {

SubstituteLine *line = nullptr;

using Lock = std::unique_lock<std::mutex>;

void Pause(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The lowest value free, as Windows hands a closed handle's value out again.
bool OpenDevice(const char *name, zel::PortHandle *out) {
    Lock lock(line->mutex);
    if (std::strcmp(name, "SUB") != 0 || !line->open.empty()) return false;
    zel::PortHandle handle = 4;
    *out = handle;
    line->open[handle] = {};
    line->interrupted[handle] = false;
    ++line->opens;
    return true;
}

bool CloseDevice(zel::PortHandle port, int *error) {
    Pause(line->slowCloseMs);
    *error = 0;
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return false;
    if (line->closeFailures > 0) {
        --line->closeFailures;
        return false;
    }
    line->open.erase(port);
    ++line->closes;
    *error = line->closeError.exchange(0);
    line->changed.notify_all();
    return true;
}

bool Known(zel::PortHandle port) {
    Lock lock(line->mutex);
    return line->open.count(port) != 0;
}

bool GetTimeouts(zel::PortHandle port, zel::CommTimeouts *timeouts) {
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return false;
    *timeouts = line->open[port];
    return true;
}

bool SetTimeouts(zel::PortHandle port, const zel::CommTimeouts *timeouts) {
    Pause(line->slowTimeoutsMs);
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return false;
    line->open[port] = *timeouts;
    return true;
}

zel::IoStatus ClearErrors(zel::PortHandle port, uint32_t *waiting) {
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return zel::IoStatus::kFailed;
    *waiting = static_cast<uint32_t>(line->incoming.size());
    return zel::IoStatus::kOk;
}

// Waits under the lock until bytes wait, the port is interrupted or closed,
// or `milliseconds` pass (0xFFFFFFFF: no limit).
bool AwaitBytes(Lock &lock, zel::PortHandle port, uint32_t milliseconds) {
    const auto ready = [&] { return !line->incoming.empty() || line->open.count(port) == 0 || line->interrupted[port]; };
    if (milliseconds == 0xFFFFFFFF)
        line->changed.wait(lock, ready);
    else
        line->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    return !line->incoming.empty() && line->open.count(port) != 0 && !line->interrupted[port];
}

zel::IoStatus Read(zel::PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    *received = 0;
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return zel::IoStatus::kFailed;
    const uint32_t timeout = line->open[port].readTotalConstant;
    uint32_t expected = 0xFFFFFFFF;
    line->firstReadTimeoutMs.compare_exchange_strong(expected, timeout);
    if (!AwaitBytes(lock, port, timeout == 0 ? 0xFFFFFFFF : timeout)) {
        return line->interrupted[port] || line->open.count(port) == 0 ? zel::IoStatus::kFailed : zel::IoStatus::kOk;
    }
    const std::size_t n = std::min<std::size_t>(count, line->incoming.size());
    std::memcpy(buffer, line->incoming.data(), n);
    line->incoming.erase(0, n);
    *received = static_cast<uint32_t>(n);
    return zel::IoStatus::kOk;
}

zel::InputWait WaitForInput(zel::PortHandle port, uint32_t milliseconds) {
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return zel::InputWait::kFailed;
    if (AwaitBytes(lock, port, milliseconds)) return zel::InputWait::kInput;
    return line->interrupted[port] ? zel::InputWait::kFailed : zel::InputWait::kTimeout;
}

void SetInterrupted(zel::PortHandle port, bool on) {
    Lock lock(line->mutex);
    if (line->open.count(port) == 0) return;
    line->interrupted[port] = on;
    line->changed.notify_all();
}

const zel::SerialBackend kSubstitute = {
    OpenDevice,
    CloseDevice,
    [](zel::PortHandle port, zel::LineState *) { return Known(port); },
    [](zel::PortHandle port, const zel::LineState *) { return Known(port); },
    GetTimeouts,
    SetTimeouts,
    [](zel::PortHandle port, uint32_t, uint32_t) { return Known(port); },
    ClearErrors,
    Read,
    [](zel::PortHandle port, const void *, uint32_t count, uint32_t *written) {
        *written = count;
        return Known(port);
    },
    [](zel::PortHandle port, bool) { return Known(port); },
    [](uint32_t milliseconds) { Pause(static_cast<int>(milliseconds)); },
    WaitForInput,
    [](zel::PortHandle port) { SetInterrupted(port, true); },
    [](zel::PortHandle port) { SetInterrupted(port, false); },
};

}  // namespace

SubstituteLine &Line() { return *line; }

SubstituteBackend::SubstituteBackend() {
    // Never freed: a reception thread may still use it as the process ends.
    line = new SubstituteLine;
    zel::UseSerialBackend(&kSubstitute);
}

SubstituteBackend::~SubstituteBackend() { zel::UseSerialBackend(nullptr); }

void SubstituteBackend::Send(const std::string &bytes) {
    Lock lock(line->mutex);
    line->incoming += bytes;
    line->changed.notify_all();
}

}  // namespace zeltest
