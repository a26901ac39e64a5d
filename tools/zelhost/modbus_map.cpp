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
// The first 12 bytes of an IPv4-mapped IPv6 address (::ffff:a.b.c.d).
constexpr uint8_t kMappedV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

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

bool ParseAddress(const std::string &text, int *family, uint8_t *bytes) {
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

// A number written in decimal digits alone, at most `max`: no sign or
// space, which strtol would let through.
bool Digits(const std::string &text, long max, long *value) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = std::strtol(text.c_str(), nullptr, 10);
    return *value <= max;
}

bool InNetwork(const ClientNetwork &n, const uint8_t *address) {
    const int whole = n.prefixBits / 8, rest = n.prefixBits % 8;
    if (std::memcmp(n.bytes, address, static_cast<std::size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (n.bytes[whole] & mask) == (address[whole] & mask);
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

bool ParseListenAddress(const std::string &text, std::string *host, int *port, std::string *error,
                        const std::string &option) {
    std::string portText = text;
    *host = "127.0.0.1";
    *error = option + ": '" + text + "' is not [HOST:]PORT (an IPv6 host in brackets: [::1]:502)";
    if (!text.empty() && text.front() == '[') {
        // [IPV6]:PORT, nothing else after the bracket.
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close == 1 || text.compare(close, 2, "]:") != 0) return false;
        *host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        *host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host->empty() || host->find(':') != std::string::npos) return false;
    }
    long value = 0;
    if (!Digits(portText, 65535, &value)) {
        *error = option + ": '" + portText + "' is not a port number 0-65535";
        return false;
    }
    *port = static_cast<int>(value);
    error->clear();
    return true;
}

bool ParseClientNetwork(const std::string &text, ClientNetwork *network, std::string *error, const std::string &option) {
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    *error = option + ": '" + text + "' is not a network such as 10.1.0.0/16, fd00::/8 or one address";
    if (!ParseAddress(address, &network->family, network->bytes)) return false;
    const int bits = network->family == AF_INET ? 32 : 128;
    network->prefixBits = bits;
    if (slash != std::string::npos) {
        long value = 0;
        if (!Digits(text.substr(slash + 1), bits, &value)) return false;
        network->prefixBits = static_cast<int>(value);
    }
    if (const uint8_t *v4 = MappedIPv4(network->family, network->bytes)) {
        // The mapped prefix ::ffff:0:0/96 must be whole, or the network would
        // reach beyond the IPv4 addresses.
        if (network->prefixBits < 96) {
            *error = option + ": '" + text + "' is an IPv4-mapped network with a prefix under 96: write it as IPv4";
            return false;
        }
        std::memmove(network->bytes, v4, 4);
        std::memset(network->bytes + 4, 0, 12);
        network->family = AF_INET;
        network->prefixBits -= 96;
    }
    error->clear();
    return true;
}

const uint8_t *MappedIPv4(int family, const uint8_t *address) {
    if (family != AF_INET6 || std::memcmp(address, kMappedV4, sizeof kMappedV4) != 0) return nullptr;
    return address + sizeof kMappedV4;
}

bool ClientAllowed(const std::vector<ClientNetwork> &allowed, int family, const uint8_t *address) {
    if (allowed.empty()) return true;
    if (const uint8_t *v4 = MappedIPv4(family, address)) {
        family = AF_INET;
        address = v4;
    }
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const ClientNetwork &n) { return n.family == family && InNetwork(n, address); });
}

}  // namespace zelhost
