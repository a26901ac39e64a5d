// The Tag Format dialog's procedure: opening, the radio buttons, OK and
// Cancel, and the up/down arrows beside the address fields.
#include "tag_format_dialog.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "address_fields.h"
#include "dialog_ids.h"
#include "dialog_state.h"

namespace zel {

std::atomic<int32_t> tagDialogShown{0};
int32_t addressType = NoType;
int32_t pointMin = 0;
int32_t pointMax = 0;
char composedAddress[kAddressBufferSize] = "";
char spinWorkBuffer[kAddressBufferSize] = "";

namespace {

constexpr int32_t kBusSlotFirst = 1;
constexpr int32_t kBusSlotLast = 8;

// The types whose radio button sets a point range and a first point.
struct PointTypeRow {
    int radioId;
    AddressType type;
    int32_t first;
    int32_t last;
    const char *firstText;
};

constexpr PointTypeRow kPointTypes[] = {
    {ZEL_ID_REGULAR_RADIO, Regular, 1, 127, "001"},
    {ZEL_ID_LINE_SHORTED_RADIO, LineShorted, 140, 143, "140"},
    {ZEL_ID_CKT_RADIO, Ckt, 130, 133, "130"},
};

struct FieldLimit {
    int editId;
    const char *initialText;
    uint32_t typingLimit;
};

// The bus field takes one typed digit, though it starts with two.
constexpr FieldLimit kFieldLimits[] = {
    {ZEL_ID_BUS_EDIT, "01", 1},
    {ZEL_ID_SLOT_EDIT, "01", 2},
    {ZEL_ID_POINT_EDIT, "001", 3},
};

void EnableControls(WindowHandle dialog, std::initializer_list<int> ids, int enabled) {
    const WindowSystem &windows = Windows();
    for (int id : ids) windows.enable(windows.control(dialog, id), enabled);
}

void SetFieldText(WindowHandle dialog, int editId, const char *text) {
    const WindowSystem &windows = Windows();
    windows.setText(windows.control(dialog, editId), text);
}

void OpenDialog(WindowHandle dialog) {
    EnableControls(dialog,
                   {ZEL_ID_POINT_EDIT, ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_SPIN, ZEL_ID_BUS_SPIN,
                    ZEL_ID_SLOT_SPIN},
                   0);
    for (const FieldLimit &field : kFieldLimits) SetFieldText(dialog, field.editId, field.initialText);
    const WindowSystem &windows = Windows();
    for (const FieldLimit &field : kFieldLimits)
        windows.limitText(windows.control(dialog, field.editId), field.typingLimit);
}

void SelectPointType(WindowHandle dialog, const PointTypeRow &row) {
    EnableAddressFields(dialog);
    pointMin = row.first;
    pointMax = row.last;
    SetFieldText(dialog, ZEL_ID_POINT_EDIT, row.firstText);
    addressType = row.type;
}

// A Battery address has a fixed slot and point: only the bus is entered.
void SelectBattery(WindowHandle dialog) {
    EnableAddressFields(dialog);
    EnableControls(dialog, {ZEL_ID_POINT_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_SPIN, ZEL_ID_SLOT_SPIN}, 0);
    addressType = Battery;
}

void ConfirmIfValid(WindowHandle dialog) {
    if (CheckFieldsPresent(dialog) == 0 || CheckFieldRanges(dialog) == 0) return;
    ComposeTagAddress(dialog);
    Windows().endDialog(dialog, ZEL_ID_OK);
}

// The notification code is not looked at: any notification of a button
// acts as a click.
void OnCommand(WindowHandle dialog, int controlId) {
    for (const PointTypeRow &row : kPointTypes) {
        if (row.radioId == controlId) {
            SelectPointType(dialog, row);
            return;
        }
    }
    switch (controlId) {
    case ZEL_ID_BATTERY_RADIO:
        SelectBattery(dialog);
        break;
    case ZEL_ID_OK:
        ConfirmIfValid(dialog);
        break;
    case ZEL_ID_CANCEL:
        Windows().endDialog(dialog, ZEL_ID_CANCEL);
        break;
    default:
        break;
    }
}

void OnScroll(WindowHandle dialog, uint32_t scrollCode, WindowHandle scrollBar) {
    if (scrollCode != kScrollLineUp && scrollCode != kScrollLineDown) return;
    // A window's own scroll bars report no handle; the dialog has none.
    if (scrollBar == 0) return;
    const WindowSystem &windows = Windows();
    if (scrollBar == windows.control(dialog, ZEL_ID_BUS_SPIN))
        StepBusSlotSpin(dialog, ZEL_ID_BUS_EDIT, scrollCode);
    else if (scrollBar == windows.control(dialog, ZEL_ID_SLOT_SPIN))
        StepBusSlotSpin(dialog, ZEL_ID_SLOT_EDIT, scrollCode);
    else if (scrollBar == windows.control(dialog, ZEL_ID_POINT_SPIN))
        StepPointSpin(dialog, scrollCode);
}

uint32_t LowWord(uintptr_t value) { return static_cast<uint32_t>(value & 0xFFFF); }

}  // namespace

void EnableAddressFields(WindowHandle dialog) {
    EnableControls(dialog,
                   {ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_EDIT, ZEL_ID_BUS_SPIN, ZEL_ID_SLOT_SPIN,
                    ZEL_ID_POINT_SPIN},
                   1);
}

// The arrows count from the field's value when its text is canonical and
// from 0 otherwise, and stop at the ends of 1 to 8 without wrapping.
void StepBusSlotSpin(WindowHandle dialog, int editId, uint32_t scrollCode) {
    const FieldText field = ReadField(dialog, editId);
    int32_t value = BusSlotTextValid(field.text) != 0 ? static_cast<int32_t>(std::atol(field.text)) : 0;
    if (scrollCode == kScrollLineUp) {
        value += 1;
        if (value > kBusSlotLast) value = kBusSlotLast;
    } else {
        value -= 1;
        if (value < kBusSlotFirst) value = kBusSlotFirst;
    }
    std::snprintf(spinWorkBuffer, sizeof spinWorkBuffer, "0%d", static_cast<int>(value));
    SetFieldText(dialog, editId, spinWorkBuffer);
}

// The same within pointMin to pointMax; the up arrow from a value outside
// the range lands on pointMax.
void StepPointSpin(WindowHandle dialog, uint32_t scrollCode) {
    const FieldText field = ReadField(dialog, ZEL_ID_POINT_EDIT);
    int32_t value = PointTextValid(field.text) != 0 ? static_cast<int32_t>(std::atol(field.text)) : 0;
    if (scrollCode == kScrollLineUp) {
        value += 1;
        if (value < pointMin || value > pointMax) value = pointMax;
    } else {
        value -= 1;
        if (value < pointMin) value = pointMin;
    }
    // Decimal, left-filled with "0" to 3 characters; the value is never
    // negative, as it lies within the range.
    std::snprintf(spinWorkBuffer, sizeof spinWorkBuffer, "%03d", static_cast<int>(value));
    SetFieldText(dialog, ZEL_ID_POINT_EDIT, spinWorkBuffer);
}

intptr_t TagFormatDialogProc(WindowHandle dialog, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case kWmInitDialog:
        OpenDialog(dialog);
        return 1;
    case kWmCommand:
        OnCommand(dialog, static_cast<int>(LowWord(wParam)));
        return 1;
    case kWmVScroll:
        OnScroll(dialog, LowWord(wParam), static_cast<WindowHandle>(lParam));
        return 0;
    default:
        return 0;
    }
}

}  // namespace zel
