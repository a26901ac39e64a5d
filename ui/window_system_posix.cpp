// Linux back end: there is no window system to show the dialog in. The
// modal dialog fails like one whose template cannot be found, so the
// operation takes its "not confirmed" path; no control ever exists.
#include <unistd.h>

#include "window_system.h"

namespace zel {
namespace {

ModuleHandle NoModule(const char *) { return 0; }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(gettid()); }

intptr_t DialogCannotBeCreated(ModuleHandle, int, WindowHandle, DialogProcedure, intptr_t) { return -1; }

int NoEndDialog(WindowHandle, intptr_t) { return 0; }

WindowHandle NoControl(WindowHandle, int) { return 0; }

int NoText(WindowHandle, char *buffer, int size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
}

int NoSetText(WindowHandle, const char *) { return 0; }

int NoEnable(WindowHandle, int) { return 0; }

intptr_t NoLimit(WindowHandle, uint32_t) { return 0; }

int NoMessageBox(WindowHandle, const char *, const char *, uint32_t) { return 0; }

constexpr WindowSystem kPosixWindowSystem = {
    NoModule, CurrentThreadId, DialogCannotBeCreated, NoEndDialog, NoControl,
    NoText,   NoSetText,       NoEnable,              NoLimit,     NoMessageBox,
};

}  // namespace

const WindowSystem &PlatformWindowSystem() { return kPosixWindowSystem; }

}  // namespace zel
