// The host's operation 16: the Tag Format dialog, shown at most once per
// process, composing a tag address into the host's buffer.
#pragma once

#include <cstdint>

#include "zelwnqx.h"

namespace zel {

int32_t EditTagAddress(const ZelCall &call);

}  // namespace zel
