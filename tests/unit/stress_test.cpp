// Several host threads drive channels at once while random panel traffic
// arrives. Run under ThreadSanitizer this proves the sharing free of data
// races; in every build it proves that nothing crashes, no handle leaks,
// every result is one the operation documents, every table entry stays 0-3
// with nothing written outside the host's block, and that channels in one
// process never take each other's messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "panel_model.h"
#include "pty_pair.h"
#include "test_host.h"

using namespace std::chrono_literals;
using zeltest::Call;

namespace {

constexpr int kHostThreads = 4;

std::string RandomRecord(std::mt19937 &random) {
    static const char kKinds[] = "02380238015A";
    char record[25];
    std::snprintf(record, sizeof record, "%c%c000%c%02X0000000000000000", '0' + static_cast<int>(random() % 10),
                  kKinds[random() % 12], '0' + static_cast<int>(random() % 10), static_cast<unsigned>(random() % 256));
    return record;
}

// A valid message most of the time; now and then a clear command or noise.
std::string RandomTraffic(std::mt19937 &random) {
    const unsigned pick = random() % 20;
    if (pick == 0) return "gggggggggg";
    if (pick == 1) {
        std::string noise(random() % 64, ' ');
        for (char &c : noise) c = static_cast<char>(random() % 255 + 1);
        return noise;
    }
    const int count = static_cast<int>(random() % 16);
    std::string text = "\r\nhhhhhhhhhS";
    text += "0123456789ABCDEF"[count];
    for (int i = 0; i < count; ++i) text += RandomRecord(random);
    return text;
}

// Best effort: a line whose port is closed just fills up and drops the rest.
void SendIfRoom(const zeltest::PtyPair &pty, const std::string &bytes) {
    [[maybe_unused]] const ssize_t n = write(pty.MasterFd(), bytes.data(), bytes.size());
}

TEST(Stress, HostThreadsAndTrafficTogether) {
    zeltest::PtyPair lineA, lineB;
    const std::array<std::string, 2> names = {lineA.PortName(), lineB.PortName()};
    // The block sits between guard bytes that nothing may touch. The memory
    // is never freed: the reception thread uses the block until the end.
    constexpr std::size_t kGuard = 4096;
    static unsigned char *const memory =
        static_cast<unsigned char *>(std::malloc(kGuard + sizeof(ChannelBlock) + kGuard));
    ASSERT_NE(memory, nullptr);
    std::memset(memory, 0xA5, kGuard + sizeof(ChannelBlock) + kGuard);
    auto *channel = reinterpret_cast<ChannelBlock *>(memory + kGuard);
    std::memset(channel, 0, sizeof *channel);

    zeltest::LogCapture log;
    const int descriptors = zeltest::OpenDescriptorCount();
    OpenChannelRequest open{};
    std::snprintf(open.portName, sizeof open.portName, "%s", names[0].c_str());
    open.enabled = 1;
    open.readTimeout = 5;
    open.lineSettings = {9600, 8, 0, 0};
    ASSERT_EQ(Call(channel, ZEL_OP_OPEN_CHANNEL, &open), ZEL_OK);

    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::printf("stress seed %u, %d s\n", seed, ZEL_STRESS_SECONDS);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<long> calls{0};

    std::thread panel([&] {
        std::mt19937 random(seed);
        while (!stop) {
            const std::string text = RandomTraffic(random);
            SendIfRoom(random() % 2 ? lineA : lineB, text);
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 60));
        }
    });

    auto host = [&](unsigned threadSeed) {
        std::mt19937 random(threadSeed);
        char address[16];
        TagValue value{};
        TagRequest tag{};
        tag.address = address;
        tag.value = &value;
        while (!stop) {
            int32_t result = 0;
            std::set<int32_t> allowed;
            std::snprintf(address, sizeof address, "%07u", static_cast<unsigned>(random() % 10000000));
            switch (random() % 10) {
                case 0:
                case 1:
                case 2:
                    result = Call(channel, ZEL_OP_READ_TAG, &tag);
                    allowed = {0};
                    if (value.value > 3) ++unexpected;
                    break;
                case 3:
                    tag.typeCode = random() % 2 ? 0 : 6;
                    result = Call(channel, ZEL_OP_VALIDATE_ADDRESS, &tag);
                    allowed = {0, 1};
                    break;
                case 4:
                    tag.paramCode = "AFRX"[random() % 4];
                    value.value = static_cast<uint16_t>(random());
                    result = Call(channel, ZEL_OP_WRITE_PARAMETER, &tag);
                    allowed = {0, 1};
                    break;
                case 5:
                    result = Call(channel, ZEL_OP_PURGE_INPUT);
                    allowed = {0};
                    break;
                case 6:
                    // CloseChannel ends the reception, which the next open
                    // restarts with its first second: now and then only.
                    result = Call(channel, random() % 500 != 0 ? ZEL_OP_CLOSE_PORT : ZEL_OP_CLOSE_CHANNEL);
                    allowed = {0, 2};
                    break;
                case 7:
                    result = Call(channel, ZEL_OP_REOPEN_PORT);
                    allowed = {0, 2};
                    break;
                default: {
                    ChangeParamsRequest change{};
                    std::snprintf(change.portName, sizeof change.portName, "%s", names[random() % 2].c_str());
                    if (random() % 2) change.lineSettings = {19200, 8, 0, 0};
                    result = Call(channel, ZEL_OP_CHANGE_ZEL_PARAMS, &change);
                    allowed = {0, 2};
                    break;
                }
            }
            if (allowed.count(result) == 0) ++unexpected;
            ++calls;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    };
    std::vector<std::thread> hosts;
    for (int i = 0; i < kHostThreads; ++i) hosts.emplace_back(host, seed + 1 + i);

    std::this_thread::sleep_for(std::chrono::seconds(ZEL_STRESS_SECONDS));
    stop = true;
    for (std::thread &t : hosts) t.join();
    panel.join();

    EXPECT_EQ(unexpected.load(), 0) << "results outside the documented ones";
    EXPECT_GT(calls.load(), 1000);
    EXPECT_GT(log.CountPrefix(8, "String from Comport "), 0) << "traffic was received";
    // Settle: one last close, then no descriptor may remain.
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Call(channel, ZEL_OP_CLOSE_PORT), ZEL_OK);
    EXPECT_EQ(zeltest::PortOf(channel), 0u);
    EXPECT_EQ(zeltest::OpenDescriptorCount(), descriptors) << "no handle leaked";
    for (int bus = 0; bus < 9; ++bus)
        for (int slot = 0; slot < 9; ++slot)
            for (int point = 0; point < 155; ++point)
                ASSERT_LE(std::atomic_ref<uint8_t>(channel->statusTable[bus][slot][point]).load(), 3);
    EXPECT_EQ(channel->reserved[0], 0);
    EXPECT_EQ(channel->reserved[1], 0);
    for (std::size_t i = 0; i < kGuard; ++i) {
        ASSERT_EQ(memory[i], 0xA5) << "before the block, byte " << i;
        ASSERT_EQ(memory[kGuard + sizeof(ChannelBlock) + i], 0xA5) << "after the block, byte " << i;
    }
    std::printf("%ld host calls, %d messages traced\n", calls.load(), log.CountPrefix(8, "String from Comport "));
}

