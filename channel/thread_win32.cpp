// Windows threads: CreateThread with the requested stack commit; the module
// kept loaded with a reference of its own from GetModuleHandleExA.
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

// The module this code lives in: the DLL, or a program it is linked into.
HMODULE OwnModule(DWORD flags) {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags, reinterpret_cast<LPCSTR>(&Trampoline),
                       &module);
    return module;
}

// Counts one more reference, released by UnpinModule.
bool PinModule() { return OwnModule(0) != nullptr; }

void UnpinModule() {
    if (HMODULE module = OwnModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) FreeLibrary(module);
}

constexpr ThreadPlatform kWin32Threads = {StartThread, JoinThread, SleepFor, PinModule, UnpinModule};

}  // namespace

const ThreadPlatform &PlatformThreads() { return kWin32Threads; }

}  // namespace zel
