// Sending at the speed of a real line: 10 bits per character (start bit,
// 8 data bits, stop bit), so that a message lasts as long as on the wire and
// the driver's read time-out frames it as it would frame the panel's.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace zelpanel {

using WriteBytes = std::function<bool(const char *bytes, std::size_t count)>;

// Seconds that `count` characters take at `baud`.
double LineSeconds(std::size_t count, int baud);

// Writes `bytes` through `write`, each character no earlier than its time
// on the line; stops early when `stopRequested` says so. False when a write
// failed.
bool SendPaced(std::string_view bytes, int baud, const WriteBytes &write, const std::function<bool()> &stopRequested);

}  // namespace zelpanel
