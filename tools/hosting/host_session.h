// zelhost as the host: the driver's records, the ChannelBlock it allocates
// for the driver, and every request made through ZelMain alone.
#pragma once

#include <cstdint>
#include <string>

#include "zelwnqx.h"

namespace zelhost {

struct HostSession {
    ZelMainFunction zelMain = nullptr;
    DriverInfo info{};
    // Zero-filled, of the size GetDriverInfo reports; kept until the process
    // ends, since a CloseChannel that fails leaves the driver using it.
    ChannelBlock *channel = nullptr;
};

// GetDriverInfo, then the channel block. False with a one-line reason.
bool StartSession(ZelMainFunction zelMain, HostSession *session, std::string *error);
// Another channel block of the same driver, for one more port.
bool AddChannel(const HostSession &session, HostSession *another, std::string *error);

int32_t CallDriver(HostSession &session, uint32_t operation, void *request, int32_t channelNumber = 0);

int32_t OpenChannel(HostSession &session, const std::string &portName, const LineSettings &line, uint32_t timeoutUnits,
                    int32_t channelNumber);
int32_t CloseChannel(HostSession &session);
// ReadTag's answer for an address text.
uint16_t ReadTag(HostSession &session, const std::string &address);
int32_t ValidateAddress(HostSession &session, const std::string &address, int32_t typeCode);

// The driver's name and version as its banner gives them: "ZELWNQX 7.00".
std::string DriverVersionText(const DriverInfo &info);

const char *OperationName(uint32_t operation);
// What a result of an operation means, for messages: "2 (port not opened ...)".
std::string ResultText(uint32_t operation, int32_t result);

// Seven decimal digits: bus, slot, point.
bool IsAddressText(const std::string &text);
// One of the channel's diagnostic tags: LINK, SILENCE, MESSAGES, LOSSES, NOISE, KNOWN.
bool IsDiagnosticTag(const std::string &text);
// The address type a point belongs to: Regular, CKT, Line Shorted, Battery,
// or "-" for the table's other points.
const char *AddressTypeOf(const std::string &address);

}  // namespace zelhost
