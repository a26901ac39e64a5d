#include "thread.h"

#include <atomic>

namespace zel {
namespace {

std::atomic<const ThreadPlatform *> chosenPlatform{nullptr};

ThreadStart starts[kThreadStartSlots];
std::atomic<bool> startBusy[kThreadStartSlots];

}  // namespace

const ThreadPlatform &Threads() {
    const ThreadPlatform *chosen = chosenPlatform.load(std::memory_order_acquire);
    return chosen != nullptr ? *chosen : PlatformThreads();
}

void UseThreadPlatform(const ThreadPlatform *platform) { chosenPlatform.store(platform, std::memory_order_release); }

ThreadStart *ClaimThreadStart(ThreadProcedure procedure, void *argument) {
    for (int i = 0; i < kThreadStartSlots; ++i) {
        if (startBusy[i].exchange(true, std::memory_order_acquire)) continue;
        starts[i] = {procedure, argument};
        return &starts[i];
    }
    return nullptr;
}

void ReleaseThreadStart(ThreadStart *start) {
    startBusy[start - starts].store(false, std::memory_order_release);
}

void RunThreadStart(ThreadStart *start) {
    const ThreadStart copy = *start;
    ReleaseThreadStart(start);
    copy.procedure(copy.argument);
}

}  // namespace zel
