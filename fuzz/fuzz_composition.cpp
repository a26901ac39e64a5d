// The Tag Format dialog's field checks and the composition of the tag
// address, on arbitrary field texts and address types.
//
// The checks read their field texts through the window-system table; this
// target puts a substitute table in its place that keeps one text per edit
// and records every message box and the end of the dialog.
//
// Input: one byte choosing the mode, then
//   direct mode: the address type (one of the four, none, or any 32-bit
//     value), the point range (the type's own or any two 32-bit values) and
//     three field texts of up to 8 arbitrary bytes each; the checks run in
//     the dialog's order and the composition runs when both pass;
//   dialog mode: a sequence of user actions on the dialog procedure: radio
//     buttons, OK, Cancel, unknown commands, field texts typed or pasted
//     (up to 6 arbitrary bytes), spin arrows, stray scroll and other
//     messages.
//
// Checked:
//   - whenever both checks pass, the composed address is exactly 7 decimal
//     digits followed by a NUL, and its bus, slot and point values are the
//     fields' values (slot 01 and point 148 for Battery);
//   - when the type and its range are the dialog's own, the composed
//     address is accepted by ValidateAddress with type code 0 (Regular) or 6;
//   - the checks give 0 or 1 and show exactly one message, titled "Error",
//     owned by the dialog, with an OK button, when they fail and none when
//     they pass; the message is the one of the first failing test in the
//     documented order (a text that is not plain digits within its width is
//     allowed either way, as long as the address stays 7 digits);
//   - with canonical texts the address is exactly the documented
//     composition;
//   - a failed check leaves the composed address untouched; the checks
//     write no field text;
//   - AllDigits, BusSlotTextValid and PointTextValid give exactly the
//     documented answers on texts of any length;
//   - every spin step writes the documented canonical text;
//   - only the edits' texts are read or written, only known controls are
//     touched, and unknown commands and messages change nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "korvan_standin.h"
#include "panel/tag_address.h"
#include "support/fuzz_support.h"
#include "support/reference_rules.h"
#include "ui/address_fields.h"
#include "ui/dialog_ids.h"
#include "ui/dialog_state.h"
#include "ui/tag_format_dialog.h"
#include "ui/window_system.h"

