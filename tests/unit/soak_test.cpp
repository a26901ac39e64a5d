// Panel traffic against a model table (panel_model.h):
//   - the framing alone: the same byte stream cut by the reads in every
//     way gives the table that applying its messages one by one gives;
//   - soak: bursts of random traffic on a pseudo-terminal, with random
//     pauses from 0 to twice the read time-out between transmissions; after
//     each burst the driver's table must equal the model. Runs
//     ZEL_SOAK_SECONDS (default 10 s in the normal test run; 600 for the
//     opt-in soak).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "panel/framing.h"
#include "panel_model.h"
#include "pty_pair.h"
#include "test_host.h"

using namespace std::chrono_literals;
using zeltest::Table;

namespace {

int SoakSeconds() {
    const char *text = std::getenv("ZEL_SOAK_SECONDS");
    return text != nullptr && *text != '\0' ? std::atoi(text) : 10;
}

// Feeds `stream` to the framing in reads of the sizes `readSize` chooses;
// a read never spans a pause, after which the kept text times out.
Table Frame(const std::string &stream, const std::vector<std::size_t> &pauses,
            const std::function<std::size_t(std::size_t room)> &readSize) {
    char buffer[1000] = {};
    Table table{};
    zel::StreamState state;
    std::size_t at = 0;
    for (std::size_t pause : pauses) {
        while (at < pause) {
            const std::size_t room = std::min(zel::ReadRoom(state), pause - at);
            const std::size_t n = std::max<std::size_t>(1, std::min(room, readSize(room)));
            std::memcpy(buffer + zel::ReadOffset(state), stream.data() + at, n);
            zel::TakeReceived(buffer, state, n, table.data());
            at += n;
        }
        zel::EndKeptText(buffer, state, table.data());
    }
    return table;
}

TEST(Framing, AnyCutOfTheStreamGivesTheModelTable) {
    zeltest::LogCapture log;  // the decoder's traces, kept from stderr
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    zeltest::PanelTraffic traffic(seed);
    std::mt19937 &random = traffic.Random();
    for (int round = 0; round < 200; ++round) {
        Table model{};
        std::string stream;
        std::vector<std::size_t> pauses;
        const int transmissions = 1 + static_cast<int>(random() % 24);
        for (int i = 0; i < transmissions; ++i) {
            stream += traffic.Next(model);
            if (random() % 6 == 0) pauses.push_back(stream.size());
        }
        pauses.push_back(stream.size());
        const std::vector<std::pair<const char *, std::function<std::size_t(std::size_t)>>> cuts = {
            {"whole reads", [](std::size_t room) { return room; }},
            {"random reads", [&](std::size_t room) { return 1 + random() % room; }},
            {"byte by byte", [](std::size_t) { return std::size_t{1}; }},
        };
        for (const auto &[name, readSize] : cuts)
            ASSERT_TRUE(Frame(stream, pauses, readSize) == model) << name << ", round " << round << ", seed " << seed;
        log.Clear();
    }
}

TEST(Soak, EveryEventOfEveryBurstIsInTheTable) {
    zeltest::PtyPair pty;
    ChannelBlock *channel = zeltest::NewChannelBlock();
    zeltest::LogCapture log;
    constexpr int kReadTimeoutMs = 50;
    OpenChannelRequest open{};
    std::snprintf(open.portName, sizeof open.portName, "%s", pty.PortName().c_str());
    open.enabled = 1;
    open.readTimeout = kReadTimeoutMs / 10;
    open.lineSettings = {9600, 8, 0, 0};
    ASSERT_EQ(zeltest::Call(channel, ZEL_OP_OPEN_CHANNEL, &open), ZEL_OK);
    ASSERT_TRUE(zeltest::WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == 1; }, 2s));
    std::this_thread::sleep_for(1100ms);

    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    zeltest::PanelTraffic traffic(seed);
    Table model{};
    long bursts = 0, transmissions = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());
    while (std::chrono::steady_clock::now() < end) {
        const int count = 10 + static_cast<int>(traffic.Random()() % 20);
        for (int i = 0; i < count; ++i) {
            pty.Send(traffic.Next(model));
            std::this_thread::sleep_for(std::chrono::milliseconds(traffic.Random()() % (2 * kReadTimeoutMs + 1)));
        }
        transmissions += count;
        ++bursts;
        ASSERT_TRUE(zeltest::WaitUntil([&] { return zeltest::SameAsModel(&channel->statusTable[0][0][0], model); }, 3s))
            << "table differs from the model after burst " << bursts << " (seed " << seed << ")";
        log.Clear();
    }
    std::printf("soak seed %u: %ld bursts, %ld transmissions, all in the table\n", seed, bursts, transmissions);
    EXPECT_GT(bursts, 0);
}

}  // namespace
