#include "channel_record.h"

#include <chrono>
#include <cstdint>

#include "channel_block.h"

namespace zel {

std::atomic<ChannelBlock *> currentChannel{nullptr};

namespace {

// Never destroyed: at process exit a reception thread may still wait on a
// record's lock or signal while static objects are torn down.
template <typename T>
union Lasting {
    T value;
    Lasting() : value() {}
    ~Lasting() {}
};

Lasting<std::mutex> registryLock;
Lasting<ChannelRecord[kMaxChannelRecords]> recordTable;
std::mutex &registry = registryLock.value;
ChannelRecord (&records)[kMaxChannelRecords] = recordTable.value;

// Where a block's search for its record begins, so that a lookup usually
// ends at its first step.
std::size_t HomeSlot(const ChannelBlock *block) {
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    return static_cast<std::size_t>((address >> 4) * 2654435761u) % kMaxChannelRecords;
}

ChannelRecord &Probe(const ChannelBlock *block, int step) {
    return records[(HomeSlot(block) + static_cast<std::size_t>(step)) % kMaxChannelRecords];
}

// Nothing holds it and no reception runs on it: at most kept so that
// reception could be restarted on its block, given up when a new block
// needs the room.
bool Reusable(const ChannelRecord &record) {
    return record.users == 0 && record.reception.load() == kNoReception;
}

// Reusable, and no reception will be restarted on it either.
bool Unused(const ChannelRecord &record) { return Reusable(record) && !record.receptionWanted; }

void Free(ChannelRecord &record) {
    record.receptionWanted = false;
    record.recovering = false;
    record.restartStream = false;
    record.stopRequested = false;
    record.thread = 0;
    record.diagnostics.opened = false;
    record.block.store(nullptr);
}

}  // namespace

ChannelRecord *AcquireChannelRecord(ChannelBlock *block) {
    if (block == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(registry);
    ChannelRecord *freeRecord = nullptr;
    ChannelRecord *reusable = nullptr;
    for (int step = 0; step < kMaxChannelRecords; ++step) {
        ChannelRecord &record = Probe(block, step);
        ChannelBlock *holder = record.block.load();
        if (holder == block) {
            ++record.users;
            return &record;
        }
        if (holder == nullptr && freeRecord == nullptr) freeRecord = &record;
        if (holder != nullptr && reusable == nullptr && Reusable(record)) reusable = &record;
    }
    ChannelRecord *record = freeRecord != nullptr ? freeRecord : reusable;
    if (record == nullptr) return nullptr;
    Free(*record);
    record->block.store(block);
    record->users = 1;
    return record;
}

ChannelRecord *FindChannelRecord(const ChannelBlock *block) {
    if (block == nullptr) return nullptr;
    for (int step = 0; step < kMaxChannelRecords; ++step) {
        ChannelRecord &record = Probe(block, step);
        if (record.block.load(std::memory_order_acquire) == block) return &record;
    }
    return nullptr;
}

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ResetLineDiagnostics(ChannelRecord &record) {
    LineDiagnostics &d = record.diagnostics;
    d.lastMessageMs = SteadyMilliseconds();
    d.messages = 0;
    d.losses = 0;
    d.noiseBytes = 0;
    d.known = false;
    d.opened = true;
}

void AddRecordHolder(ChannelRecord &record) {
    std::lock_guard<std::mutex> lock(registry);
    ++record.users;
}

void ReleaseChannelRecord(ChannelRecord &record) {
    std::lock_guard<std::mutex> lock(registry);
    --record.users;
    if (Unused(record)) Free(record);
}

ChannelLock::ChannelLock(ChannelBlock *block) : record_(AcquireChannelRecord(block)) {
    if (record_ != nullptr) record_->lifecycle.lock();
}

ChannelLock::~ChannelLock() {
    if (record_ == nullptr) return;
    record_->lifecycle.unlock();
    // The reception may be waiting for the lock, or for a port.
    WakeReception(*record_);
    ReleaseChannelRecord(*record_);
}

bool LockForReception(ChannelRecord &record) {
    for (;;) {
        if (record.stopRequested.load()) return false;
        const uint32_t seen = WakeCount(record);
        if (record.lifecycle.try_lock()) {
            if (!record.stopRequested.load()) return true;
            record.lifecycle.unlock();
            return false;
        }
        // Lifecycle operations are short, and each wakes the reception as
        // it ends.
        WaitForWakeUp(record, seen, 5);
    }
}

void WakeReception(ChannelRecord &record) {
    {
        std::lock_guard<std::mutex> lock(record.wakeMutex);
        ++record.wakeCount;
    }
    record.wakeSignal.notify_all();
}

uint32_t WakeCount(ChannelRecord &record) {
    std::lock_guard<std::mutex> lock(record.wakeMutex);
    return record.wakeCount;
}

void WaitForWakeUp(ChannelRecord &record, uint32_t seen, uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(record.wakeMutex);
    record.wakeSignal.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [&] { return record.wakeCount != seen; });
}

}  // namespace zel
