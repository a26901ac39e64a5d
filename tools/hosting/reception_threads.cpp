#include "reception_threads.h"

namespace zelhost {

void ExpectReceptionStart(ReceptionThreads &threads, std::size_t channel) { threads.opening = channel; }

void NoteReceptionStart(ReceptionThreads &threads) {
    if (threads.opening != kNoChannel) threads.channelOf[std::this_thread::get_id()] = threads.opening;
    threads.opening = kNoChannel;
}

std::size_t ChannelOfThisThread(const ReceptionThreads &threads, std::size_t channels) {
    if (channels == 1) return 0;
    const auto it = threads.channelOf.find(std::this_thread::get_id());
    return it == threads.channelOf.end() ? kNoChannel : it->second;
}

void AwaitReceptionStart(ReceptionThreads &threads, std::mutex &lock, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (threads.opening == kNoChannel) return;
            if (std::chrono::steady_clock::now() >= until) {
                threads.opening = kNoChannel;
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace zelhost
