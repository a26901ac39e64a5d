// What the POSIX back end makes of a device control block, for its tests.
#pragma once

#include <termios.h>

#include "serial_backend.h"

namespace zel {

// Sets the character format, flow control and raw-mode flags of `t` from
// `line` (the speed is set separately); false for settings this platform
// cannot carry, which are refused rather than dropped.
bool TermiosForLineState(const LineState &line, termios &t);

}  // namespace zel
