// The driver's banner: five framed lines in code page 437, for the host to
// display.
#pragma once

namespace zel {

inline constexpr int kBannerLineWidth = 62;

// NUL-terminated; begins with a line feed, each line ends with one. Constant
// text that lives as long as the library is loaded.
const char *BannerText();

}  // namespace zel
