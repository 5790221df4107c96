/* expf evaluated in double precision: a 32-entry table of 2^(j/32) and a
 * degree-5 polynomial on the rest. Relative error before the final rounding
 * is about 2e-15, so the float result is the correctly rounded one except
 * where e^x lies within that distance of a rounding midpoint.
 *
 * Why it exists: mingw-w64's own expf is an x87 routine (frndint, f2xm1,
 * fscale) that made the speech library's softmax over the whole vocabulary,
 * run for every token, cost the Windows engine up to twice the Linux time.
 * expf_win32.c puts this in front of it. Plain C with SSE2 doubles only, so
 * it runs on every x86-64 CPU. */
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

static inline float quillet_expf(float xf) {
    static const double twoToJOver32[32] = {
        0x1.0000000000000p+0, 0x1.059b0d3158574p+0, 0x1.0b5586cf9890fp+0, 0x1.11301d0125b51p+0, 0x1.172b83c7d517bp+0,
        0x1.1d4873168b9aap+0, 0x1.2387a6e756238p+0, 0x1.29e9df51fdee1p+0, 0x1.306fe0a31b715p+0, 0x1.371a7373aa9cbp+0,
        0x1.3dea64c123422p+0, 0x1.44e086061892dp+0, 0x1.4bfdad5362a27p+0, 0x1.5342b569d4f82p+0, 0x1.5ab07dd485429p+0,
        0x1.6247eb03a5585p+0, 0x1.6a09e667f3bcdp+0, 0x1.71f75e8ec5f74p+0, 0x1.7a11473eb0187p+0, 0x1.82589994cce13p+0,
        0x1.8ace5422aa0dbp+0, 0x1.93737b0cdc5e5p+0, 0x1.9c49182a3f090p+0, 0x1.a5503b23e255dp+0, 0x1.ae89f995ad3adp+0,
        0x1.b7f76f2fb5e47p+0, 0x1.c199bdd85529cp+0, 0x1.cb720dcef9069p+0, 0x1.d5818dcfba487p+0, 0x1.dfc97337b9b5fp+0,
        0x1.ea4afa2a490dap+0, 0x1.f50765b6e4540p+0,
    };
    const double thirtyTwoOverLn2 = 0x1.71547652b82fep+5;
    const double ln2OverThirtyTwo = 0x1.62e42fefa39efp-6;
    /* Adding 1.5 * 2^52 rounds to an integer, which lands in the low bits. */
    const double roundingShift = 0x1.8p52;

    if (xf != xf) {
        return xf;
    }
    /* Past these every result is infinite or zero; in between, the double
     * result stays normal and the conversion to float rounds overflow to
     * infinity and tiny results to subnormals or zero correctly. */
    if (xf > 89.0f) {
        return INFINITY;
    }
    if (xf < -150.0f) {
        return 0.0f;
    }
    double   z       = (double) xf * thirtyTwoOverLn2;
    double   shifted = z + roundingShift;
    uint64_t shiftedBits;
    memcpy(&shiftedBits, &shifted, sizeof shiftedBits);
    int64_t  k         = (int64_t) (shiftedBits - 0x4338000000000000ULL);
    double   r         = z - (shifted - roundingShift); /* |r| <= 1/2 */
    double   t         = r * ln2OverThirtyTwo;          /* |t| <= ln2/64 */
    double   p         = 1.0 + t * (1.0 + t * (0.5 + t * (1.0 / 6.0 + t * (1.0 / 24.0 + t * (1.0 / 120.0)))));
    int64_t  j         = k & 31;
    int64_t  e         = (k - j) / 32; /* within -217..129 here, so 2^e is a normal double */
    uint64_t scaleBits = (uint64_t) (e + 1023) << 52;
    double   scale;
    memcpy(&scale, &scaleBits, sizeof scale);
    return (float) (twoToJOver32[j] * p * scale);
}
