/* exp in SSE2 doubles: e^x = 2^(n/32) * e^r with |r| <= ln2/64, a table of
 * 2^(j/32) held as two doubles and a degree-6 polynomial. The error stays
 * just over half an ulp, as good as the usual C libraries, so a float
 * caller's (float) exp((double) x) is the correctly rounded e^x except where
 * it lies within about 1e-16 of a rounding midpoint.
 *
 * Why it exists: mingw-w64 turns expf into (float) exp((double) x) and its
 * exp is an x87 routine (frndint, f2xm1, fscale). The speech library's
 * softmax over the whole vocabulary, run for every token, made that routine
 * 40% of the Windows engine's time. exp_win32.c puts this in front of it.
 * Plain C, so it runs on every x86-64 CPU. quillet_expf below serves the
 * speech library's own float callers, which it compiles to call expf. */
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

static inline double quillet_exp(double x) {
    /* 2^(j/32) as a rounded double and the rest. */
    static const double twoToJOver32[32][2] = {
        {0x1.0000000000000p+0, 0x0.0p+0},
        {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
        {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
        {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
        {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
        {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
        {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
        {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
        {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
        {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
        {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
        {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
        {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
        {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
        {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
        {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
        {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
        {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
        {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
        {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
        {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
        {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
        {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
        {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
        {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
        {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
        {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
        {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
        {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
        {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
        {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
        {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
    };
    const double thirtyTwoOverLn2 = 0x1.71547652b82fep+5;
    /* ln2/32 in two parts; the first has 37 bits, so n times it is exact. */
    const double ln2Over32High = 0x1.62e42fefa0000p-6;
    const double ln2Over32Low  = 0x1.cf79abc9e3b3ap-45;
    /* Adding 1.5 * 2^52 rounds to an integer, which lands in the low bits. */
    const double roundingShift = 0x1.8p52;

    if (x != x) {
        return x;
    }
    if (x > 0x1.62e42fefa39efp+9) { /* ln(DBL_MAX) */
        return HUGE_VAL;
    }
    if (x < -0x1.74910d52d3052p+9) { /* below half the smallest subnormal */
        return 0.0;
    }
    double   shifted = x * thirtyTwoOverLn2 + roundingShift;
    uint64_t shiftedBits;
    memcpy(&shiftedBits, &shifted, sizeof shiftedBits);
    int64_t n  = (int64_t) (shiftedBits - 0x4338000000000000ULL);
    double  nd = shifted - roundingShift;
    double  r  = (x - nd * ln2Over32High) - nd * ln2Over32Low;
    /* e^r - 1, Taylor to r^6: the first term left out is below 4e-18. */
    double         p = r + r * r * (0.5 + r * (1.0 / 6.0 + r * (1.0 / 24.0 + r * (1.0 / 120.0 + r * (1.0 / 720.0)))));
    int64_t        k = n >> 5; /* -1075..1024 */
    const double * t = twoToJOver32[n & 31];
    double         m = t[0] + (t[1] + t[0] * p); /* 2^(j/32) * e^r, within [0.98, 2.03) */
    if (x > -708.0 && x < 709.0) {
        /* The result is a normal double: 2^k goes straight into the exponent. */
        uint64_t bits;
        memcpy(&bits, &m, sizeof bits);
        bits += (uint64_t) k << 52;
        memcpy(&m, &bits, sizeof m);
        return m;
    }
    /* Near overflow and for subnormal results, 2^k in two factors so that
     * neither leaves the normal range; the last product rounds once. */
    int64_t  k1 = k / 2, k2 = k - k1;
    uint64_t b1 = (uint64_t) (k1 + 1023) << 52, b2 = (uint64_t) (k2 + 1023) << 52;
    double   s1, s2;
    memcpy(&s1, &b1, sizeof s1);
    memcpy(&s2, &b2, sizeof s2);
    return m * s1 * s2;
}

/* expf for float callers: the same method with a finer table (2^(j/64)) and
 * a degree-4 polynomial, which is all a float result needs: the error before
 * the final rounding is under 2^-44, so the result is the correctly rounded
 * e^x except where that lies within about 2^-21 ulp of a rounding midpoint.
 * It takes 0.7 of the double routine's time, which counts: the vocabulary
 * softmax makes two calls per vocabulary entry and token. */
static inline float quillet_expf(float x) {
    static const double twoToJOver64[64] = {
        0x1.0000000000000p+0, 0x1.02c9a3e778061p+0, 0x1.059b0d3158574p+0, 0x1.0874518759bc8p+0, 0x1.0b5586cf9890fp+0,
        0x1.0e3ec32d3d1a2p+0, 0x1.11301d0125b51p+0, 0x1.1429aaea92de0p+0, 0x1.172b83c7d517bp+0, 0x1.1a35beb6fcb75p+0,
        0x1.1d4873168b9aap+0, 0x1.2063b88628cd6p+0, 0x1.2387a6e756238p+0, 0x1.26b4565e27cddp+0, 0x1.29e9df51fdee1p+0,
        0x1.2d285a6e4030bp+0, 0x1.306fe0a31b715p+0, 0x1.33c08b26416ffp+0, 0x1.371a7373aa9cbp+0, 0x1.3a7db34e59ff7p+0,
        0x1.3dea64c123422p+0, 0x1.4160a21f72e2ap+0, 0x1.44e086061892dp+0, 0x1.486a2b5c13cd0p+0, 0x1.4bfdad5362a27p+0,
        0x1.4f9b2769d2ca7p+0, 0x1.5342b569d4f82p+0, 0x1.56f4736b527dap+0, 0x1.5ab07dd485429p+0, 0x1.5e76f15ad2148p+0,
        0x1.6247eb03a5585p+0, 0x1.6623882552225p+0, 0x1.6a09e667f3bcdp+0, 0x1.6dfb23c651a2fp+0, 0x1.71f75e8ec5f74p+0,
        0x1.75feb564267c9p+0, 0x1.7a11473eb0187p+0, 0x1.7e2f336cf4e62p+0, 0x1.82589994cce13p+0, 0x1.868d99b4492edp+0,
        0x1.8ace5422aa0dbp+0, 0x1.8f1ae99157736p+0, 0x1.93737b0cdc5e5p+0, 0x1.97d829fde4e50p+0, 0x1.9c49182a3f090p+0,
        0x1.a0c667b5de565p+0, 0x1.a5503b23e255dp+0, 0x1.a9e6b5579fdbfp+0, 0x1.ae89f995ad3adp+0, 0x1.b33a2b84f15fbp+0,
        0x1.b7f76f2fb5e47p+0, 0x1.bcc1e904bc1d2p+0, 0x1.c199bdd85529cp+0, 0x1.c67f12e57d14bp+0, 0x1.cb720dcef9069p+0,
        0x1.d072d4a07897cp+0, 0x1.d5818dcfba487p+0, 0x1.da9e603db3285p+0, 0x1.dfc97337b9b5fp+0, 0x1.e502ee78b3ff6p+0,
        0x1.ea4afa2a490dap+0, 0x1.efa1bee615a27p+0, 0x1.f50765b6e4540p+0, 0x1.fa7c1819e90d8p+0,
    };
    /* Beyond +-126 the result is 0 or infinite as a float; inside, 2^k stays
     * a normal double's exponent and converting to float rounds the overflow,
     * the subnormals and the underflow as an exact e^x would. */
    if (!(x <= 126.0f && x >= -126.0f)) {
        if (x != x) {
            return x + x;
        }
        return x > 0.0f ? HUGE_VALF : 0.0f;
    }
    const double xd      = x;
    double       shifted = xd * 0x1.71547652b82fep+6 + 0x1.8p52; /* 64/ln2; rounds n into the low bits */
    uint64_t     shiftedBits;
    memcpy(&shiftedBits, &shifted, sizeof shiftedBits);
    double nd = shifted - 0x1.8p52;
    double r  = xd - nd * 0x1.62e42fefa39efp-7; /* ln2/64: |r| <= ln2/128 */
    double r2 = r * r;
    /* e^r - 1 in two halves that evaluate side by side */
    double   p = r + r2 * ((0.5 + r * (1.0 / 6.0)) + r2 * (1.0 / 24.0));
    double   t = twoToJOver64[shiftedBits & 63];
    double   m = t + t * p;
    uint64_t bits;
    memcpy(&bits, &m, sizeof bits);
    bits += (uint64_t) ((int64_t) (shiftedBits - 0x4338000000000000ULL) >> 6) << 52;
    memcpy(&m, &bits, sizeof m);
    return (float) m;
}
