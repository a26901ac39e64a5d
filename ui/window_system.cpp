#include "window_system.h"

#include <atomic>

namespace zel {
namespace {

std::atomic<const WindowSystem *> chosenWindowSystem{nullptr};

}  // namespace

const WindowSystem &Windows() {
    const WindowSystem *chosen = chosenWindowSystem.load(std::memory_order_acquire);
    return chosen != nullptr ? *chosen : PlatformWindowSystem();
}

void UseWindowSystem(const WindowSystem *windows) { chosenWindowSystem.store(windows, std::memory_order_release); }

}  // namespace zel
