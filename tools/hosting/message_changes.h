// Every message the driver applies to a channel's table, followed exactly.
// The driver traces each text it hands to its decoder ("orginal TEXT ") on
// the channel's reception thread, just before it applies it; decoding the
// same text with the driver's own decoder into a copy of the table gives
// that message's changes, in the panel's order, also those that a later
// message of the same read undoes before any ReadTag could see them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "point_watch.h"
#include "zelwnqx.h"

namespace zelhost {

// The copy of one channel's table: as OpenChannel leaves a zero-filled
// block, then changed by every text the driver decoded.
struct FollowedTable {
    std::vector<uint8_t> entries = std::vector<uint8_t>(ZEL_STATUS_TABLE_SIZE, 0);
    long long messages = 0;  // event messages and clear commands followed
    // The panel's clear command was followed, and the line not lost since:
    // the table is the panel's whole state (the driver's KNOWN).
    bool known = false;
    std::vector<uint8_t> before = entries;  // scratch: the entries before a text
};

// Applies one decoded text (a message, a clear command, or bytes of no
// message) as the driver does; returns the changes of the entries ReadTag
// reads, in table order.
std::vector<SeenChange> FollowDecodedText(FollowedTable &table, std::string_view text);

// The followed value of a seven-digit table address.
int FollowedValue(const FollowedTable &table, const std::string &address);

}  // namespace zelhost
