// Serial port access, written once over the platform back end.
#include "serial_port.h"

#include <atomic>
#include <cstring>

#include "port_guard.h"

namespace zel {
namespace {

constexpr uint32_t kOpeningReadTimeoutMs = 1000;
constexpr uint32_t kQueueBytes = 1200;
constexpr int32_t kPurgeTimeoutUnits = 5;
constexpr uint32_t kPurgeChunk = 512;
constexpr char kErrorCharacter = static_cast<char>(0xFC);
// The largest whole number of 10-ms units that fits 32 bits of milliseconds.
constexpr uint32_t kLongestReadTimeoutMs = 4294967290u;

std::atomic<const SerialBackend *> chosenBackend{nullptr};

// One platform read on an open port; kFailed also when the port is not
// open.
IoStatus ReadOnce(PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    *received = 0;
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return IoStatus::kFailed;
    const IoStatus status = ActiveSerialBackend().read(port, buffer, count, received);
    EndPortUse(use);
    return status;
}

uint32_t MillisecondsFor(int32_t units) {
    // Negative counts wrap to the longest waits on the platform; take the
    // longest representable one instead.
    if (units < 0 || static_cast<uint32_t>(units) > kLongestReadTimeoutMs / 10) return kLongestReadTimeoutMs;
    return static_cast<uint32_t>(units) * 10;
}

}  // namespace

const SerialBackend &ActiveSerialBackend() {
    const SerialBackend *chosen = chosenBackend.load(std::memory_order_acquire);
    return chosen != nullptr ? *chosen : PlatformSerialBackend();
}

void UseSerialBackend(const SerialBackend *backend) { chosenBackend.store(backend, std::memory_order_release); }

uint8_t DtrControlFor(uint16_t flowFlags) {
    if (flowFlags & 0x0101) return kDtrEnable;
    if (flowFlags & 0x8000) return kDtrHandshake;
    return kDtrDisable;
}

uint8_t RtsControlFor(uint16_t flowFlags) {
    if (flowFlags & 0x0202) return kRtsEnable;
    if (flowFlags & 0x1000) return kRtsHandshake;
    if (flowFlags & 0x2000) return kRtsToggle;
    return kRtsDisable;
}

int32_t OpenSerialPort(const char *name, const LineSettings &lineSettings, uint16_t flowFlags,
                       PortHandle *outHandle) {
    const SerialBackend &backend = ActiveSerialBackend();
    *outHandle = 0;
    PortHandle port = 0;
    if (!backend.openDevice(name, &port) || port == 0) return kSerialCannotOpen;
    if (!RegisterPort(port)) {
        int error = 0;
        backend.closeDevice(port, &error);
        return kSerialCannotOpen;
    }
    // The null device gets no configuration.
    if (std::strcmp(name, "NUL") == 0) {
        *outHandle = port;
        return kSerialOk;
    }
    // A port that fails its configuration is closed before the code returns.
    const auto abandon = [port](int32_t code) {
        ClosePortGuarded(port);
        return code;
    };

    LineState state;
    if (!backend.getLineState(port, &state)) return abandon(kSerialNoLineState);
    CommTimeouts timeouts;
    timeouts.readTotalConstant = kOpeningReadTimeoutMs;
    if (!backend.setTimeouts(port, &timeouts)) return abandon(kSerialCannotOpen);
    state.baudRate = lineSettings.baudRate;
    state.binary = true;
    state.parityCheck = true;
    state.outxCtsFlow = false;
    state.outxDsrFlow = false;
    state.dtrControl = DtrControlFor(flowFlags);
    state.dsrSensitivity = false;
    state.outX = false;
    state.inX = false;
    state.errorCharReplace = false;
    state.nullStrip = false;
    state.rtsControl = RtsControlFor(flowFlags);
    state.abortOnError = false;
    state.byteSize = static_cast<uint8_t>(lineSettings.dataBits & 0xFF);
    state.stopBits = static_cast<uint8_t>(lineSettings.stopBits & 0xFF);
    state.parity = static_cast<uint8_t>(lineSettings.parity & 0xFF);
    state.errorChar = kErrorCharacter;
    if (!backend.setLineState(port, &state)) return abandon(kSerialLineRefused);
    backend.setupQueues(port, kQueueBytes, kQueueBytes);
    *outHandle = port;
    return kSerialOk;
}

PortHandle OpenPortBlock(const PortBlock &block) {
    // A name that fills its whole field has no terminator: not a name.
    if (strnlen(block.name, sizeof block.name) >= sizeof block.name) return 0;
    PortHandle port = 0;
    return OpenSerialPort(block.name, block.lineSettings, block.flowFlags, &port) == kSerialOk ? port : 0;
}

int32_t CloseSerialPort(PortHandle port, int *closeError) {
    return ClosePortGuarded(port, closeError) == 0 ? kSerialOk : kSerialIoFailed;
}

bool SerialPortIsOpen(PortHandle port) { return PortIsOpen(port); }

namespace {

// Sets the total read time-out to `milliseconds`; the previous one in
// `previous`. False when the time-outs could not be read or written.
bool ChangeReadTimeout(PortHandle port, uint32_t milliseconds, uint32_t *previous) {
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return false;
    const SerialBackend &backend = ActiveSerialBackend();
    CommTimeouts timeouts;
    bool ok = backend.getTimeouts(port, &timeouts);
    if (ok) {
        *previous = timeouts.readTotalConstant;
        if (timeouts.readTotalConstant != milliseconds) {
            timeouts.readTotalConstant = milliseconds;
            ok = backend.setTimeouts(port, &timeouts);
        }
    }
    EndPortUse(use);
    return ok;
}

}  // namespace

int32_t SetReadTimeout(PortHandle port, int32_t units) {
    uint32_t previous = 0;
    return ChangeReadTimeout(port, MillisecondsFor(units), &previous) ? static_cast<int32_t>(previous / 10) : 0;
}

bool ReadTimeoutMilliseconds(PortHandle port, uint32_t *milliseconds) {
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return false;
    CommTimeouts timeouts;
    const bool ok = ActiveSerialBackend().getTimeouts(port, &timeouts);
    EndPortUse(use);
    if (ok) *milliseconds = timeouts.readTotalConstant;
    return ok;
}

int32_t PurgeSerialInput(PortHandle port) {
    uint32_t waiting = 0;
    if (QueryInputQueue(port, &waiting) == IoStatus::kOk && waiting == 0) return kSerialOk;
    // Bytes are waiting, or the query failed: drain with short reads, then
    // put the time-out back, whatever it was (0, "wait for the full count",
    // included).
    uint32_t previous = 0;
    const bool changed = ChangeReadTimeout(port, kPurgeTimeoutUnits * 10, &previous);
    char discard[kPurgeChunk];
    uint32_t received = 0;
    IoStatus status = IoStatus::kOk;
    do {
        status = ReadOnce(port, discard, kPurgeChunk, &received);
    } while (status == IoStatus::kOk && received == kPurgeChunk);
    uint32_t purgeTimeout = 0;
    if (changed) ChangeReadTimeout(port, previous, &purgeTimeout);
    return status == IoStatus::kOk ? kSerialOk : kSerialCannotOpen;
}

int32_t ReadSerial(PortHandle port, void *buffer, uint32_t count, uint32_t *outCount) {
    if (outCount != nullptr) *outCount = 0;
    uint32_t received = 0;
    if (ReadOnce(port, buffer, count & 0xFFFF, &received) != IoStatus::kOk) return kSerialIoFailed;
    if (received == 0) return kSerialIoFailed;
    if (outCount != nullptr) *outCount = received;
    return kSerialOk;
}

IoStatus ReceiveSerial(PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    return ReadOnce(port, buffer, count, received);
}

int32_t WriteSerial(PortHandle port, const void *buffer, uint32_t count, uint32_t *outCount) {
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return kSerialIoFailed;
    uint32_t written = 0;
    const bool ok = ActiveSerialBackend().write(port, buffer, count, &written);
    EndPortUse(use);
    if (!ok) return kSerialIoFailed;
    if (outCount != nullptr) *outCount = written;
    return written < count ? kSerialShortWrite : kSerialOk;
}

int32_t SendSerialBreak(uint32_t milliseconds, PortHandle port) {
    const SerialBackend &backend = ActiveSerialBackend();
    if (PortGuardEntry *use = BeginPortUse(port)) {
        backend.setBreak(port, true);
        EndPortUse(use);
    }
    backend.sleep(milliseconds);
    if (PortGuardEntry *use = BeginPortUse(port)) {
        backend.setBreak(port, false);
        EndPortUse(use);
    }
    return kSerialOk;
}

int32_t SerialSleep(uint32_t milliseconds) {
    ActiveSerialBackend().sleep(milliseconds);
    return kSerialOk;
}

IoStatus QueryInputQueue(PortHandle port, uint32_t *waiting) {
    *waiting = 0;
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return IoStatus::kFailed;
    const IoStatus status = ActiveSerialBackend().clearErrors(port, waiting);
    EndPortUse(use);
    if (status != IoStatus::kOk) *waiting = 0;
    return status;
}

InputWait WaitForInput(PortHandle port, uint32_t milliseconds) {
    PortGuardEntry *use = BeginPortUse(port);
    if (use == nullptr) return InputWait::kFailed;
    const InputWait result = ActiveSerialBackend().waitForInput(port, milliseconds);
    EndPortUse(use);
    return result;
}

}  // namespace zel
