// Windows back end: the USER32 and KERNEL32 services themselves.
#include <windows.h>

#include <atomic>

#include "window_system.h"

namespace zel {
namespace {

HWND AsWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }

// DialogBoxParamA wants a DLGPROC; the trampoline hands every message on to
// the procedure of the dialog being shown (one dialog per process).
std::atomic<DialogProcedure> shownProcedure{nullptr};

INT_PTR CALLBACK Trampoline(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    const DialogProcedure procedure = shownProcedure.load(std::memory_order_acquire);
    if (procedure == nullptr) return FALSE;
    return procedure(reinterpret_cast<WindowHandle>(dialog), message, wParam, lParam);
}

ModuleHandle ModuleNamed(const char *name) { return reinterpret_cast<ModuleHandle>(GetModuleHandleA(name)); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

intptr_t ModalDialog(ModuleHandle module, int templateId, WindowHandle owner, DialogProcedure procedure,
                     intptr_t initialValue) {
    shownProcedure.store(procedure, std::memory_order_release);
    return DialogBoxParamA(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEA(templateId), AsWindow(owner),
                           Trampoline, initialValue);
}

int EndModalDialog(WindowHandle dialog, intptr_t result) { return EndDialog(AsWindow(dialog), result); }

WindowHandle Control(WindowHandle dialog, int id) {
    return reinterpret_cast<WindowHandle>(GetDlgItem(AsWindow(dialog), id));
}

int GetText(WindowHandle window, char *buffer, int size) { return GetWindowTextA(AsWindow(window), buffer, size); }

int SetText(WindowHandle window, const char *text) { return SetWindowTextA(AsWindow(window), text); }

int Enable(WindowHandle window, int enabled) { return EnableWindow(AsWindow(window), enabled); }

intptr_t LimitText(WindowHandle edit, uint32_t limit) { return SendMessageA(AsWindow(edit), EM_LIMITTEXT, limit, 0); }

int ShowMessage(WindowHandle owner, const char *text, const char *caption, uint32_t type) {
    return MessageBoxA(AsWindow(owner), text, caption, type);
}

constexpr WindowSystem kWin32WindowSystem = {ModuleNamed, CurrentThreadId, ModalDialog, EndModalDialog, Control,
                                             GetText,     SetText,         Enable,      LimitText,      ShowMessage};

}  // namespace

const WindowSystem &PlatformWindowSystem() { return kWin32WindowSystem; }

}  // namespace zel
