// Each channel's reception: a thread of its own that watches the channel's
// port, cuts what the panel sends into messages (framing.h), decodes them
// into the channel's status table, and reopens the port by itself when its
// device vanished and comes back.
#pragma once

#include <cstdint>

#include "../channel/channel_record.h"

namespace zel {

// Stack that the reception thread commits.
inline constexpr uint32_t kReceptionStackBytes = ZEL_RECEPTION_STACK_BYTES;
// The start-up wait before the thread takes its channel.
inline constexpr uint32_t kStartDelayMs = 1000;
// How often a vanished device is looked for again.
inline constexpr uint32_t kReopenIntervalMs = 1000;
// How long CloseChannel waits for the reception to leave the block.
inline constexpr uint32_t kStopWaitMs = 5000;

// Starts reception on the record's block unless it runs. It logs its start,
// waits its first second, then serves the block until StopReception. False
// when the thread could not be started. Called under the lifecycle lock.
bool StartReception(ChannelRecord &record);

// Ends the block's reception and waits until its thread has ended. False
// when it did not end within kStopWaitMs (it ends later; the block must be
// kept until then). Called under the lifecycle lock.
bool StopReception(ChannelRecord &record);

bool ReceptionRunning(const ChannelRecord &record);

// How often a vanished device is looked for (kReopenIntervalMs unless a
// test shortens it to run many losses quickly).
void SetReopenInterval(uint32_t milliseconds);

}  // namespace zel
