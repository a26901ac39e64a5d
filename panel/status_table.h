// The point status table inside the ChannelBlock: 9 buses by 9 slots by 155
// points, one byte each, bus-major. The reception thread writes single
// entries while host threads read them, so every access is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "zelwnqx.h"

namespace zel {

inline constexpr int kBuses = ZEL_BUSES;
inline constexpr int kSlots = ZEL_SLOTS;
inline constexpr int kPoints = ZEL_POINTS;
// Points 0-149 of a row are cleared; 150-154 keep their values.
inline constexpr int kClearedPointsPerRow = 150;

// First byte of a channel's table.
inline uint8_t *TableOf(ChannelBlock &channel) { return &channel.statusTable[0][0][0]; }

inline constexpr std::size_t EntryIndex(int bus, int slot, int point) {
    return static_cast<std::size_t>(bus) * (kSlots * kPoints) + static_cast<std::size_t>(slot) * kPoints +
           static_cast<std::size_t>(point);
}

inline uint8_t LoadEntry(uint8_t *table, std::size_t index) {
    return std::atomic_ref<uint8_t>(table[index]).load(std::memory_order_relaxed);
}

inline void StoreEntry(uint8_t *table, std::size_t index, uint8_t value) {
    std::atomic_ref<uint8_t>(table[index]).store(value, std::memory_order_relaxed);
}

inline void SetEntryBits(uint8_t *table, std::size_t index, uint8_t bits) {
    std::atomic_ref<uint8_t>(table[index]).fetch_or(bits, std::memory_order_relaxed);
}

// Clears points 0-149 of every row of `table`.
void ClearTable(uint8_t *table);

// Clears the channel's table.
void ClearStatusTable(ChannelBlock &channel);

}  // namespace zel
