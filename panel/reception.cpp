#include "reception.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "../channel/channel_block.h"
#include "../channel/channel_port.h"
#include "../host/host_services.h"
#include "../serial/serial_port.h"
#include "decoder.h"
#include "framing.h"
#include "status_table.h"

namespace zel {
namespace {

using Clock = std::chrono::steady_clock;

// A pause after a step that failed on a port being closed or replaced.
constexpr uint32_t kRetryPauseMs = 10;
// The longest wait for input on an open port, or for a port, when nothing
// is kept: lifecycle operations and closes wake the reception sooner.
constexpr uint32_t kIdleWaitMs = 1000;
constexpr uint32_t kNoPortWaitMs = 60000;

std::atomic<uint32_t> reopenInterval{kReopenIntervalMs};

struct Receiver {
    ChannelRecord &record;
    ChannelBlock &block;
    StreamState stream;
    // A kept message is decoded as it stands once nothing has arrived for
    // the port's read time-out after the last read.
    Clock::time_point keptUntil{};
    uint32_t readTimeoutMs = 1000;
    Clock::time_point nextReopen{};
};

// Rounded up: a wait never ends before `when`.
uint32_t MillisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now()).count();
    if (left <= 0) return 0;
    const auto milliseconds = (left + 999) / 1000;
    return milliseconds > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<uint32_t>(milliseconds);
}

// Saturates instead of wrapping round.
void AddSaturating(std::atomic<uint32_t> &counter, uint32_t amount) {
    uint32_t now = counter.load();
    while (!counter.compare_exchange_weak(now, now > 0xFFFFFFFFu - amount ? 0xFFFFFFFFu : now + amount)) {
    }
}

// What the framing applied and dropped goes into the line's diagnostics.
void Count(Receiver &r, const StreamTally &tally) {
    LineDiagnostics &d = r.record.diagnostics;
    if (tally.clears > 0) d.known.store(true);
    if (tally.messages > 0) {
        d.messages.fetch_add(tally.messages);
        d.lastMessageMs.store(SteadyMilliseconds());
    }
    if (tally.noiseBytes > 0) AddSaturating(d.noiseBytes, tally.noiseBytes);
}

void EndKept(Receiver &r) { Count(r, EndKeptText(r.block.rxBuffer, r.stream, TableOf(r.block))); }

// Applies what is kept once its time has run out; true when nothing is
// kept any more.
bool EndKeptIfDue(Receiver &r) {
    if (r.stream.kept == 0) return true;
    if (Clock::now() < r.keptUntil) return false;
    EndKept(r);
    return true;
}

void PortName(ChannelBlock &block, char (&name)[sizeof(PortBlock{}.name) + 1]) {
    const PortBlock stored = LoadPortBlock(block);
    std::memset(name, 0, sizeof name);
    std::memcpy(name, stored.name, sizeof stored.name);
}

// The device under `port` is gone: unless the host has changed the port
// meanwhile, the dead port is closed and the stored one reopened about once
// a second until it comes back or the host takes over.
void PortLost(Receiver &r, PortHandle port) {
    if (!LockForReception(r.record)) return;
    const bool lost = LoadPort(r.block) == port;
    if (lost) {
        InstallPort(r.block, 0);
        r.record.recovering.store(true);
        AddSaturating(r.record.diagnostics.losses, 1);
        r.nextReopen = Clock::now() + std::chrono::milliseconds(reopenInterval.load());
        // Nothing more of a message cut by the loss can come. Applied under
        // the lock, so that no OpenChannel can clear the table in between
        // and have this older message land after its clear.
        EndKept(r);
    }
    r.record.lifecycle.unlock();
    if (!lost) return;
    char name[sizeof(PortBlock{}.name) + 1];
    PortName(r.block, name);
    Host().err(kLogNotice, "ZEL%s : Port %s lost, reopening it every second", "Quon", name);
}

// One attempt to reopen the lost port with the stored settings and the
// channel's read time-out; no log line unless it succeeds.
void TryReopen(Receiver &r) {
    r.nextReopen = Clock::now() + std::chrono::milliseconds(reopenInterval.load());
    if (!LockForReception(r.record)) return;
    bool back = false;
    if (r.record.recovering.load() && LoadPort(r.block) == 0) {
        const PortHandle port = OpenPortBlock(LoadPortBlock(r.block));
        if (port != 0) {
            SetReadTimeout(port, static_cast<int32_t>(LoadField(r.block.readTimeout)));
            InstallPort(r.block, port);
            r.record.recovering.store(false);
            back = true;
        }
    }
    r.record.lifecycle.unlock();
    if (!back) return;
    char name[sizeof(PortBlock{}.name) + 1];
    PortName(r.block, name);
    Host().err(kLogNotice, "ZEL%s : Port %s back, reception resumed", "Quon", name);
}

// No port: wait for one (a lifecycle operation wakes the reception), try
// to reopen a lost one, and end a kept message on time.
void WaitWithoutPort(Receiver &r, uint32_t seen) {
    if (r.record.recovering.load() && Clock::now() >= r.nextReopen) {
        TryReopen(r);
        return;
    }
    uint32_t wait = kNoPortWaitMs;
    if (r.record.recovering.load()) wait = MillisecondsUntil(r.nextReopen);
    if (!EndKeptIfDue(r)) {
        const uint32_t untilDue = MillisecondsUntil(r.keptUntil);
        if (untilDue < wait) wait = untilDue;
    }
    WaitForWakeUp(r.record, seen, wait);
}

