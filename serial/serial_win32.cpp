// Windows back end: the serial-communications services on a device opened
// for overlapped I/O.
//
// Windows serializes every request on a handle opened without
// FILE_FLAG_OVERLAPPED: a host thread's ClearCommError, SetCommTimeouts or
// purge would wait behind the reception's ReadFile for up to its read
// time-out (for ever with a time-out of 0). Overlapped, each read and write
// is a request of its own that the caller waits on with its own event,
// beside the port's interrupt event, which a close sets to end it at once.
//
// Handles name slots of this back end's table of open ports (port_table.h),
// never the device HANDLE itself, which Windows reuses.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_table.h"
#include "serial_win32.h"

namespace zel {
namespace {

struct Win32Port : PortSlot {
    std::atomic<HANDLE> device{nullptr};
    // Manual-reset: set while I/O on the port is to end at once.
    std::atomic<HANDLE> interrupt{nullptr};
    // The read time-outs last set (milliseconds); a read ends on them
    // itself too, since Wine does not always end an overlapped read on its
    // total time-out.
    std::atomic<uint32_t> readInterval{0}, readMultiplier{0}, readConstant{0};
};

Win32Port ports[kMaxPorts];

Win32Port *Lookup(PortHandle handle) { return LookUpPort(ports, handle); }

HANDLE DeviceOf(PortHandle handle) {
    Win32Port *port = Lookup(handle);
    return port != nullptr ? port->device.load() : nullptr;
}

// How long a wait for input lasts before it looks at the queue again.
constexpr DWORD kInputPollMs = 10;
// How long after its total time-out a read is ended by this back end.
constexpr DWORD kReadTimeoutSlackMs = 5;

// The errors with which a removed device (a USB-serial adapter unplugged,
// its hub reset) fails the requests still made on its handle.
bool DeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:          // the port's device object is gone
        case ERROR_BAD_COMMAND:            // "the device does not recognize the command"
        case ERROR_GEN_FAILURE:            // "a device attached to the system is not functioning"
        case ERROR_NOT_READY:              // what Wine reports for a line that hung up
        case ERROR_IO_DEVICE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case 433:                          // ERROR_NO_SUCH_DEVICE: not in the MinGW headers
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

bool Interrupted(const Win32Port &port) { return WaitForSingleObject(port.interrupt.load(), 0) == WAIT_OBJECT_0; }

IoStatus StatusOfError(const Win32Port &port, DWORD error) {
    if (DeviceGone(error)) return IoStatus::kGone;
    // A request aborted without a close of ours: the driver cancels what is
    // pending when its device goes away, but also a wait it does not
    // support (Wine on a pseudo-terminal). The port's status tells which.
    if (error == ERROR_OPERATION_ABORTED && !Interrupted(port)) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port.device.load(), &errors, &status) && DeviceGone(GetLastError())) return IoStatus::kGone;
    }
    return IoStatus::kFailed;
}

// An overlapped request with its own event.
struct Request {
    OVERLAPPED overlapped{};
    Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Request() {
        if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
};

enum class Completion { kDone, kInterrupted, kTimedOut };


// How a request ended: its status, how it came to end, the platform's
// error if it failed, and the bytes it transferred (also when cut short).
struct Outcome {
    IoStatus status = IoStatus::kOk;
    Completion how = Completion::kDone;
    DWORD error = 0;
    DWORD count = 0;
};

// Waits for a request that ReadFile or WriteFile started
// (`started` is their result), at most `milliseconds`; ends it early when
// the port's I/O is interrupted.
Outcome Complete(const Win32Port &port, Request &request, BOOL started, DWORD milliseconds) {
    Outcome outcome;
    HANDLE device = port.device.load();
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        outcome.error = GetLastError();
        outcome.status = StatusOfError(port, outcome.error);
        return outcome;
    }
    HANDLE waits[2] = {request.overlapped.hEvent, port.interrupt.load()};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, milliseconds);
    if (woken != WAIT_OBJECT_0) {
        outcome.how = woken == WAIT_TIMEOUT ? Completion::kTimedOut : Completion::kInterrupted;
        CancelIoEx(device, &request.overlapped);
    }
    if (!GetOverlappedResult(device, &request.overlapped, &outcome.count, TRUE)) {
        outcome.error = GetLastError();
        // Ended by its time-out: what came is the result, as the device's
        // own time-out gives it.
        if (outcome.how == Completion::kTimedOut && outcome.error == ERROR_OPERATION_ABORTED) return outcome;
        const bool cutShort = outcome.how == Completion::kInterrupted && outcome.error == ERROR_OPERATION_ABORTED;
        outcome.status = cutShort ? IoStatus::kFailed : StatusOfError(port, outcome.error);
        return outcome;
    }
    if (outcome.how == Completion::kInterrupted) outcome.status = IoStatus::kFailed;
    return outcome;
}

