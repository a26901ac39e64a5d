// Placeholder until the Tag Format dialog lands: no address is confirmed.
#include "../driver/operations.h"

namespace zel {

int32_t EditTagAddress(const ZelCall &) { return ZEL_NO_ADDRESS; }

}  // namespace zel
