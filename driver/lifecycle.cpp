// The channel lifecycle: OpenChannel, PurgeInput, CloseChannel, ClosePort,
// ReopenPort and ChangeZelParams. Each works on the block its own call
// names, one operation at a time per block (the block's lifecycle lock), so
// that no interleaving of host threads, or of a host thread with the
// reception's port recovery, can leave a block with two ports or none.
#include <cstdio>
#include <cstring>

#include "../channel/channel_block.h"
#include "../channel/channel_port.h"
#include "../channel/channel_record.h"
#include "../host/host_services.h"
#include "../panel/reception.h"
#include "../panel/status_table.h"
#include "../serial/serial_port.h"
#include "operations.h"

namespace zel {
namespace {

constexpr uint16_t kOpenChannelFlowFlags = 0x4333;  // DTR and RTS on
constexpr std::size_t kPortNameField = sizeof(PortBlock{}.name);

bool NameFits(const char *name, std::size_t field) { return strnlen(name, field) < kPortNameField; }

void LogOpenFailure(const char *name, std::size_t field) {
    char shown[32] = {};
    std::memcpy(shown, name, strnlen(name, field < sizeof shown - 1 ? field : sizeof shown - 1));
    Host().err(kLogNotice, "ZEL%s : Fail to open %s", "Quon", shown);
}

void LogThreadFailure() { Host().err(kLogNotice, "ZelQX : Can Not open Unsolicetd thread !!!"); }

// The host's own operation takes over from a recovery in progress.
void EndRecovery(ChannelRecord &record) { record.recovering.store(false); }

// What every operation on the block's port does first: replaced ports
// whose close failed are tried again, and the host takes over from a
// recovery. The block's record, or nullptr when none could be had.
ChannelRecord *TakeOverPort(const ChannelLock &lock) {
    RetryPendingCloses();
    ChannelRecord *record = lock.Record();
    if (record != nullptr) EndRecovery(*record);
    return record;
}

// A block whose reception CloseChannel ended gets it back with its port.
bool RestartReceptionIfWanted(ChannelRecord &record) {
    if (!record.receptionWanted.load() || ReceptionRunning(record)) return true;
    if (StartReception(record)) return true;
    LogThreadFailure();
    return false;
}

}  // namespace

int32_t OpenChannel(const ZelCall &call) {
    const auto *request = static_cast<const OpenChannelRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr) return ZEL_FAILED;
    Host();  // bind the host services now, not later on the reception thread
    ChannelBlock &channel = *call.channel;
    ChannelLock lock(call.channel);
    ChannelRecord *record = lock.Record();
    RetryPendingCloses();
    StoreField(channel.enabled, request->enabled);
    if (request->enabled == 0) return ZEL_OK;
    if (record == nullptr) {
        LogThreadFailure();
        return ZEL_PORT_FAILED;
    }
    EndRecovery(*record);
    // A name without room for its terminator, or a channel whose port is
    // already open, cannot be opened (again): the running line keeps its
    // diagnostics.
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
    ResetLineDiagnostics(*record);
    // The port is configured and the table cleared before the port is
    // installed: a reception that already runs reads nothing from it before
    // then, so no fresh event is wiped and its first read has the channel's
    // own time-out.
    SetReadTimeout(port, static_cast<int32_t>(request->readTimeout));
    StorePortBlock(channel, block);
    StoreField(channel.readTimeout, request->readTimeout);
    StoreField(channel.channelNumber, static_cast<uint8_t>(call.channelNumber & 0xFF));

    char clientName[32];
    std::snprintf(clientName, sizeof clientName, "ZelQX No_%.2d", static_cast<int>(call.channelNumber));
    if ((Host().mkClient(clientName, 1, 0, &channel.clientId) & 0xFFFF) != 0) {
        InstallPort(channel, port);
        return ZEL_FAILED;
    }
    if (!StartReception(*record)) {
        LogThreadFailure();
        InstallPort(channel, port);
        return ZEL_PORT_FAILED;
    }
    record->restartStream.store(true);
    ClearStatusTable(channel);
    InstallPort(channel, port);
    return ZEL_OK;
}

int32_t PurgeInput(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    ChannelLock lock(call.channel);
    const PortHandle port = LoadPort(*call.channel);
    if (port != 0) PurgeSerialInput(port);
    return ZEL_OK;
}

int32_t ClosePort(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    ChannelLock lock(call.channel);
    TakeOverPort(lock);
    return CloseChannelPort(*call.channel);
}

// The channel is going away: its port is closed and its reception ended
// before the call returns, so that the host may free the block (and, with
// no channel left, unload the driver).
int32_t CloseChannel(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    ChannelLock lock(call.channel);
    ChannelRecord *record = TakeOverPort(lock);
    const int32_t closed = CloseChannelPort(*call.channel);
    if (closed != ZEL_OK) return closed;
    if (record != nullptr && !StopReception(*record)) return ZEL_PORT_FAILED;
    return ZEL_OK;
}

int32_t ReopenPort(const ZelCall &call) {
    if (call.channel == nullptr) return ZEL_FAILED;
    ChannelBlock &channel = *call.channel;
    ChannelLock lock(call.channel);
    ChannelRecord *record = TakeOverPort(lock);
    const PortHandle port = OpenPortBlock(LoadPortBlock(channel));
    if (port == 0) return ZEL_PORT_FAILED;
    StoreField(channel.enabled, 1u);
    const bool receiving = record != nullptr && RestartReceptionIfWanted(*record);
    InstallPort(channel, port);
    return receiving || record == nullptr ? ZEL_OK : ZEL_PORT_FAILED;
}

int32_t ChangeZelParams(const ZelCall &call) {
    const auto *request = static_cast<const ChangeParamsRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr) return ZEL_FAILED;
    ChannelBlock &channel = *call.channel;
    ChannelLock lock(call.channel);
    ChannelRecord *record = TakeOverPort(lock);
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
    StoreField(channel.enabled, 1u);
    SetReadTimeout(port, static_cast<int32_t>(LoadField(channel.readTimeout)));
    const bool receiving = record != nullptr && RestartReceptionIfWanted(*record);
    InstallPort(channel, port);
    return receiving || record == nullptr ? ZEL_OK : ZEL_PORT_FAILED;
}

}  // namespace zel
