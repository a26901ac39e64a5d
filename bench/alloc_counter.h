// Counts heap allocations made by any thread of the process. The program
// that links alloc_counter.cpp replaces malloc, calloc, realloc and the
// aligned allocators (glibc allows an executable to do so); each forwards to
// glibc's own allocator after counting. operator new reaches malloc, so C++
// allocations are counted too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelbench {

// Counting happens only between StartCounting and StopCounting, and never
// on a thread inside an ExcludeFromCount scope.
void StartCounting();
void StopCounting();

// Counts are kept per phase; allocations go to the phase current at the
// time. Phases are numbered 0 to kMaxPhases - 1.
inline constexpr int kMaxPhases = 16;
void SetPhase(int phase);

// Marks the calling thread as the benchmark's own host thread: its counts
// are kept apart from those of other threads (the driver's).
void MarkHostThread();

struct PhaseCount {
    uint64_t hostThread;    // allocations on the host thread (ZelMain calls)
    uint64_t otherThreads;  // allocations on every other thread
    uint64_t bytes;
};
PhaseCount CountOf(int phase);

// The first allocations counted, for finding out who made them.
struct AllocationSample {
    const void *caller;  // return address inside the allocating code
    std::size_t size;
    int phase;
    bool hostThread;
};
inline constexpr int kMaxSamples = 16;
int SampleCount();
AllocationSample SampleAt(int index);

// The benchmark's own bookkeeping (printing, files) is not counted.
class ExcludeFromCount {
public:
    ExcludeFromCount();
    ~ExcludeFromCount();
    ExcludeFromCount(const ExcludeFromCount &) = delete;
    ExcludeFromCount &operator=(const ExcludeFromCount &) = delete;
};

// Self-test: true when allocations by malloc and by operator new on this
// thread, and by malloc on another thread, are all seen.
bool HookActive();

}  // namespace zelbench
