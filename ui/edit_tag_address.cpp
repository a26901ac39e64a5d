// Operation 16, EditTagAddress: asks the user for a tag address with the
// Tag Format dialog and hands the composed text to the host.
#include <cstdio>
#include <cstring>

#include "../host/host_services.h"
#include "edit_tag_address.h"
#include "dialog_ids.h"
#include "dialog_state.h"
#include "tag_format_dialog.h"
#include "window_system.h"

namespace zel {
namespace {

// Hosts from this version on own the dialog with their window.
constexpr unsigned kOwningHostVersion = 820;
constexpr std::size_t kVersionAreaSize = 100;

// The host's version, learnt through a temporary client named after the
// calling thread; 0 when the host refuses the client.
uint16_t HostVersion(uint32_t threadId) {
    char name[32];
    std::snprintf(name, sizeof name, "ZelQXBr%02d", static_cast<int>(threadId));
    const HostServices &host = Host();
    unsigned short clientId = 0;
    if ((host.mkClient(name, 1, 0, &clientId) & 0xFFFF) != 0) return 0;
    unsigned short version = 0;
    unsigned char area[kVersionAreaSize] = {};
    host.getVersion(clientId, &version, area);
    host.rmClient(clientId);
    return version;
}

// The address and its NUL, and not a byte more: the host's buffer is only
// known to hold 8.
void DeliverAddress(char *addressText) {
    std::memcpy(addressText, composedAddress, kTagAddressLength);
    addressText[kTagAddressLength] = '\0';
}

}  // namespace

int32_t EditTagAddress(const ZelCall &call) {
    const auto *request = static_cast<const EditTagAddressRequest *>(call.request);
    // A request without a record or a buffer could not receive an address:
    // it is refused before it uses up the process's one dialog.
    if (request == nullptr || request->addressText == nullptr) return ZEL_NO_ADDRESS;
    if (tagDialogShown.exchange(1, std::memory_order_acq_rel) != 0) return ZEL_NO_ADDRESS;

    const WindowSystem &windows = Windows();
    const ModuleHandle module = windows.moduleHandle("ZELWNQX.DLL");
    const uint16_t version = HostVersion(windows.currentThreadId());
    const WindowHandle owner = version >= kOwningHostVersion ? reinterpret_cast<WindowHandle>(request->hostWindow) : 0;
    if (windows.modalDialog(module, ZEL_TAG_FORMAT_TEMPLATE, owner, TagFormatDialogProc, 0) != ZEL_ID_OK)
        return ZEL_NO_ADDRESS;
    DeliverAddress(request->addressText);
    return ZEL_OK;
}

}  // namespace zel
