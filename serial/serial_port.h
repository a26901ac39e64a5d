// Serial port access: opening and configuring a port from a PortBlock, its
// read time-out, purging, reading and closing. Stateless over the back end,
// apart from the bookkeeping that keeps a close from cutting into a read.
#pragma once

#include <cstdint>

#include "serial_backend.h"
#include "zelwnqx.h"

namespace zel {

// The layer's own result codes; they never reach the host.
enum SerialResult : int32_t {
    kSerialOk = 0,
    kSerialCannotOpen = 1,      // or time-outs not set; or a purge read failed
    kSerialShortWrite = 2,
    kSerialNoLineState = 4,     // not a serial port
    kSerialLineRefused = 5,     // the port refuses the settings
    kSerialIoFailed = 7,        // close, write or read failed; or nothing read
};

// DTR and RTS modes from a flow-control word.
uint8_t DtrControlFor(uint16_t flowFlags);
uint8_t RtsControlFor(uint16_t flowFlags);

PortHandle OpenPortBlock(const PortBlock &block);
int32_t OpenSerialPort(const char *name, const LineSettings &lineSettings, uint16_t flowFlags,
                       PortHandle *outHandle);
// `closeError` (optional) receives the platform's error of a close that
// released the port all the same (0 otherwise).
int32_t CloseSerialPort(PortHandle port, int *closeError = nullptr);
// Whether `port` is open and not being closed.
bool SerialPortIsOpen(PortHandle port);
// Returns the previous time-out in 10-ms units; 0 on failure.
int32_t SetReadTimeout(PortHandle port, int32_t units);
int32_t PurgeSerialInput(PortHandle port);
int32_t ReadSerial(PortHandle port, void *buffer, uint32_t count, uint32_t *outCount);
int32_t WriteSerial(PortHandle port, const void *buffer, uint32_t count, uint32_t *outCount);
int32_t SendSerialBreak(uint32_t milliseconds, PortHandle port);
int32_t SerialSleep(uint32_t milliseconds);

// The reception's view of the port: the bytes waiting in the input queue, a
// wait for input that does not spin, one read of up to `count` bytes within
// the read time-out (`received` counts what came, also when the read then
// failed), and the port's read time-out. Each tells a device that is gone
// from other failures.
IoStatus QueryInputQueue(PortHandle port, uint32_t *waiting);
InputWait WaitForInput(PortHandle port, uint32_t milliseconds);
IoStatus ReceiveSerial(PortHandle port, void *buffer, uint32_t count, uint32_t *received);
bool ReadTimeoutMilliseconds(PortHandle port, uint32_t *milliseconds);

}  // namespace zel
