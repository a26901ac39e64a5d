// The code page 437 table against glibc's own CP437 conversion.
#include <gtest/gtest.h>
#include <iconv.h>

#include "cp437.h"

namespace {

TEST(Cp437, UpperHalfMatchesIconv) {
    iconv_t convert = iconv_open("UTF-8", "CP437");
    ASSERT_NE(convert, reinterpret_cast<iconv_t>(-1)) << "glibc has no CP437 conversion";
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in[1] = {static_cast<char>(b)};
        char out[8] = {};
        char *inPtr = in;
        char *outPtr = out;
        std::size_t inLeft = 1, outLeft = sizeof out;
        ASSERT_NE(iconv(convert, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<std::size_t>(-1)) << std::hex << b;
        EXPECT_EQ(zelhost::Cp437ToUtf8(std::string(1, static_cast<char>(b))), std::string(out, sizeof out - outLeft))
            << "byte 0x" << std::hex << b;
    }
    iconv_close(convert);
}

}  // namespace
