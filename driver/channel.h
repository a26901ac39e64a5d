// The channel being served and the atomic access to the ChannelBlock fields
// that the host's threads and the reception thread share.
#pragma once

#include <atomic>
#include <cstdint>

#include "zelwnqx.h"

namespace zel {

// The one process-wide reference to the ChannelBlock being served: written by
// every ZelMain call that names a channel and once by the reception thread.
extern std::atomic<ChannelBlock *> currentChannel;

inline ChannelBlock *CurrentChannel() { return currentChannel.load(std::memory_order_acquire); }

static_assert(offsetof(ChannelBlock, port) % std::atomic_ref<uint32_t>::required_alignment == 0);

// `port` is read by the reception thread on every pass while the lifecycle
// operations write it.
inline uint32_t LoadPort(ChannelBlock &channel) {
    return std::atomic_ref<uint32_t>(channel.port).load(std::memory_order_acquire);
}

inline void StorePort(ChannelBlock &channel, uint32_t handle) {
    std::atomic_ref<uint32_t>(channel.port).store(handle, std::memory_order_release);
}

inline uint32_t ExchangePort(ChannelBlock &channel, uint32_t handle) {
    return std::atomic_ref<uint32_t>(channel.port).exchange(handle, std::memory_order_acq_rel);
}

}  // namespace zel
