// Field tests on OK, canonical-text tests for the spins, and the composition
// of the tag address.
#include "address_fields.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dialog_ids.h"
#include "dialog_state.h"

namespace zel {
namespace {

constexpr std::size_t kBusSlotWidth = 2;
constexpr std::size_t kPointWidth = 3;
constexpr long kBusSlotMin = 1;
constexpr long kBusSlotMax = 8;

// The Battery address has a fixed slot and point.
constexpr const char *kBatterySlotAndPoint = "01148";

int32_t Fail(WindowHandle dialog, const char *message) {
    Windows().messageBox(dialog, message, "Error", kMessageBoxOk);
    return 0;
}

bool IsEmpty(const FieldText &field) { return field.text[0] == '\0'; }

bool IsSelectedType(int32_t type) { return type >= Regular && type <= Ckt; }

// The range checks go by the number atol reads. A text that could not be
// carried into a seven-digit address as it stands (another character than a
// digit, as pasting can bring into a digits-only edit, or more characters
// than its part of the address) counts as out of range.
bool InRange(const FieldText &field, std::size_t width, long low, long high) {
    if (AllDigits(field.text) == 0 || std::strlen(field.text) > width) return false;
    const long value = std::atol(field.text);
    return value >= low && value <= high;
}

void Append(const char *text) {
    const std::size_t used = std::strlen(composedAddress);
    const std::size_t room = kAddressBufferSize - 1 - used;
    const std::size_t length = std::min(std::strlen(text), room);
    std::memcpy(composedAddress + used, text, length);
    composedAddress[used + length] = '\0';
}

// Bus and slot: the text as it is when it has 2 characters, else "0" and it.
void AppendBusSlotPart(const FieldText &field) {
    if (std::strlen(field.text) != kBusSlotWidth) Append("0");
    Append(field.text);
}

// Point: left-filled with "0" to 3 characters.
void AppendPointPart(const FieldText &field) {
    for (std::size_t length = std::strlen(field.text); length < kPointWidth; ++length) Append("0");
    Append(field.text);
}

}  // namespace

FieldText ReadField(WindowHandle dialog, int controlId) {
    const WindowSystem &windows = Windows();
    FieldText field{};
    windows.getText(windows.control(dialog, controlId), field.text, kFieldTextSize);
    field.text[kFieldTextSize - 1] = '\0';
    return field;
}

int32_t AllDigits(const char *text) {
    for (const char *c = text; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return 0;
    return 1;
}

int32_t BusSlotTextValid(const char *text) {
    if (std::strlen(text) != kBusSlotWidth || AllDigits(text) == 0) return 0;
    const long value = std::atol(text);
    return value >= kBusSlotMin && value <= kBusSlotMax ? 1 : 0;
}

int32_t PointTextValid(const char *text) {
    if (std::strlen(text) != kPointWidth || AllDigits(text) == 0) return 0;
    const long value = std::atol(text);
    return value >= pointMin && value <= pointMax ? 1 : 0;
}

int32_t CheckFieldsPresent(WindowHandle dialog) {
    if (!IsSelectedType(addressType)) return Fail(dialog, "Select one radio button");
    if (IsEmpty(ReadField(dialog, ZEL_ID_BUS_EDIT))) return Fail(dialog, "Bus number is missing");
    if (addressType == Battery) return 1;
    if (IsEmpty(ReadField(dialog, ZEL_ID_POINT_EDIT))) return Fail(dialog, "Address number is missing");
    if (IsEmpty(ReadField(dialog, ZEL_ID_SLOT_EDIT))) return Fail(dialog, "Slot number is missing");
    return 1;
}

int32_t CheckFieldRanges(WindowHandle dialog) {
    if (!InRange(ReadField(dialog, ZEL_ID_BUS_EDIT), kBusSlotWidth, kBusSlotMin, kBusSlotMax))
        return Fail(dialog, "Invalid BUS num (valid is 1-8)");
    if (addressType == Battery) return 1;
    if (!InRange(ReadField(dialog, ZEL_ID_SLOT_EDIT), kBusSlotWidth, kBusSlotMin, kBusSlotMax))
        return Fail(dialog, "Invalid Slot num (valid is 1-8)");
    if (!InRange(ReadField(dialog, ZEL_ID_POINT_EDIT), kPointWidth, pointMin, pointMax))
        return Fail(dialog, "Invalid Address");
    return 1;
}

int32_t ComposeTagAddress(WindowHandle dialog) {
    composedAddress[0] = '\0';
    AppendBusSlotPart(ReadField(dialog, ZEL_ID_BUS_EDIT));
    if (addressType == Battery) {
        Append(kBatterySlotAndPoint);
        return 1;
    }
    AppendBusSlotPart(ReadField(dialog, ZEL_ID_SLOT_EDIT));
    AppendPointPart(ReadField(dialog, ZEL_ID_POINT_EDIT));
    return 1;
}

}  // namespace zel
