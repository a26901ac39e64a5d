#include "message_changes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "decoder.h"
#include "status_table.h"

namespace zelhost {
namespace {

constexpr int kLastReadablePoint = 150;

std::string AddressOf(std::size_t index) {
    const int bus = static_cast<int>(index / (ZEL_SLOTS * ZEL_POINTS));
    const int slot = static_cast<int>(index / ZEL_POINTS % ZEL_SLOTS);
    const int point = static_cast<int>(index % ZEL_POINTS);
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%03d", bus, slot, point);
    return text;
}

}  // namespace

std::vector<SeenChange> FollowDecodedText(FollowedTable &table, std::string_view text) {
    std::memcpy(table.before.data(), table.entries.data(), table.entries.size());
    // The decoder reads up to a NUL; the traced text ends at the first one.
    const std::string terminated(text);
    const zel::DecodedText kind = zel::DecodePanelText(terminated.c_str(), terminated.size(), table.entries.data()).kind;
    if (kind != zel::DecodedText::kNoMessage) ++table.messages;
    if (kind == zel::DecodedText::kClearCommand) table.known = true;
    std::vector<SeenChange> changes;
    // A message changes a few entries: whole blocks are compared first.
    constexpr std::size_t kBlock = 64;
    const std::size_t size = table.entries.size();
    for (std::size_t block = 0; block < size; block += kBlock) {
        const std::size_t end = std::min(block + kBlock, size);
        if (std::memcmp(table.before.data() + block, table.entries.data() + block, end - block) == 0) continue;
        for (std::size_t i = block; i < end; ++i) {
            if (table.before[i] == table.entries[i] || static_cast<int>(i % ZEL_POINTS) > kLastReadablePoint) continue;
            changes.push_back({AddressOf(i), table.before[i], table.entries[i]});
        }
    }
    return changes;
}

int FollowedValue(const FollowedTable &table, const std::string &address) {
    const auto digits = [&](std::size_t at, std::size_t count) {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (address[i] - '0');
        return value;
    };
    const int bus = digits(0, 2), slot = digits(2, 2), point = digits(4, 3);
    return table.entries[zel::EntryIndex(bus, slot, point)];
}

}  // namespace zelhost
