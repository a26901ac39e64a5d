// The Tag Format dialog's logic and operation 16, against a window system
// that records every call and keeps each control's text and enabled state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvan_standin.h"
#include "test_host.h"
#include "ui/address_fields.h"
#include "ui/dialog_ids.h"
#include "ui/dialog_state.h"
#include "ui/tag_format_dialog.h"
#include "ui/window_system.h"

namespace {

using namespace zel;

constexpr WindowHandle kDialog = 0x77;
constexpr ModuleHandle kModule = 0x4400;
constexpr WindowHandle kHostWindow = 0x5150;

WindowHandle Handle(int id) { return 0x1000 + static_cast<WindowHandle>(id); }

struct Recorded {
    std::string kind;
    std::string detail;
};

// The substitute's state: one dialog's controls and every call made.
struct Screen {
    std::mutex mutex;
    std::vector<Recorded> calls;
    std::map<int, std::string> texts;
    std::map<int, int> enabled;
    uint32_t threadId = 7;
    intptr_t cannotShow = 0;  // nonzero: the modal dialog fails with it
    intptr_t endedWith = 0;
    DialogProcedure shownProcedure = nullptr;
    std::function<void()> user;  // what the user does while the dialog is open

    void Record(const std::string &kind, const std::string &detail) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back({kind, detail});
    }
    std::vector<std::string> Of(const std::string &kind) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> details;
        for (const Recorded &call : calls)
            if (call.kind == kind) details.push_back(call.detail);
        return details;
    }
};

Screen *screen = nullptr;

int IdOf(WindowHandle control) { return static_cast<int>(control - 0x1000); }

