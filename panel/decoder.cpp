#include "decoder.h"

#include <cstring>

#include "../host/host_services.h"
#include "status_table.h"

namespace zel {
namespace {

// A record needs its bus, kind, slot and point fields.
constexpr std::size_t kShortestRecord = 8;

enum EventKind { kSetBit0 = 0x0, kLineShorted = 0x2, kCircuit = 0x3, kSetBit1 = 0x8 };

bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Decimal digit of a bus or slot field, or -1.
int DecimalDigit(char c) { return (c >= '0' && c <= '9') ? c - '0' : -1; }

// Where the first clear command in the bytes begins, or `length`.
std::size_t ClearCommandIn(const char *bytes, std::size_t length) {
    for (std::size_t start = 0; start + kClearRunLength <= length; ++start)
        if (ClearCommandAt(bytes, start, length)) return start;
    return length;
}


enum class MessageEnd { kComplete, kEndsEarly };

// Walks the count and the records of the event message whose header is at
// `text` (whose text ends at `length`), as the decoder reads them: hands each
// record taken (up to 24 characters) to `onRecord`. kEndsEarly when the text
// ended before the message did, so that later bytes could still change it.
// `read` receives where the bytes the message was read from end.
template <typename OnRecord>
MessageEnd WalkRecords(const char *text, std::size_t length, OnRecord &&onRecord, std::size_t *read = nullptr) {
    std::size_t k = 2;
    while (k < length && text[k] == 'h') ++k;
    std::size_t countAt = k + 1;
    while (countAt < length && IsWhiteSpace(text[countAt])) ++countAt;
    if (read != nullptr) *read = countAt < length ? countAt + 1 : length;
    if (countAt >= length) return MessageEnd::kEndsEarly;
    const int count = HexValue(text + countAt, 1);

    MessageEnd end = MessageEnd::kComplete;
    for (int i = 0; i < count; ++i) {
        // Each record's place is fixed by its number alone.
        std::size_t at = k + 2 + kRecordLength * static_cast<std::size_t>(i);
        while (at < length && IsWhiteSpace(text[at])) ++at;
        if (at >= length) return MessageEnd::kEndsEarly;
        char record[kRecordLength + 1];
        std::size_t taken = 0;
        while (taken < kRecordLength && at + taken < length && !IsWhiteSpace(text[at + taken])) {
            record[taken] = text[at + taken];
            ++taken;
        }
        record[taken] = '\0';
        onRecord(record);
        if (read != nullptr && at + taken > *read) *read = at + taken;
        // A record cut by the end of the text could still grow.
        if (taken < kRecordLength && at + taken == length) end = MessageEnd::kEndsEarly;
    }
    return end;
}

}  // namespace

std::size_t StrayBytes(const char *bytes, std::size_t from, std::size_t to) {
    std::size_t stray = 0;
    for (std::size_t i = from; i < to; ++i) stray += IsWhiteSpace(bytes[i]) ? 0 : 1;
    return stray;
}

bool MessageHeaderAt(const char *bytes, std::size_t at, std::size_t end) {
    return end - at >= kMessageHeaderLength && std::memcmp(bytes + at, kMessageHeader, kMessageHeaderLength) == 0;
}

bool ClearCommandAt(const char *bytes, std::size_t at, std::size_t end) {
    if (end - at < kClearRunLength) return false;
    for (std::size_t i = 0; i < kClearRunLength; ++i)
        if (bytes[at + i] != 'g') return false;
    return true;
}

int HexValue(const char *text, std::size_t length) {
    int value = 0;
    for (std::size_t i = 0; i < length; ++i) value = value * 16 + HexDigit(text[i]);
    return value;
}

void ApplyEventRecord(const char *record, uint8_t *table) {
    if (strnlen(record, kShortestRecord) < kShortestRecord) return;
    const int busDigit = DecimalDigit(record[0]);
    const int slotDigit = DecimalDigit(record[5]);
    if (busDigit < 0 || slotDigit < 0) return;
    // The panel counts buses and slots from 0, the table from 1.
    const int bus = busDigit + 1;
    const int slot = slotDigit + 1;
    const int kind = HexValue(record + 1, 1);
    const int code = HexValue(record + 6, 2);

    int point = code;
    uint8_t setBits = 0;   // OR into the entry
    uint8_t newValue = 0;  // or overwrite it
    switch (kind) {
        case kSetBit0: setBits = 1; break;
        case kSetBit1: setBits = 2; break;
        case kLineShorted:
            if (code <= 9) point = 140 + code;
            newValue = 1;
            break;
        case kCircuit:
            if (code <= 3) point = 130 + code;
            newValue = 1;
            break;
        default: return;
    }
    if (bus >= kBuses || slot >= kSlots || point >= kPoints) return;

    const std::size_t index = EntryIndex(bus, slot, point);
    if (setBits != 0) {
        SetEntryBits(table, index, setBits);
        return;
    }
    StoreEntry(table, index, newValue);
    if (kind == kCircuit && bus == 1 && slot == 4) {
        if (point == 130) Host().err(kLogTrace, "[1][04][130]= %d ", static_cast<unsigned>(LoadEntry(table, index)));
        if (point == 131) Host().err(kLogTrace, "[1][04][131]= %d ", static_cast<unsigned>(LoadEntry(table, index)));
    }
}

DecodedPanelText DecodePanelText(const char *text, std::size_t length, uint8_t *table) {
    Host().err(kLogTrace, "orginal %s ", text);
    const std::size_t clear = ClearCommandIn(text, length);
    if (clear < length) {
        ClearTable(table);
        return {DecodedText::kClearCommand,
                StrayBytes(text, 0, clear) + StrayBytes(text, clear + kClearRunLength, length)};
    }
    const std::size_t textLength = strnlen(text, length);
    if (!MessageHeaderAt(text, 0, textLength)) return {DecodedText::kNoMessage, StrayBytes(text, 0, length)};
    std::size_t read = 0;
    WalkRecords(
        text, textLength,
        [table](const char *record) {
            Host().err(kLogTrace, " inseide for LOOP tmp==  %s ", record);
            ApplyEventRecord(record, table);
        },
        &read);
    return {DecodedText::kEventMessage, StrayBytes(text, read, length)};
}

void DecodePanelMessage(const char *buffer, uint8_t *table) { DecodePanelText(buffer, kMessageBufferSize, table); }

bool EventMessageComplete(const char *text, std::size_t length) {
    const std::size_t textLength = strnlen(text, length);
    // A NUL ends the text: nothing after it is read.
    if (textLength < length) return true;
    return WalkRecords(text, length, [](const char *) {}) == MessageEnd::kComplete;
}

}  // namespace zel
