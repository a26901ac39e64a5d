// The Tag Format dialog's process-wide values. Set when the library is
// loaded and never re-initialised; the dialog is shown at most once per
// process, so no showing sees values left by another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zel {

// The address types of the dialog's radio buttons.
enum AddressType : int32_t { NoType = -999, Regular = 1, Battery = 2, LineShorted = 3, Ckt = 4 };

// Set by the first EditTagAddress request, never cleared. Two host threads
// may ask at once, so the test and the setting are one atomic exchange.
extern std::atomic<int32_t> tagDialogShown;

// The values below belong to the one thread that won tagDialogShown: it
// runs the dialog and its procedure, and reads composedAddress afterwards.
extern int32_t addressType;  // an AddressType
extern int32_t pointMin;     // inclusive point range of the selected type
extern int32_t pointMax;

inline constexpr std::size_t kAddressBufferSize = 16;
inline constexpr std::size_t kTagAddressLength = 7;  // BBSSPPP

// The address composed on OK.
extern char composedAddress[kAddressBufferSize];
// Where the spins assemble the text they write.
extern char spinWorkBuffer[kAddressBufferSize];

}  // namespace zel
