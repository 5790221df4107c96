// Bytes in and out: samples from Audio frames, and text into reply lines.
#include "decode.h"
#include "reply.h"
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

const std::string fffd = "\xEF\xBF\xBD";

} // namespace

TEST(AudioSamples, LittleEndianAndNonFiniteBecomesPositiveZero) {
    using limits     = std::numeric_limits<float>;
    const float  inf = limits::infinity(), nan = limits::quiet_NaN(), snan = limits::signaling_NaN();
    const float  in[]   = {0.0f, 1.5f, -2.0f, 1e-40f /* subnormal */, inf, -inf, nan, 0.25f, snan};
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
    const char * cases[][2] = {{" a\n b \t", "a\n b"}, {" \t\r\n", ""}, {"", ""}, {"\v x \f", "\v x \f"}};
    for (auto & c : cases) {
        std::string s = c[0];
        trimBlanks(s);
        EXPECT_EQ(s, c[1]) << c[0];
    }
}

TEST(ReplyLines, StringsAreEscapedAndInvalidUtf8ReplacedByteByByte) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"a\nb\"c\\d\x01g\x08h\x0Ci\x1Fj\t\r/\x7F", "a\\nb\\\"c\\\\d\\u0001g\\u0008h\\u000ci\\u001fj\\t\\r/\x7F"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Each bad byte replaced: stray continuation, cut short, lead then ASCII,
        // overlong, surrogate, above U+10FFFF; a bad lead re-examines what follows.
        {"\x80z", fffd + "z"},
        {"\xE2\x82", fffd + fffd},
        {"\xE2z", fffd + "z"},
        {"\xC0\xAF", fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF8\x90\x80\x80", fffd + fffd + fffd + fffd}, // a lead byte of the old five-byte form
        {"\xE2\xC3\xA9", fffd + "\xC3\xA9"},
    };
    for (const Case & c : cases) {
        std::string m;
        appendJsonString(m, c.in);
        EXPECT_EQ(m, "\"" + c.out + "\"") << c.in;
    }
}

// Error, pong and unloaded lines are pinned byte for byte by the process tests.
TEST(ReplyLines, IntegersInFull) {
    std::string m;
    appendInt(m, -42);
    m += ',';
    appendInt(m, INT64_MIN);
    m += ',';
    appendUnsigned(m, UINT64_MAX);
    EXPECT_EQ(m, "-42,-9223372036854775808,18446744073709551615");
}
