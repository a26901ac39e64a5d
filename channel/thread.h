// Starting, joining and pausing threads, and keeping the driver's module
// loaded once its threads have run: the driver's only use of the platform's
// thread and loader services, as one table so that tests can replace it.
#pragma once

#include <cstdint>

namespace zel {

using ThreadProcedure = void (*)(void *argument);

// A started thread until it is joined; 0 is none.
using ThreadHandle = uintptr_t;

struct ThreadPlatform {
    // Starts `procedure(argument)` on a new thread that commits at least
    // `stackBytes` of stack; 0 when the thread could not be started.
    ThreadHandle (*startThread)(ThreadProcedure procedure, void *argument, uint32_t stackBytes);
    // Waits up to `milliseconds` for the thread to end; true when it ended,
    // and the handle is then released. False leaves the handle as it was.
    bool (*joinThread)(ThreadHandle thread, uint32_t milliseconds);
    void (*sleep)(uint32_t milliseconds);
    // Keeps the driver's own module loaded for the life of the process, so
    // that a host that unloads the driver while a thread of it runs does not
    // unmap the thread's code, nor the code of a later CloseChannel. False
    // when the module could not be pinned. The platforms' unpin does
    // nothing: the last reference is never dropped from the module's code.
    bool (*pinModule)();
    void (*unpinModule)();
};

const ThreadPlatform &PlatformThreads();  // thread_posix.cpp or thread_win32.cpp
const ThreadPlatform &Threads();
void UseThreadPlatform(const ThreadPlatform *platform);  // nullptr: the platform's

// Hands a procedure and its argument to a starting thread without
// allocating: fixed slots, each freed by the thread it started; as many as
// threads may be starting at once (one per channel record).
inline constexpr int kThreadStartSlots = 128;
struct ThreadStart {
    ThreadProcedure procedure;
    void *argument;
};
ThreadStart *ClaimThreadStart(ThreadProcedure procedure, void *argument);
void ReleaseThreadStart(ThreadStart *start);
// Runs the procedure of a claimed slot after freeing the slot.
void RunThreadStart(ThreadStart *start);

}  // namespace zel
