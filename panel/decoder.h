// The panel's messages: a clear command (ten 'g') or an event message (CR,
// LF, nine or more 'h', one free character, a hex record count and up to 15
// records of 24 characters), decoded into the status table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

inline constexpr std::size_t kMessageBufferSize = 1000;
inline constexpr std::size_t kRecordLength = 24;

// Value of `length` hex digits, most significant first; upper case only,
// every other character counts as 0.
int HexValue(const char *text, std::size_t length);

// Applies one event record (a NUL-terminated text of up to 24 characters) to
// `table`. Records that designate no entry are dropped.
void ApplyEventRecord(const char *record, uint8_t *table);

// Decodes the 1000-byte receive buffer, whose text is NUL-terminated, into
// `table`.
void DecodePanelMessage(const char *buffer, uint8_t *table);

}  // namespace zel
