// The real Tag Format dialog under a window system: one thread asks
// ZELWNQX.DLL for a tag address (operation 16) and runs the modal dialog,
// this thread works it with ordinary window messages, as a user's clicks
// and keys would. The dialog is shown once per process, so each case runs
// in a process of its own (--gtest_filter).
//
// With ZEL_DIALOG_SHOT_DIR set, the spin case pauses with the dialog open:
// it writes the dialog's screen rectangle to "ready" in that directory and
// waits for "taken", so that a screenshot can be made.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using ZelMainPtr = int32_t(__stdcall *)(void *);

constexpr int kRegular = 1064, kLineShorted = 1063, kBattery = 1013, kCkt = 1062;
constexpr int kBusEdit = 1037, kSlotEdit = 1007, kPointEdit = 1010;
constexpr int kBusSpin = 1036, kSlotSpin = 1006, kPointSpin = 1011;
constexpr DWORD kWaitMs = 10000;

template <typename Condition>
bool WaitFor(Condition condition) {
    for (DWORD waited = 0; waited < kWaitMs; waited += 10) {
        if (condition()) return true;
        Sleep(10);
    }
    return condition();
}

struct Search {
    const char *caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
    auto *search = reinterpret_cast<Search *>(context);
    char className[64] = {}, text[64] = {};
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, text, sizeof text);
    if (std::strcmp(className, "#32770") == 0 && std::strcmp(text, search->caption) == 0 && IsWindowVisible(window))
        search->found = window;
    return search->found == nullptr;
}

