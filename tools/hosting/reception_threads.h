// Which channel a driver log line belongs to. Lines about received bytes
// come on the channel's reception thread, and each reception thread logs
// its start while its channel is being opened: the channels are opened one
// at a time, each once the thread of the one before has said who it is.
// The owner keeps the record under its own lock, as its log callback does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace zelhost {

inline constexpr std::size_t kNoChannel = SIZE_MAX;

struct ReceptionThreads {
    std::map<std::thread::id, std::size_t> channelOf;
    std::size_t opening = kNoChannel;
};

// Before OpenChannel of `channel` (under the owner's lock).
void ExpectReceptionStart(ReceptionThreads &threads, std::size_t channel);
// At a reception's start line, on its thread (under the owner's lock).
void NoteReceptionStart(ReceptionThreads &threads);
// The channel whose reception thread is calling; with one channel, that
// one; kNoChannel for a thread never seen starting.
std::size_t ChannelOfThisThread(const ReceptionThreads &threads, std::size_t channels);
// After OpenChannel: waits until its thread said who it is, at most `wait`
// (a reception already running logs no start), taking `lock` to look.
void AwaitReceptionStart(ReceptionThreads &threads, std::mutex &lock, std::chrono::milliseconds wait);

}  // namespace zelhost
