// Starting a thread and sleeping: the driver's only use of the platform's
// thread services, as one table so that tests can replace it.
#pragma once

#include <cstdint>

namespace zel {

using ThreadProcedure = void (*)(void *argument);

struct ThreadPlatform {
    // Starts `procedure(argument)` on a new detached thread with the given
    // stack size; false when the thread could not be started.
    bool (*startThread)(ThreadProcedure procedure, void *argument, uint32_t stackBytes);
    void (*sleep)(uint32_t milliseconds);
};

const ThreadPlatform &PlatformThreads();  // thread_posix.cpp or thread_win32.cpp
const ThreadPlatform &Threads();
void UseThreadPlatform(const ThreadPlatform *platform);  // nullptr: the platform's

// Hands a procedure and its argument to a starting thread without
// allocating: a few fixed slots, each freed by the thread it started.
struct ThreadStart {
    ThreadProcedure procedure;
    void *argument;
};
ThreadStart *ClaimThreadStart(ThreadProcedure procedure, void *argument);
void ReleaseThreadStart(ThreadStart *start);
// Runs the procedure of a claimed slot after freeing the slot.
void RunThreadStart(ThreadStart *start);

}  // namespace zel
