#include "diagnostic_tags.h"

#include <cstring>

#include "../channel/channel_block.h"
#include "../channel/channel_record.h"

namespace zel {
namespace {

constexpr uint16_t kMost = 0xFFFF;

struct TagName {
    const char *text;
    DiagnosticTag tag;
};

constexpr TagName kNames[] = {{ZEL_TAG_LINK, DiagnosticTag::kLink},
                              {ZEL_TAG_SILENCE, DiagnosticTag::kSilence},
                              {ZEL_TAG_MESSAGES, DiagnosticTag::kMessages},
                              {ZEL_TAG_LOSSES, DiagnosticTag::kLosses},
                              {ZEL_TAG_NOISE, DiagnosticTag::kNoise},
                              {ZEL_TAG_KNOWN, DiagnosticTag::kKnown}};

// The longest name and its terminator.
constexpr std::size_t kLongestName = sizeof ZEL_TAG_MESSAGES;

uint16_t Saturated(uint64_t value) { return value > kMost ? kMost : static_cast<uint16_t>(value); }

uint16_t LinkState(ChannelBlock &block, const ChannelRecord *record) {
    if (LoadPort(block) != 0) return ZEL_LINK_UP;
    return record != nullptr && record->recovering.load() ? ZEL_LINK_LOST : ZEL_LINK_NO_PORT;
}

uint16_t ValueOf(const ChannelRecord &record, DiagnosticTag tag) {
    const LineDiagnostics &d = record.diagnostics;
    switch (tag) {
        case DiagnosticTag::kSilence: {
            const int64_t elapsed = SteadyMilliseconds() - d.lastMessageMs.load();
            return Saturated(elapsed < 0 ? 0 : static_cast<uint64_t>(elapsed) / 1000);
        }
        case DiagnosticTag::kMessages: return static_cast<uint16_t>(d.messages.load() & kMost);
        case DiagnosticTag::kLosses: return Saturated(d.losses.load());
        case DiagnosticTag::kNoise: return Saturated(d.noiseBytes.load());
        case DiagnosticTag::kKnown: return d.known.load() ? 1 : 0;
        default: return 0;
    }
}

// A block that no OpenChannel has begun: nothing heard, ever.
uint16_t BeforeOpening(DiagnosticTag tag) { return tag == DiagnosticTag::kSilence ? kMost : 0; }

}  // namespace

DiagnosticTag DiagnosticTagOf(const char *text) {
    // Point addresses begin with a digit: they never reach the comparisons.
    if (text[0] < 'A' || text[0] > 'Z') return DiagnosticTag::kNone;
    const std::size_t length = strnlen(text, kLongestName);
    for (const TagName &name : kNames)
        if (std::strlen(name.text) == length && std::memcmp(name.text, text, length) == 0) return name.tag;
    return DiagnosticTag::kNone;
}

uint16_t DiagnosticValue(ChannelBlock &block, DiagnosticTag tag) {
    const ChannelRecord *record = FindChannelRecord(&block);
    if (tag == DiagnosticTag::kLink) return LinkState(block, record);
    if (record == nullptr || !record->diagnostics.opened.load()) return BeforeOpening(tag);
    const uint16_t value = ValueOf(*record, tag);
    // The record went to another block while it was read.
    return record->block.load() == &block ? value : BeforeOpening(tag);
}

}  // namespace zel
