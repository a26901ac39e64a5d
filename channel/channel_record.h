// The driver's own record of each ChannelBlock in use: what the host's fixed
// block layout has no room for. A fixed table of records, each found by its
// block's address: the lock that puts the block's lifecycle operations (and
// the reception's port recovery) one after another, the state of the
// block's reception, and the signal that wakes that reception.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "thread.h"
#include "zelwnqx.h"

namespace zel {

// At least 64 channels with a panel each, and room for blocks being replaced.
inline constexpr int kMaxChannelRecords = 128;
static_assert(kMaxChannelRecords <= kThreadStartSlots);

enum ReceptionState : uint32_t { kNoReception = 0, kReceptionRunning = 1, kReceptionStopping = 2 };

// What the host reads of the line through the diagnostic tags: written by
// OpenChannel and the reception, read by ReadTag without a lock.
struct LineDiagnostics {
    std::atomic<bool> opened{false};            // an OpenChannel began them
    std::atomic<int64_t> lastMessageMs{0};      // steady clock: the last message applied, or OpenChannel
    std::atomic<uint32_t> messages{0};          // modulo 2^32; the tag shows the low 16 bits
    std::atomic<uint32_t> losses{0};
    std::atomic<uint32_t> noiseBytes{0};
    // The table is the panel's whole state: its clear command was applied
    // since OpenChannel, and the port has not been away since.
    std::atomic<bool> known{false};
};

struct ChannelRecord {
    std::atomic<ChannelBlock *> block{nullptr};  // null: the record is free
    int users = 0;                               // holders of the record (registry lock)
    std::mutex lifecycle;                        // one lifecycle operation at a time on the block

    // Changed under `lifecycle`; read by the reception without it.
    std::atomic<uint32_t> reception{kNoReception};
    std::atomic<bool> stopRequested{false};
    ThreadHandle thread = 0;
    // OpenChannel started reception on this block: a later operation that
    // gives the block a port again restarts it once CloseChannel ended it.
    std::atomic<bool> receptionWanted{false};
    // The device under the block's port vanished; the reception reopens it.
    std::atomic<bool> recovering{false};
    // OpenChannel began anew: what the reception kept of an unfinished
    // message from before is dropped, not applied after the clear.
    std::atomic<bool> restartStream{false};

    LineDiagnostics diagnostics;

    // Wakes the reception while it waits without a port to wait on.
    std::mutex wakeMutex;
    std::condition_variable wakeSignal;
    uint32_t wakeCount = 0;
};

// The block's record, without a lock and without holding it: for readers
// that only look (ReadTag). nullptr when the block has none. A record can be
// given to another block meanwhile: check `block` again after reading.
ChannelRecord *FindChannelRecord(const ChannelBlock *block);

// Milliseconds of the steady clock, for the line's diagnostics.
int64_t SteadyMilliseconds();

// OpenChannel begins the line's diagnostics anew.
void ResetLineDiagnostics(ChannelRecord &record);

// The block's record, made if there is none, with one more holder; nullptr
// when every record is taken.
ChannelRecord *AcquireChannelRecord(ChannelBlock *block);
void AddRecordHolder(ChannelRecord &record);
// One holder fewer; a record that nothing holds, runs or will restart is
// freed.
void ReleaseChannelRecord(ChannelRecord &record);

// The block's record acquired and its lifecycle lock held for the scope.
class ChannelLock {
public:
    explicit ChannelLock(ChannelBlock *block);
    ~ChannelLock();
    ChannelLock(const ChannelLock &) = delete;
    ChannelLock &operator=(const ChannelLock &) = delete;
    // nullptr when no record could be had.
    ChannelRecord *Record() const { return record_; }

private:
    ChannelRecord *record_;
};

// The reception's side of the lifecycle lock: tries until it has the lock
// or a stop is requested (the holder may be waiting for this reception to
// end). True with the lock held.
bool LockForReception(ChannelRecord &record);

// Waking the reception, and its wait: returns at once when a wake-up came
// after `seen` was read (WakeCount), else after `milliseconds`.
void WakeReception(ChannelRecord &record);
uint32_t WakeCount(ChannelRecord &record);
void WaitForWakeUp(ChannelRecord &record, uint32_t seen, uint32_t milliseconds);

}  // namespace zel
