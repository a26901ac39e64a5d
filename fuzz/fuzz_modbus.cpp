// The gateway's Modbus request handling on raw frames, answered through
// libmodbus on one end of a socket pair and read back on the other, with
// ReadTag through ZelMain on a channel block.
//
// Input: one byte seeding the table's contents, then the request ADU as
// the server would have received it (MBAP header and PDU). The server's
// units are 1 and 7.
//
// Checked:
//   - a connection the handling ends has had no answer written;
//   - every answer is one Modbus TCP frame: the request's transaction id,
//     protocol 0, a length field that counts the rest, the request's unit;
//   - an exception answers the request's function with 0x80 set and code
//     1, 2, 3 or 11, and 11 exactly when the unit is not 1 or 7;
//   - a read answers function 2, 3 or 4 with the registers or inputs asked
//     for, each the value the reference rules give for its tag (LINE: the
//     line state of a channel that has no port, read as the server reads
//     it, from LINK and SILENCE).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "korvan_standin.h"
#include "line_state.h"
#include "modbus_answer.h"
#include "support/fuzz_support.h"
#include "support/reference_rules.h"
#include "zelwnqx.h"

namespace {

using namespace zelfuzz;

void DropLine(void *, int, const char *) {}

int sockets[2] = {-1, -1};
modbus_t *context = nullptr;
ChannelBlock *channel = nullptr;
const std::vector<int> kUnits{1, 7};

uint16_t ReadDriverTag(const char *tag) {
    TagValue value{};
    TagRequest request{};
    request.address = tag;
    request.value = &value;
    ZelCall call{};
    call.channel = channel;
    call.operation = ZEL_OP_READ_TAG;
    call.request = &request;
    ZEL_EXPECT(ZelMain(&call) == ZEL_OK, "ReadTag(\"%s\") failed", tag);
    return value.value;
}

// The server's reader: LINE from the two driver tags, with no silence limit.
uint16_t ReadThroughZelMain(void *, std::size_t, const char *tag) {
    if (std::strcmp(tag, zelhost::kModbusLineTag) == 0)
        return static_cast<uint16_t>(
            zelhost::LineStateOf(ReadDriverTag(ZEL_TAG_LINK), ReadDriverTag(ZEL_TAG_SILENCE), 0));
    return ReadDriverTag(tag);
}

// What the other end of the pair holds, taken without waiting.
std::vector<uint8_t> Answer() {
    std::vector<uint8_t> bytes(4096);
    const ssize_t n = recv(sockets[1], bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

uint16_t Word(const uint8_t *b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }

int Expected(int reg, const uint8_t *table) {
    const std::string tag = zelhost::TagOfRegister(reg);
    ZEL_EXPECT(!tag.empty(), "register %d outside the map was read", reg);
    if (tag == zelhost::kModbusLineTag) return static_cast<int>(zelhost::LineState::kNoPort);
    const int value = rules::ReadTagValue(tag.c_str(), table);
    return value == rules::kDiagnosticValue ? rules::DiagnosticValueBeforeOpening(tag.c_str()) : value;
}

void CheckValues(const uint8_t *adu, const std::vector<uint8_t> &answer, const uint8_t *table) {
    const uint8_t function = adu[7];
    const int first = Word(adu + 8), count = Word(adu + 10);
    const bool bits = function == 2;
    const std::size_t bytes = bits ? static_cast<std::size_t>((count + 7) / 8) : static_cast<std::size_t>(count) * 2;
    ZEL_EXPECT(answer.size() == 9 + bytes && answer[8] == bytes, "a read of %d gave %zu bytes", count, answer.size());
    for (int i = 0; i < count; ++i) {
        const int want = Expected(first + i, table);
        const int got = bits ? answer[9 + i / 8] >> (i % 8) & 1 : Word(&answer[9 + 2 * static_cast<std::size_t>(i)]);
        ZEL_EXPECT(got == (bits ? want != 0 : want), "register %d of function %u gave %d, the rules %d", first + i,
                   function, got, want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    KorStandinSetLogSink(&DropLine, nullptr);
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) return 1;
    context = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    modbus_set_socket(context, sockets[0]);
    channel = static_cast<ChannelBlock *>(std::calloc(1, sizeof(ChannelBlock)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    ByteReader in(data, size);
    const uint8_t tableSeed = in.Byte();
    const std::vector<uint8_t> adu = in.Rest();
    uint8_t *table = &channel->statusTable[0][0][0];
    std::memcpy(table, TableTemplate(tableSeed), rules::kTableBytes);

    std::string why;
    const zelhost::TagReader reader{ReadThroughZelMain, nullptr};
    const bool open = zelhost::AnswerModbusRequest(context, adu.data(), adu.size(), kUnits, reader, &why);
    const std::vector<uint8_t> answer = Answer();
    if (!open) {
        ZEL_EXPECT(answer.empty() && !why.empty(), "a closed connection got %zu bytes, reason '%s'", answer.size(),
                   why.c_str());
        return 0;
    }
    ZEL_EXPECT(answer.size() >= 9, "an answer of %zu bytes", answer.size());
    ZEL_EXPECT(Word(&answer[0]) == Word(&adu[0]) && Word(&answer[2]) == 0 && Word(&answer[4]) == answer.size() - 6 &&
                   answer[6] == adu[6],
               "the answer's header does not match the request");
    const bool knownUnit = adu[6] == 1 || adu[6] == 7;
    if (answer[7] & 0x80) {
        const uint8_t code = answer[8];
        ZEL_EXPECT(answer.size() == 9 && answer[7] == (adu[7] | 0x80), "a malformed exception");
        ZEL_EXPECT(code == 1 || code == 2 || code == 3 || code == 11, "exception code %u", code);
        ZEL_EXPECT((code == 11) == !knownUnit, "exception %u for unit %u", code, adu[6]);
        return 0;
    }
    ZEL_EXPECT(knownUnit && answer[7] == adu[7] && (adu[7] >= 2 && adu[7] <= 4), "function %u answered for unit %u",
               answer[7], adu[6]);
    CheckValues(adu.data(), answer, table);
    return 0;
}