namespace {

using namespace zelfuzz;
using zel::WindowHandle;

constexpr WindowHandle kDialog = 0x6D0;
constexpr WindowHandle kControlBase = 0x10000;

const int kEdits[3] = {ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_EDIT};
const int kSpins[3] = {ZEL_ID_BUS_SPIN, ZEL_ID_SLOT_SPIN, ZEL_ID_POINT_SPIN};
const int kRadios[4] = {ZEL_ID_REGULAR_RADIO, ZEL_ID_BATTERY_RADIO, ZEL_ID_LINE_SHORTED_RADIO, ZEL_ID_CKT_RADIO};
const int kOtherControls[6] = {ZEL_ID_BUS_LABEL, ZEL_ID_SLOT_LABEL, ZEL_ID_ADDRESS_LABEL, ZEL_ID_OK, ZEL_ID_CANCEL,
                               ZEL_ID_GROUP_BOX};

bool IsKnownControl(int id) {
    for (int known : kEdits)
        if (id == known) return true;
    for (int known : kSpins)
        if (id == known) return true;
    for (int known : kRadios)
        if (id == known) return true;
    for (int known : kOtherControls)
        if (id == known) return true;
    return false;
}

int EditIndex(WindowHandle window) {
    for (int i = 0; i < 3; ++i)
        if (window == kControlBase + static_cast<WindowHandle>(kEdits[i])) return i;
    return -1;
}

// The substitute screen: one dialog, its edits' texts and what was shown.
struct Screen {
    bool dialogMode = false;  // the procedure may write texts and end the dialog
    std::string texts[3];     // bus, slot, point
    int messages = 0;
    std::string lastMessage;
    bool ended = false;
    intptr_t endedWith = 0;
};

Screen screen;

const zel::WindowSystem kSubstitute = {
    [](const char *) -> zel::ModuleHandle { Violation("the checks asked for a module handle"); },
    []() -> uint32_t { Violation("the checks asked for the thread id"); },
    [](zel::ModuleHandle, int, WindowHandle, zel::DialogProcedure, intptr_t) -> intptr_t {
        Violation("the checks opened a modal dialog");
    },
    [](WindowHandle dialog, intptr_t result) -> int {
        ZEL_EXPECT(screen.dialogMode, "the checks or the composition ended the dialog");
        ZEL_EXPECT(dialog == kDialog, "endDialog on window %#zx, not the dialog", static_cast<std::size_t>(dialog));
        ZEL_EXPECT(!screen.ended, "the dialog was ended twice");
        screen.ended = true;
        screen.endedWith = result;
        return 1;
    },
    [](WindowHandle dialog, int id) -> WindowHandle {
        ZEL_EXPECT(dialog == kDialog, "a control of window %#zx was asked for", static_cast<std::size_t>(dialog));
        ZEL_EXPECT(IsKnownControl(id), "control %d, which the dialog does not have, was asked for", id);
        return kControlBase + static_cast<WindowHandle>(id);
    },
    [](WindowHandle window, char *buffer, int size) -> int {
        const int edit = EditIndex(window);
        ZEL_EXPECT(edit >= 0, "text of window %#zx, not an address edit, was read", static_cast<std::size_t>(window));
        ZEL_EXPECT(buffer != nullptr && size > 0, "text read into no buffer");
        const std::string &text = screen.texts[edit];
        const std::size_t n = text.size() < static_cast<std::size_t>(size - 1) ? text.size() : size - 1;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return static_cast<int>(n);
    },
    [](WindowHandle window, const char *text) -> int {
        ZEL_EXPECT(screen.dialogMode, "the checks or the composition wrote a field text");
        const int edit = EditIndex(window);
        ZEL_EXPECT(edit >= 0, "text of window %#zx, not an address edit, was written",
                   static_cast<std::size_t>(window));
        ZEL_EXPECT(text != nullptr && std::strlen(text) <= 3, "a field was given a text of more than 3 characters");
        screen.texts[edit] = text;
        return 1;
    },
    [](WindowHandle window, int) -> int {
        ZEL_EXPECT(screen.dialogMode, "the checks or the composition enabled a control");
        ZEL_EXPECT(window > kControlBase && IsKnownControl(static_cast<int>(window - kControlBase)),
                   "an unknown window was enabled");
        return 1;
    },
    [](WindowHandle window, uint32_t) -> intptr_t {
        ZEL_EXPECT(screen.dialogMode, "the checks or the composition limited a field");
        ZEL_EXPECT(EditIndex(window) >= 0, "a typing limit on a window that is not an address edit");
        return 0;
    },
    [](WindowHandle owner, const char *text, const char *caption, uint32_t type) -> int {
        ZEL_EXPECT(owner == kDialog, "a message box not owned by the dialog");
        ZEL_EXPECT(caption != nullptr && std::strcmp(caption, "Error") == 0, "a message box not titled \"Error\"");
        ZEL_EXPECT(type == zel::kMessageBoxOk, "a message box with buttons other than OK");
        ZEL_EXPECT(text != nullptr, "a message box without text");
        ++screen.messages;
        screen.lastMessage = text;
        return 1;
    },
};

void DropLine(void *, int, const char *) {}

rules::Fields FieldsAsRead() {
    return {rules::AsRead(screen.texts[0]), rules::AsRead(screen.texts[1]), rules::AsRead(screen.texts[2])};
}

std::string Quoted(const std::string &text) {
    std::string shown;
    for (unsigned char c : text) {
        char piece[8];
        std::snprintf(piece, sizeof piece, (c >= 0x20 && c < 0x7F && c != '\\') ? "%c" : "\\x%02x", c);
        shown += piece;
    }
    return shown;
}

// ---------------------------------------------------------------------------
// What the checks on OK must do, from the documented rules.

struct OkOutcome {
    bool passes = false;   // both checks passed
    const char *message = nullptr;
};

// Whether an observed outcome of the range checks fits the rules.
bool RangeOutcomeFits(int32_t type, const rules::Fields &f, const char *message) {
    using rules::Verdict;
    Verdict verdicts[3];
    const char *messages[3] = {rules::kBusRange, rules::kSlotRange, rules::kPointRange};
    int tested = 3;
    verdicts[0] = rules::RangeVerdict(f.bus, 2, 1, 8);
    if (type == rules::kBattery) {
        tested = 1;
    } else {
        verdicts[1] = rules::RangeVerdict(f.slot, 2, 1, 8);
        verdicts[2] = rules::RangeVerdict(f.point, 3, zel::pointMin, zel::pointMax);
    }
    int failedAt = tested;  // the field whose message was shown, or none
    if (message != nullptr) {
        failedAt = -1;
        for (int i = 0; i < tested; ++i)
            if (std::strcmp(message, messages[i]) == 0) failedAt = i;
        if (failedAt < 0) return false;
    }
    for (int i = 0; i < failedAt; ++i)
        if (verdicts[i] == Verdict::kFail) return false;
    return failedAt == tested || verdicts[failedAt] != Verdict::kPass;
}

bool AllCanonical(int32_t type, const rules::Fields &f) {
    using rules::Verdict;
    if (rules::RangeVerdict(f.bus, 2, 1, 8) != Verdict::kPass) return false;
    if (type == rules::kBattery) return true;
    return rules::RangeVerdict(f.slot, 2, 1, 8) == Verdict::kPass &&
           rules::RangeVerdict(f.point, 3, zel::pointMin, zel::pointMax) == Verdict::kPass;
}

bool RangeIsTheTypes(int32_t type) {
    switch (type) {
        case rules::kRegular: return zel::pointMin == 1 && zel::pointMax == 127;
        case rules::kLineShorted: return zel::pointMin == 140 && zel::pointMax == 143;
        case rules::kCkt: return zel::pointMin == 130 && zel::pointMax == 133;
        case rules::kBattery: return true;  // its point is fixed
        default: return false;
    }
}

// The composed address after both checks passed.
void CheckComposed(int32_t type, const rules::Fields &f, bool ownRange) {
    const char *address = zel::composedAddress;
    const std::size_t length = strnlen(address, zel::kAddressBufferSize);
    ZEL_EXPECT(length == 7, "composed address \"%s\" has %zu characters, not 7 (type %d, fields \"%s\" \"%s\" \"%s\")",
               Quoted(std::string(address, length)).c_str(), length, type, Quoted(f.bus).c_str(),
               Quoted(f.slot).c_str(), Quoted(f.point).c_str());
    for (std::size_t i = 0; i < 7; ++i)
        ZEL_EXPECT(rules::IsDigit(address[i]), "composed address \"%s\" holds a character that is not a digit "
                   "(type %d, fields \"%s\" \"%s\" \"%s\")",
                   Quoted(address).c_str(), type, Quoted(f.bus).c_str(), Quoted(f.slot).c_str(),
                   Quoted(f.point).c_str());
    const long bus = (address[0] - '0') * 10 + (address[1] - '0');
    const long slot = (address[2] - '0') * 10 + (address[3] - '0');
    const long point = (address[4] - '0') * 100 + (address[5] - '0') * 10 + (address[6] - '0');
    const bool battery = type == rules::kBattery;
    ZEL_EXPECT(bus == std::atol(f.bus.c_str()), "composed address \"%s\": bus is not the bus field's value", address);
    ZEL_EXPECT(slot == (battery ? 1 : std::atol(f.slot.c_str())), "composed address \"%s\": wrong slot", address);
    ZEL_EXPECT(point == (battery ? 148 : std::atol(f.point.c_str())), "composed address \"%s\": wrong point", address);
    if (AllCanonical(type, f)) {
        const std::string expected = rules::Compose(type, f);
        ZEL_EXPECT(expected == address, "composed address \"%s\" where the rules give \"%s\"", address,
                   expected.c_str());
    }
    if (ownRange && RangeIsTheTypes(type)) {
        const int32_t typeCode = type == rules::kRegular ? 0 : 6;
        ZEL_EXPECT(zel::CheckTagAddress(address, typeCode) == 0 && rules::ValidateAddress(address, typeCode) == 0,
                   "composed address \"%s\" of type %d is rejected by ValidateAddress with type code %d", address,
                   type, typeCode);
    }
}

// ---------------------------------------------------------------------------

void ResetDialogState() {
    zel::addressType = zel::NoType;
    zel::pointMin = 0;
    zel::pointMax = 0;
    std::memset(zel::composedAddress, 0, sizeof zel::composedAddress);
    std::memset(zel::spinWorkBuffer, 0, sizeof zel::spinWorkBuffer);
    screen = Screen{};
}

void FillSentinel() {
    std::memset(zel::composedAddress, 'Z', sizeof zel::composedAddress - 1);
    zel::composedAddress[sizeof zel::composedAddress - 1] = '\0';
}

bool SentinelIntact() {
    for (std::size_t i = 0; i + 1 < sizeof zel::composedAddress; ++i)
        if (zel::composedAddress[i] != 'Z') return false;
    return zel::composedAddress[sizeof zel::composedAddress - 1] == '\0';
}

std::string TextFrom(ByteReader &in, std::size_t limit) {
    const std::vector<uint8_t> piece = in.Piece(limit);
    std::string text(piece.begin(), piece.end());
    const std::size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

// The canonical-text tests on one text of any length.
void CheckCanonicalTests(const std::string &text) {
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    const ExactText exact(bytes);
    const char *t = exact.Get();
    const bool digits = rules::AllDigits(t);
    const long value = std::atol(t);
    const std::size_t length = std::strlen(t);
    ZEL_EXPECT(zel::AllDigits(t) == (digits ? 1 : 0), "AllDigits(\"%s\") is wrong", Quoted(t).c_str());
    const int32_t busSlot = (length == 2 && digits && value >= 1 && value <= 8) ? 1 : 0;
    ZEL_EXPECT(zel::BusSlotTextValid(t) == busSlot, "BusSlotTextValid(\"%s\") is not %d", Quoted(t).c_str(), busSlot);
    const int32_t point = (length == 3 && digits && value >= zel::pointMin && value <= zel::pointMax) ? 1 : 0;
    ZEL_EXPECT(zel::PointTextValid(t) == point, "PointTextValid(\"%s\") with range %d-%d is not %d",
               Quoted(t).c_str(), zel::pointMin, zel::pointMax, point);
    ZEL_EXPECT(exact.Unchanged(), "a canonical-text test changed its text");
}

// Runs the checks on OK as the dialog does and checks their outcome.
// Returns whether both passed (the composition then ran).
bool RunOk(bool throughDialog, bool ownRange) {
    const int32_t type = zel::addressType;
    const int32_t pointMin = zel::pointMin;
    const int32_t pointMax = zel::pointMax;
    const rules::Fields fields = FieldsAsRead();
    const std::string textsBefore[3] = {screen.texts[0], screen.texts[1], screen.texts[2]};
    FillSentinel();
    screen.messages = 0;

    bool passed = false;
    const char *presenceMessage = rules::PresenceMessage(type, fields);
    if (throughDialog) {
        const intptr_t handled = zel::TagFormatDialogProc(kDialog, zel::kWmCommand, ZEL_ID_OK, 0);
        ZEL_EXPECT(handled == 1, "OK was not reported as handled");
        passed = screen.ended;
        ZEL_EXPECT(!screen.ended || screen.endedWith == ZEL_ID_OK, "OK ended the dialog with %ld",
                   static_cast<long>(screen.endedWith));
        ZEL_EXPECT(passed == (screen.messages == 0), "OK: %d messages shown, dialog %s", screen.messages,
                   passed ? "ended" : "still open");
        ZEL_EXPECT(screen.messages <= 1, "OK showed %d messages", screen.messages);
        if (presenceMessage != nullptr) {
            ZEL_EXPECT(!passed && screen.lastMessage == presenceMessage,
                       "OK with type %d and fields \"%s\" \"%s\" \"%s\" should show \"%s\"", type,
                       Quoted(fields.bus).c_str(), Quoted(fields.slot).c_str(), Quoted(fields.point).c_str(),
                       presenceMessage);
        } else {
            ZEL_EXPECT(RangeOutcomeFits(type, fields, passed ? nullptr : screen.lastMessage.c_str()),
                       "OK with type %d, range %d-%d and fields \"%s\" \"%s\" \"%s\" gave \"%s\"", type, pointMin,
                       pointMax, Quoted(fields.bus).c_str(), Quoted(fields.slot).c_str(),
                       Quoted(fields.point).c_str(), passed ? "(passed)" : screen.lastMessage.c_str());
        }
    } else {
        const int32_t present = zel::CheckFieldsPresent(kDialog);
        ZEL_EXPECT(present == 0 || present == 1, "CheckFieldsPresent gave %d", present);
        ZEL_EXPECT(screen.messages == (present == 1 ? 0 : 1), "CheckFieldsPresent gave %d and showed %d messages",
                   present, screen.messages);
        if (presenceMessage == nullptr) {
            ZEL_EXPECT(present == 1, "CheckFieldsPresent failed with \"%s\" for type %d and fields \"%s\" \"%s\" \"%s\"",
                       screen.lastMessage.c_str(), type, Quoted(fields.bus).c_str(), Quoted(fields.slot).c_str(),
                       Quoted(fields.point).c_str());
        } else {
            ZEL_EXPECT(present == 0 && screen.lastMessage == presenceMessage,
                       "CheckFieldsPresent for type %d and fields \"%s\" \"%s\" \"%s\" should show \"%s\"", type,
                       Quoted(fields.bus).c_str(), Quoted(fields.slot).c_str(), Quoted(fields.point).c_str(),
                       presenceMessage);
        }
        ZEL_EXPECT(SentinelIntact(), "CheckFieldsPresent touched the composed address");
        if (present == 1) {
            screen.messages = 0;
            const int32_t ranges = zel::CheckFieldRanges(kDialog);
            ZEL_EXPECT(ranges == 0 || ranges == 1, "CheckFieldRanges gave %d", ranges);
            ZEL_EXPECT(screen.messages == (ranges == 1 ? 0 : 1), "CheckFieldRanges gave %d and showed %d messages",
                       ranges, screen.messages);
            ZEL_EXPECT(RangeOutcomeFits(type, fields, ranges == 1 ? nullptr : screen.lastMessage.c_str()),
                       "CheckFieldRanges with type %d, range %d-%d and fields \"%s\" \"%s\" \"%s\" gave \"%s\"", type,
                       pointMin, pointMax, Quoted(fields.bus).c_str(), Quoted(fields.slot).c_str(),
                       Quoted(fields.point).c_str(), ranges == 1 ? "(passed)" : screen.lastMessage.c_str());
            ZEL_EXPECT(SentinelIntact(), "CheckFieldRanges touched the composed address");
            if (ranges == 1) {
                screen.messages = 0;
                ZEL_EXPECT(zel::ComposeTagAddress(kDialog) == 1, "ComposeTagAddress did not give 1");
                ZEL_EXPECT(screen.messages == 0, "ComposeTagAddress showed a message");
                passed = true;
            }
        }
    }
    if (passed) {
        CheckComposed(type, fields, ownRange);
    } else {
        ZEL_EXPECT(SentinelIntact(), "a failed check touched the composed address");
    }
    ZEL_EXPECT(zel::addressType == type && zel::pointMin == pointMin && zel::pointMax == pointMax,
               "OK changed the address type or the point range");
    for (int i = 0; i < 3; ++i)
        ZEL_EXPECT(screen.texts[i] == textsBefore[i], "OK changed a field text");
    return passed;
}

// ---------------------------------------------------------------------------

void RunDirect(ByteReader &in) {
    screen.dialogMode = false;
    const uint8_t typeChoice = in.Byte();
    int32_t type = rules::kNoType;
    switch (typeChoice % 8) {
        case 0: type = rules::kNoType; break;
        case 1: type = rules::kRegular; break;
        case 2: type = rules::kBattery; break;
        case 3: type = rules::kLineShorted; break;
        case 4: type = rules::kCkt; break;
        case 5: type = 0; break;
        case 6: type = 5; break;
        default: type = static_cast<int32_t>(in.U32()); break;
    }
    const uint8_t rangeChoice = in.Byte();
    bool ownRange = true;
    switch (rangeChoice % 4) {
        case 0: zel::pointMin = 1, zel::pointMax = 127; break;
        case 1: zel::pointMin = 140, zel::pointMax = 143; break;
        case 2: zel::pointMin = 130, zel::pointMax = 133; break;
        default:
            zel::pointMin = static_cast<int32_t>(in.U32());
            zel::pointMax = static_cast<int32_t>(in.U32());
            ownRange = false;
            break;
    }
    zel::addressType = type;
    for (std::string &text : screen.texts) text = TextFrom(in, 8);

    for (const std::string &text : screen.texts) CheckCanonicalTests(text);
    RunOk(false, ownRange);
}

// The text a spin step must write.
std::string SpinResult(int field, uint32_t code) {
    const std::string old = rules::AsRead(screen.texts[field]);
    const long value = std::atol(old.c_str());
    const bool digits = rules::AllDigits(old);
    long next = 0;
    char text[32];
    if (field < 2) {
        next = (old.size() == 2 && digits && value >= 1 && value <= 8) ? value : 0;
        next = code == zel::kScrollLineUp ? (next + 1 > 8 ? 8 : next + 1) : (next - 1 < 1 ? 1 : next - 1);
        std::snprintf(text, sizeof text, "0%ld", next);
    } else {
        next = (old.size() == 3 && digits && value >= zel::pointMin && value <= zel::pointMax) ? value : 0;
        if (code == zel::kScrollLineUp) {
            next += 1;
            if (next < zel::pointMin || next > zel::pointMax) next = zel::pointMax;
        } else {
            next -= 1;
            if (next < zel::pointMin) next = zel::pointMin;
        }
        std::snprintf(text, sizeof text, "%03ld", next);
    }
    return text;
}

void ExpectNothingChanged(const char *action, int32_t type, int32_t pointMin, int32_t pointMax,
                          const std::string (&texts)[3]) {
    ZEL_EXPECT(screen.messages == 0 && !screen.ended, "%s showed a message or ended the dialog", action);
    ZEL_EXPECT(zel::addressType == type && zel::pointMin == pointMin && zel::pointMax == pointMax,
               "%s changed the address type or point range", action);
    for (int i = 0; i < 3; ++i) ZEL_EXPECT(screen.texts[i] == texts[i], "%s changed a field text", action);
    ZEL_EXPECT(SentinelIntact(), "%s touched the composed address", action);
}

void RunDialog(ByteReader &in) {
    screen.dialogMode = true;
    ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmInitDialog, 0, 0) == 1, "WM_INITDIALOG not handled");
    ZEL_EXPECT(screen.texts[0] == "01" && screen.texts[1] == "01" && screen.texts[2] == "001",
               "the dialog opened with other texts than 01, 01, 001");
    ZEL_EXPECT(zel::addressType == zel::NoType, "the dialog opened with an address type selected");

