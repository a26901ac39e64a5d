// Windows threads: CreateThread with the requested stack size.
#include <windows.h>

#include "thread.h"

namespace zel {
namespace {

DWORD WINAPI Trampoline(LPVOID start) {
    RunThreadStart(static_cast<ThreadStart *>(start));
    return 0;
}

bool StartThread(ThreadProcedure procedure, void *argument, uint32_t stackBytes) {
    ThreadStart *start = ClaimThreadStart(procedure, argument);
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, stackBytes, Trampoline, start, 0, nullptr);
    if (thread == nullptr) {
        ReleaseThreadStart(start);
        return false;
    }
    CloseHandle(thread);
    return true;
}

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

constexpr ThreadPlatform kWin32Threads = {StartThread, SleepFor};

}  // namespace

const ThreadPlatform &PlatformThreads() { return kWin32Threads; }

}  // namespace zel
