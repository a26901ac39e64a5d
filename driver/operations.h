// The operation handlers and the table that ZelMain dispatches through.
#pragma once

#include <cstdint>

#include "../panel/tag_address.h"
#include "../ui/edit_tag_address.h"
#include "zelwnqx.h"

namespace zel {

using Operation = int32_t (*)(const ZelCall &call);

// Indexed by the operation code; codes 0, 8 and 9 have no entry.
inline constexpr uint32_t kOperationCount = 17;
extern const Operation OperationTable[kOperationCount];

// Channel lifecycle (driver/lifecycle.cpp).
int32_t OpenChannel(const ZelCall &call);
int32_t PurgeInput(const ZelCall &call);
int32_t CloseChannel(const ZelCall &call);
int32_t ClosePort(const ZelCall &call);
int32_t ReopenPort(const ZelCall &call);
int32_t ChangeZelParams(const ZelCall &call);

// Driver description and parameters (driver/driver_info.cpp).
int32_t GetDriverInfo(const ZelCall &call);
int32_t WriteParameter(const ZelCall &call);
int32_t UnsupportedOperation(const ZelCall &call);

}  // namespace zel
