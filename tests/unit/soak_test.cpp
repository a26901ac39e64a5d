// Soak: random panel traffic for a long while, each message sent whole and
// followed by a pause longer than the read time-out, so the framing delivers
// every one. After each message the driver's table must equal a model table
// to which the same events were applied. Runs ZEL_SOAK_SECONDS (default 10 s
// in the normal test run; 600 for the opt-in soak).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "pty_pair.h"
#include "test_host.h"

using namespace std::chrono_literals;

namespace {

using Table = std::array<uint8_t, 9 * 9 * 155>;

struct Event {
    int bus, kind, slot, code;  // panel digits and codes
};

std::size_t Index(int bus, int slot, int point) { return static_cast<std::size_t>(bus) * 1395 + slot * 155 + point; }

// What the panel's events mean for the table, written independently of the
// driver's decoder.
void ApplyToModel(Table &table, const Event &e) {
    const int bus = e.bus + 1, slot = e.slot + 1;
    int point = e.code;
    if (e.kind == 2 && e.code <= 9) point = 140 + e.code;
    if (e.kind == 3 && e.code <= 3) point = 130 + e.code;
    if (bus > 8 || slot > 8 || point > 154) return;
    uint8_t &entry = table[Index(bus, slot, point)];
    switch (e.kind) {
        case 0: entry |= 1; break;
        case 8: entry |= 2; break;
        case 2:
        case 3: entry = 1; break;
        default: break;
    }
}

void ClearModel(Table &table) {
    for (int row = 0; row < 81; ++row)
        for (int point = 0; point < 150; ++point) table[row * 155 + point] = 0;
}

std::string Encode(const std::vector<Event> &events) {
    std::string text = "\r\nhhhhhhhhhhS";
    text += "0123456789ABCDEF"[events.size()];
    for (const Event &e : events) {
        char record[25];
        std::snprintf(record, sizeof record, "%d%X000%d%02X%016d", e.bus, e.kind, e.slot, e.code, 0);
        text += record;
    }
    return text;
}

int SoakSeconds() {
    const char *text = std::getenv("ZEL_SOAK_SECONDS");
    return text != nullptr && *text != '\0' ? std::atoi(text) : 10;
}

TEST(Soak, EveryDeliveredEventIsInTheTable) {
    zeltest::PtyPair pty;
    ChannelBlock *channel = zeltest::NewChannelBlock();
    zeltest::LogCapture log;
    OpenChannelRequest open{};
    std::snprintf(open.portName, sizeof open.portName, "%s", pty.PortName().c_str());
    open.enabled = 1;
    open.readTimeout = 5;  // 50 ms
    open.lineSettings = {9600, 8, 0, 0};
    ASSERT_EQ(zeltest::Call(channel, ZEL_OP_OPEN_CHANNEL, &open), ZEL_OK);
    ASSERT_TRUE(zeltest::WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 1; }, 2s));
    std::this_thread::sleep_for(1100ms);

    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 random(seed);
    Table model{};
    long messages = 0, events = 0, clears = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());
    while (std::chrono::steady_clock::now() < end) {
        const int traced = log.CountPrefix(8, "String from Comport ");
        if (random() % 25 == 0) {
            pty.Send("gggggggggg");
            ClearModel(model);
            ++clears;
        } else {
            std::vector<Event> batch(random() % 16);
            for (Event &e : batch) {
                static const int kKinds[] = {0, 2, 3, 8, 0, 2, 3, 8, 1, 5};
                e = {static_cast<int>(random() % 10), kKinds[random() % 10], static_cast<int>(random() % 10),
                     static_cast<int>(random() % 256)};
                ApplyToModel(model, e);
            }
            pty.Send(Encode(batch));
            events += static_cast<long>(batch.size());
        }
        ++messages;
        ASSERT_TRUE(zeltest::WaitUntil([&] { return log.CountPrefix(8, "String from Comport ") == traced + 1; }, 2s))
            << "message " << messages << " was not received (seed " << seed << ")";
        // The trace comes before the decoding: wait for the table to settle.
        bool same = false;
        for (int attempt = 0; attempt < 200 && !same; ++attempt) {
            same = true;
            for (std::size_t i = 0; i < model.size() && same; ++i)
                same = std::atomic_ref<uint8_t>((&channel->statusTable[0][0][0])[i]).load() == model[i];
            if (!same) std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(same) << "table differs from the model after message " << messages << " (seed " << seed << ")";
        std::this_thread::sleep_for(60ms);  // longer than the read time-out
    }
    std::printf("soak seed %u: %ld messages, %ld events, %ld clears, all in the table\n", seed, messages, events,
                clears);
    EXPECT_GT(messages, 0);
}

}  // namespace
