#include "alloc_counter.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>

extern "C" {
// glibc's allocator under its own names.
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void __libc_free(void *pointer);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace zelbench {
namespace {

std::atomic<bool> counting{false};
std::atomic<int> currentPhase{0};

struct PhaseCounters {
    std::atomic<uint64_t> host{0}, other{0}, bytes{0};
};
PhaseCounters phases[kMaxPhases];

std::atomic<int> samplesTaken{0};
AllocationSample samples[kMaxSamples];

// Plain thread-locals of the executable: static TLS, reached without any
// allocation or initialisation call, so usable inside malloc itself.
thread_local int excludedDepth = 0;
thread_local bool hostThread = false;
thread_local int insideHook = 0;

void Count(std::size_t size, const void *caller) {
    if (!counting.load(std::memory_order_relaxed) || excludedDepth != 0 || insideHook != 0) return;
    ++insideHook;
    const int phase = currentPhase.load(std::memory_order_relaxed);
    PhaseCounters &c = phases[phase];
    (hostThread ? c.host : c.other).fetch_add(1, std::memory_order_relaxed);
    c.bytes.fetch_add(size, std::memory_order_relaxed);
    const int slot = samplesTaken.fetch_add(1, std::memory_order_relaxed);
    if (slot < kMaxSamples) samples[slot] = {caller, size, phase, hostThread};
    --insideHook;
}

}  // namespace

void StartCounting() { counting.store(true); }
void StopCounting() { counting.store(false); }
void SetPhase(int phase) {
    if (phase >= 0 && phase < kMaxPhases) currentPhase.store(phase);
}
void MarkHostThread() { hostThread = true; }

PhaseCount CountOf(int phase) {
    if (phase < 0 || phase >= kMaxPhases) return {};
    return {phases[phase].host.load(), phases[phase].other.load(), phases[phase].bytes.load()};
}

int SampleCount() {
    const int n = samplesTaken.load();
    return n < kMaxSamples ? n : kMaxSamples;
}

AllocationSample SampleAt(int index) { return samples[index]; }

ExcludeFromCount::ExcludeFromCount() { ++excludedDepth; }
ExcludeFromCount::~ExcludeFromCount() { --excludedDepth; }

namespace {

void *AllocateOnce(void *) {
    void *volatile p = __builtin_malloc(24);
    __builtin_free(p);
    return nullptr;
}

}  // namespace

bool HookActive() {
    // Counts allocations in a scratch phase, then takes them back out: one
    // by malloc and one by operator new on this thread, one by malloc on
    // another thread.
    constexpr int kScratch = kMaxPhases - 1;
    const int before = currentPhase.load();
    const bool wasCounting = counting.load();
    const int samplesBefore = samplesTaken.load();
    PhaseCounters &c = phases[kScratch];
    c.host.store(0);
    c.other.store(0);
    currentPhase.store(kScratch);
    counting.store(true);
    const bool wasHost = hostThread;
    hostThread = true;
    const uint64_t start = c.host.load();
    void *volatile p = __builtin_malloc(24);
    __builtin_free(p);
    const bool mallocSeen = c.host.load() > start;
    void *volatile q = ::operator new(24);
    ::operator delete(q);
    const bool newSeen = c.host.load() > start + 1;
    hostThread = wasHost;
    pthread_t thread;
    bool otherSeen = false;
    if (pthread_create(&thread, nullptr, AllocateOnce, nullptr) == 0) {
        pthread_join(thread, nullptr);
        otherSeen = c.other.load() > 0;
    }
    counting.store(wasCounting);
    currentPhase.store(before);
    c.host.store(0);
    c.other.store(0);
    c.bytes.store(0);
    samplesTaken.store(samplesBefore);
    return mallocSeen && newSeen && otherSeen;
}

}  // namespace zelbench

// The replacements. Each counts, then forwards to glibc.
extern "C" {

void *malloc(std::size_t size) {
    zelbench::Count(size, __builtin_return_address(0));
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size) {
    zelbench::Count(count * size, __builtin_return_address(0));
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, std::size_t size) {
    zelbench::Count(size, __builtin_return_address(0));
    return __libc_realloc(pointer, size);
}

void free(void *pointer) { __libc_free(pointer); }

void *memalign(std::size_t alignment, std::size_t size) {
    zelbench::Count(size, __builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
    zelbench::Count(size, __builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    zelbench::Count(size, __builtin_return_address(0));
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(std::size_t size) {
    zelbench::Count(size, __builtin_return_address(0));
    return __libc_memalign(4096, size);
}

}  // extern "C"
