// The window-system services that the Tag Format dialog uses, and nothing
// else of the window system: one table of functions, filled by the platform's
// back end (window_system_win32.cpp or window_system_posix.cpp). Tests put a
// recording substitute in its place.
#pragma once

#include <cstdint>

namespace zel {

// Handles travel as plain numbers; 0 means none.
using WindowHandle = uintptr_t;
using ModuleHandle = uintptr_t;

// A dialog procedure: dialog, message number, word and long parameter.
using DialogProcedure = intptr_t (*)(WindowHandle dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Window messages, scroll codes and the rest that the dialog's logic needs.
inline constexpr uint32_t kWmInitDialog = 0x0110;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kWmVScroll = 0x0115;
inline constexpr uint32_t kScrollLineUp = 0;
inline constexpr uint32_t kScrollLineDown = 1;
inline constexpr uint32_t kMessageBoxOk = 0;

struct WindowSystem {
    // GetModuleHandleA: the loaded module of that name, 0 if none.
    ModuleHandle (*moduleHandle)(const char *name);
    // GetCurrentThreadId.
    uint32_t (*currentThreadId)();
    // DialogBoxParamA: runs the template's dialog modally and returns the
    // value given to endDialog, or another value when it could not be shown.
    intptr_t (*modalDialog)(ModuleHandle module, int templateId, WindowHandle owner, DialogProcedure procedure,
                            intptr_t initialValue);
    // EndDialog.
    int (*endDialog)(WindowHandle dialog, intptr_t result);
    // GetDlgItem: the control's handle, 0 if the dialog has no such control.
    WindowHandle (*control)(WindowHandle dialog, int id);
    // GetWindowTextA: copies at most size - 1 characters and a NUL, returns
    // the number of characters copied.
    int (*getText)(WindowHandle window, char *buffer, int size);
    // SetWindowTextA.
    int (*setText)(WindowHandle window, const char *text);
    // EnableWindow.
    int (*enable)(WindowHandle window, int enabled);
    // SendMessageA with EM_LIMITTEXT: what the user may type into an edit.
    intptr_t (*limitText)(WindowHandle edit, uint32_t limit);
    // MessageBoxA.
    int (*messageBox)(WindowHandle owner, const char *text, const char *caption, uint32_t type);
};

const WindowSystem &PlatformWindowSystem();  // window_system_win32.cpp or window_system_posix.cpp
const WindowSystem &Windows();
void UseWindowSystem(const WindowSystem *windows);  // nullptr: the platform's

}  // namespace zel
