// What the Windows back end keeps behind a port handle, for its tests.
#pragma once

#include <windows.h>

#include "serial_backend.h"

namespace zel {

// The device HANDLE of an open port; nullptr when the handle names none.
HANDLE DeviceHandleOf(PortHandle port);

}  // namespace zel
