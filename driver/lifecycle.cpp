// The channel lifecycle: OpenChannel, PurgeInput, CloseChannel, ClosePort,
// ReopenPort and ChangeZelParams.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "../host/host_services.h"
#include "../panel/reception.h"
#include "../panel/status_table.h"
#include "../serial/serial_port.h"
#include "channel.h"
#include "operations.h"
#include "thread.h"

namespace zel {
namespace {

constexpr uint16_t kOpenChannelFlowFlags = 0x4333;  // DTR and RTS on
constexpr std::size_t kPortNameField = sizeof(PortBlock{}.name);

// One reception thread serves the process; it is started by the first
// OpenChannel that gets that far and runs until the process ends.
std::atomic<bool> receptionStarted{false};

// Replaced ports whose close failed; closed again by the next lifecycle
// operations, so that no handle is lost.
constexpr int kPendingCloses = 8;
std::atomic<PortHandle> portsToClose[kPendingCloses];

// Closes a port that no channel holds any more. A port that another thread
// closed meanwhile needs nothing; one whose close failed is kept for later.
void CloseReplacedPort(PortHandle port) {
    if (port == 0 || CloseSerialPort(port) == kSerialOk || !SerialPortIsOpen(port)) return;
    for (std::atomic<PortHandle> &slot : portsToClose) {
        PortHandle empty = 0;
        if (slot.compare_exchange_strong(empty, port)) return;
    }
}

void RetryPendingCloses() {
    for (std::atomic<PortHandle> &slot : portsToClose) {
        const PortHandle pending = slot.exchange(0);
        if (pending != 0) CloseReplacedPort(pending);
    }
}

// Stores a newly opened port; the one it replaces, if any, is closed.
void InstallPort(ChannelBlock &channel, PortHandle port) {
    const PortHandle previous = ExchangePort(channel, port);
    if (previous != port) CloseReplacedPort(previous);
}

bool NameFits(const char *name, std::size_t field) { return strnlen(name, field) < kPortNameField; }

void LogOpenFailure(const char *name, std::size_t field) {
    char shown[32] = {};
    std::memcpy(shown, name, strnlen(name, field < sizeof shown - 1 ? field : sizeof shown - 1));
    Host().err(kLogNotice, "ZEL%s : Fail to open %s", "Quon", shown);
}

bool StartReceptionOnce(ChannelBlock *channel) {
    bool expected = false;
    if (!receptionStarted.compare_exchange_strong(expected, true)) return true;
    if (Threads().startThread(ReceptionThread, channel, kReceptionStackBytes)) return true;
    receptionStarted.store(false);
    return false;
}

int32_t CloseChannelPort(ChannelBlock &channel) {
    const PortHandle port = LoadPort(channel);
    if (port == 0) return ZEL_OK;
    if (CloseSerialPort(port) != kSerialOk) return ZEL_PORT_FAILED;
    // Only the handle just closed is cleared, never one stored meanwhile.
    PortHandle expected = port;
    std::atomic_ref<uint32_t>(channel.port).compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
    return ZEL_OK;
}

}  // namespace

int32_t OpenChannel(const ZelCall &call) {
    const auto *request = static_cast<const OpenChannelRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr) return ZEL_FAILED;
    Host();  // bind the host services now, not later on the reception thread
    RetryPendingCloses();
    ChannelBlock &channel = *CurrentChannel();
    StoreField(channel.enabled, request->enabled);
    if (request->enabled == 0) return ZEL_OK;
    // A name without room for its terminator, or a channel whose port is
    // already open, cannot be opened (again).
    if (!NameFits(request->portName, sizeof request->portName) || LoadPort(channel) != 0) {
        LogOpenFailure(request->portName, sizeof request->portName);
        return ZEL_PORT_FAILED;
    }
    PortBlock block{};
    std::memcpy(block.name, request->portName, sizeof block.name);
    block.lineSettings = request->lineSettings;
    block.flowFlags = kOpenChannelFlowFlags;
    const PortHandle port = OpenPortBlock(block);
    if (port == 0) {
        LogOpenFailure(request->portName, sizeof request->portName);
        return ZEL_PORT_FAILED;
    }
    InstallPort(channel, port);
    SetReadTimeout(port, static_cast<int32_t>(request->readTimeout));
    StorePortBlock(channel, block);
    StoreField(channel.readTimeout, request->readTimeout);
    StoreField(channel.channelNumber, static_cast<uint8_t>(call.channelNumber & 0xFF));

    char clientName[32];
    std::snprintf(clientName, sizeof clientName, "ZelQX No_%.2d", static_cast<int>(call.channelNumber));
    if ((Host().mkClient(clientName, 1, 0, &channel.clientId) & 0xFFFF) != 0) return ZEL_FAILED;
    if (!StartReceptionOnce(&channel)) {
        Host().err(kLogNotice, "ZelQX : Can Not open Unsolicetd thread !!!");
        return ZEL_PORT_FAILED;
    }
    ClearStatusTable();
    return ZEL_OK;
}

int32_t PurgeInput(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    const PortHandle port = LoadPort(*CurrentChannel());
    if (port != 0) PurgeSerialInput(port);
    return ZEL_OK;
}

int32_t ClosePort(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    RetryPendingCloses();
    return CloseChannelPort(*CurrentChannel());
}

int32_t CloseChannel(const ZelCall &call) { return ClosePort(call); }

int32_t ReopenPort(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    RetryPendingCloses();
    ChannelBlock &channel = *CurrentChannel();
    const PortHandle port = OpenPortBlock(LoadPortBlock(channel));
    if (port == 0) return ZEL_PORT_FAILED;
    StoreField(channel.enabled, 1u);
    InstallPort(channel, port);
    return ZEL_OK;
}

int32_t ChangeZelParams(const ZelCall &call) {
    const auto *request = static_cast<const ChangeParamsRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr) return ZEL_FAILED;
    RetryPendingCloses();
    ChannelBlock &channel = *call.channel;
    if (!NameFits(request->portName, sizeof request->portName)) {
        Host().err(kLogNotice, "ZELMR> ChangeZelParams() open new COM port failed");
        return ZEL_PORT_FAILED;
    }
    const PortBlock stored = LoadPortBlock(channel);
    const bool newName = std::strncmp(request->portName, stored.name, kPortNameField) != 0;
    if (newName) CloseChannelPort(channel);  // its result is not used
    StorePortName(channel, request->portName, strnlen(request->portName, kPortNameField));
    if (request->lineSettings.baudRate != 0) StoreLineSettings(channel.portBlock.lineSettings, request->lineSettings);
    const PortHandle port = OpenPortBlock(LoadPortBlock(channel));
    if (port == 0) {
        Host().err(kLogNotice, "ZELMR> ChangeZelParams() open new COM port failed");
        return ZEL_PORT_FAILED;
    }
    InstallPort(channel, port);
    StoreField(channel.enabled, 1u);
    SetReadTimeout(port, static_cast<int32_t>(LoadField(channel.readTimeout)));
    return ZEL_OK;
}

}  // namespace zel