// A visible dialog-class window of the thread with that caption.
HWND FindDialogOf(DWORD thread, const char *caption) {
    Search search{caption, nullptr};
    EnumThreadWindows(thread, MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A host that asks for an address on a thread of its own, owning the
// dialog with a window of that thread.
class HostSession {
public:
    HostSession() {
        std::memset(buffer_, 'Z', sizeof buffer_);
        HMODULE driver = LoadLibraryA("ZELWNQX.DLL");
        if (driver == nullptr) return;
        zelMain_ = reinterpret_cast<ZelMainPtr>(reinterpret_cast<void *>(GetProcAddress(driver, "ZelMain")));
        if (zelMain_ == nullptr) return;
        thread_ = std::thread([this] { Ask(); });
        WaitFor([this] { return threadId_.load() != 0; });
        WaitFor([this] { return done_.load() || (dialog_ = FindDialogOf(threadId_, "Tag Format")) != nullptr; });
    }
    ~HostSession() {
        if (dialog_ != nullptr && IsWindow(dialog_)) PostMessageA(dialog_, WM_COMMAND, IDCANCEL, 0);
        if (thread_.joinable()) thread_.join();
    }

    HWND dialog() const { return dialog_; }
    HWND hostWindow() const { return hostWindow_; }
    HWND Item(int id) const { return GetDlgItem(dialog_, id); }

    void Click(int id) const { SendMessageA(Item(id), BM_CLICK, 0, 0); }
    // OK and Cancel may open a message box or end the dialog: posted, so
    // this thread stays free to answer them.
    void Press(int id) const { PostMessageA(Item(id), BM_CLICK, 0, 0); }
    void Put(int id, const char *text) const { SendMessageA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }
    std::string Text(int id) const {
        char text[16] = {};
        GetWindowTextA(Item(id), text, sizeof text);
        return text;
    }
    void Arrow(int spin, WORD code) const {
        SendMessageA(dialog_, WM_VSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(Item(spin)));
    }
    void Type(int id, char key) const { SendMessageA(Item(id), WM_CHAR, static_cast<WPARAM>(key), 1); }
    void SelectAll(int id) const { SendMessageA(Item(id), EM_SETSEL, 0, -1); }
    bool Checked(int id) const { return SendMessageA(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

    // The "Error" box a failed check shows: its text, after dismissing it.
    std::string DismissError() const {
        HWND box = nullptr;
        if (!WaitFor([&] { return (box = FindDialogOf(threadId_, "Error")) != nullptr; })) return "(no message box)";
        EXPECT_EQ(GetWindow(box, GW_OWNER), dialog_) << "the dialog owns the message box";
        char text[128] = {};
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
        return text;
    }

    // The result of operation 16 once the dialog has ended.
    int32_t Result() {
        EXPECT_TRUE(WaitFor([this] { return done_.load(); })) << "the dialog did not end";
        if (thread_.joinable() && done_.load()) thread_.join();
        return result_;
    }
    std::string Buffer() const { return std::string(buffer_, sizeof buffer_); }

private:
    void Ask() {
        hostWindow_ = CreateWindowExA(0, "STATIC", "Host", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                      nullptr);
        threadId_ = GetCurrentThreadId();
        struct {
            char *addressText;
            HWND hostWindow;
        } request{buffer_, hostWindow_};
        struct {
            void *channel;
            uint32_t operation;
            int32_t channelNumber;
            uint32_t unused;
            void *request;
        } call{nullptr, 16, 0, 0, &request};
        result_ = zelMain_(&call);
        done_ = true;
        DestroyWindow(hostWindow_);
    }

    ZelMainPtr zelMain_ = nullptr;
    std::thread thread_;
    std::atomic<DWORD> threadId_{0};
    std::atomic<bool> done_{false};
    HWND dialog_ = nullptr;
    HWND hostWindow_ = nullptr;
    int32_t result_ = -1;
    char buffer_[16];
};

const std::string kUntouched(16, 'Z');

std::string Delivered(const char *address) { return std::string(address) + '\0' + std::string(8, 'Z'); }

// Holds the dialog open for a screenshot when the test script asks for one.
void OfferScreenshot(HWND dialog) {
    const char *dir = std::getenv("ZEL_DIALOG_SHOT_DIR");
    if (dir == nullptr || *dir == '\0') return;
    RECT r{};
    GetWindowRect(dialog, &r);
    const std::string base = dir;
    if (FILE *ready = std::fopen((base + "/ready.tmp").c_str(), "w")) {
        std::fprintf(ready, "%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        std::fclose(ready);
        MoveFileA((base + "/ready.tmp").c_str(), (base + "/ready").c_str());
    }
    EXPECT_TRUE(WaitFor([&] { return GetFileAttributesA((base + "/taken").c_str()) != INVALID_FILE_ATTRIBUTES; }))
        << "no screenshot taken";
}

TEST(DialogWindow, Regular) {
    HostSession host;
    ASSERT_NE(host.dialog(), nullptr) << "the dialog did not open";
    EXPECT_EQ(GetWindow(host.dialog(), GW_OWNER), host.hostWindow()) << "version 820 owns it by the host's window";
    EXPECT_FALSE(IsWindowEnabled(host.Item(kBusEdit))) << "no type selected yet";
    EXPECT_EQ(host.Text(kBusEdit) + host.Text(kSlotEdit) + host.Text(kPointEdit), "0101001");
    host.Click(kRegular);
    EXPECT_TRUE(host.Checked(kRegular));
    EXPECT_TRUE(IsWindowEnabled(host.Item(kPointSpin)));
    host.SelectAll(kPointEdit);
    host.Type(kPointEdit, 'x');
    EXPECT_EQ(host.Text(kPointEdit), "001") << "the fields take only digits";
    host.Press(IDOK);
    EXPECT_EQ(host.Result(), 0);
    EXPECT_EQ(host.Buffer(), Delivered("0101001"));
}

TEST(DialogWindow, BatteryWithEmptySlotAndPoint) {
    HostSession host;
    ASSERT_NE(host.dialog(), nullptr);
    host.Click(kLineShorted);
    host.Click(kBattery);
    EXPECT_TRUE(host.Checked(kBattery));
    EXPECT_FALSE(host.Checked(kLineShorted)) << "the radio buttons form one group";
    for (int id : {kBusEdit, kBusSpin}) EXPECT_TRUE(IsWindowEnabled(host.Item(id))) << id;
    for (int id : {kSlotEdit, kPointEdit, kSlotSpin, kPointSpin}) EXPECT_FALSE(IsWindowEnabled(host.Item(id))) << id;
    host.Put(kSlotEdit, "");
    host.Put(kPointEdit, "");
    host.Type(kBusEdit, '5');
    EXPECT_EQ(host.Text(kBusEdit), "01") << "the bus field takes one typed digit";
    host.SelectAll(kBusEdit);
    host.Type(kBusEdit, '5');
    EXPECT_EQ(host.Text(kBusEdit), "5");
    host.Press(IDOK);
    EXPECT_EQ(host.Result(), 0);
    EXPECT_EQ(host.Buffer(), Delivered("0501148"));
}

TEST(DialogWindow, CktReachedWithTheSpins) {
    HostSession host;
    ASSERT_NE(host.dialog(), nullptr);
    host.Click(kCkt);
    EXPECT_EQ(host.Text(kPointEdit), "130");
    for (int i = 0; i < 4; ++i) host.Arrow(kPointSpin, SB_LINEUP);
    EXPECT_EQ(host.Text(kPointEdit), "133") << "the up arrow stops at the range's end";
    host.Arrow(kPointSpin, SB_PAGEDOWN);
    host.Arrow(kPointSpin, SB_THUMBPOSITION);
    EXPECT_EQ(host.Text(kPointEdit), "133") << "page and thumb do nothing";
    host.Arrow(kBusSpin, SB_LINEUP);
    host.Arrow(kBusSpin, SB_LINEUP);
    host.Arrow(kSlotSpin, SB_LINEDOWN);
    host.Arrow(kSlotSpin, SB_LINEUP);
    host.Arrow(kSlotSpin, SB_LINEUP);
    host.Arrow(kSlotSpin, SB_LINEUP);
    host.Arrow(kSlotSpin, SB_LINEDOWN);
    EXPECT_EQ(host.Text(kBusEdit), "03");
    EXPECT_EQ(host.Text(kSlotEdit), "03");
    OfferScreenshot(host.dialog());
    host.Press(IDOK);
    EXPECT_EQ(host.Result(), 0);
    EXPECT_EQ(host.Buffer(), Delivered("0303133"));
}

TEST(DialogWindow, FailedCheckThenCorrection) {
    HostSession host;
    ASSERT_NE(host.dialog(), nullptr);
    host.Press(IDOK);
    EXPECT_EQ(host.DismissError(), "Select one radio button");
    host.Click(kRegular);
    host.Put(kBusEdit, "9");
    host.Press(IDOK);
    EXPECT_EQ(host.DismissError(), "Invalid BUS num (valid is 1-8)");
    host.Put(kSlotEdit, "");
    host.Press(IDOK);
    EXPECT_EQ(host.DismissError(), "Slot number is missing");
    EXPECT_TRUE(IsWindow(host.dialog())) << "a failed check leaves the dialog open";
    host.Put(kBusEdit, "2");
    host.Put(kSlotEdit, "6");
    host.Put(kPointEdit, "42");
    host.Press(IDOK);
    EXPECT_EQ(host.Result(), 0);
    EXPECT_EQ(host.Buffer(), Delivered("0206042"));
}

// Run with the host at version 819: no owner.
TEST(DialogWindow, CancelLeavesTheBufferAndEndsTheOnlyDialog) {
    HostSession host;
    ASSERT_NE(host.dialog(), nullptr);
    EXPECT_EQ(GetWindow(host.dialog(), GW_OWNER), nullptr);
    host.Click(kRegular);
    host.Press(IDCANCEL);
    EXPECT_EQ(host.Result(), 53);
    EXPECT_EQ(host.Buffer(), kUntouched);

    HostSession again;
    EXPECT_EQ(again.dialog(), nullptr) << "a second request shows nothing";
    EXPECT_EQ(again.Result(), 53);
    EXPECT_EQ(again.Buffer(), kUntouched);
}

}  // namespace
