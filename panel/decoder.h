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

// What a decoded text turned out to be, and how many of its bytes (white
// space aside) belong to no message: bytes before a clear command or after
// it, after an event message's records, or all of a text that is neither.
enum class DecodedText { kNoMessage, kClearCommand, kEventMessage };
struct DecodedPanelText {
    DecodedText kind;
    std::size_t strayBytes;
};

// Decodes one message of the panel's stream into `table`: `length` bytes
// whose text ends at the first NUL (one lies at `length` or before). A run
// of ten 'g' anywhere in the bytes clears the table; otherwise a text that
// begins with the header has its records applied; anything else is
// dropped. The text is traced first.
DecodedPanelText DecodePanelText(const char *text, std::size_t length, uint8_t *table);

// Decodes the 1000-byte receive buffer, whose text is NUL-terminated, into
// `table`: the buffer taken as one message.
void DecodePanelMessage(const char *buffer, uint8_t *table);

// Whether the message that begins with the header at `text` is complete in
// its first `length` bytes: every record it counts is there whole (or cut by
// white space or a NUL), so that no later byte can change what it sets.
bool EventMessageComplete(const char *text, std::size_t length);

// The header that begins every event message, and the clear command.
inline constexpr char kMessageHeader[] = "\r\nhhhhhhhhh";
inline constexpr std::size_t kMessageHeaderLength = sizeof kMessageHeader - 1;
inline constexpr std::size_t kClearRunLength = 10;

// Whether the header, or the clear command, begins at `at` of the bytes
// before `end` (at <= end).
bool MessageHeaderAt(const char *bytes, std::size_t at, std::size_t end);
// Bytes in [from, to) other than white space: what counts as noise when
// they belong to no message.
std::size_t StrayBytes(const char *bytes, std::size_t from, std::size_t to);
bool ClearCommandAt(const char *bytes, std::size_t at, std::size_t end);

}  // namespace zel
