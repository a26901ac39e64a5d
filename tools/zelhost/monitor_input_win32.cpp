// Windows: Enter in the console asks for a listing.
#include <windows.h>

#include "monitor_input.h"

namespace zelhost {
namespace {

HANDLE consoleInput = nullptr;

}  // namespace

void WatchListingRequests() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    consoleInput = input != INVALID_HANDLE_VALUE && input != nullptr && GetConsoleMode(input, &mode) ? input : nullptr;
}

bool ListingRequested() {
    bool asked = false;
    DWORD waiting = 0;
    while (consoleInput != nullptr && GetNumberOfConsoleInputEvents(consoleInput, &waiting) && waiting > 0) {
        INPUT_RECORD records[16];
        DWORD got = 0;
        if (!ReadConsoleInputW(consoleInput, records, 16, &got) || got == 0) break;
        for (DWORD i = 0; i < got; ++i) {
            const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.wVirtualKeyCode == VK_RETURN) asked = true;
        }
    }
    return asked;
}

}  // namespace zelhost
