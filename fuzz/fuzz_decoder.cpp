// The panel message decoder over arbitrary 1000-byte receive buffers, and
// the framing of the panel's stream over the same bytes.
//
// Input: the bytes of the receive buffer (at most 1000; a shorter input
// leaves the rest zero, as the reception thread's wipe does). A buffer
// without a NUL gets one in its last byte, as the reception thread never
// hands over a buffer that its read filled.
//
// Half of the mutations are libFuzzer's own on the raw bytes; the other half
// write well-formed messages or records with fields chosen at the table's
// edges (see LLVMFuzzerCustomMutator), so every input is still just a
// buffer.
//
// Each run places a ChannelBlock between guard areas, fills its status
// table with entries 0-3 derived from the input and the rest of the block
// with a known pattern, copies the message into the block's rxBuffer and
// decodes it from there, as the reception thread does. Checked:
//   - no byte outside the status table changes: not the rest of the
//     ChannelBlock (rxBuffer included), not the guard areas around it;
//   - every table entry is still 0-3;
//   - the table equals what the documented rules give for that message;
//   - the decoder's trace lines: all at level 8, the first one
//     "orginal <text> ", one " inseide for LOOP tmp==  <record> " per record
//     taken, and one "[1][04][13x]= 1 " per kind-3 event on bus 1, slot 4,
//     point 130 or 131.
// Then the same bytes, taken as a stretch of the panel's stream, are handed
// to the framing in reads of sizes drawn from the input's hash (and byte by
// byte): the table must equal the one that cutting the stream at every
// header and clear command and decoding each piece as one message gives.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "korvan_standin.h"
#include "panel/decoder.h"
#include "panel/framing.h"
#include "panel/status_table.h"
#include "support/fuzz_support.h"
#include "support/reference_rules.h"
#include "zelwnqx.h"

