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

TEST(AudioSamples, LittleEndianAndNonFiniteBecomesPositiveZero) {
    const float inf = std::numeric_limits<float>::infinity();
    const float in[] = {0.0f, 1.5f, -2.0f, 1e-40f /* subnormal */, inf, -inf, std::numeric_limits<float>::quiet_NaN(),
                        0.25f, std::numeric_limits<float>::signaling_NaN()};
    const float  want[] = {0.0f, 1.5f, -2.0f, 1e-40f, 0.0f, 0.0f, 0.0f, 0.25f, 0.0f};
    const size_t n      = sizeof(in) / sizeof(in[0]);
    uint8_t      bytes[n * 4];
    for (size_t i = 0; i < n; i++) putLe(bytes + 4 * i, in[i]);
    float out[n];
    appendSamples(out, bytes, n);
    for (size_t i = 0; i < n; i++) {
        EXPECT_EQ(out[i], want[i]) << i;
        EXPECT_FALSE(std::signbit(out[i]) && want[i] == 0.0f) << i;
    }
}

TEST(DecodeText, TrimOnlyTheFourBlankBytesAtTheEnds) {
    const char * cases[][2] = {{" Hello world.\n", "Hello world."}, {" a\n b \t", "a\n b"}, {" \t\r\n", ""}, {"", ""},
                               {"\v x \f", "\v x \f"}, {"x", "x"}};
    for (auto & c : cases) {
        std::string s = c[0];
        trimBlanks(s);
        EXPECT_EQ(s, c[1]) << c[0];
    }
}
