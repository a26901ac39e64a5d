// The reception thread: it watches the current channel's port, reads each
// panel message into the receive buffer within the port's read time-out,
// decodes it and wipes the buffer.
#pragma once

#include <cstdint>

namespace zel {

// Stack of the reception thread.
inline constexpr uint32_t kReceptionStackBytes = ZEL_RECEPTION_STACK_BYTES;

// How long the thread waits before it looks again when the channel has no
// usable port, and at most how long it waits for input on an open one.
inline constexpr uint32_t kNoPortPollMs = 10;
inline constexpr uint32_t kInputWaitMs = 100;
// The start-up wait before the thread takes its channel.
inline constexpr uint32_t kStartDelayMs = 1000;

// Thread procedure; the argument is the channel's ChannelBlock. Never returns.
void ReceptionThread(void *channelBlock);

// One pass of the thread's loop: waits for input without spinning, or reads,
// traces, decodes and wipes one message.
void ReceptionPass();

}  // namespace zel
