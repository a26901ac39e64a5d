// The driver's documented rules, restated as plainly as possible and
// written apart from the driver's code, so that the fuzz targets can compare
// the driver's answers with them on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zelfuzz::rules {

// ---------------------------------------------------------------------------
// The status table: 9 buses x 9 slots x 155 points, bus-major.

inline constexpr int kBuses = 9;
inline constexpr int kSlots = 9;
inline constexpr int kPoints = 155;
inline constexpr std::size_t kTableBytes = 9 * 9 * 155;

inline std::size_t Entry(int bus, int slot, int point) {
    return static_cast<std::size_t>(bus) * 1395 + static_cast<std::size_t>(slot) * 155 + static_cast<std::size_t>(point);
}

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------------------
// The channel's diagnostic tags: read like Regular points (type code 0);
// their values come from the channel's line, not from the table.

inline bool IsDiagnosticTag(const char *text) {
    for (const char *name : {"LINK", "SILENCE", "MESSAGES", "LOSSES", "NOISE", "KNOWN"})
        if (std::strcmp(text, name) == 0) return true;
    return false;
}

// A diagnostic tag's value on a block that no OpenChannel has begun: no
// port, never heard, nothing counted.
inline int DiagnosticValueBeforeOpening(const char *text) {
    if (std::strcmp(text, "LINK") == 0) return 2;
    return std::strcmp(text, "SILENCE") == 0 ? 65535 : 0;
}

// ---------------------------------------------------------------------------
// ValidateAddress: 0 when the text is an acceptable address for the type
// code, 1 otherwise.

inline int32_t ValidateAddress(const char *text, int32_t typeCode) {
    if (IsDiagnosticTag(text)) return typeCode == 0 ? 0 : 1;
    const std::size_t length = std::strlen(text);
    if (length >= 12 || length != 7) return 1;
    for (std::size_t i = 0; i < 7; ++i)
        if (!IsDigit(text[i])) return 1;
    const int bus = (text[0] - '0') * 10 + (text[1] - '0');
    const int slot = (text[2] - '0') * 10 + (text[3] - '0');
    const int point = (text[4] - '0') * 100 + (text[5] - '0') * 10 + (text[6] - '0');
    if (bus > 8 || slot > 8) return 1;
    if (slot == 1 && point == 148 && typeCode == 6) return 0;  // Battery
    if (typeCode == 0) return (point >= 1 && point <= 127) ? 0 : 1;
    if (typeCode == 6) return ((point >= 130 && point <= 133) || (point >= 140 && point <= 143)) ? 0 : 1;
    return 1;
}

// ---------------------------------------------------------------------------
// ReadTag: the value written for a text. kAnyValue: a text of fewer than
// five digits, whose value is the driver's choice (it must still be 1 or an
// entry of the table).

inline constexpr int kAnyValue = -1;
// A diagnostic tag: its value is the channel's, not the table's.
inline constexpr int kDiagnosticValue = -2;

inline int ReadTagValue(const char *text, const uint8_t *table) {
    if (IsDiagnosticTag(text)) return kDiagnosticValue;
    const std::size_t length = std::strlen(text);
    for (std::size_t i = 0; i < length; ++i)
        if (!IsDigit(text[i])) return 1;
    if (length < 5) return kAnyValue;
    const int bus = (text[0] - '0') * 10 + (text[1] - '0');
    const int slot = (text[2] - '0') * 10 + (text[3] - '0');
    int point = 0;
    for (std::size_t i = 4; i < 7 && i < length; ++i) point = point * 10 + (text[i] - '0');
    if (bus > 8 || slot > 8 || point > 150) return 1;
    return table[Entry(bus, slot, point)];
}

// ---------------------------------------------------------------------------
// The panel message decoder.

