// The library's only export and the operation table behind it.
#include "../channel/channel_block.h"
#include "operations.h"

namespace zel {

const Operation OperationTable[kOperationCount] = {
    nullptr,               // 0
    OpenChannel,           // 1
    PurgeInput,            // 2
    ValidateAddress,       // 3
    UnsupportedOperation,  // 4
    ReadTag,               // 5
    UnsupportedOperation,  // 6
    WriteParameter,        // 7
    nullptr,               // 8
    nullptr,               // 9
    UnsupportedOperation,  // 10
    CloseChannel,          // 11
    ClosePort,             // 12
    ReopenPort,            // 13
    GetDriverInfo,         // 14
    ChangeZelParams,       // 15
    EditTagAddress,        // 16
};

}  // namespace zel

extern "C" ZEL_EXPORT int32_t ZEL_CALL ZelMain(ZelCall *call) {
    using namespace zel;
    if (call == nullptr) return ZEL_FAILED;
    // Stored for the host's sake; every operation works on call->channel.
    // A call without a channel leaves it alone.
    if (call->channel != nullptr) currentChannel.store(call->channel, std::memory_order_release);
    const uint32_t code = call->operation;
    // Codes without an entry answer like the unsupported ones.
    if (code >= kOperationCount || OperationTable[code] == nullptr) return ZEL_FAILED;
    return OperationTable[code](*call);
}
