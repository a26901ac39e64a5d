// ZelMain with arbitrary operation codes and request bytes.
//
// No port is ever opened: the serial back end is replaced by one whose
// every open is refused (and whose other steps must never be reached, as no
// port is open), so OpenChannel (1), ReopenPort (13) and ChangeZelParams
// (15) run their whole logic up to the platform open and take their failure
// paths; no reception thread is started and no device is touched.
//
// Input: one byte choosing the ChannelBlock's contents (zeros as a fresh
// host block, or a pattern with any port handle and port name), one byte
// seeding the table (entries 0-3), then up to 16 calls, each: the operation
// code (0-17, or any 32-bit value), a flag byte (null channel, null
// request, null address or address buffer, null TagValue, a null ZelCall
// first), for codes 3, 5 and 7 a byte choosing the type code (0, 6 or the
// raw bytes') and the parameter code ('A', 'F', 'R' or the raw bytes'), the
// request record's bytes, the address text and the TagValue's bytes.
//
// Every record the driver is given sits in an allocation of exactly its
// size between poisoned guard areas: the ChannelBlock, the request record
// (sized for the operation), the TagValue, the address text and
// EditTagAddress's 8-byte address buffer. Checked after every call:
//   - the result is a documented code (0, 1, 2 or 53) and exactly the one
//     that the documented behaviour gives for that call, 53 for code 16 as
//     on Linux no dialog can be shown;
//   - no guard byte changed; the request record changed only for
//     GetDriverInfo, which fills exactly its documented values; the address
//     text and the address buffer never changed;
//   - in the ChannelBlock only the fields that the operation may write
//     changed, with the documented values: `enabled` for OpenChannel, the
//     one parameter of WriteParameter, the port name and line settings for
//     ChangeZelParams; every table entry stays 0-3;
//   - ValidateAddress and ReadTag answer as the documented rules give;
//   - the platform open is asked for exactly when an operation gets that
//     far, and only with a name terminated within its 12 bytes;
//   - every log line is at level 8 or 32.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "korvan_standin.h"
#include "serial/serial_backend.h"
#include "support/fuzz_support.h"
#include "support/reference_rules.h"
#include "zelwnqx.h"