void AwaitInput(Receiver &r, PortHandle port, uint32_t seen) {
    EndKeptIfDue(r);
    const uint32_t wait = r.stream.kept > 0 ? MillisecondsUntil(r.keptUntil) : kIdleWaitMs;
    switch (WaitForInput(port, wait)) {
        case InputWait::kInput: break;
        case InputWait::kTimeout: EndKeptIfDue(r); break;
        case InputWait::kGone: PortLost(r, port); break;
        case InputWait::kFailed: WaitForWakeUp(r.record, seen, kRetryPauseMs); break;
    }
}

// One read into the buffer behind what is kept; everything it brought is
// traced and handed to the framing, also what came before a failure.
void Receive(Receiver &r, PortHandle port) {
    char *buffer = r.block.rxBuffer;
    ReadTimeoutMilliseconds(port, &r.readTimeoutMs);
    uint32_t received = 0;
    const IoStatus status =
        ReceiveSerial(port, buffer + ReadOffset(r.stream), static_cast<uint32_t>(ReadRoom(r.stream)), &received);
    Host().err(kLogTrace, "String from Comport %s", buffer + ReadOffset(r.stream));
    Count(r, TakeReceived(buffer, r.stream, received, TableOf(r.block)));
    r.keptUntil = Clock::now() + std::chrono::milliseconds(r.readTimeoutMs);
    if (status == IoStatus::kGone) PortLost(r, port);
}

void ReceptionPass(Receiver &r) {
    if (r.record.restartStream.exchange(false)) DropKeptText(r.block.rxBuffer, r.stream);
    const uint32_t seen = WakeCount(r.record);
    const PortHandle port = LoadPort(r.block);
    if (port == 0) {
        WaitWithoutPort(r, seen);
        return;
    }
    uint32_t waiting = 0;
    switch (QueryInputQueue(port, &waiting)) {
        case IoStatus::kOk: break;
        case IoStatus::kGone: PortLost(r, port); return;
        // A port being closed or replaced: look again shortly.
        case IoStatus::kFailed: WaitForWakeUp(r.record, seen, kRetryPauseMs); return;
    }
    if (waiting == 0) {
        AwaitInput(r, port, seen);
        return;
    }
    Receive(r, port);
}

// The first second: a stop ends it at once, other wake-ups do not.
bool WaitFirstSecond(ChannelRecord &record) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kStartDelayMs);
    while (!record.stopRequested.load()) {
        const uint32_t seen = WakeCount(record);
        const uint32_t left = MillisecondsUntil(end);
        if (left == 0) return true;
        WaitForWakeUp(record, seen, left);
    }
    return false;
}

void ReceptionThread(void *argument) {
    ChannelRecord &record = *static_cast<ChannelRecord *>(argument);
    ChannelBlock &block = *record.block.load();
    Host().err(kLogNotice, "ZelQX : Start Unsoliceted Thread");
    if (!WaitFirstSecond(record)) return;
    currentChannel.store(&block, std::memory_order_release);
    // The framing needs zeros behind the text; the host's block may hold
    // anything before the first message.
    std::memset(block.rxBuffer, 0, kMessageBufferSize);
    Receiver receiver{record, block, {}};
    while (!record.stopRequested.load()) ReceptionPass(receiver);
    // From here on the thread touches neither the block nor the record.
}

// Ends a stop: the thread joined, its module reference and its hold on the
// record given back.
bool FinishStop(ChannelRecord &record, uint32_t milliseconds) {
    if (!Threads().joinThread(record.thread, milliseconds)) return false;
    record.thread = 0;
    record.stopRequested.store(false);
    record.reception.store(kNoReception);
    Threads().unpinModule();
    ReleaseChannelRecord(record);
    return true;
}

}  // namespace

void SetReopenInterval(uint32_t milliseconds) { reopenInterval.store(milliseconds); }

bool ReceptionRunning(const ChannelRecord &record) { return record.reception.load() == kReceptionRunning; }

bool StartReception(ChannelRecord &record) {
    const uint32_t state = record.reception.load();
    if (state == kReceptionRunning) return true;
    // An earlier stop that did not finish in time may have finished since.
    if (state == kReceptionStopping && !FinishStop(record, 0)) return false;
    if (!Threads().pinModule()) return false;
    AddRecordHolder(record);
    record.stopRequested.store(false);
    record.reception.store(kReceptionRunning);
    const ThreadHandle thread = Threads().startThread(ReceptionThread, &record, kReceptionStackBytes);
    if (thread == 0) {
        record.reception.store(kNoReception);
        ReleaseChannelRecord(record);
        Threads().unpinModule();
        return false;
    }
    record.thread = thread;
    record.receptionWanted.store(true);
    return true;
}

bool StopReception(ChannelRecord &record) {
    if (record.reception.load() == kNoReception) return true;
    record.stopRequested.store(true);
    record.reception.store(kReceptionStopping);
    WakeReception(record);
    return FinishStop(record, kStopWaitMs);
}

}  // namespace zel