const WindowSystem kRecordingWindows = {
    [](const char *name) -> ModuleHandle {
        screen->Record("module", name);
        return kModule;
    },
    []() -> uint32_t { return screen->threadId; },
    [](ModuleHandle module, int templateId, WindowHandle owner, DialogProcedure procedure,
       intptr_t initial) -> intptr_t {
        screen->Record("modal", std::to_string(module) + " " + std::to_string(templateId) + " " +
                                    std::to_string(owner) + " " + std::to_string(initial));
        if (screen->cannotShow != 0) return screen->cannotShow;
        screen->shownProcedure = procedure;
        procedure(kDialog, kWmInitDialog, 0, 0);
        if (screen->user) screen->user();
        return screen->endedWith;
    },
    [](WindowHandle dialog, intptr_t result) -> int {
        screen->Record("end", std::to_string(dialog) + " " + std::to_string(result));
        screen->endedWith = result;
        return 1;
    },
    [](WindowHandle dialog, int id) -> WindowHandle {
        screen->Record("control", std::to_string(id));
        return dialog == kDialog ? Handle(id) : 0;
    },
    [](WindowHandle control, char *buffer, int size) -> int {
        screen->Record("getText", std::to_string(IdOf(control)));
        const std::string text = screen->texts[IdOf(control)].substr(0, static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<int>(text.size());
    },
    [](WindowHandle control, const char *text) -> int {
        screen->Record("setText", std::to_string(IdOf(control)) + " " + text);
        screen->texts[IdOf(control)] = text;
        return 1;
    },
    [](WindowHandle control, int enabled) -> int {
        screen->Record("enable", std::to_string(IdOf(control)) + " " + std::to_string(enabled));
        screen->enabled[IdOf(control)] = enabled;
        return 0;
    },
    [](WindowHandle edit, uint32_t limit) -> intptr_t {
        screen->Record("limit", std::to_string(IdOf(edit)) + " " + std::to_string(limit));
        return 0;
    },
    [](WindowHandle owner, const char *text, const char *caption, uint32_t type) -> int {
        screen->Record("message", std::to_string(owner) + " " + caption + " " + std::to_string(type) + " " + text);
        return 1;
    },
};

// A message as the substitute records it: owned by the dialog, "Error", MB_OK.
std::string ErrorBox(const std::string &text) { return std::to_string(kDialog) + " Error 0 " + text; }

std::vector<std::string> Enables(std::initializer_list<int> ids, int enabled) {
    std::vector<std::string> details;
    for (int id : ids) details.push_back(std::to_string(id) + " " + std::to_string(enabled));
    return details;
}

const std::vector<std::string> kAllFieldsEnabled =
    Enables({ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_EDIT, ZEL_ID_BUS_SPIN, ZEL_ID_SLOT_SPIN,
             ZEL_ID_POINT_SPIN},
            1);

intptr_t Send(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return TagFormatDialogProc(kDialog, message, wParam, lParam);
}
intptr_t Click(int id, uintptr_t notification = 0) {
    return Send(kWmCommand, (notification << 16) | static_cast<uint16_t>(id), static_cast<intptr_t>(Handle(id)));
}
intptr_t Arrow(int spinId, uint32_t code) { return Send(kWmVScroll, code, static_cast<intptr_t>(Handle(spinId))); }

// Process-wide state is fresh in each ctest process; reset anyway, so that
// cases which run several requests can start each from the beginning.
class TagFormat : public testing::Test {
protected:
    void SetUp() override {
        screen = &state;
        tagDialogShown = 0;
        addressType = NoType;
        pointMin = pointMax = 0;
        std::strcpy(composedAddress, "untouched");
        UseWindowSystem(&kRecordingWindows);
    }
    void TearDown() override {
        UseWindowSystem(nullptr);
        KorStandinSetRegistrationResult(0);
        KorStandinSetVersion(820);
    }
    // The dialog as WM_INITDIALOG leaves it, with the log of calls cleared.
    void Opened() {
        Send(kWmInitDialog, 0, 0);
        state.calls.clear();
    }
    void Type(const char *bus, const char *slot, const char *point) {
        state.texts[ZEL_ID_BUS_EDIT] = bus;
        state.texts[ZEL_ID_SLOT_EDIT] = slot;
        state.texts[ZEL_ID_POINT_EDIT] = point;
    }
    Screen state;
};

TEST(TagFormatFreshProcess, StartsWithNoTypeNoRangeAndNoDialogShown) {
    EXPECT_EQ(tagDialogShown.load(), 0);
    EXPECT_EQ(addressType, -999);
    EXPECT_EQ(pointMin, 0);
    EXPECT_EQ(pointMax, 0);
    EXPECT_STREQ(composedAddress, "");
}

TEST_F(TagFormat, OpeningDisablesFieldsSetsTextsAndLimits) {
    addressType = Ckt;
    pointMin = 130;
    pointMax = 133;
    EXPECT_EQ(Send(kWmInitDialog, 0, 0), 1);
    EXPECT_EQ(state.Of("enable"), Enables({ZEL_ID_POINT_EDIT, ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_SPIN,
                                           ZEL_ID_BUS_SPIN, ZEL_ID_SLOT_SPIN},
                                          0));
    EXPECT_EQ(state.Of("setText"), (std::vector<std::string>{"1037 01", "1007 01", "1010 001"}));
    EXPECT_EQ(state.Of("limit"), (std::vector<std::string>{"1037 1", "1007 2", "1010 3"}));
    EXPECT_EQ(addressType, Ckt);
    EXPECT_EQ(pointMin, 130);
    EXPECT_EQ(pointMax, 133);
}

TEST_F(TagFormat, PointTypeButtonsEnableFieldsAndSetRangeAndFirstPoint) {
    struct Row {
        int radio;
        int32_t type, first, last;
        const char *text;
    };
    for (const Row &row : {Row{ZEL_ID_REGULAR_RADIO, Regular, 1, 127, "001"},
                           Row{ZEL_ID_LINE_SHORTED_RADIO, LineShorted, 140, 143, "140"},
                           Row{ZEL_ID_CKT_RADIO, Ckt, 130, 133, "130"}}) {
        SCOPED_TRACE(row.radio);
        Opened();
        Type("5", "07", "42");
        // BN_DOUBLECLICKED acts as a click: the notification is not looked at.
        EXPECT_EQ(Click(row.radio, 5), 1);
        EXPECT_EQ(state.Of("enable"), kAllFieldsEnabled);
        EXPECT_EQ(state.Of("setText"), (std::vector<std::string>{"1010 " + std::string(row.text)}));
        EXPECT_EQ(addressType, row.type);
        EXPECT_EQ(pointMin, row.first);
        EXPECT_EQ(pointMax, row.last);
        EXPECT_EQ(state.texts[ZEL_ID_BUS_EDIT], "5");
        EXPECT_EQ(state.texts[ZEL_ID_SLOT_EDIT], "07");
    }
}

TEST_F(TagFormat, BatteryLeavesOnlyTheBusAndKeepsTextsAndRange) {
    Opened();
    Click(ZEL_ID_LINE_SHORTED_RADIO);
    Type("3", "04", "141");
    state.calls.clear();
    EXPECT_EQ(Click(ZEL_ID_BATTERY_RADIO), 1);
    std::vector<std::string> expected = kAllFieldsEnabled;
    for (const std::string &e :
         Enables({ZEL_ID_POINT_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_SPIN, ZEL_ID_SLOT_SPIN}, 0))
        expected.push_back(e);
    EXPECT_EQ(state.Of("enable"), expected);
    EXPECT_TRUE(state.Of("setText").empty());
    EXPECT_EQ(addressType, Battery);
    EXPECT_EQ(pointMin, 140);
    EXPECT_EQ(pointMax, 143);

    // Regular again: every field enabled, the point back at 001, the bus and
    // slot as the user left them.
    Click(ZEL_ID_REGULAR_RADIO);
    for (int id : {ZEL_ID_BUS_EDIT, ZEL_ID_SLOT_EDIT, ZEL_ID_POINT_EDIT, ZEL_ID_BUS_SPIN, ZEL_ID_SLOT_SPIN,
                   ZEL_ID_POINT_SPIN})
        EXPECT_EQ(state.enabled[id], 1) << id;
    EXPECT_EQ(state.texts[ZEL_ID_POINT_EDIT], "001");
    EXPECT_EQ(state.texts[ZEL_ID_BUS_EDIT], "3");
    EXPECT_EQ(state.texts[ZEL_ID_SLOT_EDIT], "04");
}

TEST_F(TagFormat, OtherCommandsAndMessagesChangeNothing) {
    Opened();
    constexpr uintptr_t kEditChanged = 0x0300;
    for (int id : {ZEL_ID_BUS_EDIT, ZEL_ID_POINT_EDIT, ZEL_ID_ADDRESS_LABEL, 0xFFFF, 3})
        EXPECT_EQ(Click(id, kEditChanged), 1) << id;
    for (uint32_t message : {0x000Fu /* WM_PAINT */, 0x0010u /* WM_CLOSE */, 0x0114u /* WM_HSCROLL */})
        EXPECT_EQ(Send(message, 0, static_cast<intptr_t>(Handle(ZEL_ID_BUS_SPIN))), 0) << message;
    for (const Recorded &call : state.calls) EXPECT_EQ(call.kind, "control") << call.detail;
    EXPECT_EQ(addressType, NoType);
}

struct OkCase {
    int32_t type;
    const char *bus, *slot, *point;
    const char *message;  // nullptr: both checks pass
    const char *address;
};

void PrintTo(const OkCase &c, std::ostream *out) {
    *out << "type " << c.type << " fields \"" << c.bus << "\" \"" << c.slot << "\" \"" << c.point << "\"";
}

class OkChecks : public TagFormat, public testing::WithParamInterface<OkCase> {};

const std::map<int32_t, int> kRadioOf = {{Regular, ZEL_ID_REGULAR_RADIO},
                                         {Battery, ZEL_ID_BATTERY_RADIO},
                                         {LineShorted, ZEL_ID_LINE_SHORTED_RADIO},
                                         {Ckt, ZEL_ID_CKT_RADIO}};

TEST_P(OkChecks, ShowTheFirstFailureOrComposeAndEnd) {
    const OkCase &c = GetParam();
    Opened();
    if (c.type != NoType) Click(kRadioOf.at(c.type));
    Type(c.bus, c.slot, c.point);
    state.calls.clear();
    EXPECT_EQ(Click(ZEL_ID_OK), 1);
    if (c.message != nullptr) {
        EXPECT_EQ(state.Of("message"), std::vector<std::string>{ErrorBox(c.message)});
        EXPECT_TRUE(state.Of("end").empty());
        EXPECT_STREQ(composedAddress, "untouched");
    } else {
        EXPECT_TRUE(state.Of("message").empty());
        EXPECT_EQ(state.Of("end"), std::vector<std::string>{std::to_string(kDialog) + " 1"});
        EXPECT_STREQ(composedAddress, c.address);
    }
    EXPECT_TRUE(state.Of("setText").empty());
    EXPECT_TRUE(state.Of("enable").empty());
    if (c.type == Battery) {
        const std::vector<std::string> read = state.Of("getText");
        EXPECT_EQ(std::count(read.begin(), read.end(), "1007") + std::count(read.begin(), read.end(), "1010"), 0)
            << "a Battery address reads only the bus";
    }
}

constexpr const char *kNoType = "Select one radio button";
constexpr const char *kBadBus = "Invalid BUS num (valid is 1-8)";
constexpr const char *kBadSlot = "Invalid Slot num (valid is 1-8)";
constexpr const char *kBadPoint = "Invalid Address";

INSTANTIATE_TEST_SUITE_P(
    Fields, OkChecks,
    testing::Values(
        // Presence, in the order type, bus, point, slot.
        OkCase{NoType, "01", "01", "001", kNoType, nullptr}, OkCase{NoType, "", "", "", kNoType, nullptr},
        OkCase{Regular, "", "", "", "Bus number is missing", nullptr},
        OkCase{Regular, "01", "", "", "Address number is missing", nullptr},
        OkCase{Regular, "01", "", "001", "Slot number is missing", nullptr},
        OkCase{Battery, "", "", "", "Bus number is missing", nullptr},
        // Ranges, in the order bus, slot, point.
        OkCase{Battery, "0", "", "", kBadBus, nullptr}, OkCase{Battery, "9", "01", "001", kBadBus, nullptr},
        OkCase{Regular, "09", "01", "001", kBadBus, nullptr}, OkCase{Regular, "9", "0", "000", kBadBus, nullptr},
        OkCase{Regular, "01", "0", "000", kBadSlot, nullptr}, OkCase{Ckt, "01", "9", "130", kBadSlot, nullptr},
        OkCase{LineShorted, "01", "01", "139", kBadPoint, nullptr},
        OkCase{LineShorted, "01", "01", "144", kBadPoint, nullptr},
        OkCase{Regular, "01", "01", "128", kBadPoint, nullptr}, OkCase{Regular, "01", "01", "000", kBadPoint, nullptr},
        OkCase{Ckt, "01", "01", "134", kBadPoint, nullptr},
        // Texts that would not make a seven-digit address count as out of range.
        OkCase{Regular, "001", "01", "001", kBadBus, nullptr}, OkCase{Regular, "01", "+5", "001", kBadSlot, nullptr},
        OkCase{Regular, "01", "5 ", "001", kBadSlot, nullptr}, OkCase{Regular, "01", "01", "+12", kBadPoint, nullptr},
        // Composition.
        OkCase{Regular, "01", "01", "001", nullptr, "0101001"}, OkCase{Regular, "3", "04", "12", nullptr, "0304012"},
        OkCase{Ckt, "01", "04", "130", nullptr, "0104130"}, OkCase{LineShorted, "08", "8", "143", nullptr, "0808143"},
        OkCase{LineShorted, "01", "01", "140", nullptr, "0101140"}, OkCase{Battery, "5", "", "", nullptr, "0501148"},
        OkCase{Battery, "08", "9", "999", nullptr, "0801148"}, OkCase{Regular, "1", "1", "127", nullptr, "0101127"},
        OkCase{Regular, "01", "01", "7", nullptr, "0101007"}, OkCase{Regular, "01", "01", "07", nullptr, "0101007"},
        OkCase{Regular, "01", "01", "007", nullptr, "0101007"},
        // Only the first 3 characters of a field are read.
        OkCase{Regular, "01", "01", "1279", nullptr, "0101127"}));

TEST_F(TagFormat, FailedCheckLeavesTheDialogOpenForACorrection) {
    Opened();
    Click(ZEL_ID_OK);
    Click(ZEL_ID_REGULAR_RADIO);
    Type("9", "01", "001");
    Click(ZEL_ID_OK);
    Type("2", "01", "001");
    Click(ZEL_ID_OK);
    EXPECT_EQ(state.Of("message"), (std::vector<std::string>{ErrorBox(kNoType), ErrorBox(kBadBus)}));
    EXPECT_EQ(state.Of("end"), std::vector<std::string>{std::to_string(kDialog) + " 1"});
    EXPECT_STREQ(composedAddress, "0201001");
}

TEST_F(TagFormat, CancelEndsWithTwoAndComposesNothing) {
    Opened();
    Click(ZEL_ID_REGULAR_RADIO);
    EXPECT_EQ(Click(ZEL_ID_CANCEL), 1);
    EXPECT_EQ(state.Of("end"), std::vector<std::string>{std::to_string(kDialog) + " 2"});
    EXPECT_STREQ(composedAddress, "untouched");
}

struct SpinCase {
    int32_t type;
    int spin, edit;
    const char *before;
    uint32_t code;
    const char *after;
};

void PrintTo(const SpinCase &c, std::ostream *out) {
    *out << "type " << c.type << " spin " << c.spin << " \"" << c.before << "\" code " << c.code;
}

class Spins : public TagFormat, public testing::WithParamInterface<SpinCase> {};

TEST_P(Spins, StepWithinTheRangeFromTheCanonicalValueOrZero) {
    const SpinCase &c = GetParam();
    Opened();
    if (c.type != NoType) Click(kRadioOf.at(c.type));
    state.texts[c.edit] = c.before;
    state.calls.clear();
    // The high word (a thumb position) is not looked at.
    EXPECT_EQ(Send(kWmVScroll, (77u << 16) | c.code, static_cast<intptr_t>(Handle(c.spin))), 0);
    EXPECT_EQ(state.Of("setText"), std::vector<std::string>{std::to_string(c.edit) + " " + c.after});
}

constexpr uint32_t kUp = kScrollLineUp, kDown = kScrollLineDown;
constexpr int kBus = ZEL_ID_BUS_SPIN, kSlot = ZEL_ID_SLOT_SPIN, kPoint = ZEL_ID_POINT_SPIN;
constexpr int kBusEdit = ZEL_ID_BUS_EDIT, kSlotEdit = ZEL_ID_SLOT_EDIT, kPointEdit = ZEL_ID_POINT_EDIT;

INSTANTIATE_TEST_SUITE_P(
    Arrows, Spins,
    testing::Values(
        SpinCase{NoType, kBus, kBusEdit, "08", kUp, "08"}, SpinCase{NoType, kBus, kBusEdit, "01", kDown, "01"},
        SpinCase{NoType, kBus, kBusEdit, "04", kUp, "05"}, SpinCase{NoType, kBus, kBusEdit, "04", kDown, "03"},
        SpinCase{NoType, kBus, kBusEdit, "5", kUp, "01"}, SpinCase{NoType, kBus, kBusEdit, "5", kDown, "01"},
        SpinCase{NoType, kBus, kBusEdit, "09", kUp, "01"}, SpinCase{NoType, kBus, kBusEdit, "00", kDown, "01"},
        SpinCase{NoType, kBus, kBusEdit, "", kUp, "01"}, SpinCase{Battery, kBus, kBusEdit, "07", kUp, "08"},
        SpinCase{Regular, kSlot, kSlotEdit, "08", kUp, "08"}, SpinCase{Regular, kSlot, kSlotEdit, "01", kDown, "01"},
        SpinCase{Regular, kSlot, kSlotEdit, "02", kDown, "01"}, SpinCase{Regular, kSlot, kSlotEdit, "1a", kUp, "01"},
        SpinCase{Regular, kPoint, kPointEdit, "127", kUp, "127"},
        SpinCase{Regular, kPoint, kPointEdit, "001", kDown, "001"},
        SpinCase{Regular, kPoint, kPointEdit, "050", kUp, "051"},
        SpinCase{Regular, kPoint, kPointEdit, "100", kDown, "099"},
        SpinCase{Regular, kPoint, kPointEdit, "12", kUp, "001"},
        SpinCase{Regular, kPoint, kPointEdit, "128", kDown, "001"},
        SpinCase{LineShorted, kPoint, kPointEdit, "12", kUp, "143"},
        SpinCase{LineShorted, kPoint, kPointEdit, "12", kDown, "140"},
        SpinCase{LineShorted, kPoint, kPointEdit, "141", kUp, "142"},
        SpinCase{LineShorted, kPoint, kPointEdit, "143", kUp, "143"},
        SpinCase{Ckt, kPoint, kPointEdit, "130", kDown, "130"}, SpinCase{Ckt, kPoint, kPointEdit, "133", kUp, "133"},
        SpinCase{Ckt, kPoint, kPointEdit, "132", kDown, "131"}, SpinCase{Ckt, kPoint, kPointEdit, "", kUp, "133"}));

TEST_F(TagFormat, PageThumbAndForeignScrollBarsChangeNothing) {
    Opened();
    Click(ZEL_ID_REGULAR_RADIO);
    state.calls.clear();
    for (int spin : {kBus, kSlot, kPoint})
        for (uint32_t code = 2; code <= 8; ++code) EXPECT_EQ(Arrow(spin, code), 0);
    for (intptr_t other : {intptr_t{0}, static_cast<intptr_t>(Handle(ZEL_ID_BUS_EDIT))})
        EXPECT_EQ(Send(kWmVScroll, kUp, other), 0);
    EXPECT_TRUE(state.Of("setText").empty());
}

TEST(FieldTexts, CanonicalTests) {
    pointMin = 1;
    pointMax = 127;
    struct Row {
        int32_t (*test)(const char *);
        const char *text;
        int32_t expected;
    };
    for (const Row &row :
         {Row{AllDigits, "", 1}, Row{AllDigits, "0123456789", 1}, Row{AllDigits, "12a", 0}, Row{AllDigits, " 1", 0},
          Row{BusSlotTextValid, "08", 1}, Row{BusSlotTextValid, "01", 1}, Row{BusSlotTextValid, "8", 0},
          Row{BusSlotTextValid, "09", 0}, Row{BusSlotTextValid, "00", 0}, Row{BusSlotTextValid, "+8", 0},
          Row{BusSlotTextValid, "008", 0}, Row{PointTextValid, "127", 1}, Row{PointTextValid, "001", 1},
          Row{PointTextValid, "128", 0}, Row{PointTextValid, "12", 0}, Row{PointTextValid, "000", 0},
          Row{PointTextValid, "+12", 0}})
        EXPECT_EQ(row.test(row.text), row.expected) << row.text;
}

// Operation 16 through ZelMain.
struct HostBuffer {
    char bytes[16];
    HostBuffer() { std::memset(bytes, 'Z', sizeof bytes); }
    bool Untouched() const { return std::string(bytes, sizeof bytes) == std::string(16, 'Z'); }
};

int32_t RequestAddress(HostBuffer &buffer) {
    EditTagAddressRequest request{buffer.bytes, reinterpret_cast<void *>(kHostWindow)};
    return zeltest::Call(nullptr, ZEL_OP_EDIT_TAG_ADDRESS, &request);
}

TEST_F(TagFormat, ConfirmedAddressIsDeliveredAsEightBytes) {
    std::memset(composedAddress, 'X', kAddressBufferSize - 1);  // left over beyond the NUL
    state.user = [] {
        Click(ZEL_ID_REGULAR_RADIO);
        Click(ZEL_ID_OK);
    };
    HostBuffer buffer;
    EXPECT_EQ(RequestAddress(buffer), ZEL_OK);
    EXPECT_EQ(std::string(buffer.bytes, 16), std::string("0101001\0ZZZZZZZZ", 16));
    EXPECT_EQ(state.Of("module"), std::vector<std::string>{"ZELWNQX.DLL"});
    EXPECT_EQ(state.Of("modal"), std::vector<std::string>{std::to_string(kModule) + " 101 " +
                                                          std::to_string(kHostWindow) + " 0"});
    EXPECT_EQ(state.shownProcedure, &TagFormatDialogProc);
}

TEST_F(TagFormat, OnlyTheFirstRequestShowsTheDialog) {
    struct Row {
        const char *first;
        int32_t firstResult;
    };
    for (const Row &row : {Row{"ok", ZEL_OK}, Row{"cancel", ZEL_NO_ADDRESS}, Row{"cannot show", ZEL_NO_ADDRESS}}) {
        SCOPED_TRACE(row.first);
        tagDialogShown = 0;
        state.calls.clear();
        state.cannotShow = std::string(row.first) == "cannot show" ? -1 : 0;
        const int ending = std::string(row.first) == "ok" ? ZEL_ID_OK : ZEL_ID_CANCEL;
        state.user = [ending] {
            Click(ZEL_ID_CKT_RADIO);
            Click(ending);
        };
        HostBuffer first, second;
        EXPECT_EQ(RequestAddress(first), row.firstResult);
        EXPECT_EQ(first.Untouched(), row.firstResult != ZEL_OK);
        const int queries = KorStandinVersionQueries();
        EXPECT_EQ(RequestAddress(second), ZEL_NO_ADDRESS);
        EXPECT_TRUE(second.Untouched());
        EXPECT_EQ(state.Of("modal").size(), 1u);
        EXPECT_EQ(KorStandinVersionQueries(), queries) << "a later request asks the host nothing";
    }
}

TEST_F(TagFormat, OwnerFollowsTheHostVersion) {
    struct Row {
        int registration;
        unsigned short version;
        uint32_t threadId;
        WindowHandle owner;
        const char *clientName;  // nullptr: refused, so no query and no removal
    };
    for (const Row &row : {Row{0, 819, 7, 0, "ZelQXBr07"}, Row{0, 820, 7, kHostWindow, "ZelQXBr07"},
                           Row{0, 65535, 123456, kHostWindow, "ZelQXBr123456"},
                           Row{0x10000, 820, 9, kHostWindow, "ZelQXBr09"}, Row{5, 820, 7, 0, nullptr},
                           Row{0x10005, 65535, 7, 0, nullptr}}) {
        SCOPED_TRACE(row.version);
        tagDialogShown = 0;
        state.calls.clear();
        state.cannotShow = -1;
        state.threadId = row.threadId;
        KorStandinSetRegistrationResult(row.registration);
        KorStandinSetVersion(row.version);
        const int queries = KorStandinVersionQueries(), removals = KorStandinRemovals();
        HostBuffer buffer;
        EXPECT_EQ(RequestAddress(buffer), ZEL_NO_ADDRESS);
        EXPECT_EQ(state.Of("modal"), std::vector<std::string>{std::to_string(kModule) + " 101 " +
                                                              std::to_string(row.owner) + " 0"});
        const int registered = row.clientName != nullptr ? 1 : 0;
        EXPECT_EQ(KorStandinVersionQueries() - queries, registered);
        EXPECT_EQ(KorStandinRemovals() - removals, registered);
        if (row.clientName != nullptr) {
            char name[64];
            KorStandinLastClientName(name, sizeof name);
            EXPECT_STREQ(name, row.clientName);
        }
    }
}

TEST_F(TagFormat, MissingRecordOrBufferIsRefusedWithoutUsingTheDialog) {
    EXPECT_EQ(zeltest::Call(nullptr, ZEL_OP_EDIT_TAG_ADDRESS, nullptr), ZEL_NO_ADDRESS);
    EditTagAddressRequest noBuffer{nullptr, reinterpret_cast<void *>(kHostWindow)};
    EXPECT_EQ(zeltest::Call(nullptr, ZEL_OP_EDIT_TAG_ADDRESS, &noBuffer), ZEL_NO_ADDRESS);
    EXPECT_EQ(tagDialogShown.load(), 0);
    EXPECT_TRUE(state.calls.empty());
    state.user = [] { Click(ZEL_ID_CANCEL); };
    HostBuffer buffer;
    EXPECT_EQ(RequestAddress(buffer), ZEL_NO_ADDRESS);
    EXPECT_EQ(state.Of("modal").size(), 1u);
}

TEST_F(TagFormat, TwoThreadsAskingAtOnceShowOneDialog) {
    state.cannotShow = -1;
    for (int round = 0; round < 200; ++round) {
        tagDialogShown = 0;
        state.calls.clear();
        std::atomic<int> ready{0};
        auto ask = [&ready] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            HostBuffer buffer;
            RequestAddress(buffer);
        };
        std::thread a(ask), b(ask);
        a.join();
        b.join();
        ASSERT_EQ(state.Of("modal").size(), 1u) << "round " << round;
    }
}

TEST_F(TagFormat, LinuxHasNoWindowSystemSoNothingIsConfirmed) {
    UseWindowSystem(nullptr);
    const int queries = KorStandinVersionQueries();
    HostBuffer buffer;
    EXPECT_EQ(RequestAddress(buffer), ZEL_NO_ADDRESS);
    EXPECT_TRUE(buffer.Untouched());
    EXPECT_EQ(tagDialogShown.load(), 1);
    EXPECT_EQ(KorStandinVersionQueries() - queries, 1) << "the host is asked as on Windows";
    EXPECT_EQ(RequestAddress(buffer), ZEL_NO_ADDRESS);
    EXPECT_EQ(KorStandinVersionQueries() - queries, 1);
}

}  // namespace
