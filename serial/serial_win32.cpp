// Windows back end: the serial-communications services on a device handle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial_backend.h"

namespace zel {
namespace {

// Between passes that find nothing waiting the reception thread sleeps this
// long: a pending WaitCommEvent would block every other call on the handle.
constexpr DWORD kInputPollMs = 10;

HANDLE AsHandle(PortHandle port) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(port)); }

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
    const char *device = name;
    if (NeedsDevicePrefix(name)) {
        std::snprintf(path, sizeof path, "\\\\.\\%s", name);
        device = path;
    }
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
    *out = static_cast<PortHandle>(reinterpret_cast<uintptr_t>(h));
    return true;
}

bool CloseDevice(PortHandle port) { return CloseHandle(AsHandle(port)) != FALSE; }

bool GetLineState(PortHandle port, LineState *state) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(AsHandle(port), &dcb)) return false;
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
    return SetCommState(AsHandle(port), &dcb) != FALSE;
}

bool GetTimeouts(PortHandle port, CommTimeouts *timeouts) {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(AsHandle(port), &t)) return false;
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return true;
}

bool SetTimeouts(PortHandle port, const CommTimeouts *timeouts) {
    COMMTIMEOUTS t{timeouts->readInterval, timeouts->readTotalMultiplier, timeouts->readTotalConstant,
                   timeouts->writeTotalMultiplier, timeouts->writeTotalConstant};
    return SetCommTimeouts(AsHandle(port), &t) != FALSE;
}

bool SetupQueues(PortHandle port, uint32_t inputBytes, uint32_t outputBytes) {
    return SetupComm(AsHandle(port), inputBytes, outputBytes) != FALSE;
}

bool ClearErrors(PortHandle port, uint32_t *waiting) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(AsHandle(port), &errors, &status)) return false;
    *waiting = status.cbInQue;
    return true;
}

bool Read(PortHandle port, void *buffer, uint32_t count, uint32_t *received) {
    DWORD got = 0;
    const BOOL ok = ReadFile(AsHandle(port), buffer, count, &got, nullptr);
    *received = got;
    return ok != FALSE;
}

bool Write(PortHandle port, const void *buffer, uint32_t count, uint32_t *written) {
    DWORD done = 0;
    const BOOL ok = WriteFile(AsHandle(port), buffer, count, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

bool SetBreak(PortHandle port, bool on) {
    return (on ? SetCommBreak(AsHandle(port)) : ClearCommBreak(AsHandle(port))) != FALSE;
}

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

InputWait WaitInput(PortHandle, uint32_t milliseconds) {
    Sleep(milliseconds < kInputPollMs ? milliseconds : kInputPollMs);
    return InputWait::kTimeout;
}

// CancelIoEx makes a blocked ReadFile fail with ERROR_OPERATION_ABORTED.
void InterruptIo(PortHandle port) { CancelIoEx(AsHandle(port), nullptr); }

void ResumeIo(PortHandle) {}

constexpr SerialBackend kWin32Backend = {
    OpenDevice, CloseDevice, GetLineState, SetLineState, GetTimeouts, SetTimeouts, SetupQueues, ClearErrors,
    Read,       Write,       SetBreak,     SleepFor,     WaitInput,   InterruptIo, ResumeIo,
};

}  // namespace

const SerialBackend &PlatformSerialBackend() { return kWin32Backend; }

}  // namespace zel
