// The "Tag Format" dialog: its procedure and the steps it takes.
#pragma once

#include <cstdint>

#include "window_system.h"

namespace zel {

// Handles WM_INITDIALOG, WM_COMMAND and WM_VSCROLL; 1 for the first two,
// 0 for the spins and for every other message.
intptr_t TagFormatDialogProc(WindowHandle dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Enables the three address edits and their spins.
void EnableAddressFields(WindowHandle dialog);

// One step of a spin: the up or down arrow of the bus, slot or point field.
void StepBusSlotSpin(WindowHandle dialog, int editId, uint32_t scrollCode);
void StepPointSpin(WindowHandle dialog, uint32_t scrollCode);

}  // namespace zel