// Four channels, each with its own panel sending bursts, while host threads
// read tags and close, reopen and re-parameterise the ports of any of them:
// each table ends equal to its own panel's model.
TEST(Stress, EachOfFourChannelsGetsItsOwnPanelsEvents) {
    constexpr int kChannels = 4;
    constexpr int kReadTimeoutMs = 200;
    struct Channel {
        zeltest::PtyPair pty;
        ChannelBlock *block = zeltest::NewChannelBlock();
        zeltest::Table model{};
    };
    std::vector<std::unique_ptr<Channel>> channels;
    zeltest::LogCapture log;
    for (int i = 0; i < kChannels; ++i) {
        channels.push_back(std::make_unique<Channel>());
        OpenChannelRequest open{};
        std::snprintf(open.portName, sizeof open.portName, "%s", channels[i]->pty.PortName().c_str());
        open.enabled = 1;
        open.readTimeout = kReadTimeoutMs / 10;
        open.lineSettings = {9600, 8, 0, 0};
        ASSERT_EQ(Call(channels[i]->block, ZEL_OP_OPEN_CHANNEL, &open, i + 1), ZEL_OK);
    }
    ASSERT_TRUE(zeltest::WaitUntil([&] { return log.Count(32, "ZelQX : Start Unsoliceted Thread") == kChannels; }, 2s));
    std::this_thread::sleep_for(1100ms);

    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    // A third of the single-channel stress: the model check needs quiet
    // lines at the end, not a long run.
    const int seconds = ZEL_STRESS_SECONDS >= 6 ? ZEL_STRESS_SECONDS / 3 : 2;
    std::printf("four channels, seed %u, %d s\n", seed, seconds);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kChannels; ++i)
        threads.emplace_back([&, i] {
            zeltest::PanelTraffic traffic(seed + 100 + i);
            while (!stop) {
                channels[i]->pty.Send(traffic.Next(channels[i]->model));
                std::this_thread::sleep_for(std::chrono::milliseconds(traffic.Random()() % (2 * kReadTimeoutMs + 1)));
            }
        });
    for (int h = 0; h < 4; ++h)
        threads.emplace_back([&, h] {
            std::mt19937 random(seed + h);
            while (!stop) {
                Channel &c = *channels[random() % kChannels];
                switch (random() % 3) {
                    case 0: {
                        char address[8];
                        std::snprintf(address, sizeof address, "0%u0%u%03u", 1 + static_cast<unsigned>(random() % 8),
                                      1 + static_cast<unsigned>(random() % 8), static_cast<unsigned>(random() % 151));
                        if (zeltest::ReadTagValue(c.block, address) > 3) ++unexpected;
                        break;
                    }
                    case 1:
                        if (Call(c.block, ZEL_OP_CLOSE_PORT) != ZEL_OK) ++unexpected;
                        if (Call(c.block, ZEL_OP_REOPEN_PORT) == ZEL_FAILED) ++unexpected;
                        break;
                    default: {
                        ChangeParamsRequest change{};
                        std::snprintf(change.portName, sizeof change.portName, "%s", c.pty.PortName().c_str());
                        if (random() % 2) change.lineSettings = {19200, 8, 0, 0};
                        if (Call(c.block, ZEL_OP_CLOSE_PORT) != ZEL_OK) ++unexpected;
                        if (Call(c.block, ZEL_OP_CHANGE_ZEL_PARAMS, &change) == ZEL_FAILED) ++unexpected;
                        break;
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(unexpected.load(), 0);
    for (int i = 0; i < kChannels; ++i) {
        Channel &c = *channels[i];
        if (zeltest::PortOf(c.block) == 0) {
            EXPECT_EQ(Call(c.block, ZEL_OP_REOPEN_PORT), ZEL_OK);
        }
        EXPECT_TRUE(zeltest::WaitUntil([&] { return zeltest::SameAsModel(&c.block->statusTable[0][0][0], c.model); },
                                       3s))
            << "channel " << i << " differs from its panel's model";
    }
    for (int i = 0; i < kChannels; ++i) EXPECT_EQ(Call(channels[i]->block, ZEL_OP_CLOSE_CHANNEL), ZEL_OK);
}

}  // namespace
