// Code page 437 to UTF-8: ASCII stays, the upper half is a bijection onto
// non-ASCII characters, encoded in two or three bytes.
#include <gtest/gtest.h>

#include <set>

#include "cp437.h"

namespace {

using zelhost::Cp437CodePoint;
using zelhost::Cp437ToUtf8;

TEST(Cp437, AsciiPassesUnchanged) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(Cp437ToUtf8(ascii), ascii);
}

TEST(Cp437, UpperHalfIsDistinctNonAsciiCharacters) {
    std::set<uint32_t> seen;
    for (int b = 0x80; b <= 0xFF; ++b) {
        const auto c = static_cast<uint32_t>(Cp437CodePoint(static_cast<unsigned char>(b)));
        EXPECT_GE(c, 0xA0u) << std::hex << b;
        EXPECT_LT(c, 0x10000u) << std::hex << b;
        EXPECT_TRUE(seen.insert(c).second) << "byte 0x" << std::hex << b << " repeats U+" << c;
        const std::string utf8 = Cp437ToUtf8(std::string(1, static_cast<char>(b)));
        EXPECT_EQ(utf8.size(), c < 0x800 ? 2u : 3u) << std::hex << b;
    }
}

TEST(Cp437, BoxDrawingAndShadesOfTheBanner) {
    // The frame and shade characters in their block of Unicode.
    for (int b : {0xB0, 0xB1, 0xB2, 0xBA, 0xBB, 0xBC, 0xC8, 0xC9, 0xCD, 0xDB}) {
        const auto c = static_cast<uint32_t>(Cp437CodePoint(static_cast<unsigned char>(b)));
        EXPECT_TRUE(c >= 0x2500 && c <= 0x259F) << std::hex << b << " -> U+" << c;
    }
}

}  // namespace
