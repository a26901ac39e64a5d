#include "port_guard.h"

#include <chrono>

#include "port_table.h"

namespace zel {
namespace {

enum GuardState : uint32_t { kOpen = 0, kClosing = 1, kHandedOver = 2 };

PortGuardEntry entries[kMaxPorts];

PortGuardEntry *Find(PortHandle port) {
    if (port == 0 || port == kReservedHandle) return nullptr;
    for (PortGuardEntry &entry : entries)
        if (entry.handle.load() == port) return &entry;
    return nullptr;
}

void Release(PortGuardEntry &entry) { entry.handle.store(0); }

// Closes the port of a handed-over entry, once.
void CloseHandedOver(PortGuardEntry &entry) {
    if (entry.closeClaimed.exchange(true)) return;
    const PortHandle port = entry.handle.load();
    int error = 0;
    ActiveSerialBackend().closeDevice(port, &error);
    Release(entry);
}

// Waits for the close in progress on `entry` and gives its answer: 0 when
// the port is closed (or left to its last user to close), 7 when the close
// failed and the port stays open.
int32_t OutcomeOfOtherClose(PortGuardEntry &entry, PortHandle port) {
    const SerialBackend &backend = ActiveSerialBackend();
    while (entry.handle.load() == port && entry.state.load() == kClosing) backend.sleep(1);
    return entry.handle.load() == port && entry.state.load() == kOpen ? 7 : 0;
}

}  // namespace

bool RegisterPort(PortHandle port) {
    if (port == 0 || port == kReservedHandle) return false;
    for (PortGuardEntry &entry : entries) {
        // The entry is reserved and reset before it names the port, so that
        // no user of an earlier port with the same value acts on it.
        PortHandle expected = 0;
        if (!entry.handle.compare_exchange_strong(expected, kReservedHandle)) continue;
        entry.closeClaimed.store(false);
        entry.state.store(kOpen);
        entry.handle.store(port);
        return true;
    }
    return false;
}

PortGuardEntry *BeginPortUse(PortHandle port) {
    PortGuardEntry *entry = Find(port);
    if (entry == nullptr) return nullptr;
    entry->users.fetch_add(1);
    // Checked after announcing the use: a closer either sees this user or
    // this user sees the closer.
    if (entry->state.load() == kOpen && entry->handle.load() == port) return entry;
    EndPortUse(entry);
    return nullptr;
}

void EndPortUse(PortGuardEntry *entry) {
    if (entry == nullptr) return;
    if (entry->users.fetch_sub(1) == 1 && entry->state.load() == kHandedOver) CloseHandedOver(*entry);
}

bool PortIsOpen(PortHandle port) {
    PortGuardEntry *entry = Find(port);
    return entry != nullptr && entry->state.load() == kOpen;
}

int32_t ClosePortGuarded(PortHandle port, int *closeError) {
    if (closeError != nullptr) *closeError = 0;
    PortGuardEntry *entry = Find(port);
    if (entry == nullptr) return 7;
    uint32_t expected = kOpen;
    if (!entry->state.compare_exchange_strong(expected, kClosing)) {
        return expected == kClosing ? OutcomeOfOtherClose(*entry, port) : 0;
    }

    const SerialBackend &backend = ActiveSerialBackend();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseGraceMilliseconds);
    while (entry->users.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        backend.interruptIo(port);
        backend.sleep(1);
    }
    if (entry->users.load() == 0) {
        int error = 0;
        if (!backend.closeDevice(port, &error)) {
            backend.resumeIo(port);
            entry->state.store(kOpen);
            return 7;
        }
        if (closeError != nullptr) *closeError = error;
        Release(*entry);
        return 0;
    }
    // A use could not be interrupted: its last user closes the port.
    entry->state.store(kHandedOver);
    if (entry->users.load() == 0) CloseHandedOver(*entry);
    return 0;
}

}  // namespace zel
