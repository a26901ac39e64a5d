#include "received_bytes.h"

#include <algorithm>

namespace zelhost {
namespace {

// The beginnings of messages, as the driver cuts the stream
// (docs/wire-format.md): CR LF and nine 'h', or ten 'g'.
constexpr std::string_view kHeader = "\r\nhhhhhhhhh";
constexpr std::string_view kClear = "gggggggggg";
// The usual end of a message, which the driver also keeps as the possible
// beginning of a header: after a text it stays with it. (When it was the
// next header's beginning after all, that message's line lacks its CR LF.)
constexpr std::string_view kTrailer = "\r\n";
constexpr std::size_t kTailKept = 16;

bool BeginsAt(std::string_view s, std::size_t at) {
    return s.substr(at, kHeader.size()) == kHeader || s.substr(at, kClear.size()) == kClear;
}

std::size_t NextBeginning(std::string_view s, std::size_t from) {
    for (std::size_t i = from; i < s.size(); ++i)
        if (BeginsAt(s, i)) return i;
    return s.size();
}

// The last bytes that may begin a header or clear command the read cut off,
// as the driver keeps them.
std::size_t CutBeginning(std::string_view s) {
    for (std::size_t length = kHeader.size() - 1; length > 0; --length)
        if (length <= s.size() && s.substr(s.size() - length) == kHeader.substr(0, length)) return length;
    std::size_t run = 0;
    while (run < s.size() && run < kClear.size() && s[s.size() - 1 - run] == 'g') ++run;
    return run < kClear.size() ? run : 0;
}

bool StartsWith(std::string_view s, std::size_t at, std::string_view prefix) {
    return at <= s.size() && s.substr(at, prefix.size()) == prefix;
}

}  // namespace

void TakeRead(ReceivedBytes &r, std::string_view buffer, std::string_view traced) {
    // What the driver kept from earlier reads holds no NUL byte, so the
    // read's bytes begin where the traced text ends at the buffer's first NUL.
    const std::size_t firstNul = std::min(buffer.find('\0'), buffer.size());
    const std::size_t last = buffer.find_last_not_of('\0');
    if (traced.size() > firstNul || buffer.substr(firstNul - traced.size(), traced.size()) != traced) {
        r.pending += traced;
        return;
    }
    const std::size_t start = firstNul - traced.size();
    const std::size_t end = last == std::string_view::npos ? start : std::max(start, last + 1);
    r.pending += buffer.substr(start, end - start);
    r.bufferEnd = std::string(buffer.substr(end - std::min(end, kTailKept), std::min(end, kTailKept)));
}

std::vector<std::string> TakeDecoded(ReceivedBytes &r, std::string_view traced) {
    const std::string_view pending = r.pending;
    std::size_t start = 0, end = 0;
    // Where the decoder's text begins: at the front (held bytes that began
    // a message included), behind held bytes the driver dropped, or in the
    // bytes last handed out, which the driver kept and now begins a
    // message with.
    if (StartsWith(pending, 0, traced) &&
        (r.held == 0 || BeginsAt(pending, 0) || !StartsWith(pending, r.held, traced))) {
        end = traced.size();
    } else if (r.held > 0 && StartsWith(pending, r.held, traced)) {
        start = r.held;
        end = r.held + traced.size();
    } else {
        std::size_t overlap = std::min(r.tail.size(), traced.size());
        while (overlap > 0 && !(std::string_view(r.tail).substr(r.tail.size() - overlap) == traced.substr(0, overlap) &&
                                StartsWith(pending, 0, traced.substr(overlap))))
            --overlap;
        if (overlap == 0) {
            r.pending.clear();
            r.held = 0;
            r.tail = std::string(traced.substr(traced.size() - std::min(traced.size(), kTailKept)));
            return {std::string(traced)};
        }
        end = traced.size() - overlap;
    }
    // A NUL byte ended the traced text; the text runs on to the next beginning.
    if (end < pending.size() && pending[end] == '\0') end = NextBeginning(pending, end);
    // An end that may begin the next message waits to begin it, as the
    // driver keeps it from the end of its buffer (which may reach back into
    // held bytes, or into bytes already handed out).
    std::size_t held = 0;
    if (end == pending.size()) {
        held = std::min(end, CutBeginning(r.bufferEnd));
        if (pending.substr(end - held) == kTrailer && end - held > start) held = 0;
    }
    std::vector<std::string> out;
    if (std::min(start, end - held) > 0) out.emplace_back(pending.substr(0, std::min(start, end - held)));
    if (end - held > start) out.emplace_back(pending.substr(start, end - held - start));
    for (const std::string &stretch : out) {
        r.tail += stretch;
        if (r.tail.size() > kTailKept) r.tail.erase(0, r.tail.size() - kTailKept);
    }
    r.pending.erase(0, end - held);
    r.held = held;
    return out;
}

}  // namespace zelhost
