// Presses Enter at the console of a running program, as a person at that
// console would: attaches to the console of the process with the given
// executable name and puts a key-down and key-up of VK_RETURN into its
// input queue. Under Wine a program on a Unix terminal gets no key events
// from the terminal, so the tests press keys this way.
// Usage: zel_press_enter.exe EXECUTABLE_NAME   (exit 0 when the keys went in)
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

namespace {

DWORD FindProcess(const char *name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (_stricmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel_press_enter EXECUTABLE_NAME\n");
        return 2;
    }
    const DWORD process = FindProcess(argv[1]);
    if (process == 0) {
        std::fprintf(stderr, "no process %s\n", argv[1]);
        return 1;
    }
    FreeConsole();
    if (!AttachConsole(process)) {
        std::fprintf(stderr, "cannot attach to the console of %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    INPUT_RECORD keys[2]{};
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        keys[i].Event.KeyEvent.wVirtualScanCode = 0x1C;
        keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written = 0;
    return input != INVALID_HANDLE_VALUE && WriteConsoleInputW(input, keys, 2, &written) && written == 2 ? 0 : 1;
}
