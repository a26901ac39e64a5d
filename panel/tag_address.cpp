// ValidateAddress and ReadTag.
#include "tag_address.h"

#include <cstring>

#include "diagnostic_tags.h"
#include "status_table.h"

namespace zel {
namespace {

constexpr int kTypeRegular = 0;
constexpr int kTypeSpecial = 6;
constexpr int kReadablePointLimit = 150;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int Digit(char c) { return c - '0'; }

}  // namespace

int32_t CheckTagAddress(const char *text, int32_t typeCode) {
    // Examined as if in a 12-byte scratch copy: longer texts never qualify.
    char scratch[12];
    const std::size_t length = strnlen(text, sizeof scratch);
    if (length >= sizeof scratch) return 1;
    std::memcpy(scratch, text, length + 1);
    // The channel's diagnostic tags are read like Regular points.
    if (typeCode == kTypeRegular && DiagnosticTagOf(scratch) != DiagnosticTag::kNone) return 0;
    if (length != 7) return 1;
    for (std::size_t i = 0; i < length; ++i)
        if (!IsDigit(scratch[i])) return 1;
    const int bus = Digit(scratch[0]) * 10 + Digit(scratch[1]);
    const int slot = Digit(scratch[2]) * 10 + Digit(scratch[3]);
    const int point = Digit(scratch[4]) * 100 + Digit(scratch[5]) * 10 + Digit(scratch[6]);
    if (bus > 8 || slot > 8) return 1;
    // The Battery address: slot 1, point 148, on any bus.
    if (slot == 1 && point == 148 && typeCode == kTypeSpecial) return 0;
    if (typeCode == kTypeRegular) return (point >= 1 && point <= 127) ? 0 : 1;
    if (typeCode == kTypeSpecial)
        return ((point >= 130 && point <= 133) || (point >= 140 && point <= 143)) ? 0 : 1;
    return 1;
}

uint16_t TagValueFor(const char *text, uint8_t *table) {
    std::size_t length = 0;
    for (; text[length] != '\0'; ++length)
        if (!IsDigit(text[length])) return 1;
    // Fewer than five digits hold no complete set of fields.
    if (length < 5) return 1;
    const int bus = Digit(text[0]) * 10 + Digit(text[1]);
    const int slot = Digit(text[2]) * 10 + Digit(text[3]);
    int point = 0;
    for (std::size_t i = 4; i < length && i < 7; ++i) point = point * 10 + Digit(text[i]);
    if (bus > 8 || slot > 8 || point > kReadablePointLimit) return 1;
    return LoadEntry(table, EntryIndex(bus, slot, point));
}

int32_t ValidateAddress(const ZelCall &call) {
    const auto *request = static_cast<const TagRequest *>(call.request);
    // The check needs no channel, only the request.
    if (request == nullptr || request->address == nullptr) return ZEL_FAILED;
    return CheckTagAddress(request->address, request->typeCode);
}

int32_t ReadTag(const ZelCall &call) {
    const auto *request = static_cast<const TagRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr || request->address == nullptr ||
        request->value == nullptr)
        return ZEL_FAILED;
    const DiagnosticTag tag = DiagnosticTagOf(request->address);
    request->value->value = tag != DiagnosticTag::kNone ? DiagnosticValue(*call.channel, tag)
                                                        : TagValueFor(request->address, TableOf(*call.channel));
    return ZEL_OK;
}

}  // namespace zel
