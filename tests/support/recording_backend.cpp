#include "recording_backend.h"

namespace zeltest {
namespace {

BackendRecord *record = nullptr;

bool Fails(SerialStep step) {
    if (record->failingStep.load() != static_cast<int>(step)) return false;
    if (record->failuresLeft.fetch_sub(1) <= 0) return false;
    return true;
}

const zel::SerialBackend &Platform() { return zel::PlatformSerialBackend(); }

bool OpenDevice(const char *name, zel::PortHandle *out) {
    if (Fails(SerialStep::kOpen)) return false;
    const bool ok = Platform().openDevice(name, out);
    if (ok) ++record->opens;
    return ok;
}

bool CloseDevice(zel::PortHandle port, int *error) {
    *error = 0;
    if (Fails(SerialStep::kClose)) return false;
    const bool ok = Platform().closeDevice(port, error);
    if (ok) ++record->closes;
    return ok;
}

bool GetLineState(zel::PortHandle port, zel::LineState *state) {
    return !Fails(SerialStep::kGetLineState) && Platform().getLineState(port, state);
}

bool SetLineState(zel::PortHandle port, const zel::LineState *state) {
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->lastLineState = *state;
    }
    return !Fails(SerialStep::kSetLineState) && Platform().setLineState(port, state);
}

bool GetTimeouts(zel::PortHandle port, zel::CommTimeouts *timeouts) {
    return !Fails(SerialStep::kGetTimeouts) && Platform().getTimeouts(port, timeouts);
}

bool SetTimeouts(zel::PortHandle port, const zel::CommTimeouts *timeouts) {
    ++record->setTimeoutCalls;
    return !Fails(SerialStep::kSetTimeouts) && Platform().setTimeouts(port, timeouts);
}

zel::IoStatus Read(zel::PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    if (Fails(SerialStep::kRead)) {
        *received = 0;
        return zel::IoStatus::kFailed;
    }
    const zel::IoStatus status = Platform().read(port, buffer, count, received);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->readCounts.push_back(count);
    record->readSizes.push_back(*received);
    return status;
}

bool Write(zel::PortHandle port, const void *buffer, uint32_t count, uint32_t *written) {
    if (Fails(SerialStep::kWrite)) return false;
    const uint32_t shortBy = static_cast<uint32_t>(record->shortWriteBy.load());
    return Platform().write(port, buffer, count > shortBy ? count - shortBy : 0, written);
}

const zel::SerialBackend kRecording = {
    OpenDevice,
    CloseDevice,
    GetLineState,
    SetLineState,
    GetTimeouts,
    SetTimeouts,
    [](zel::PortHandle p, uint32_t in, uint32_t out) { return Platform().setupQueues(p, in, out); },
    [](zel::PortHandle p, uint32_t *waiting) { return Platform().clearErrors(p, waiting); },
    Read,
    Write,
    [](zel::PortHandle p, bool on) { return Platform().setBreak(p, on); },
    [](uint32_t ms) { Platform().sleep(ms); },
    [](zel::PortHandle p, uint32_t ms) { return Platform().waitForInput(p, ms); },
    [](zel::PortHandle p) { Platform().interruptIo(p); },
    [](zel::PortHandle p) { Platform().resumeIo(p); },
};

}  // namespace

BackendRecord &Recorded() { return *record; }

RecordingBackend::RecordingBackend() {
    // Never freed: a reception thread may still be inside a recording step
    // while the process exits.
    static BackendRecord *const storage = new BackendRecord;
    record = storage;
    record->opens = 0;
    record->closes = 0;
    record->setTimeoutCalls = 0;
    record->failingStep = -1;
    record->failuresLeft = 0;
    record->shortWriteBy = 0;
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->readSizes.clear();
        record->readCounts.clear();
    }
    zel::UseSerialBackend(&kRecording);
}

RecordingBackend::~RecordingBackend() { zel::UseSerialBackend(nullptr); }

void RecordingBackend::FailNext(SerialStep step, int times) {
    record->failuresLeft = times;
    record->failingStep = static_cast<int>(step);
}

}  // namespace zeltest
