#include "modbus_map.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "zelwnqx.h"

namespace zelhost {
namespace {

constexpr int kBusRegisters = 2000;
constexpr int kSlotRegisters = 200;
constexpr int kLastReadablePoint = 150;
// The tags of the registers from 20000: the driver's diagnostic tags, LINE,
// then KNOWN (added after LINE, so that no register moved).
constexpr const char *kNamedTags[] = {ZEL_TAG_LINK,  ZEL_TAG_SILENCE, ZEL_TAG_MESSAGES, ZEL_TAG_LOSSES,
                                      ZEL_TAG_NOISE, kModbusLineTag,  ZEL_TAG_KNOWN};
constexpr int kNamedCount = static_cast<int>(std::size(kNamedTags));
static_assert(kModbusDiagnosticRegister + 5 == kModbusLineRegister);
static_assert(kModbusDiagnosticRegister + 6 == kModbusKnownRegister);

uint16_t Word(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

bool InMap(int reg) {
    if (reg >= kModbusDiagnosticRegister && reg < kModbusDiagnosticRegister + kNamedCount) return true;
    return reg >= 0 && reg <= kModbusLastPointRegister && reg % kSlotRegisters <= kLastReadablePoint &&
           reg % kBusRegisters / kSlotRegisters <= 8;
}

// The tag text of a register in the map, written into `text` (12 bytes).
void WriteTag(int reg, char *text) {
    if (reg >= kModbusDiagnosticRegister) {
        std::strcpy(text, kNamedTags[reg - kModbusDiagnosticRegister]);
        return;
    }
    const int bus = reg / kBusRegisters, slot = reg % kBusRegisters / kSlotRegisters, point = reg % kSlotRegisters;
    const int digits[7] = {bus / 10, bus % 10, slot / 10, slot % 10, point / 100, point / 10 % 10, point % 10};
    for (int i = 0; i < 7; ++i) text[i] = static_cast<char>('0' + digits[i]);
    text[7] = '\0';
}

ModbusDecision Closing(std::string why) {
    ModbusDecision d;
    d.why = std::move(why);
    return d;
}

ModbusDecision Refusing(uint8_t exception) {
    ModbusDecision d;
    d.outcome = ModbusOutcome::kException;
    d.exception = exception;
    return d;
}

}  // namespace

std::string TagOfRegister(int reg) {
    if (!InMap(reg)) return {};
    char text[12];
    WriteTag(reg, text);
    return text;
}

int RegisterOfTag(const std::string &tag) {
    for (int i = 0; i < kNamedCount; ++i)
        if (tag == kNamedTags[i]) return kModbusDiagnosticRegister + i;
    if (tag.size() != 7 || !std::all_of(tag.begin(), tag.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const int bus = std::atoi(tag.substr(0, 2).c_str()), slot = std::atoi(tag.substr(2, 2).c_str()),
              point = std::atoi(tag.substr(4).c_str());
    if (bus > 8 || slot > 8 || point > kLastReadablePoint) return -1;
    return bus * kBusRegisters + slot * kSlotRegisters + point;
}

std::size_t DeclaredAduBytes(const uint8_t *adu, std::size_t length) {
    if (length < kModbusHeaderBytes) return 0;
    return 6 + Word(adu + 4);
}

ModbusDecision DecideModbusRequest(const uint8_t *adu, std::size_t length, const std::vector<int> &units,
                                   const TagReader &reader) {
    // The frame itself: a fault here leaves no request to answer.
    if (length < kModbusHeaderBytes + 1) return Closing("truncated frame of " + std::to_string(length) + " bytes");
    if (Word(adu + 2) != 0) return Closing("protocol id " + std::to_string(Word(adu + 2)) + ", not 0 (Modbus)");
    if (DeclaredAduBytes(adu, length) != length)
        return Closing("header declares " + std::to_string(Word(adu + 4)) + " bytes after the length field, " +
                       std::to_string(length - 6) + " came");
    const uint8_t function = adu[7];
    // Codes with the high bit set are the answers' exception codes: no
    // exception answer can name them (the client library's would wrap to
    // another function's code), so the frame is taken for a malformed one.
    if (function >= 0x80)
        return Closing("function code " + std::to_string(function) + " is an exception answer's, not a request's");
    const auto unit = std::find(units.begin(), units.end(), static_cast<int>(adu[6]));
    if (unit == units.end()) return Refusing(kTargetFailed);
    if (function != 2 && function != 3 && function != 4) return Refusing(kIllegalFunction);
    if (length != kModbusHeaderBytes + 5)
        return Closing("a read of function " + std::to_string(function) + " of " + std::to_string(length - 7) +
                       " bytes, not 5");
    const int first = Word(adu + 8), count = Word(adu + 10);
    if (count == 0 || count > (function == 2 ? kModbusMaxBits : kModbusMaxRegisters)) return Refusing(kIllegalValue);
    for (int reg = first; reg < first + count; ++reg)
        if (!InMap(reg)) return Refusing(kIllegalAddress);
    ModbusDecision d;
    d.outcome = ModbusOutcome::kValues;
    d.function = function;
    d.address = static_cast<uint16_t>(first);
    d.values.resize(static_cast<std::size_t>(count));
    const auto channel = static_cast<std::size_t>(unit - units.begin());
    char tag[12];
    for (int i = 0; i < count; ++i) {
        WriteTag(first + i, tag);
        const uint16_t value = reader.read(reader.context, channel, tag);
        d.values[static_cast<std::size_t>(i)] = function == 2 ? value != 0 : value;
    }
    return d;
}

}  // namespace zelhost
