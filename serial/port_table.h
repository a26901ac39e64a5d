// The back ends' tables of open ports. A handle is a slot's index with the
// slot's generation count above it, so that a handle that was closed never
// names a port opened later in the same slot, however the platform reuses
// its own descriptor or handle values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "serial_backend.h"

namespace zel {

// Enough for at least 64 channels, ports being replaced, and the ports that
// a program opens through the serial layer directly.
inline constexpr std::size_t kMaxPorts = 192;
static_assert(kMaxPorts <= 255, "the index takes the handle's low 8 bits");

// What a slot of either back end starts with.
struct PortSlot {
    std::atomic<PortHandle> handle{0};  // 0 free, kReservedHandle being filled
    std::atomic<uint32_t> generation{0};
};

inline constexpr PortHandle kReservedHandle = 0xFFFFFFFFu;

// The slot a handle names, or nullptr when it names no open port.
template <typename Slot, std::size_t N>
Slot *LookUpPort(Slot (&slots)[N], PortHandle handle) {
    const uint32_t index = (handle & 0xFF) - 1;
    if (handle == 0 || handle == kReservedHandle || index >= N) return nullptr;
    Slot &slot = slots[index];
    return slot.handle.load(std::memory_order_acquire) == handle ? &slot : nullptr;
}

// Takes a free slot for a port being opened and chooses its handle; the
// slot names no port until PublishPort. nullptr when every slot is taken.
template <typename Slot, std::size_t N>
Slot *ReservePort(Slot (&slots)[N], PortHandle *handle) {
    for (std::size_t i = 0; i < N; ++i) {
        PortHandle expected = 0;
        if (!slots[i].handle.compare_exchange_strong(expected, kReservedHandle)) continue;
        const uint32_t generation = (slots[i].generation.fetch_add(1) + 1) & 0xFFFFFF;
        *handle = (generation << 8) | static_cast<uint32_t>(i + 1);
        return &slots[i];
    }
    return nullptr;
}

inline void PublishPort(PortSlot &slot, PortHandle handle) { slot.handle.store(handle, std::memory_order_release); }

// The slot is free again; its handle names nothing from now on.
inline void ReleasePort(PortSlot &slot) { slot.handle.store(0, std::memory_order_release); }

}  // namespace zel
