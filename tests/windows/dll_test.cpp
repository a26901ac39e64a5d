// ZELWNQX.DLL as the host sees it: loaded with LoadLibraryA, ZelMain found
// with GetProcAddress and called with records built byte by byte at the
// offsets the host uses, independent of the driver's own header.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zel_version.h"

namespace {

using ZelMainPtr = int32_t(__stdcall *)(void *);

HMODULE driver = nullptr;
ZelMainPtr zelMain = nullptr;

class DriverEnvironment : public testing::Environment {
public:
    void SetUp() override {
        // The stand-in's log lines (hundreds of failed opens) go nowhere.
        _putenv("KORVAN_LOG_FILE=NUL");
        driver = LoadLibraryA("ZELWNQX.DLL");
        ASSERT_NE(driver, nullptr) << "LoadLibraryA failed: " << GetLastError();
        zelMain = reinterpret_cast<ZelMainPtr>(reinterpret_cast<void *>(GetProcAddress(driver, "ZelMain")));
        ASSERT_NE(zelMain, nullptr);
    }
};

const testing::Environment *const environment = testing::AddGlobalTestEnvironment(new DriverEnvironment);

template <typename T>
void Put(std::vector<uint8_t> &bytes, std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

template <typename T>
T Get(const uint8_t *bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// Where the host puts each field. A 32-bit host uses the offsets of the
// driver's documented records; a 64-bit host the natural layout of the same
// declarations, pointers 8 bytes wide and aligned.
struct HostLayout {
    std::size_t callSize, callOperation, callChannelNumber, callRequest;
    std::size_t tagSize, tagType, tagParam, tagValue;
    std::size_t infoSize, infoShortName, infoBanner, infoBlockSize, infoFixed10, infoLine, infoFixed1C;
};
constexpr HostLayout kLayout32{0x14, 0x04, 0x08, 0x10, 0x2C, 0x08, 0x0C, 0x28, 0x20, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x1C};
constexpr HostLayout kLayout64{0x20, 0x08, 0x0C, 0x18, 0x38, 0x0C, 0x10, 0x30, 0x30, 0x08, 0x10, 0x18, 0x1C, 0x20, 0x28};
constexpr HostLayout kLayout = sizeof(void *) == 4 ? kLayout32 : kLayout64;

uintptr_t Address(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// A ZelCall block: channel, operation, channel number, an unread word,
// request; the bytes between are left as the host's garbage.
std::vector<uint8_t> CallBlock(void *channel, uint32_t operation, void *request, int32_t channelNumber = 0) {
    std::vector<uint8_t> call(kLayout.callSize, 0xCC);
    Put<uintptr_t>(call, 0x00, Address(channel));
    Put<uint32_t>(call, kLayout.callOperation, operation);
    Put<int32_t>(call, kLayout.callChannelNumber, channelNumber);
    Put<uintptr_t>(call, kLayout.callRequest, Address(request));
    return call;
}

int32_t Call(void *channel, uint32_t operation, void *request, int32_t channelNumber = 0) {
    std::vector<uint8_t> call = CallBlock(channel, operation, request, channelNumber);
    return zelMain(call.data());
}

// A TagRequest: address, type code, parameter code, value.
std::vector<uint8_t> TagRequest(const char *address, int32_t typeCode, uint32_t paramCode, void *value) {
    std::vector<uint8_t> request(kLayout.tagSize, 0xDD);
    Put<uintptr_t>(request, 0x00, Address(address));
    Put<int32_t>(request, kLayout.tagType, typeCode);
    Put<uint32_t>(request, kLayout.tagParam, paramCode);
    Put<uintptr_t>(request, kLayout.tagValue, Address(value));
    return request;
}

constexpr std::size_t kBlockSize = 13600;
constexpr std::size_t kPort = 0x008, kParamF = 0x024, kParamA = 0x026, kParamR = 0x028, kTable = 0x413;

std::size_t Entry(int bus, int slot, int point) { return kTable + bus * 1395 + slot * 155 + point; }

// The block belongs to the host: the test owns it and sets table bytes.
struct Block {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlockSize, 0);
    uint8_t *data() { return bytes.data(); }
};

// Calls ZelMain through the host's pointer. On the 32-bit DLL the argument
// is pushed by hand and the stack pointer compared after the call: a
// stdcall callee pops its 4-byte argument, and a callee that popped none or
// the wrong amount leaves the pointer elsewhere. x86-64 has one calling
// convention, in which the caller cleans up: there the call is plain.
int32_t CallThroughThePointer(std::vector<uint8_t> &call, bool &stackKept) {
#if defined(__i386__)
    uint32_t before = 0, after = 0;
    int32_t result = -1;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[arg]\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&S"(before), "=&D"(after), "=a"(result)
        : [arg] "r"(call.data()), [fn] "r"(zelMain)
        : "ecx", "edx", "memory", "cc");
    stackKept = after == before;
    return result;
#else
    stackKept = true;
    return zelMain(call.data());
#endif
}

// Every operation code, again and again, through the pointer the host keeps,
// on a channel whose port cannot be opened: each answers as documented and
// the stack is where it was after every call.
TEST(DriverDll, EveryOperationAnswersThroughThePointerAgainAndAgain) {
    Block block;
    std::vector<uint8_t> info(kLayout.infoSize, 0);
    std::vector<uint8_t> open(0x1C, 0);  // OpenChannelRequest: the same 28 bytes on every target
    std::memcpy(open.data(), "COM99", 6);
    Put<uint32_t>(open, 0x0C, 1);     // enabled
    Put<uint32_t>(open, 0x10, 10);    // read time-out
    Put<uint16_t>(open, 0x14, 9600);  // line settings
    Put<uint16_t>(open, 0x16, 8);
    std::vector<uint8_t> change(0x18, 0);  // ChangeParamsRequest: 24 bytes on every target
    std::memcpy(change.data(), "COM98", 6);
    uint8_t value[4] = {};
    std::vector<uint8_t> validate = TagRequest("0104130", 6, 0, nullptr);
    std::vector<uint8_t> read = TagRequest("0104130", 0, 0, value);
    std::vector<uint8_t> write = TagRequest(nullptr, 0, 'R', value);
    std::vector<uint8_t> edit(2 * sizeof(void *), 0);  // a null address text: no dialog is used up
    struct Step {
        uint32_t operation;
        void *request;
        int32_t result;
    };
    const Step steps[] = {{14, info.data(), 0},    {1, open.data(), 2},     {2, nullptr, 0},  {3, validate.data(), 0},
                          {4, nullptr, 1},         {5, read.data(), 0},     {6, nullptr, 1},  {7, write.data(), 0},
                          {8, nullptr, 1},         {9, nullptr, 1},         {10, nullptr, 1}, {12, nullptr, 0},
                          {13, nullptr, 2},        {15, change.data(), 2},  {16, edit.data(), 53},
                          {11, nullptr, 0},        {0xFFFFFFFFu, nullptr, 1}};
    for (int round = 0; round < 300; ++round) {
        for (const Step &step : steps) {
            std::vector<uint8_t> call = CallBlock(block.data(), step.operation, step.request, 1);
            bool stackKept = false;
            const int32_t result = CallThroughThePointer(call, stackKept);
            ASSERT_EQ(result, step.result) << "operation " << step.operation << ", round " << round;
            ASSERT_TRUE(stackKept) << "operation " << step.operation << " moved the stack pointer";
        }
    }
    EXPECT_EQ(Get<uint32_t>(block.data(), kPort), 0u);
    EXPECT_EQ(Get<uint32_t>(block.data(), 0x004), 1u) << "enabled, as the OpenChannel request said";
}

TEST(DriverDll, GetDriverInfoFillsTheRecordByteForByte) {
    std::vector<uint8_t> info(kLayout.infoSize + 8, 0xEE);
    EXPECT_EQ(Call(nullptr, 14, info.data()), 0);
    EXPECT_EQ(Get<uint32_t>(info.data(), 0x00), 82u);
    const char *shortName = reinterpret_cast<const char *>(Get<uintptr_t>(info.data(), kLayout.infoShortName));
    EXPECT_STREQ(shortName, "Quon");
    EXPECT_EQ(Get<uint32_t>(info.data(), kLayout.infoBlockSize), 13600u);
    EXPECT_EQ(Get<uint32_t>(info.data(), kLayout.infoFixed10), 4u);
    EXPECT_EQ(Get<uint16_t>(info.data(), kLayout.infoLine + 0), 9600);
    EXPECT_EQ(Get<uint16_t>(info.data(), kLayout.infoLine + 2), 8);
    EXPECT_EQ(Get<uint16_t>(info.data(), kLayout.infoLine + 4), 0);
    EXPECT_EQ(Get<uint16_t>(info.data(), kLayout.infoLine + 6), 0);
    EXPECT_EQ(Get<uint32_t>(info.data(), kLayout.infoFixed1C), 0x00430028u);
    for (std::size_t i = kLayout.infoSize; i < info.size(); ++i) EXPECT_EQ(info[i], 0xEE) << "beyond the record";

    const char *banner = reinterpret_cast<const char *>(Get<uintptr_t>(info.data(), kLayout.infoBanner));
    ASSERT_NE(banner, nullptr);
    const std::string text(banner);
    ASSERT_EQ(text.size(), 1u + 5 * 63);
    EXPECT_EQ(text[0], '\n');
    const std::string top = std::string(" \xC9") + std::string(59, '\xCD') + "\xBB\n";
    EXPECT_EQ(text.substr(1, 63), top);
    EXPECT_EQ(text.substr(64, 3), " \xBA ");
    EXPECT_EQ(text.substr(64 + 26, 11), " Z E L Q X ");
    EXPECT_NE(text.find("Driver installed.       \xBA\n"), std::string::npos);
    EXPECT_NE(text.find("Version " ZEL_VERSION_TEXT "      \xBA\n"), std::string::npos);
    const std::string bottom = std::string(" \xC8") + std::string(59, '\xCD') + "\xBC\n";
    EXPECT_EQ(text.substr(1 + 4 * 63, 63), bottom);
}

TEST(DriverDll, UnsupportedAndUnknownCodesAnswerOne) {
    Block block;
    std::memset(block.data() + 0x2B, 0x41, 1000);
    const std::vector<uint8_t> before = block.bytes;
    for (uint32_t code : {0u, 4u, 6u, 8u, 9u, 10u, 17u, 100u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(Call(block.data(), code, nullptr), 1);
    }
    EXPECT_EQ(block.bytes, before);
}

TEST(DriverDll, WriteParameterStoresTheNamedWord) {
    struct Case {
        uint32_t code;
        int32_t result;
        std::size_t offset;  // 0: nothing stored
    };
    for (const Case &c : {Case{70, 0, kParamF}, Case{65, 0, kParamA}, Case{82, 0, kParamR}, Case{97, 1, 0},
                          Case{0, 1, 0}, Case{0x141, 1, 0}}) {
        SCOPED_TRACE(c.code);
        Block block;
        uint8_t value[4] = {0xFF, 0xFF, 0x34, 0x12};  // 16-bit value at offset 2
        std::vector<uint8_t> request = TagRequest(nullptr, 0, c.code, value);
        EXPECT_EQ(Call(block.data(), 7, request.data()), c.result);
        for (std::size_t offset : {kParamF, kParamA, kParamR})
            EXPECT_EQ(Get<uint16_t>(block.data(), offset), offset == c.offset ? 0x1234 : 0);
        EXPECT_EQ(Get<uint32_t>(block.data(), kPort), 0u);
    }
}

TEST(DriverDll, ValidateAddressAnswersByTypeCode) {
    struct Case {
        const char *text;
        int32_t type;
        int32_t result;
    };
    Block block;
    for (const Case &c : {Case{"0104130", 6, 0}, Case{"0104130", 0, 1}, Case{"0104001", 0, 0}, Case{"0301148", 6, 0},
                          Case{"0302148", 6, 1}, Case{"0904001", 0, 1}, Case{"010413", 6, 1}, Case{"0104001", 3, 1},
                          Case{"KNOWN", 0, 0}, Case{"KNOWN", 6, 1}, Case{"LINK", 0, 0}}) {
        SCOPED_TRACE(c.text);
        std::vector<uint8_t> request = TagRequest(c.text, c.type, 0, nullptr);
        EXPECT_EQ(Call(block.data(), 3, request.data()), c.result);
    }
}

TEST(DriverDll, ReadTagAnswersFromTheHostsTable) {
    Block block;
    block.bytes[Entry(1, 4, 130)] = 1;
    block.bytes[Entry(2, 1, 127)] = 2;
    block.bytes[Entry(8, 8, 150)] = 3;
    block.bytes[Entry(1, 4, 151)] = 3;
    struct Case {
        const char *text;
        uint16_t value;
    };
    for (const Case &c : {Case{"0104130", 1}, Case{"0201127", 2}, Case{"0808150", 3}, Case{"0104151", 1},
                          Case{"0104131", 0}, Case{"01041300", 1}, Case{"0104", 1}, Case{"01x4130", 1}}) {
        SCOPED_TRACE(c.text);
        uint8_t value[4] = {0x11, 0x22, 0x33, 0x44};
        std::vector<uint8_t> request = TagRequest(c.text, 0, 0, value);
        EXPECT_EQ(Call(block.data(), 5, request.data()), 0);
        EXPECT_EQ(Get<uint16_t>(value, 2), c.value);
        EXPECT_EQ(value[0], 0x11);
        EXPECT_EQ(value[1], 0x22);
    }
}

}  // namespace
