// The channel's diagnostic tags (LINK, SILENCE, MESSAGES, LOSSES, NOISE,
// KNOWN): what the host reads of the line itself beside the points' states.
#pragma once

#include <cstdint>

#include "zelwnqx.h"

namespace zel {

enum class DiagnosticTag { kNone, kLink, kSilence, kMessages, kLosses, kNoise, kKnown };

// The diagnostic tag a text names exactly, or kNone. Constant time: no text
// longer than the longest name is read past its ninth character.
DiagnosticTag DiagnosticTagOf(const char *text);

// The tag's value for the block; constant time, no lock, no allocation.
uint16_t DiagnosticValue(ChannelBlock &block, DiagnosticTag tag);

}  // namespace zel
