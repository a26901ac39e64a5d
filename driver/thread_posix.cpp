// POSIX threads: a detached pthread with the requested stack size.
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "thread.h"

namespace zel {
namespace {

void *Trampoline(void *start) {
    RunThreadStart(static_cast<ThreadStart *>(start));
    return nullptr;
}

bool StartThread(ThreadProcedure procedure, void *argument, uint32_t stackBytes) {
    ThreadStart *start = ClaimThreadStart(procedure, argument);
    if (start == nullptr) return false;
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_t thread;
        started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_create(&thread, &attributes, Trampoline, start) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) ReleaseThreadStart(start);
    return started;
}

void SleepFor(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

constexpr ThreadPlatform kPosixThreads = {StartThread, SleepFor};

}  // namespace

const ThreadPlatform &PlatformThreads() { return kPosixThreads; }

}  // namespace zel
