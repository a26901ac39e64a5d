// Code page 437, the character set of the driver's banner, to UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelhost {

// The Unicode code point of a code page 437 byte; bytes below 0x80 are ASCII.
char32_t Cp437CodePoint(unsigned char byte);

// The text converted to UTF-8.
std::string Cp437ToUtf8(std::string_view text);

}  // namespace zelhost
