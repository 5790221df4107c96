// The Windows build's expf: it must give what an exact exp rounded to float
// gives, or recognised text could change between the platforms.
#include "fast_expf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

float fromBits(uint32_t bits) {
    float f;
    memcpy(&f, &bits, 4);
    return f;
}

uint32_t toBits(float f) {
    uint32_t bits;
    memcpy(&bits, &f, 4);
    return bits;
}

// glibc's double exp is accurate to well under a double ulp, so rounding it
// to float is the reference wherever e^x is not within ~1e-16 of a midpoint.
float reference(float x) { return (float) std::exp((double) x); }

} // namespace

TEST(FastExpf, MatchesTheRoundedExactResultAcrossEveryFloatRange) {
    // Every 61st bit pattern of both signs (about 70 million inputs), from
    // the tiniest magnitudes through the overflow and underflow edges.
    uint64_t checked = 0, differing = 0;
    uint32_t worstUlps = 0;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 61) {
        float x = fromBits((uint32_t) bits);
        if (std::isnan(x)) {
            continue;
        }
        float got = quillet_expf(x), want = reference(x);
        checked++;
        if (toBits(got) != toBits(want)) {
            differing++;
            uint32_t ulps = toBits(got) > toBits(want) ? toBits(got) - toBits(want) : toBits(want) - toBits(got);
            worstUlps     = ulps > worstUlps ? ulps : worstUlps;
        }
    }
    EXPECT_GT(checked, 60000000u);
    EXPECT_LE(worstUlps, 1u);
    // A double-precision evaluation can only disagree next to a midpoint.
    EXPECT_LE(differing, 10u) << "of " << checked;
}

TEST(FastExpf, EdgesAndSpecialValues) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(quillet_expf(0.0f), 1.0f);
    EXPECT_EQ(quillet_expf(-0.0f), 1.0f);
    EXPECT_EQ(quillet_expf(inf), inf);
    EXPECT_EQ(quillet_expf(-inf), 0.0f);
    EXPECT_TRUE(std::isnan(quillet_expf(std::numeric_limits<float>::quiet_NaN())));
    // The largest finite result and the first infinite one.
    EXPECT_EQ(quillet_expf(88.72283f), reference(88.72283f));
    EXPECT_EQ(quillet_expf(88.7228394f), inf);
    EXPECT_EQ(quillet_expf(100.0f), inf);
    // Subnormal results round as the exact value does; far below, zero.
    for (float x : {-87.5f, -88.0f, -100.0f, -103.2789f, -103.97208f, -104.0f}) {
        EXPECT_EQ(toBits(quillet_expf(x)), toBits(reference(x))) << x;
    }
    EXPECT_EQ(quillet_expf(-200.0f), 0.0f);
    EXPECT_EQ(quillet_expf(1.0f), reference(1.0f));
}
