// ZELWNQX.DLL as the host sees it: loaded with LoadLibraryA, ZelMain found
// with GetProcAddress and called with records built byte by byte at the
// offsets the host uses, independent of the driver's own header.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
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

uint32_t Address(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// A ZelCall block: channel 0x00, operation 0x04, channel number 0x08, an
// unread word 0x0C, request 0x10.
std::vector<uint8_t> CallBlock(void *channel, uint32_t operation, void *request, int32_t channelNumber = 0) {
    std::vector<uint8_t> call(20, 0xCC);
    Put<uint32_t>(call, 0x00, Address(channel));
    Put<uint32_t>(call, 0x04, operation);
    Put<int32_t>(call, 0x08, channelNumber);
    Put<uint32_t>(call, 0x10, Address(request));
    return call;
}

int32_t Call(void *channel, uint32_t operation, void *request, int32_t channelNumber = 0) {
    std::vector<uint8_t> call = CallBlock(channel, operation, request, channelNumber);
    return zelMain(call.data());
}

// A TagRequest: address 0x00, type code 0x08, parameter code 0x0C, value 0x28.
std::vector<uint8_t> TagRequest(const char *address, int32_t typeCode, uint32_t paramCode, void *value) {
    std::vector<uint8_t> request(0x2C, 0xDD);
    Put<uint32_t>(request, 0x00, Address(address));
    Put<int32_t>(request, 0x08, typeCode);
    Put<uint32_t>(request, 0x0C, paramCode);
    Put<uint32_t>(request, 0x28, Address(value));
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

TEST(DriverDll, ZelMainPopsItsArgument) {
    std::vector<uint8_t> info(32, 0);
    std::vector<uint8_t> call = CallBlock(nullptr, 14, info.data());
    uint32_t before = 0, after = 0;
    int32_t result = -1;
    // Push the one argument by hand and compare the stack pointer after the
    // call: a stdcall callee removes it.
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[arg]\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp\n\t"
        : "=S"(before), "=D"(after), "=a"(result)
        : [arg] "r"(call.data()), [fn] "r"(zelMain)
        : "ecx", "edx", "memory", "cc");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(after, before) << "the callee must pop its 4-byte argument";
}

TEST(DriverDll, GetDriverInfoFillsTheRecordByteForByte) {
    std::vector<uint8_t> info(40, 0xEE);
    EXPECT_EQ(Call(nullptr, 14, info.data()), 0);
    EXPECT_EQ(Get<uint32_t>(info.data(), 0x00), 82u);
    const char *shortName = reinterpret_cast<const char *>(Get<uint32_t>(info.data(), 0x04));
    EXPECT_STREQ(shortName, "Quon");
    EXPECT_EQ(Get<uint32_t>(info.data(), 0x0C), 13600u);
    EXPECT_EQ(Get<uint32_t>(info.data(), 0x10), 4u);
    EXPECT_EQ(Get<uint16_t>(info.data(), 0x14), 9600);
    EXPECT_EQ(Get<uint16_t>(info.data(), 0x16), 8);
    EXPECT_EQ(Get<uint16_t>(info.data(), 0x18), 0);
    EXPECT_EQ(Get<uint16_t>(info.data(), 0x1A), 0);
    EXPECT_EQ(Get<uint32_t>(info.data(), 0x1C), 0x00430028u);
    for (std::size_t i = 32; i < 40; ++i) EXPECT_EQ(info[i], 0xEE) << "beyond the record";

    const char *banner = reinterpret_cast<const char *>(Get<uint32_t>(info.data(), 0x08));
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
                          Case{"0302148", 6, 1}, Case{"0904001", 0, 1}, Case{"010413", 6, 1}, Case{"0104001", 3, 1}}) {
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
