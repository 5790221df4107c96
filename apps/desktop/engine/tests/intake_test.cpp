#include "decode.h"
#include "request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace quillet;

namespace {

void putLe(uint8_t * b, float f) {
    uint32_t bits;
    memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; i++) b[i] = (uint8_t) (bits >> (8 * i));
}

} // namespace

TEST(AudioSamples, LittleEndianAndNonFiniteBecomesZero) {
    const float in[] = {0.0f, 1.5f, -2.0f, 1e-40f /* subnormal */, std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(), 0.25f};
    const size_t n = sizeof(in) / sizeof(in[0]);
    uint8_t      bytes[n * 4];
    for (size_t i = 0; i < n; i++) putLe(bytes + 4 * i, in[i]);
    float out[n];
    appendSamples(out, bytes, n);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 1.5f);
    EXPECT_EQ(out[2], -2.0f);
    EXPECT_EQ(out[3], 1e-40f);
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_EQ(out[5], 0.0f);
    EXPECT_EQ(out[6], 0.0f);
    EXPECT_FALSE(std::signbit(out[6]));
    EXPECT_EQ(out[7], 0.25f);
    // A signalling NaN pattern with payload is caught too.
    const uint8_t snan[4] = {0x01, 0x00, 0x80, 0xFF};
    float         s       = 1.0f;
    appendSamples(&s, snan, 1);
    EXPECT_EQ(s, 0.0f);
}

TEST(DecodeText, TrimOnlyTheFourBlankBytesAtTheEnds) {
    const char * cases[][2] = {{" Hello world.\n", "Hello world."}, {" a\n b \t", "a\n b"}, {" \t\r\n", ""},
                               {"", ""}, {"\v x \f", "\v x \f"}, {"x", "x"}};
    for (auto & c : cases) {
        std::string s = c[0];
        trimBlanks(s);
        EXPECT_EQ(s, c[1]) << c[0];
    }
}
