// Keeps a close from cutting into a read. Every use of an open port is
// bracketed by BeginPortUse/EndPortUse; ClosePortGuarded interrupts the
// uses in progress, waits until they have left the port and only then
// closes it. A port whose use does not end within the grace time (a
// platform that cannot cancel a read in progress) is handed to its last
// user, which closes it on leaving; so no handle is ever closed under a
// read and no close waits for a read time-out.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial_backend.h"

namespace zel {

struct PortGuardEntry {
    std::atomic<PortHandle> handle{0};
    std::atomic<int32_t> users{0};
    std::atomic<uint32_t> state{0};
    std::atomic<bool> closeClaimed{false};
};

// Records a newly opened port; false when too many ports are open.
bool RegisterPort(PortHandle port);

// The port's entry with one more user, or nullptr when the port is not open
// or is being closed.
PortGuardEntry *BeginPortUse(PortHandle port);
void EndPortUse(PortGuardEntry *entry);

// Closes an open port once no use is in progress. 0 closed, 7 when the port
// is not open or the platform close failed (the port then stays open and
// usable). A close while another is in progress waits for that one and
// answers as it does. `closeError` (optional) receives the platform's error
// of a close that released the port all the same.
int32_t ClosePortGuarded(PortHandle port, int *closeError = nullptr);

// Whether the port is open and not being closed.
bool PortIsOpen(PortHandle port);

// How long a close waits for uses to end before handing the port over.
// Reads and waits end at once when interrupted, on both platforms; the
// hand-over is for a platform step that cannot be interrupted.
inline constexpr uint32_t kCloseGraceMilliseconds = 200;

}  // namespace zel
