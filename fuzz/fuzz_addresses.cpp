// ValidateAddress (code 3) and ReadTag (code 5) through ZelMain on arbitrary
// texts and type codes.
//
// Input: one byte choosing the type code (0, 6, a small number, or the next
// four bytes as any 32-bit value), one byte seeding the table's contents,
// then the address text (up to the first NUL or the end).
//
// The text sits in an allocation of exactly its length plus one, so a read
// past its terminator trips AddressSanitizer; the ChannelBlock sits between
// poisoned guard areas. Checked:
//   - ValidateAddress returns 0 or 1, exactly as the documented rules give;
//   - ReadTag returns 0 and writes a value that is 1 or a table entry,
//     exactly the entry (or 1) that the rules give for the text;
//   - neither call changes the text, the request record, the ChannelBlock
//     or the guard areas; ReadTag changes only the 16-bit value of the
//     TagValue, never its other half.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "korvan_standin.h"
#include "support/fuzz_support.h"
#include "support/reference_rules.h"
#include "zelwnqx.h"

namespace {

using namespace zelfuzz;

void DropLine(void *, int, const char *) {}

GuardedRegion *channelRegion = nullptr;

int32_t TypeCodeFrom(ByteReader &in) {
    const uint8_t choice = in.Byte();
    switch (choice % 4) {
        case 0: return 0;
        case 1: return 6;
        case 2: return static_cast<int32_t>(choice >> 2) - 8;  // -8 to 55
        default: return static_cast<int32_t>(in.U32());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    KorStandinSetLogSink(&DropLine, nullptr);
    channelRegion = new GuardedRegion(sizeof(ChannelBlock), 4096);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    ByteReader in(data, size);
    const int32_t typeCode = TypeCodeFrom(in);
    const uint8_t tableSeed = in.Byte();
    const ExactText text(in.Rest());

    // The channel: a pattern, and a table of entries 0-3 with varied values.
    uint8_t *bytes = channelRegion->Data();
    auto *channel = reinterpret_cast<ChannelBlock *>(bytes);
    for (std::size_t i = 0; i < sizeof(ChannelBlock); ++i) bytes[i] = static_cast<uint8_t>(0x3C ^ (i * 13));
    channel->port = 0;
    uint8_t *table = &channel->statusTable[0][0][0];
    std::memcpy(table, TableTemplate(tableSeed), rules::kTableBytes);
    const std::vector<uint8_t> channelBefore(bytes, bytes + sizeof(ChannelBlock));

    // The host's records, each in an exact allocation.
    auto *value = static_cast<TagValue *>(std::malloc(sizeof(TagValue)));
    value->reserved = 0xBEEF;
    value->value = 0xCAFE;
    auto *request = static_cast<TagRequest *>(std::malloc(sizeof(TagRequest)));
    std::memset(request, 0x77, sizeof(TagRequest));
    request->address = text.Get();
    request->typeCode = typeCode;
    request->value = value;
    std::vector<uint8_t> requestBefore(sizeof(TagRequest));
    std::memcpy(requestBefore.data(), request, sizeof(TagRequest));
    ZelCall call{};
    call.channel = channel;
    call.request = request;

    // ValidateAddress.
    call.operation = ZEL_OP_VALIDATE_ADDRESS;
    const int32_t valid = ZelMain(&call);
    ZEL_EXPECT(valid == 0 || valid == 1, "ValidateAddress returned %d", valid);
    const int32_t expectedValid = rules::ValidateAddress(text.Get(), typeCode);
    ZEL_EXPECT(valid == expectedValid, "ValidateAddress(\"%s\", %d) returned %d where the rules give %d", text.Get(),
               typeCode, valid, expectedValid);
    ZEL_EXPECT(value->reserved == 0xBEEF && value->value == 0xCAFE, "ValidateAddress wrote the TagValue");

    // ReadTag.
    call.operation = ZEL_OP_READ_TAG;
    const int32_t read = ZelMain(&call);
    ZEL_EXPECT(read == 0, "ReadTag returned %d", read);
    ZEL_EXPECT(value->reserved == 0xBEEF, "ReadTag changed the TagValue beyond its 16-bit value");
    const uint16_t got = value->value;
    int expected = rules::ReadTagValue(text.Get(), table);
    // This block is never opened: its diagnostic tags are those of no line.
    if (expected == rules::kDiagnosticValue) expected = rules::DiagnosticValueBeforeOpening(text.Get());
    if (expected == rules::kAnyValue) {
        bool isEntry = got == 1;
        for (std::size_t i = 0; i < rules::kTableBytes && !isEntry; ++i) isEntry = got == table[i];
        ZEL_EXPECT(isEntry, "ReadTag(\"%s\") gave %u, neither 1 nor a table entry", text.Get(), got);
    } else {
        ZEL_EXPECT(got == expected, "ReadTag(\"%s\") gave %u where the rules give %d", text.Get(), got, expected);
    }
    ZEL_EXPECT(got <= 3 || rules::IsDiagnosticTag(text.Get()), "ReadTag(\"%s\") gave %u", text.Get(), got);

    // Nothing else changed.
    ZEL_EXPECT(text.Unchanged(), "the address text was changed");
    ZEL_EXPECT(std::memcmp(requestBefore.data(), request, sizeof(TagRequest)) == 0, "the TagRequest was changed");
    channelRegion->CheckGuards("addresses: guard area around the ChannelBlock");
    ExpectChangesOnlyIn(channelBefore.data(), bytes, sizeof(ChannelBlock), {}, "addresses: ChannelBlock");

    std::free(request);
    std::free(value);
    return 0;
}
