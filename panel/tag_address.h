// Tag address texts (BBSSPPP: bus, slot, point, decimal with leading zeros)
// and the host's checks and reads on them.
#pragma once

#include <cstdint>

#include "zelwnqx.h"

namespace zel {

// The host's operations on tag addresses (codes 3 and 5).
int32_t ValidateAddress(const ZelCall &call);
int32_t ReadTag(const ZelCall &call);

// ValidateAddress's answer for a text and a tag type code: 0 valid, 1 not.
int32_t CheckTagAddress(const char *text, int32_t typeCode);

// ReadTag's value for a text: the table entry it designates, or 1 when it
// designates no readable entry.
uint16_t TagValueFor(const char *text, uint8_t *table);

}  // namespace zel
