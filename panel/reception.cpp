#include "reception.h"

#include <cstring>

#include "../driver/channel.h"
#include "../driver/thread.h"
#include "../host/host_services.h"
#include "../serial/serial_port.h"
#include "decoder.h"
#include "status_table.h"

namespace zel {

void ReceptionPass() {
    ChannelBlock *channel = CurrentChannel();
    const PortHandle port = channel != nullptr ? LoadPort(*channel) : 0;
    uint32_t waiting = 0;
    // A failed queue query counts as nothing waiting; without a usable port
    // the thread only looks again a little later.
    if (port == 0 || !QueryInputQueue(port, &waiting)) {
        Threads().sleep(kNoPortPollMs);
        return;
    }
    if (waiting == 0) {
        if (WaitForInput(port, kInputWaitMs) == InputWait::kFailed) Threads().sleep(kNoPortPollMs);
        return;
    }
    uint32_t received = 0;
    const int32_t result = ReadSerial(port, channel->rxBuffer, kMessageBufferSize, &received);
    // A full buffer holds no terminator and is dropped; so is one that a
    // failed read left without a terminator.
    const bool full = result == kSerialOk && received == kMessageBufferSize;
    if (!full && std::memchr(channel->rxBuffer, '\0', kMessageBufferSize) != nullptr) {
        Host().err(kLogTrace, "String from Comport %s", channel->rxBuffer);
        DecodePanelMessage(channel->rxBuffer, TableOf(*channel));
    }
    std::memset(channel->rxBuffer, 0, kMessageBufferSize);
}

void ReceptionThread(void *channelBlock) {
    auto *own = static_cast<ChannelBlock *>(channelBlock);
    Host().err(kLogNotice, "ZelQX : Start Unsoliceted Thread");
    Threads().sleep(kStartDelayMs);
    currentChannel.store(own, std::memory_order_release);
    // The decoder needs zeros behind the text; the host's block may hold
    // anything before the first message.
    std::memset(own->rxBuffer, 0, kMessageBufferSize);
    for (;;) ReceptionPass();
}

}  // namespace zel