namespace {

using namespace zelfuzz;

struct TraceCount {
    int lines = 0;
    int wrongLevel = 0;
    int records = 0;
    int circuit = 0;
    std::string first;
};

TraceCount traces;

void CountTrace(void *, int level, const char *line) {
    if (level != 8) ++traces.wrongLevel;
    if (traces.lines++ == 0) traces.first = line;
    if (std::strncmp(line, " inseide for LOOP tmp==  ", 25) == 0) ++traces.records;
    if (std::strcmp(line, "[1][04][130]= 1 ") == 0 || std::strcmp(line, "[1][04][131]= 1 ") == 0) ++traces.circuit;
}

GuardedRegion *region = nullptr;

// ---------------------------------------------------------------------------
// Half of the mutations are libFuzzer's own, on the raw bytes; the other
// half write well-formed event messages or records with chosen fields, so
// that the edges of the table (bus and slot digits 7-9, point codes around
// 150-155, every kind) are reached at once rather than by chance.

class Chooser {
public:
    explicit Chooser(unsigned seed) : state_(seed * 2654435761u + 1) {}
    uint32_t Below(uint32_t n) {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>((state_ >> 33) % n);
    }
    char From(const char *choices) { return choices[Below(static_cast<uint32_t>(std::strlen(choices)))]; }

private:
    uint64_t state_;
};

const char kHexDigits[] = "0123456789ABCDEF";

void WriteRecord(Chooser &choose, char *out) {
    out[0] = choose.Below(8) != 0 ? choose.From("0123456789") : choose.From("x /a:");
    out[1] = choose.Below(6) != 0 ? choose.From("02380238") : choose.From("14579ABCDEFaf!");
    for (int i = 2; i < 5; ++i) out[i] = choose.From("0123456789");
    out[5] = choose.Below(8) != 0 ? choose.From("0123456789") : choose.From("x /a:");
    static const int kCodes[] = {0, 1, 3, 4, 8, 9, 10, 15, 127, 128, 148, 149, 150, 151, 153, 154, 155, 156, 255};
    const int code = choose.Below(3) != 0 ? kCodes[choose.Below(sizeof kCodes / sizeof kCodes[0])]
                                          : static_cast<int>(choose.Below(256));
    out[6] = kHexDigits[code >> 4];
    out[7] = choose.Below(10) != 0 ? kHexDigits[code & 15] : 'f';
    for (int i = 8; i < 24; ++i) out[i] = choose.From("0123456789ABCDEF");
    // Now and then a blank cuts the record short.
    if (choose.Below(8) == 0) out[choose.Below(24)] = choose.From(" \t\r\n");
}

std::size_t WriteMessage(Chooser &choose, uint8_t *data, std::size_t maxSize) {
    char text[ZEL_RX_BUFFER_SIZE];
    std::size_t n = 0;
    text[n++] = '\r';
    text[n++] = '\n';
    const std::size_t hs = 9 + choose.Below(4);
    for (std::size_t i = 0; i < hs; ++i) text[n++] = 'h';
    text[n++] = choose.From("S \t0A");
    const uint32_t count = choose.Below(16);
    text[n++] = kHexDigits[count];
    const uint32_t records = choose.Below(4) == 0 ? choose.Below(16) : count;
    for (uint32_t i = 0; i < records && n + 24 < sizeof text - 1; ++i, n += 24) WriteRecord(choose, text + n);
    if (n > maxSize) n = maxSize;
    std::memcpy(data, text, n);
    return n;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(uint8_t *data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t *data, std::size_t size, std::size_t maxSize, unsigned seed) {
    Chooser choose(seed);
    if (choose.Below(2) == 0 || maxSize < 64) return LLVMFuzzerMutate(data, size, maxSize);
    // Now and then a stretch of stream: another message, a clear command or
    // noise behind what is there.
    if (choose.Below(4) == 0 && size + 64 < maxSize) {
        const uint32_t kind = choose.Below(4);
        if (kind == 0) {
            const std::size_t n = std::min<std::size_t>(10, maxSize - size);
            std::memset(data + size, 'g', n);
            return size + n;
        }
        if (kind == 1) return size + LLVMFuzzerMutate(data + size, 0, std::min<std::size_t>(64, maxSize - size));
        return size + WriteMessage(choose, data + size, maxSize - size);
    }
    const bool isMessage = size >= 14 && std::memcmp(data, "\r\nhhhhhhhhh", 11) == 0;
    if (!isMessage || choose.Below(4) == 0) return WriteMessage(choose, data, maxSize);
    // Rewrite one record of the message in place, at its fixed position.
    std::size_t k = 2;
    while (k < size && data[k] == 'h') ++k;
    const std::size_t at = k + 2 + 24 * choose.Below(16);
    if (at + 24 > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    if (at > size) std::memset(data + size, '0', at - size);
    char record[24];
    WriteRecord(choose, record);
    std::memcpy(data + at, record, 24);
    if (choose.Below(3) == 0 && k + 1 < size) data[k + 1] = static_cast<uint8_t>(kHexDigits[choose.Below(16)]);
    return at + 24 > size ? at + 24 : size;
}

namespace {

// The stream's messages as the panel means them: a piece begins at each
// header and at each clear command and runs to the next; each piece is
// decoded alone by the reference rules.
void ReferenceStream(const uint8_t *data, std::size_t size, uint8_t *table) {
    const auto beginsAt = [&](std::size_t at, const char *text, std::size_t length) {
        return at + length <= size && std::memcmp(data + at, text, length) == 0;
    };
    std::size_t begin = 0;
    const auto decodePiece = [&](std::size_t end) {
        if (end == begin) return;
        char piece[ZEL_RX_BUFFER_SIZE] = {};
        std::memcpy(piece, data + begin, end - begin);
        rules::Decode(piece, table);
        begin = end;
    };
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = beginsAt(at, "\r\nhhhhhhhhh", 11) ? 11 : beginsAt(at, "gggggggggg", 10) ? 10 : 0;
        if (length == 0) {
            ++at;
            continue;
        }
        decodePiece(at);
        at += length;
    }
    decodePiece(size);
}

// The framing fed `data` in reads of sizes from `choose` (0: byte by byte).
void FrameStream(const uint8_t *data, std::size_t size, uint64_t choose, uint8_t *table) {
    char buffer[ZEL_RX_BUFFER_SIZE] = {};
    zel::StreamState state;
    for (std::size_t at = 0; at < size;) {
        const std::size_t room = std::min(zel::ReadRoom(state), size - at);
        choose = choose * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t n = choose == 0 ? 1 : 1 + (choose >> 33) % room;
        std::memcpy(buffer + zel::ReadOffset(state), data + at, n);
        zel::TakeReceived(buffer, state, n, table);
        at += n;
    }
    zel::EndKeptText(buffer, state, table);
}

void CheckFraming(const uint8_t *data, std::size_t size) {
    // A message longer than the buffer holds is decoded as far as it came;
    // the stretch stays below that.
    size = std::min<std::size_t>(size, ZEL_RX_BUFFER_SIZE - 2);
    std::vector<uint8_t> expected(rules::kTableBytes, 0), framed(rules::kTableBytes, 0);
    ReferenceStream(data, size, expected.data());
    for (const uint64_t choose : {Hash(data, size) | 1, uint64_t{0}}) {
        std::fill(framed.begin(), framed.end(), 0);
        FrameStream(data, size, choose, framed.data());
        for (std::size_t i = 0; i < rules::kTableBytes; ++i)
            ZEL_EXPECT(framed[i] == expected[i],
                       "framing: entry %zu (bus %zu, slot %zu, point %zu) holds %u where the stream's messages give %u "
                       "(%s)",
                       i, i / 1395, i / 155 % 9, i % 155, framed[i], expected[i], choose == 0 ? "byte by byte" : "reads");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    KorStandinSetLogSink(&CountTrace, nullptr);
    region = new GuardedRegion(sizeof(ChannelBlock), 4096);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size > ZEL_RX_BUFFER_SIZE) return -1;  // not a buffer the reception thread could hand over

    auto *channel = reinterpret_cast<ChannelBlock *>(region->Data());
    uint8_t *bytes = region->Data();

    // The block: a pattern everywhere, entries 0-3 in the table.
    for (std::size_t i = 0; i < sizeof(ChannelBlock); ++i) bytes[i] = static_cast<uint8_t>(0x5A ^ (i * 7));
    uint8_t *table = &channel->statusTable[0][0][0];
    std::memcpy(table, TableTemplate(static_cast<uint8_t>(Hash(data, size))), rules::kTableBytes);

    // The message in the receive buffer.
    std::memset(channel->rxBuffer, 0, ZEL_RX_BUFFER_SIZE);
    if (size != 0) std::memcpy(channel->rxBuffer, data, size);
    if (std::memchr(channel->rxBuffer, 0, ZEL_RX_BUFFER_SIZE) == nullptr) channel->rxBuffer[ZEL_RX_BUFFER_SIZE - 1] = 0;

    std::vector<uint8_t> before(bytes, bytes + sizeof(ChannelBlock));
    std::vector<uint8_t> expected(table, table + rules::kTableBytes);
    const rules::DecodeOutcome outcome = rules::Decode(channel->rxBuffer, expected.data());

    traces = TraceCount{};
    zel::DecodePanelMessage(channel->rxBuffer, zel::TableOf(*channel));

    // Nothing outside the table changed, inside the block or around it.
    region->CheckGuards("decoder: guard area around the ChannelBlock");
    const std::size_t tableBegin = offsetof(ChannelBlock, statusTable);
    ExpectChangesOnlyIn(before.data(), bytes, sizeof(ChannelBlock), {{tableBegin, tableBegin + rules::kTableBytes}},
                        "decoder: ChannelBlock");

    for (std::size_t i = 0; i < rules::kTableBytes; ++i) {
        ZEL_EXPECT(table[i] <= 3, "decoder: entry %zu (bus %zu, slot %zu, point %zu) holds %u, not 0-3", i, i / 1395,
                   i / 155 % 9, i % 155, table[i]);
        ZEL_EXPECT(table[i] == expected[i],
                   "decoder: entry %zu (bus %zu, slot %zu, point %zu) holds %u where the message gives %u", i,
                   i / 1395, i / 155 % 9, i % 155, table[i], expected[i]);
    }

    const std::string text(channel->rxBuffer, strnlen(channel->rxBuffer, ZEL_RX_BUFFER_SIZE));
    ZEL_EXPECT(traces.wrongLevel == 0, "decoder: %d trace lines not at level 8", traces.wrongLevel);
    ZEL_EXPECT(traces.lines >= 1 && traces.first == "orginal " + text + " ", "decoder: first trace line is not the "
               "message text");
    ZEL_EXPECT(traces.records == outcome.recordsTaken, "decoder: %d record traces where the message has %d records",
               traces.records, outcome.recordsTaken);
    ZEL_EXPECT(traces.circuit == outcome.circuitTraces, "decoder: %d circuit traces where the message gives %d",
               traces.circuit, outcome.circuitTraces);
    ZEL_EXPECT(traces.lines == 1 + traces.records + traces.circuit, "decoder: %d unexpected trace lines",
               traces.lines - 1 - traces.records - traces.circuit);

    CheckFraming(data, size);
    return 0;
}