    for (int step = 0; step < 64 && !in.Empty() && !screen.ended; ++step) {
        const uint8_t action = in.Byte();
        const int32_t type = zel::addressType;
        const int32_t pointMin = zel::pointMin;
        const int32_t pointMax = zel::pointMax;
        const std::string texts[3] = {screen.texts[0], screen.texts[1], screen.texts[2]};
        FillSentinel();
        screen.messages = 0;
        switch (action % 8) {
            case 0: {  // a radio button, with any notification code
                const uint8_t which = in.Byte();
                const int id = kRadios[which % 4];
                const uintptr_t wParam = static_cast<uintptr_t>(id) | (static_cast<uintptr_t>(in.Byte()) << 16);
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmCommand, wParam, 0) == 1,
                           "a radio button was not handled");
                ZEL_EXPECT(screen.messages == 0 && !screen.ended, "a radio button showed a message or ended");
                ZEL_EXPECT(SentinelIntact(), "a radio button touched the composed address");
                switch (id) {
                    case ZEL_ID_REGULAR_RADIO:
                        ZEL_EXPECT(zel::addressType == rules::kRegular && zel::pointMin == 1 && zel::pointMax == 127 &&
                                       screen.texts[2] == "001",
                                   "Regular: wrong type, range or first point");
                        break;
                    case ZEL_ID_LINE_SHORTED_RADIO:
                        ZEL_EXPECT(zel::addressType == rules::kLineShorted && zel::pointMin == 140 &&
                                       zel::pointMax == 143 && screen.texts[2] == "140",
                                   "Line Shorted: wrong type, range or first point");
                        break;
                    case ZEL_ID_CKT_RADIO:
                        ZEL_EXPECT(zel::addressType == rules::kCkt && zel::pointMin == 130 && zel::pointMax == 133 &&
                                       screen.texts[2] == "130",
                                   "CKT: wrong type, range or first point");
                        break;
                    default:
                        ZEL_EXPECT(zel::addressType == rules::kBattery && zel::pointMin == pointMin &&
                                       zel::pointMax == pointMax && screen.texts[2] == texts[2],
                                   "Battery: wrong type, or range or point changed");
                        break;
                }
                ZEL_EXPECT(screen.texts[0] == texts[0] && screen.texts[1] == texts[1],
                           "a radio button changed the bus or slot text");
                break;
            }
            case 1:  // OK
                RunOk(true, true);
                break;
            case 2:  // Cancel
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmCommand, ZEL_ID_CANCEL, 0) == 1,
                           "Cancel not handled");
                ZEL_EXPECT(screen.ended && screen.endedWith == ZEL_ID_CANCEL && screen.messages == 0,
                           "Cancel did not end the dialog with Cancel alone");
                ZEL_EXPECT(SentinelIntact(), "Cancel touched the composed address");
                break;
            case 3: {  // a command from a control that has no action
                const uint32_t id = in.U16();
                bool acts = id == ZEL_ID_OK || id == ZEL_ID_CANCEL;
                for (int radio : kRadios) acts = acts || static_cast<int>(id) == radio;
                if (acts) break;
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmCommand, id, 0) == 1, "a command not handled");
                ExpectNothingChanged("a command without action", type, pointMin, pointMax, texts);
                break;
            }
            case 4: {  // the user types or pastes into a field
                const uint8_t field = in.Byte() % 3;
                screen.texts[field] = TextFrom(in, 6);
                break;
            }
            case 5: {  // a spin arrow, or another scroll code on a spin
                const uint8_t choice = in.Byte();
                const int field = choice % 3;
                const uint32_t code = (choice / 3) % 4;  // 0 up, 1 down, 2 and 3 other codes
                const WindowHandle spin = kControlBase + static_cast<WindowHandle>(kSpins[field]);
                const bool arrow = code == zel::kScrollLineUp || code == zel::kScrollLineDown;
                const std::string expected = arrow ? SpinResult(field, code) : std::string();
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmVScroll, code, static_cast<intptr_t>(spin)) == 0,
                           "a spin message gave other than 0");
                if (arrow) {
                    std::string now[3] = {texts[0], texts[1], texts[2]};
                    now[field] = expected;
                    ZEL_EXPECT(screen.texts[field] == expected,
                               "spin %d code %u on \"%s\" (range %d-%d) wrote \"%s\", not \"%s\"", field, code,
                               Quoted(texts[field]).c_str(), pointMin, pointMax, Quoted(screen.texts[field]).c_str(),
                               expected.c_str());
                    ExpectNothingChanged("a spin step", type, pointMin, pointMax, now);
                    if (field < 2) ZEL_EXPECT(zel::BusSlotTextValid(expected.c_str()) == 1, "spin text not canonical");
                } else {
                    ExpectNothingChanged("a scroll code other than the arrows", type, pointMin, pointMax, texts);
                }
                break;
            }
            case 6: {  // a scroll message from some other window
                const uint32_t code = in.Byte() % 2;
                WindowHandle from = in.U32();
                bool isSpin = false;
                for (int spin : kSpins) isSpin = isSpin || from == kControlBase + static_cast<WindowHandle>(spin);
                if (isSpin) from = 0;
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, zel::kWmVScroll, code, static_cast<intptr_t>(from)) == 0,
                           "a stray scroll message gave other than 0");
                ExpectNothingChanged("a stray scroll message", type, pointMin, pointMax, texts);
                break;
            }
            default: {  // any other message
                const uint32_t message = in.U32();
                if (message == zel::kWmInitDialog || message == zel::kWmCommand || message == zel::kWmVScroll) break;
                const uintptr_t wParam = in.U32();
                const intptr_t lParam = static_cast<intptr_t>(in.U32());
                ZEL_EXPECT(zel::TagFormatDialogProc(kDialog, message, wParam, lParam) == 0,
                           "message %#x reported as handled", message);
                ExpectNothingChanged("another message", type, pointMin, pointMax, texts);
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    KorStandinSetLogSink(&DropLine, nullptr);
    zel::UseWindowSystem(&kSubstitute);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    ByteReader in(data, size);
    ResetDialogState();
    if (in.Byte() % 2 == 0)
        RunDirect(in);
    else
        RunDialog(in);
    return 0;
}
