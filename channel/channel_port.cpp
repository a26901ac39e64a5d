#include "channel_port.h"

#include <atomic>
#include <cstring>

#include "../host/host_services.h"
#include "channel_block.h"
#include "channel_record.h"

namespace zel {
namespace {

// Replaced ports whose close failed, closed again by the next lifecycle
// operations. Only Windows can fail a close; a port lands here at most once
// per replacement, and each lifecycle operation empties the slots it can.
constexpr int kPendingCloses = 64;
std::atomic<PortHandle> portsToClose[kPendingCloses];

// A close that released the port although the platform reported an error.
void LogCloseError(ChannelBlock &channel, int error) {
    if (error == 0) return;
    const PortBlock block = LoadPortBlock(channel);
    char name[sizeof block.name + 1] = {};
    std::memcpy(name, block.name, sizeof block.name);
    Host().err(kLogNotice, "ZEL%s : Closing %s reported error %d; the port is released", "Quon", name, error);
}

void CloseReplacedPort(ChannelBlock *channel, PortHandle port) {
    int error = 0;
    if (port == 0) return;
    if (CloseSerialPort(port, &error) == kSerialOk) {
        if (channel != nullptr) LogCloseError(*channel, error);
        return;
    }
    // A port that another thread closed meanwhile needs nothing.
    if (!SerialPortIsOpen(port)) return;
    for (std::atomic<PortHandle> &slot : portsToClose) {
        PortHandle empty = 0;
        if (slot.compare_exchange_strong(empty, port)) return;
    }
    Host().err(kLogNotice, "ZEL%s : A replaced port could not be closed and stays open", "Quon");
}

// A port closed or replaced: what the panel sends meanwhile is lost, so
// the table is no longer known to be its whole state.
void ForgetKnownStates(ChannelBlock &channel) {
    ChannelRecord *record = FindChannelRecord(&channel);
    if (record != nullptr && record->block.load() == &channel) record->diagnostics.known.store(false);
}

}  // namespace

void InstallPort(ChannelBlock &channel, PortHandle port) {
    const PortHandle previous = ExchangePort(channel, port);
    if (previous == port) return;
    if (previous != 0) ForgetKnownStates(channel);
    CloseReplacedPort(&channel, previous);
}

int32_t CloseChannelPort(ChannelBlock &channel) {
    const PortHandle port = LoadPort(channel);
    if (port == 0) return ZEL_OK;
    int error = 0;
    if (CloseSerialPort(port, &error) != kSerialOk) return ZEL_PORT_FAILED;
    StorePort(channel, 0);
    ForgetKnownStates(channel);
    LogCloseError(channel, error);
    return ZEL_OK;
}

void RetryPendingCloses() {
    for (std::atomic<PortHandle> &slot : portsToClose) {
        const PortHandle pending = slot.exchange(0);
        if (pending != 0) CloseReplacedPort(nullptr, pending);
    }
}

}  // namespace zel