// COM10 and above open only in the \\.\COMn form.
bool NeedsDevicePrefix(const char *name) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0') return false;
    int number = 0;
    for (const char *c = name + 3; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || number > 1000) return false;
        number = number * 10 + (*c - '0');
    }
    return number >= 10;
}

bool OpenDevice(const char *name, PortHandle *out) {
    char path[32];
    const char *deviceName = name;
    if (NeedsDevicePrefix(name)) {
        std::snprintf(path, sizeof path, "\\\\.\\%s", name);
        deviceName = path;
    }
    HANDLE device = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) return false;
    HANDLE interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PortHandle handle = 0;
    Win32Port *port = interrupt != nullptr ? ReservePort(ports, &handle) : nullptr;
    if (port == nullptr) {
        if (interrupt != nullptr) CloseHandle(interrupt);
        CloseHandle(device);
        return false;
    }
    port->device.store(device);
    port->interrupt.store(interrupt);
    PublishPort(*port, handle);
    *out = handle;
    return true;
}

bool CloseDevice(PortHandle handle, int *error) {
    *error = 0;
    Win32Port *port = Lookup(handle);
    if (port == nullptr || !CloseHandle(port->device.load())) return false;
    CloseHandle(port->interrupt.load());
    ReleasePort(*port);
    return true;
}

bool GetLineState(PortHandle port, LineState *state) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(DeviceOf(port), &dcb)) return false;
    static_assert(sizeof(DCB) <= sizeof state->platform);
    std::memcpy(state->platform, &dcb, sizeof dcb);
    state->baudRate = dcb.BaudRate;
    state->byteSize = dcb.ByteSize;
    state->stopBits = dcb.StopBits;
    state->parity = dcb.Parity;
    state->binary = dcb.fBinary;
    state->parityCheck = dcb.fParity;
    state->outxCtsFlow = dcb.fOutxCtsFlow;
    state->outxDsrFlow = dcb.fOutxDsrFlow;
    state->dtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    state->dsrSensitivity = dcb.fDsrSensitivity;
    state->outX = dcb.fOutX;
    state->inX = dcb.fInX;
    state->errorCharReplace = dcb.fErrorChar;
    state->nullStrip = dcb.fNull;
    state->rtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    state->abortOnError = dcb.fAbortOnError;
    state->errorChar = dcb.ErrorChar;
    return true;
}

bool SetLineState(PortHandle port, const LineState *state) {
    DCB dcb{};
    std::memcpy(&dcb, state->platform, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = state->baudRate;
    dcb.fBinary = state->binary;
    dcb.fParity = state->parityCheck;
    dcb.fOutxCtsFlow = state->outxCtsFlow;
    dcb.fOutxDsrFlow = state->outxDsrFlow;
    dcb.fDtrControl = state->dtrControl;
    dcb.fDsrSensitivity = state->dsrSensitivity;
    dcb.fOutX = state->outX;
    dcb.fInX = state->inX;
    dcb.fErrorChar = state->errorCharReplace;
    dcb.fNull = state->nullStrip;
    dcb.fRtsControl = state->rtsControl;
    dcb.fAbortOnError = state->abortOnError;
    dcb.ByteSize = state->byteSize;
    dcb.StopBits = state->stopBits;
    dcb.Parity = state->parity;
    dcb.ErrorChar = state->errorChar;
    return SetCommState(DeviceOf(port), &dcb) != FALSE;
}

bool GetTimeouts(PortHandle port, CommTimeouts *timeouts) {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(DeviceOf(port), &t)) return false;
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
}

bool SetTimeouts(PortHandle handle, const CommTimeouts *timeouts) {
    Win32Port *port = Lookup(handle);
    if (port == nullptr) return false;
    COMMTIMEOUTS t{timeouts->readInterval, timeouts->readTotalMultiplier, timeouts->readTotalConstant,
                   timeouts->writeTotalMultiplier, timeouts->writeTotalConstant};
    if (!SetCommTimeouts(port->device.load(), &t)) return false;
    port->readInterval.store(timeouts->readInterval);
    port->readMultiplier.store(timeouts->readTotalMultiplier);
    port->readConstant.store(timeouts->readTotalConstant);
    return true;
}

