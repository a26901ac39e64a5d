// Windows threads: CreateThread with the requested stack commit; the module
// kept loaded for the life of the process with GetModuleHandleExA.
#include <windows.h>

#include "thread.h"

namespace zel {
namespace {

DWORD WINAPI Trampoline(LPVOID start) {
    RunThreadStart(static_cast<ThreadStart *>(start));
    return 0;
}

ThreadHandle StartThread(ThreadProcedure procedure, void *argument, uint32_t stackBytes) {
    ThreadStart *start = ClaimThreadStart(procedure, argument);
    if (start == nullptr) return 0;
    HANDLE thread = CreateThread(nullptr, stackBytes, Trampoline, start, 0, nullptr);
    if (thread == nullptr) {
        ReleaseThreadStart(start);
        return 0;
    }
    return reinterpret_cast<ThreadHandle>(thread);
}

bool JoinThread(ThreadHandle handle, uint32_t milliseconds) {
    HANDLE thread = reinterpret_cast<HANDLE>(handle);
    if (WaitForSingleObject(thread, milliseconds) != WAIT_OBJECT_0) return false;
    CloseHandle(thread);
    return true;
}

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

// Keeps the module this code lives in (the DLL) loaded for the life of the
// process, once a reception has started: a reference that the driver
// dropped itself would have to be dropped from its own code, which then
// returns into a DLL the host may have unloaded meanwhile. A program that
// the driver's code is linked into is pinned alike, to no effect.
bool PinModule() {
    HMODULE module = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&Trampoline), &module) != 0;
}

// The pin lasts as long as the process.
void UnpinModule() {}

constexpr ThreadPlatform kWin32Threads = {StartThread, JoinThread, SleepFor, PinModule, UnpinModule};

}  // namespace

const ThreadPlatform &PlatformThreads() { return kWin32Threads; }

}  // namespace zel
