#include "status_table.h"

namespace zel {

void ClearTable(uint8_t *table) {
    for (int bus = 0; bus < kBuses; ++bus)
        for (int slot = 0; slot < kSlots; ++slot) {
            const std::size_t row = EntryIndex(bus, slot, 0);
            for (int point = 0; point < kClearedPointsPerRow; ++point) StoreEntry(table, row + point, 0);
        }
}

void ClearStatusTable(ChannelBlock &channel) { ClearTable(TableOf(channel)); }

}  // namespace zel
