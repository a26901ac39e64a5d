#include "framing.h"

#include <algorithm>
#include <cstring>

#include "decoder.h"

namespace zel {
namespace {

// The first beginning of a message at or after `from`, or `end`.
std::size_t NextBeginning(const char *buffer, std::size_t from, std::size_t end) {
    for (std::size_t i = from; i < end; ++i) {
        if (buffer[i] == '\r' && MessageHeaderAt(buffer, i, end)) return i;
        if (buffer[i] == 'g' && ClearCommandAt(buffer, i, end)) return i;
    }
    return end;
}

std::size_t BeginningLength(const char *buffer, std::size_t at) {
    return buffer[at] == 'g' ? kClearRunLength : kMessageHeaderLength;
}

// How many of the last bytes may be the start of a header or of a clear
// command that the read cut off.
std::size_t CutBeginning(const char *buffer, std::size_t end) {
    for (std::size_t length = kMessageHeaderLength - 1; length > 0; --length)
        if (length <= end && std::memcmp(buffer + end - length, kMessageHeader, length) == 0) return length;
    std::size_t run = 0;
    while (run < end && run < kClearRunLength && buffer[end - 1 - run] == 'g') ++run;
    return run < kClearRunLength ? run : 0;
}


// Decodes buffer[from, to) as one message, counted in `tally`; the byte at
// `to` is the text's end for the time being. Its last `pending` bytes may
// begin the next message, which the next read tells: not noise yet.
void DecodeRange(char *buffer, std::size_t from, std::size_t to, uint8_t *table, StreamTally &tally,
                 std::size_t pending = 0) {
    const char saved = buffer[to];
    buffer[to] = '\0';
    const DecodedPanelText decoded = DecodePanelText(buffer + from, to - from, table);
    if (decoded.kind != DecodedText::kNoMessage) ++tally.messages;
    if (decoded.kind == DecodedText::kClearCommand) ++tally.clears;
    const std::size_t notYet = std::min(decoded.strayBytes, StrayBytes(buffer, to - std::min(pending, to - from), to));
    tally.noiseBytes += static_cast<uint32_t>(decoded.strayBytes - notYet);
    buffer[to] = saved;
}

// Moves buffer[from, end) to the front and zeroes the rest.
void Keep(char *buffer, StreamState &state, std::size_t from, std::size_t end, bool message) {
    const std::size_t length = end - from;
    std::memmove(buffer, buffer + from, length);
    std::memset(buffer + length, 0, kMessageBufferSize - length);
    state.kept = length;
    state.keptMessage = message;
}

}  // namespace

std::size_t ReadRoom(const StreamState &state) { return kMessageBufferSize - 1 - state.kept; }

StreamTally TakeReceived(char *buffer, StreamState &state, std::size_t received, uint8_t *table) {
    StreamTally tally;
    const std::size_t end = state.kept + received;
    std::size_t at = 0;
    const std::size_t cut = CutBeginning(buffer, end);
    if (!state.keptMessage) {
        // The kept bytes were traced with the message they ended; what
        // comes before the first beginning belongs to no message, and kept
        // bytes that began none (and may begin none still) were noise.
        const std::size_t traced = state.kept;
        at = NextBeginning(buffer, 0, end);
        const std::size_t settled = at == end ? std::min(traced, end - cut) : std::min(at, traced);
        tally.noiseBytes += static_cast<uint32_t>(StrayBytes(buffer, 0, settled));
        if (at > traced) DecodeRange(buffer, traced, at, table, tally, at == end ? cut : 0);
    }
    while (at < end) {
        const std::size_t next = NextBeginning(buffer, at + BeginningLength(buffer, at), end);
        // The last message waits for the rest of its records while the
        // buffer has room for them.
        const bool unfinished = next == end && buffer[at] == '\r' && !EventMessageComplete(buffer + at, end - at);
        if (unfinished && end - at < kMessageBufferSize - 1) {
            Keep(buffer, state, at, end, true);
            return tally;
        }
        DecodeRange(buffer, at, next, table, tally, next == end ? cut : 0);
        at = next;
    }
    Keep(buffer, state, end - cut, end, false);
    return tally;
}

StreamTally EndKeptText(char *buffer, StreamState &state, uint8_t *table) {
    StreamTally tally;
    if (state.keptMessage) DecodeRange(buffer, 0, state.kept, table, tally);
    // A beginning that the line never finished was noise.
    if (!state.keptMessage) tally.noiseBytes += static_cast<uint32_t>(StrayBytes(buffer, 0, state.kept));
    DropKeptText(buffer, state);
    return tally;
}

void DropKeptText(char *buffer, StreamState &state) {
    std::memset(buffer, 0, state.kept);
    state.kept = 0;
    state.keptMessage = false;
}

}  // namespace zel
