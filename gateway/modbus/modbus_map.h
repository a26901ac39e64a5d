// The gateway's Modbus TCP register map and its decision on each request:
// pure functions of the request's bytes, with the tag reads handed in, so
// that the rules are tested and fuzzed without sockets or threads.
//
// Register = bus x 2000 + slot x 200 + point for the tag address BBSSPPP
// (bus 0-8, slot 0-8, point 0-150); 20000-20004 are the channel's
// diagnostic tags LINK, SILENCE, MESSAGES, LOSSES, NOISE, 20005 is LINE,
// the line's state (line_state.h), and 20006 the diagnostic tag KNOWN. The
// unit id is the channel number. Input registers (4) and holding registers
// (3) give ReadTag's value, discrete inputs (2) whether it is not 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client_networks.h"

namespace zelhost {

constexpr int kModbusMaxRegisters = 125;   // the protocol's limit of one read of registers
constexpr int kModbusMaxBits = 2000;       // and of discrete inputs
constexpr int kModbusLastPointRegister = 17750;  // 0808150
constexpr int kModbusDiagnosticRegister = 20000;
// The map's one tag the driver does not have: the channel's line state
// (0 up, 1 lost, 2 no port, 3 silent), which the tag reader gives from LINK,
// SILENCE and the channel's silence limit, so that the decision stays pure.
constexpr const char *kModbusLineTag = "LINE";
constexpr int kModbusLineRegister = 20005;
constexpr int kModbusKnownRegister = 20006;
constexpr std::size_t kModbusHeaderBytes = 7;  // MBAP: transaction, protocol, length, unit
constexpr std::size_t kModbusMaxAduBytes = 260;

// The tag address (BBSSPPP or a diagnostic tag's name) a register stands
// for; empty when the register lies outside the map.
std::string TagOfRegister(int reg);
// The register of a tag address, or -1 when it has none.
int RegisterOfTag(const std::string &tag);

// How the decision reads a tag (BBSSPPP, a diagnostic tag or LINE):
// `channel` is the index of the unit's channel, as `units` gives it.
struct TagReader {
    uint16_t (*read)(void *context, std::size_t channel, const char *tag);
    void *context;
};

enum class ModbusOutcome { kValues, kException, kClose };

struct ModbusDecision {
    ModbusOutcome outcome = ModbusOutcome::kClose;
    uint8_t exception = 0;        // kException: 1, 2, 3 or 11
    uint8_t function = 0;         // kValues: 2, 3 or 4
    uint16_t address = 0;         // kValues: the first register
    std::vector<uint16_t> values; // kValues: one per register or input
    std::string why;              // kClose: for the log
};

// Exception codes of the answers.
constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalAddress = 0x02;
constexpr uint8_t kIllegalValue = 0x03;
constexpr uint8_t kTargetFailed = 0x0B;

// The answer to one request ADU (MBAP header and PDU, exactly as received).
// `units` holds the channel numbers in channel order.
ModbusDecision DecideModbusRequest(const uint8_t *adu, std::size_t length, const std::vector<int> &units,
                                   const TagReader &reader);

// The number of bytes the ADU's header declares in all (header included),
// or 0 when fewer than the header's bytes are at hand.
std::size_t DeclaredAduBytes(const uint8_t *adu, std::size_t length);


}  // namespace zelhost
