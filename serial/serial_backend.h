// The narrow interface between the serial logic (serial_port.cpp) and a
// platform: one table of functions, one table per platform. Each entry is a
// single platform step with the effect the logic needs of it.
#pragma once

#include <cstdint>

namespace zel {

// The caller-visible port handle; 0 is none. On both platforms an index
// into the back end's own table of open ports with a generation count
// (port_table.h), so that a closed handle never names a later port.
using PortHandle = uint32_t;

enum DtrControl : uint8_t { kDtrDisable = 0, kDtrEnable = 1, kDtrHandshake = 2 };
enum RtsControl : uint8_t { kRtsDisable = 0, kRtsEnable = 1, kRtsHandshake = 2, kRtsToggle = 3 };

// A port's device control block: the fields the driver sets, plus the back
// end's own copy of everything else, which it writes back unchanged.
struct LineState {
    uint32_t baudRate = 0;
    uint8_t byteSize = 0;
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dtrControl = kDtrDisable;
    uint8_t rtsControl = kRtsDisable;
    bool binary = false;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool dsrSensitivity = false;
    bool outX = false;
    bool inX = false;
    bool errorCharReplace = false;
    bool nullStrip = false;
    bool abortOnError = false;
    char errorChar = 0;
    alignas(8) unsigned char platform[96] = {};
};

// A port's five time-out fields, in milliseconds.
struct CommTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

// What a step that touches the line found: done, failed (the port closed or
// the step interrupted, among others), or the device gone from under the
// port (unplugged, hung up): it will not come back on this handle.
enum class IoStatus { kOk, kFailed, kGone };
enum class InputWait { kInput, kTimeout, kFailed, kGone };

struct SerialBackend {
    // Exclusive open of an existing device for reading and writing.
    bool (*openDevice)(const char *name, PortHandle *out);
    // False when the device is still open and the handle usable. A close
    // that released the device although the platform reported an error
    // returns true and stores that error in `error` (0 otherwise).
    bool (*closeDevice)(PortHandle port, int *error);
    bool (*getLineState)(PortHandle port, LineState *state);
    bool (*setLineState)(PortHandle port, const LineState *state);
    bool (*getTimeouts)(PortHandle port, CommTimeouts *timeouts);
    bool (*setTimeouts)(PortHandle port, const CommTimeouts *timeouts);
    // Recommended queue sizes; the outcome is not used.
    bool (*setupQueues)(PortHandle port, uint32_t inputBytes, uint32_t outputBytes);
    // Clears the port's error state and reports the bytes waiting.
    IoStatus (*clearErrors)(PortHandle port, uint32_t *waiting);
    // One read: returns when `count` bytes are in or the port's read
    // time-outs have run out. `received` counts the bytes stored, also when
    // the read then failed.
    IoStatus (*read)(PortHandle port, void *buffer, uint32_t count, uint32_t *received);
    bool (*write)(PortHandle port, const void *buffer, uint32_t count, uint32_t *written);
    bool (*setBreak)(PortHandle port, bool on);
    void (*sleep)(uint32_t milliseconds);
    // Waits up to `milliseconds` for input without spinning.
    InputWait (*waitForInput)(PortHandle port, uint32_t milliseconds);
    // Makes a read or wait in progress on `port` return at once, and every
    // later one until resumeIo.
    void (*interruptIo)(PortHandle port);
    void (*resumeIo)(PortHandle port);
};

// The platform's own back end (serial_posix.cpp or serial_win32.cpp).
const SerialBackend &PlatformSerialBackend();

// The back end in use: the platform's unless a test chose another.
const SerialBackend &ActiveSerialBackend();
void UseSerialBackend(const SerialBackend *backend);  // nullptr: the platform's

}  // namespace zel
