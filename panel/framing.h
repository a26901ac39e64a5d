// The panel's byte stream cut into messages, wherever the reads cut it.
//
// A message begins at each header (CR, LF, nine 'h') and at each clear
// command (ten 'g'), and runs to the next beginning. Reads append what they
// receive to the receive buffer behind what was kept; every message that the
// stream now holds whole is decoded, in order, and what a later read may
// still continue is kept at the front of the buffer:
//   - an event message whose records are not all there yet;
//   - the last bytes, when they may be the beginning of a header or clear
//     command that the read cut in two.
// A kept message is decoded with the records present once nothing more
// arrives for a read time-out; bytes of no message (noise, a trailer after
// the records) are traced by the decoder and dropped, and never keep a
// later message from being decoded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

struct StreamState {
    std::size_t kept = 0;      // bytes kept at the front of the buffer
    bool keptMessage = false;  // they begin an event message still incomplete
};

// What the framing handed to the decoder: messages applied (event messages
// and clear commands), and bytes dropped as belonging to no message (white
// space between messages aside).
struct StreamTally {
    uint32_t messages = 0;
    uint32_t clears = 0;  // of the messages, the panel's clear commands
    uint32_t noiseBytes = 0;
};

// Where the next read goes (behind the kept bytes) and how much it may
// take: the rest of the 1000-byte buffer, but for the byte that ends its
// text.
inline std::size_t ReadOffset(const StreamState &state) { return state.kept; }
std::size_t ReadRoom(const StreamState &state);

// Takes the `received` bytes that a read stored at ReadOffset: decodes every
// message now whole into `table` and keeps what may continue. The rest of
// the buffer is zero afterwards.
StreamTally TakeReceived(char *buffer, StreamState &state, std::size_t received, uint8_t *table);

// Nothing more arrived for a read time-out: a kept message is decoded with
// the records present; a kept beginning of a header is dropped.
StreamTally EndKeptText(char *buffer, StreamState &state, uint8_t *table);

// Drops whatever is kept, decoding nothing.
void DropKeptText(char *buffer, StreamState &state);

}  // namespace zel
