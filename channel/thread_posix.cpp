// POSIX threads: joinable pthreads; the module kept loaded for the life of
// the process through dlopen.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "thread.h"

namespace zel {
namespace {

// The stack a thread reserves. Like a Windows thread, which commits the
// requested size but reserves the executable's default, a reception thread
// here may grow beyond its committed 32 KiB (the host's `err` runs on it
// with texts of up to 999 characters): pages are only committed when used.
constexpr std::size_t kStackReserveBytes = 1024 * 1024;

void *Trampoline(void *start) {
    RunThreadStart(static_cast<ThreadStart *>(start));
    return nullptr;
}

ThreadHandle StartThread(ThreadProcedure procedure, void *argument, uint32_t stackBytes) {
    ThreadStart *start = ClaimThreadStart(procedure, argument);
    if (start == nullptr) return 0;
    const std::size_t reserve = stackBytes > kStackReserveBytes ? stackBytes : kStackReserveBytes;
    pthread_attr_t attributes;
    pthread_t thread{};
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        started = pthread_attr_setstacksize(&attributes, reserve) == 0 &&
                  pthread_create(&thread, &attributes, Trampoline, start) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        ReleaseThreadStart(start);
        return 0;
    }
    static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));
    return static_cast<ThreadHandle>(thread);
}

bool JoinThread(ThreadHandle handle, uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(static_cast<pthread_t>(handle), nullptr, &deadline) == 0;
}

void SleepFor(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Keeps the object this code lives in (the driver library) loaded for the
// life of the process, once a reception has started: a reference that the
// driver dropped itself would have to be dropped from its own code, which
// then returns into a library the host may have unloaded meanwhile.
// Reopening it with RTLD_NODELETE loads nothing and marks it never to be
// unmapped. A program that the driver's code is linked into is never
// unloaded, and dlopen does not find it by name: nothing to pin then.
std::atomic<bool> pinned{false};

bool PinModule() {
    if (pinned.exchange(true)) return true;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&Trampoline), &self) == 0 || self.dli_fname == nullptr) return true;
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    return true;
}

// The pin lasts as long as the process.
void UnpinModule() {}

constexpr ThreadPlatform kPosixThreads = {StartThread, JoinThread, SleepFor, PinModule, UnpinModule};

}  // namespace

const ThreadPlatform &PlatformThreads() { return kPosixThreads; }

}  // namespace zel
