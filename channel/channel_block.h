// Atomic access to the ChannelBlock fields that the host's threads and a
// channel's reception share, and the process-wide current channel.
#pragma once

#include <atomic>
#include <cstdint>

#include "zelwnqx.h"

namespace zel {

// The ChannelBlock that the latest ZelMain call named (or that a reception
// stored when it started). Kept for the host's sake only: every operation
// and every reception works on the block it was given.
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

// The other fields may be written by one host thread while another reads
// them. Each field is read and written whole; a record of several fields
// may mix an older and a newer write, which the design accepts.
template <typename T>
T LoadField(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
void StoreField(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

inline LineSettings LoadLineSettings(LineSettings &settings) {
    return {LoadField(settings.baudRate), LoadField(settings.dataBits), LoadField(settings.stopBits),
            LoadField(settings.parity)};
}

inline void StoreLineSettings(LineSettings &settings, const LineSettings &value) {
    StoreField(settings.baudRate, value.baudRate);
    StoreField(settings.dataBits, value.dataBits);
    StoreField(settings.stopBits, value.stopBits);
    StoreField(settings.parity, value.parity);
}

inline PortBlock LoadPortBlock(ChannelBlock &channel) {
    PortBlock block;
    for (std::size_t i = 0; i < sizeof block.name; ++i) block.name[i] = LoadField(channel.portBlock.name[i]);
    block.lineSettings = LoadLineSettings(channel.portBlock.lineSettings);
    block.flowFlags = LoadField(channel.portBlock.flowFlags);
    return block;
}

// Stores a port name into the block's name field, NUL-filled.
inline void StorePortName(ChannelBlock &channel, const char *name, std::size_t length) {
    for (std::size_t i = 0; i < sizeof channel.portBlock.name; ++i)
        StoreField(channel.portBlock.name[i], i < length ? name[i] : '\0');
}

inline void StorePortBlock(ChannelBlock &channel, const PortBlock &block) {
    StorePortName(channel, block.name, sizeof block.name);
    StoreLineSettings(channel.portBlock.lineSettings, block.lineSettings);
    StoreField(channel.portBlock.flowFlags, block.flowFlags);
}

}  // namespace zel
