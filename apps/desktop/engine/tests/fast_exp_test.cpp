// The Windows build's exp: a float caller must get what an exact e^x rounded
// to float gives, or recognised text could differ between the platforms; a
// double caller must get what a good C library gives.
#include "fast_exp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

template <typename To, typename From>
To bitsOf(From f) {
    To t;
    memcpy(&t, &f, sizeof t);
    return t;
}

template <typename U>
U ulpsApart(U a, U b) {
    return a > b ? a - b : b - a;
}

} // namespace

TEST(FastExp, FloatCallersGetTheRoundedExactResultAcrossEveryFloatRange) {
    // Every 61st bit pattern of both signs (about 70 million inputs), from
    // the tiniest magnitudes through the overflow and underflow edges. glibc's
    // exp is within 0.52 double ulps, so rounding it to float is the exact
    // result wherever e^x is not within ~1e-16 of a float midpoint.
    // Both routes: math.h's inline (float) exp((double) x), and expf.
    uint64_t checked = 0, differing = 0, differingF = 0;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 61) {
        float x = bitsOf<float>((uint32_t) bits);
        if (std::isnan(x)) {
            EXPECT_TRUE(std::isnan(quillet_expf(x)));
            continue;
        }
        uint32_t want = bitsOf<uint32_t>((float) std::exp((double) x));
        checked++;
        differing += bitsOf<uint32_t>((float) quillet_exp(x)) != want;
        differingF += bitsOf<uint32_t>(quillet_expf(x)) != want;
    }
    // None differ in a third of all floats, tried once by hand.
    EXPECT_EQ(differing, 0u) << "of " << checked;
    EXPECT_EQ(differingF, 0u) << "of " << checked;
}

TEST(FastExp, DoubleCallersGetWithinOneUlpOfTheCLibrary) {
    // A spread of doubles over the whole finite range of results.
    uint64_t checked = 0, differing = 0, worst = 0;
    for (double x = -745.0; x < 709.7; x += 0.0009765625 * 1.0001) {
        uint64_t got = bitsOf<uint64_t>(quillet_exp(x)), want = bitsOf<uint64_t>(std::exp(x));
        checked++;
        differing += got != want;
        worst = ulpsApart(got, want) > worst ? ulpsApart(got, want) : worst;
    }
    EXPECT_LE(worst, 1u);
    // Both libraries round correctly but for values next to a midpoint.
    EXPECT_LT(differing * 50, checked) << differing << " of " << checked;
}

TEST(FastExp, EdgesAndSpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(quillet_exp(0.0), 1.0);
    EXPECT_EQ(quillet_exp(-0.0), 1.0);
    EXPECT_EQ(quillet_exp(inf), inf);
    EXPECT_EQ(quillet_exp(-inf), 0.0);
    EXPECT_TRUE(std::isnan(quillet_exp(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_EQ(quillet_exp(1.0), std::exp(1.0));
    // The largest finite results, the first infinite ones; subnormal results
    // and the last non-zero one.
    for (double x : {709.78, 709.782712893384, 709.7828, 1000.0, -700.0, -708.5, -730.0, -745.1, -745.13321910194110,
                     -745.2, -1000.0}) {
        EXPECT_LE(ulpsApart(bitsOf<uint64_t>(quillet_exp(x)), bitsOf<uint64_t>(std::exp(x))), 1u) << x;
    }
    EXPECT_EQ(quillet_exp(88.7228394), std::exp(88.7228394));
    EXPECT_EQ((float) quillet_exp(88.7228394), std::numeric_limits<float>::infinity());
}
