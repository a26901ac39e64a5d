#include "pacing.h"

#include <chrono>
#include <thread>

namespace zelpanel {

double LineSeconds(std::size_t count, int baud) { return static_cast<double>(count) * 10.0 / baud; }

bool SendPaced(std::string_view bytes, int baud, const WriteBytes &write, const std::function<bool()> &stopRequested) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (stopRequested()) return true;
        // Everything whose time has come goes out in one write.
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::size_t due = static_cast<std::size_t>(elapsed * baud / 10.0) + 1;
        if (due > bytes.size()) due = bytes.size();
        if (due > sent) {
            if (!write(bytes.data() + sent, due - sent)) return false;
            sent = due;
        }
        if (sent < bytes.size())
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(LineSeconds(sent, baud))));
    }
    return true;
}

}  // namespace zelpanel