namespace {

using namespace zelfuzz;

constexpr std::size_t kOtherRequestBytes = 64;
constexpr std::size_t kAddressBufferBytes = 8;

int openCalls = 0;

[[noreturn]] void Unreachable(const char *step) {
    Violation("platform serial step '%s' reached although no port can be open", step);
}

const zel::SerialBackend kNoPorts = {
    [](const char *name, zel::PortHandle *) -> bool {
        ZEL_EXPECT(name != nullptr && strnlen(name, 12) < 12, "the platform open was given an unterminated name");
        ++openCalls;
        return false;
    },
    [](zel::PortHandle, int *) -> bool { Unreachable("closeDevice"); },
    [](zel::PortHandle, zel::LineState *) -> bool { Unreachable("getLineState"); },
    [](zel::PortHandle, const zel::LineState *) -> bool { Unreachable("setLineState"); },
    [](zel::PortHandle, zel::CommTimeouts *) -> bool { Unreachable("getTimeouts"); },
    [](zel::PortHandle, const zel::CommTimeouts *) -> bool { Unreachable("setTimeouts"); },
    [](zel::PortHandle, uint32_t, uint32_t) -> bool { Unreachable("setupQueues"); },
    [](zel::PortHandle, uint32_t *) -> zel::IoStatus { Unreachable("clearErrors"); },
    [](zel::PortHandle, void *, uint32_t, uint32_t *) -> zel::IoStatus { Unreachable("read"); },
    [](zel::PortHandle, const void *, uint32_t, uint32_t *) -> bool { Unreachable("write"); },
    [](zel::PortHandle, bool) -> bool { Unreachable("setBreak"); },
    [](uint32_t) { Unreachable("sleep"); },
    [](zel::PortHandle, uint32_t) -> zel::InputWait { Unreachable("waitForInput"); },
    [](zel::PortHandle) { Unreachable("interruptIo"); },
    [](zel::PortHandle) { Unreachable("resumeIo"); },
};

void CheckLevel(void *, int level, const char *) {
    ZEL_EXPECT(level == 8 || level == 32, "a log line at level %d", level);
}

struct Regions {
    GuardedRegion channel{sizeof(ChannelBlock), 4096};
    GuardedRegion openRequest{sizeof(OpenChannelRequest)};
    GuardedRegion tagRequest{sizeof(TagRequest)};
    GuardedRegion driverInfo{sizeof(DriverInfo)};
    GuardedRegion changeRequest{sizeof(ChangeParamsRequest)};
    GuardedRegion editRequest{sizeof(EditTagAddressRequest)};
    GuardedRegion otherRequest{kOtherRequestBytes};
    GuardedRegion tagValue{sizeof(TagValue)};
    GuardedRegion addressBuffer{kAddressBufferBytes};
};

Regions *regions = nullptr;

GuardedRegion &RequestRegionFor(uint32_t op) {
    switch (op) {
        case ZEL_OP_OPEN_CHANNEL: return regions->openRequest;
        case ZEL_OP_VALIDATE_ADDRESS:
        case ZEL_OP_READ_TAG:
        case ZEL_OP_WRITE_PARAMETER: return regions->tagRequest;
        case ZEL_OP_GET_DRIVER_INFO: return regions->driverInfo;
        case ZEL_OP_CHANGE_ZEL_PARAMS: return regions->changeRequest;
        case ZEL_OP_EDIT_TAG_ADDRESS: return regions->editRequest;
        default: return regions->otherRequest;
    }
}

struct Snapshot {
    std::vector<uint8_t> bytes;
    explicit Snapshot(const GuardedRegion &region) : bytes(region.Data(), region.Data() + region.Size()) {}
};

constexpr std::size_t Field(std::size_t offset, std::size_t size) { return offset + size; }

void FillChannel(ByteReader &in) {
    uint8_t *bytes = regions->channel.Data();
    auto *channel = reinterpret_cast<ChannelBlock *>(bytes);
    const uint8_t mode = in.Byte();
    const uint8_t tableSeed = in.Byte();
    if (mode % 2 == 0) {
        std::memset(bytes, 0, sizeof(ChannelBlock));  // a fresh host block
    } else {
        std::memcpy(bytes, NoiseBytes(sizeof(ChannelBlock)), sizeof(ChannelBlock));
        channel->port = in.U32();
        in.Bytes(&channel->portBlock, sizeof channel->portBlock);
    }
    uint8_t *table = &channel->statusTable[0][0][0];
    std::memcpy(table, TableTemplate(tableSeed), rules::kTableBytes);
}

void CheckDriverInfo(const DriverInfo &info) {
    ZEL_EXPECT(info.code == 82 && info.channelBlockSize == 13600 && info.fixed10 == 4 && info.fixed1C == 0x00430028,
               "GetDriverInfo filled wrong fixed values");
    ZEL_EXPECT(info.lineSettings.baudRate == 9600 && info.lineSettings.dataBits == 8 &&
                   info.lineSettings.stopBits == 0 && info.lineSettings.parity == 0,
               "GetDriverInfo filled wrong default line settings");
    ZEL_EXPECT(info.shortName != nullptr && std::strcmp(info.shortName, "Quon") == 0, "GetDriverInfo: short name");
    ZEL_EXPECT(info.banner != nullptr && info.banner[0] == '\n', "GetDriverInfo: banner");
}

void OneCall(ByteReader &in) {
    const uint8_t opByte = in.Byte();
    const uint32_t op = opByte < 0xE0 ? opByte % 18u : in.U32();
    const uint8_t flags = in.Byte();
    const bool nullChannel = flags & 1;
    const bool nullRequest = flags & 2;
    const bool nullPointer = flags & 4;  // address text or address buffer
    const bool nullValue = flags & 8;
    if (flags & 16) ZEL_EXPECT(ZelMain(nullptr) == ZEL_FAILED, "ZelMain(nullptr) did not give 1");

    const bool tagRecord = op == ZEL_OP_VALIDATE_ADDRESS || op == ZEL_OP_READ_TAG || op == ZEL_OP_WRITE_PARAMETER;
    const uint8_t choice = tagRecord ? in.Byte() : 0;
    GuardedRegion &requestRegion = RequestRegionFor(op);
    std::memset(requestRegion.Data(), 0, requestRegion.Size());
    in.Bytes(requestRegion.Data(), in.Byte() % (requestRegion.Size() + 1));
    const ExactText text(in.Piece(16));
    auto *value = reinterpret_cast<TagValue *>(regions->tagValue.Data());
    in.Bytes(value, sizeof(TagValue));
    std::memset(regions->addressBuffer.Data(), 0xEE, kAddressBufferBytes);

    auto *tagRequest = reinterpret_cast<TagRequest *>(requestRegion.Data());
    if (tagRecord) {
        // The type and parameter codes that matter, or the raw bytes' own.
        static const int32_t kTypeCodes[] = {0, 6};
        static const uint32_t kParamCodes[] = {'A', 'F', 'R'};
        if (choice % 4 < 2) tagRequest->typeCode = kTypeCodes[choice % 4];
        if (choice / 4 % 5 < 3) tagRequest->paramCode = kParamCodes[choice / 4 % 5];
        tagRequest->address = nullPointer ? nullptr : text.Get();
        tagRequest->value = nullValue ? nullptr : value;
    }
    if (op == ZEL_OP_EDIT_TAG_ADDRESS) {
        auto *edit = reinterpret_cast<EditTagAddressRequest *>(requestRegion.Data());
        edit->addressText = nullPointer ? nullptr : reinterpret_cast<char *>(regions->addressBuffer.Data());
    }

    auto *channel = reinterpret_cast<ChannelBlock *>(regions->channel.Data());
    const Snapshot channelBefore(regions->channel);
    const Snapshot requestBefore(requestRegion);
    const Snapshot valueBefore(regions->tagValue);
    const Snapshot bufferBefore(regions->addressBuffer);
    const int opensBefore = openCalls;

    ZelCall call{};
    call.channel = nullChannel ? nullptr : channel;
    call.operation = op;
    call.channelNumber = static_cast<int32_t>(opByte * 0x01010101u);
    call.unused = 0xDEADBEEF;
    call.request = nullRequest ? nullptr : requestRegion.Data();
    const int32_t result = ZelMain(&call);

    ZEL_EXPECT(result == 0 || result == 1 || result == 2 || result == 53,
               "operation %u gave %d, not a documented result code", op, result);

    for (GuardedRegion *region : {&regions->channel, &regions->openRequest, &regions->tagRequest, &regions->driverInfo,
                                  &regions->changeRequest, &regions->editRequest, &regions->otherRequest,
                                  &regions->tagValue, &regions->addressBuffer})
        region->CheckGuards("zelmain: guard area around a record");
    ZEL_EXPECT(text.Unchanged(), "operation %u changed the address text", op);
    ZEL_EXPECT(std::memcmp(bufferBefore.bytes.data(), regions->addressBuffer.Data(), kAddressBufferBytes) == 0,
               "operation %u wrote the address buffer without confirming an address", op);
    if (op == ZEL_OP_GET_DRIVER_INFO && !nullRequest)
        CheckDriverInfo(*reinterpret_cast<const DriverInfo *>(requestRegion.Data()));
    else
        ZEL_EXPECT(std::memcmp(requestBefore.bytes.data(), requestRegion.Data(), requestRegion.Size()) == 0,
                   "operation %u changed its request record", op);

    // The expected result, the ChannelBlock fields the call may write and
    // whether it reaches the platform open.
    const uint8_t *before = channelBefore.bytes.data();
    const auto &oldChannel = *reinterpret_cast<const ChannelBlock *>(before);
    const uint8_t *after = regions->channel.Data();
    const std::size_t enabledAt = offsetof(ChannelBlock, enabled);
    const std::size_t portBlockAt = offsetof(ChannelBlock, portBlock);
    int32_t expected = ZEL_FAILED;
    bool opens = false;
    bool valueMayChange = false;
    std::vector<Range> writable;
    const auto *openRequest = reinterpret_cast<const OpenChannelRequest *>(requestRegion.Data());
    const auto *changeRequest = reinterpret_cast<const ChangeParamsRequest *>(requestRegion.Data());
    switch (op) {
        case ZEL_OP_OPEN_CHANNEL:
            if (nullChannel || nullRequest) break;
            writable.push_back({enabledAt, Field(enabledAt, 4)});
            ZEL_EXPECT(channel->enabled == openRequest->enabled, "OpenChannel did not store `enabled`");
            if (openRequest->enabled == 0) {
                expected = ZEL_OK;
                break;
            }
            expected = ZEL_PORT_FAILED;  // not terminated, already open, or refused
            opens = strnlen(openRequest->portName, 12) < 12 && oldChannel.port == 0;
            break;
        case ZEL_OP_PURGE_INPUT: expected = nullChannel ? ZEL_FAILED : ZEL_OK; break;
        case ZEL_OP_VALIDATE_ADDRESS:
            if (nullRequest || nullPointer) break;
            expected = rules::ValidateAddress(text.Get(), tagRequest->typeCode);
            break;
        case ZEL_OP_READ_TAG: {
            if (nullChannel || nullRequest || nullPointer || nullValue) break;
            expected = ZEL_OK;
            valueMayChange = true;
            const TagValue &old = *reinterpret_cast<const TagValue *>(valueBefore.bytes.data());
            ZEL_EXPECT(value->reserved == old.reserved, "ReadTag wrote beyond the TagValue's 16-bit value");
            const int wanted = rules::ReadTagValue(text.Get(), &channel->statusTable[0][0][0]);
            if (wanted == rules::kDiagnosticValue) {
                // The line's state: LINK is one of its three values.
                ZEL_EXPECT(std::strcmp(text.Get(), "LINK") != 0 || value->value <= 2, "LINK gave %u", value->value);
                ZEL_EXPECT(std::strcmp(text.Get(), "KNOWN") != 0 || value->value <= 1, "KNOWN gave %u", value->value);
                break;
            }
            ZEL_EXPECT(value->value <= 3 || value->value == 1, "ReadTag gave %u", value->value);
            if (wanted != rules::kAnyValue)
                ZEL_EXPECT(value->value == wanted, "ReadTag(\"%s\") gave %u where the rules give %d", text.Get(),
                           value->value, wanted);
            break;
        }
        case ZEL_OP_WRITE_PARAMETER: {
            if (nullChannel || nullRequest || nullValue) break;
            std::size_t at = 0;
            switch (tagRequest->paramCode) {
                case 'A': at = offsetof(ChannelBlock, paramA); break;
                case 'F': at = offsetof(ChannelBlock, paramF); break;
                case 'R': at = offsetof(ChannelBlock, paramR); break;
                default: break;
            }
            if (at == 0) break;
            expected = ZEL_OK;
            writable.push_back({at, Field(at, 2)});
            uint16_t stored = 0;
            std::memcpy(&stored, after + at, 2);
            ZEL_EXPECT(stored == value->value, "WriteParameter stored %u, not the value %u", stored, value->value);
            break;
        }
        case ZEL_OP_CLOSE_CHANNEL:
        case ZEL_OP_CLOSE_PORT:
            if (nullChannel) break;
            // Nothing is open: no port, or a handle the driver never opened.
            expected = oldChannel.port == 0 ? ZEL_OK : ZEL_PORT_FAILED;
            break;
        case ZEL_OP_REOPEN_PORT:
            if (nullChannel) break;
            expected = ZEL_PORT_FAILED;
            opens = strnlen(oldChannel.portBlock.name, 12) < 12;
            break;
        case ZEL_OP_GET_DRIVER_INFO: expected = nullRequest ? ZEL_FAILED : ZEL_OK; break;
        case ZEL_OP_CHANGE_ZEL_PARAMS: {
            if (nullChannel || nullRequest) break;
            expected = ZEL_PORT_FAILED;
            if (strnlen(changeRequest->portName, sizeof changeRequest->portName) >= 12) break;
            opens = true;
            writable.push_back({portBlockAt, Field(portBlockAt, sizeof(PortBlock))});
            PortBlock wanted = oldChannel.portBlock;
            std::memset(wanted.name, 0, sizeof wanted.name);
            std::memcpy(wanted.name, changeRequest->portName, std::strlen(changeRequest->portName));
            if (changeRequest->lineSettings.baudRate != 0) wanted.lineSettings = changeRequest->lineSettings;
            ZEL_EXPECT(std::memcmp(&wanted, &channel->portBlock, sizeof(PortBlock)) == 0,
                       "ChangeZelParams stored another port block than the request's name and settings");
            break;
        }
        case ZEL_OP_EDIT_TAG_ADDRESS: expected = ZEL_NO_ADDRESS; break;
        default: break;  // 0, 4, 6, 8, 9, 10 and every code above 16
    }
    ZEL_EXPECT(result == expected, "operation %u (flags %#x) gave %d where %d is documented", op, flags, result,
               expected);
    ZEL_EXPECT(openCalls - opensBefore == (opens ? 1 : 0), "operation %u asked for %d platform opens, not %d", op,
               openCalls - opensBefore, opens ? 1 : 0);
    if (!valueMayChange)
        ZEL_EXPECT(std::memcmp(valueBefore.bytes.data(), value, sizeof(TagValue)) == 0,
                   "operation %u wrote the TagValue", op);

    const std::vector<Range> allowed = writable;
    if (std::memcmp(before, after, sizeof(ChannelBlock)) == 0) return;
    for (std::size_t i = 0; i < sizeof(ChannelBlock); ++i) {
        if (before[i] == after[i]) continue;
        bool inside = false;
        for (const Range &range : allowed) inside = inside || (i >= range.begin && i < range.end);
        ZEL_EXPECT(inside, "operation %u changed ChannelBlock byte %zu (0x%zx) from 0x%02x to 0x%02x", op, i, i,
                   before[i], after[i]);
    }
}

void CheckEntries() {
    const auto *channel = reinterpret_cast<const ChannelBlock *>(regions->channel.Data());
    const uint8_t *table = &channel->statusTable[0][0][0];
    for (std::size_t i = 0; i < rules::kTableBytes; ++i)
        ZEL_EXPECT(table[i] <= 3, "entry %zu holds %u after the calls", i, table[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    KorStandinSetLogSink(&CheckLevel, nullptr);
    zel::UseSerialBackend(&kNoPorts);
    regions = new Regions;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    ByteReader in(data, size);
    FillChannel(in);
    // At least one call, however short the input.
    int calls = 0;
    do OneCall(in);
    while (++calls < 16 && !in.Empty());
    CheckEntries();
    return 0;
}
