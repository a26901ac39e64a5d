// zelhost's copy of the line against the driver's own framing: every byte
// the line brought, NUL bytes included, once, however the reads cut the
// stream; and with trailers after the messages, each message's text starts
// where the message does (but for the CR LF of a header that a read cut
// off behind a message).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "korvan_standin.h"
#include "panel/decoder.h"
#include "panel/framing.h"
#include "received_bytes.h"
#include "zelwnqx.h"

namespace {

struct Taken {
    zelhost::ReceivedBytes bytes;
    std::string all;
    int unclean = 0;  // message texts that do not begin the message
};

void OnDriverLine(void *context, int level, const char *line) {
    constexpr std::string_view kDecoded = "orginal ";
    std::string_view text = line;
    if (level != 8 || text.substr(0, kDecoded.size()) != kDecoded) return;
    text = text.substr(kDecoded.size(), text.size() - kDecoded.size() - 1);
    auto &taken = *static_cast<Taken *>(context);
    const std::vector<std::string> stretches = zelhost::TakeDecoded(taken.bytes, text);
    for (const std::string &s : stretches) taken.all += s;
    auto begins = [](std::string_view s) { return s.substr(0, 11) == "\r\nhhhhhhhhh" || s.substr(0, 10) == "gggggggggg"; };
    // A CR LF that ends a read after a message is taken for its trailer.
    if (begins(text) && (stretches.empty() || !(begins(stretches.back()) || begins("\r\n" + stretches.back()))))
        ++taken.unclean;
}

// Messages, clear commands, noise and NUL bytes, as a line may bring them.
std::string Traffic(std::mt19937 &random, bool trailers) {
    static const char *const kPieces[] = {"\r\nhhhhhhhhhhS2030003000000000000000000018005108000000000000000",
                                          "gggggggggg", "noise", "\r\nhhhhhhhhhhS1\x00" "after a NUL",
                                          "\r\nhhhhhhhhhhS3010001"};
    std::string stream;
    for (int i = 0; i < 12; ++i) {
        const std::size_t piece = random() % std::size(kPieces);
        stream += piece == 3 ? std::string(kPieces[piece], 25) : kPieces[piece];
        if (trailers || random() % 2 == 0) stream += "\r\n";
    }
    return stream;
}

TEST(ReceivedBytes, EveryByteOnceWhereverTheReadsCut) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 400; ++round) {
        const bool trailers = round % 2 == 0;
        const std::string stream = Traffic(random, trailers);
        Taken taken;
        KorStandinSetLogSink(&OnDriverLine, &taken);
        char buffer[zel::kMessageBufferSize] = {};
        std::vector<uint8_t> table(ZEL_STATUS_TABLE_SIZE);
        zel::StreamState state;
        for (std::size_t at = 0; at < stream.size();) {
            std::size_t n = std::min<std::size_t>(1 + random() % 48, zel::ReadRoom(state));
            // A NUL byte that ends a read is beyond what a host can see.
            while (at + n < stream.size() && stream[at + n - 1] == '\0') ++n;
            n = std::min(n, stream.size() - at);
            char *read = buffer + zel::ReadOffset(state);
            std::memcpy(read, stream.data() + at, n);
            zelhost::TakeRead(taken.bytes, std::string_view(buffer, sizeof buffer), read);
            zel::TakeReceived(buffer, state, n, table.data());
            at += n;
        }
        zel::EndKeptText(buffer, state, table.data());
        KorStandinSetLogSink(nullptr, nullptr);
        EXPECT_EQ(taken.all + taken.bytes.pending, stream) << "round " << round;
        if (trailers) {
            EXPECT_EQ(taken.unclean, 0) << "round " << round;
        }
    }
}

}  // namespace