// How long a read of `count` bytes may last by the port's time-outs, from
// its start: INFINITE when they say "wait for the full count", 0 when they
// say "return at once".
DWORD ReadLimit(const Win32Port &port, uint32_t count) {
    const uint64_t interval = port.readInterval.load(), multiplier = port.readMultiplier.load(),
                   constant = port.readConstant.load();
    if (multiplier == 0 && constant == 0) return interval == MAXDWORD ? 0 : INFINITE;
    const uint64_t total = multiplier * count + constant;
    // A few milliseconds more: the device's own time-out ends the read.
    return total + kReadTimeoutSlackMs >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total + kReadTimeoutSlackMs);
}

bool SetupQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
    return SetupComm(DeviceOf(port), inputBytes, outputBytes) != FALSE;
}

IoStatus ClearErrors(PortHandle handle, uint32_t *waiting) {
    Win32Port *port = Lookup(handle);
    if (port == nullptr) return IoStatus::kFailed;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port->device.load(), &errors, &status)) return StatusOfError(*port, GetLastError());
    *waiting = status.cbInQue;
    return IoStatus::kOk;
}

// The read's own time-outs (the port's COMMTIMEOUTS) end it; only an
// interrupt ends it sooner.
IoStatus Read(PortHandle handle, void *buffer, uint32_t count, uint32_t *received) {
    *received = 0;
    Win32Port *port = Lookup(handle);
    if (port == nullptr) return IoStatus::kFailed;
    if (Interrupted(*port)) return IoStatus::kFailed;
    Request request;
    if (request.overlapped.hEvent == nullptr) return IoStatus::kFailed;
    const DWORD limit = ReadLimit(*port, count);
    const BOOL started = ReadFile(port->device.load(), buffer, count, nullptr, &request.overlapped);
    const Outcome outcome = Complete(*port, request, started, limit);
    *received = outcome.count;
    // The null device reports its end of data as an error.
    if (outcome.error == ERROR_HANDLE_EOF) return IoStatus::kOk;
    return outcome.status;
}

bool Write(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written) {
    *written = 0;
    Win32Port *port = Lookup(handle);
    if (port == nullptr) return false;
    Request request;
    if (request.overlapped.hEvent == nullptr) return false;
    const BOOL started = WriteFile(port->device.load(), buffer, count, nullptr, &request.overlapped);
    const Outcome outcome = Complete(*port, request, started, INFINITE);
    *written = outcome.count;
    return outcome.status == IoStatus::kOk;
}

bool SetBreak(PortHandle port, bool on) {
    return (on ? SetCommBreak(DeviceOf(port)) : ClearCommBreak(DeviceOf(port))) != FALSE;
}

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

// Looks at the input queue, then waits a few milliseconds (or until an
// interrupt). WaitCommEvent(EV_RXCHAR) would wait without looking again,
// but under Wine on a COM port mapped to a pseudo-terminal it completes at
// once with ERROR_OPERATION_ABORTED, and the read after a cancelled wait
// comes back empty while the bytes stay behind: it is not used.
InputWait WaitInput(PortHandle handle, uint32_t milliseconds) {
    Win32Port *port = Lookup(handle);
    if (port == nullptr || Interrupted(*port)) return InputWait::kFailed;
    uint32_t waiting = 0;
    const IoStatus status = ClearErrors(handle, &waiting);
    if (status == IoStatus::kGone) return InputWait::kGone;
    if (status != IoStatus::kOk) return InputWait::kFailed;
    if (waiting > 0) return InputWait::kInput;
    const DWORD pause = milliseconds < kInputPollMs ? milliseconds : kInputPollMs;
    return WaitForSingleObject(port->interrupt.load(), pause) == WAIT_OBJECT_0 ? InputWait::kFailed
                                                                              : InputWait::kTimeout;
}

// Every read and wait in progress on the port returns, and every later one
// at once, until ResumeIo.
void InterruptIo(PortHandle handle) {
    if (Win32Port *port = Lookup(handle)) {
        SetEvent(port->interrupt.load());
        CancelIoEx(port->device.load(), nullptr);
    }
}

void ResumeIo(PortHandle handle) {
    if (Win32Port *port = Lookup(handle)) ResetEvent(port->interrupt.load());
}

constexpr SerialBackend kWin32Backend = {
    OpenDevice, CloseDevice, GetLineState, SetLineState, GetTimeouts, SetTimeouts, SetupQueues, ClearErrors,
    Read,       Write,       SetBreak,     SleepFor,     WaitInput,   InterruptIo, ResumeIo,
};

}  // namespace

const SerialBackend &PlatformSerialBackend() { return kWin32Backend; }

HANDLE DeviceHandleOf(PortHandle port) { return DeviceOf(port); }

}  // namespace zel