inline bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Upper-case hex digit; every other character counts as 0.
inline int Hex(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Points 0-149 of every row.
inline void Clear(uint8_t *table) {
    for (int bus = 0; bus < kBuses; ++bus)
        for (int slot = 0; slot < kSlots; ++slot)
            for (int point = 0; point < 150; ++point) table[Entry(bus, slot, point)] = 0;
}

struct DecodeOutcome {
    bool cleared = false;
    int recordsTaken = 0;    // record texts handed on (each gets a trace line)
    int circuitTraces = 0;   // kind 3 on bus 1, slot 4, point 130 or 131
};

// One record text (no blanks, at most 24 characters). A record that is too
// short for its fields, has a bus or slot character that is not a decimal
// digit, or names an entry outside the table changes nothing.
inline void ApplyRecord(const std::string &record, uint8_t *table, DecodeOutcome &outcome) {
    if (record.size() < 8) return;
    if (!IsDigit(record[0]) || !IsDigit(record[5])) return;
    const int bus = record[0] - '0' + 1;
    const int slot = record[5] - '0' + 1;
    const int kind = Hex(static_cast<unsigned char>(record[1]));
    const int code = Hex(static_cast<unsigned char>(record[6])) * 16 + Hex(static_cast<unsigned char>(record[7]));
    int point = code;
    if (kind == 2 && code <= 9) point = 140 + code;
    if (kind == 3 && code <= 3) point = 130 + code;
    if (kind != 0 && kind != 2 && kind != 3 && kind != 8) return;
    if (bus > 8 || slot > 8 || point > 154) return;
    uint8_t &entry = table[Entry(bus, slot, point)];
    switch (kind) {
        case 0: entry = static_cast<uint8_t>(entry | 1); break;
        case 8: entry = static_cast<uint8_t>(entry | 2); break;
        default: entry = 1; break;
    }
    if (kind == 3 && bus == 1 && slot == 4 && (point == 130 || point == 131)) ++outcome.circuitTraces;
}

// `buffer`: the 1000 bytes of the receive buffer, with a NUL among them.
inline DecodeOutcome Decode(const char *buffer, uint8_t *table) {
    constexpr std::size_t kBuffer = 1000;
    DecodeOutcome outcome;
    // Ten 'g' anywhere in the raw bytes, also behind the NUL.
    for (std::size_t start = 0; start + 10 <= kBuffer; ++start) {
        if (std::memcmp(buffer + start, "gggggggggg", 10) == 0) {
            Clear(table);
            outcome.cleared = true;
            return outcome;
        }
    }
    const std::string text(buffer, strnlen(buffer, kBuffer));
    if (text.size() < 11 || text.compare(0, 11, "\r\nhhhhhhhhh") != 0) return outcome;
    std::size_t k = 2;
    while (k < text.size() && text[k] == 'h') ++k;
    std::size_t countAt = k + 1;
    while (countAt < text.size() && IsBlank(static_cast<unsigned char>(text[countAt]))) ++countAt;
    if (countAt >= text.size()) return outcome;
    const int count = Hex(static_cast<unsigned char>(text[countAt]));
    for (int i = 0; i < count; ++i) {
        std::size_t at = k + 2 + 24 * static_cast<std::size_t>(i);
        while (at < text.size() && IsBlank(static_cast<unsigned char>(text[at]))) ++at;
        if (at >= text.size()) continue;  // no record at this place
        std::string record;
        while (record.size() < 24 && at < text.size() && !IsBlank(static_cast<unsigned char>(text[at])))
            record += text[at++];
        ++outcome.recordsTaken;
        ApplyRecord(record, table, outcome);
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// The Tag Format dialog's field checks and composition.

inline constexpr int32_t kNoType = -999;
inline constexpr int32_t kRegular = 1;
inline constexpr int32_t kBattery = 2;
inline constexpr int32_t kLineShorted = 3;
inline constexpr int32_t kCkt = 4;

inline constexpr const char *kSelectType = "Select one radio button";
inline constexpr const char *kBusMissing = "Bus number is missing";
inline constexpr const char *kPointMissing = "Address number is missing";
inline constexpr const char *kSlotMissing = "Slot number is missing";
inline constexpr const char *kBusRange = "Invalid BUS num (valid is 1-8)";
inline constexpr const char *kSlotRange = "Invalid Slot num (valid is 1-8)";
inline constexpr const char *kPointRange = "Invalid Address";

// The texts as the checks see them: at most the first 3 characters.
struct Fields {
    std::string bus;
    std::string slot;
    std::string point;
};

inline std::string AsRead(const std::string &text) {
    const std::size_t end = text.find('\0');
    const std::string upToNul = end == std::string::npos ? text : text.substr(0, end);
    return upToNul.substr(0, 3);
}

// The presence checks: nullptr when they pass, else the one message shown.
inline const char *PresenceMessage(int32_t type, const Fields &f) {
    if (type < 1 || type > 4) return kSelectType;
    if (f.bus.empty()) return kBusMissing;
    if (type == kBattery) return nullptr;
    if (f.point.empty()) return kPointMissing;
    if (f.slot.empty()) return kSlotMissing;
    return nullptr;
}

inline bool AllDigits(const std::string &text) {
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

// A range check by the value atol reads. A text whose value is in range but
// which is not written in digits only, within its part's width (a blank, a
// sign, a third bus digit, as pasting can bring), cannot be carried into a
// seven-digit address unchanged; whether the check rejects it is left open
// here, and the composed address's form decides whether passing it was safe.
enum class Verdict { kPass, kFail, kEither };

inline Verdict RangeVerdict(const std::string &text, std::size_t width, long low, long high) {
    const long value = std::atol(text.c_str());
    if (value < low || value > high) return Verdict::kFail;
    if (AllDigits(text) && text.size() <= width) return Verdict::kPass;
    return Verdict::kEither;
}

// The composition from texts that passed both checks as canonical texts.
inline std::string Compose(int32_t type, const Fields &f) {
    auto busSlot = [](const std::string &t) { return t.size() == 2 ? t : "0" + t; };
    std::string address = busSlot(f.bus);
    if (type == kBattery) return address + "01148";
    address += busSlot(f.slot);
    std::string point = f.point;
    while (point.size() < 3) point = "0" + point;
    return address + point;
}

}  // namespace zelfuzz::rules
