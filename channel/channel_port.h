// The port of a ChannelBlock: installing a newly opened one, closing it, and
// closing the ports that were replaced. Used by the lifecycle operations and
// by the reception's recovery of a vanished device, always under the
// block's lifecycle lock (channel_record.h).
#pragma once

#include <cstdint>

#include "../serial/serial_port.h"
#include "zelwnqx.h"

namespace zel {

// Stores `port` as the channel's port; the port it replaces, if any, is
// closed (and kept for a later attempt if that close fails).
void InstallPort(ChannelBlock &channel, PortHandle port);

// Closes the channel's port: ZEL_OK when closed or none was open,
// ZEL_PORT_FAILED when the close failed (the handle stays in `port`).
int32_t CloseChannelPort(ChannelBlock &channel);

// Tries again to close the replaced ports whose close failed.
void RetryPendingCloses();

}  // namespace zel
