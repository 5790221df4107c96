#include "reply.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillet;

namespace {

std::string escaped(const std::string & text) {
    std::string m;
    appendJsonString(m, text);
    return m;
}

const std::string fffd = "\xEF\xBF\xBD";

} // namespace

TEST(ReplyLines, StringsAreEscapedAndInvalidUtf8ReplacedByteByByte) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"a\nb\"c\\d\x01" "e\x08" "f\x0C" "g\x1F" "h\t\r/\x7F", "a\\nb\\\"c\\\\d\\u0001e\\u0008f\\u000cg\\u001fh\\t\\r/\x7F"},
        {"", ""},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\xFF", fffd},
        {"\x80" "a", fffd + "a"},                    // stray continuation
        {"\xE2\x82", fffd + fffd},                   // cut short: each byte replaced
        {"\xE2" "A", fffd + "A"},                    // lead followed by ASCII
        {"\xC0\xAF", fffd + fffd},                   // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},        // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xE2\xC3\xA9", fffd + "\xC3\xA9"},         // a bad lead re-examines what follows
    };
    for (const Case & c : cases) {
        EXPECT_EQ(escaped(c.in), "\"" + c.out + "\"") << c.in;
    }
    std::string all;
    for (int b = 0; b < 256; b++) all.push_back((char) b);
    EXPECT_EQ(escaped(all).find_first_of("\r\n"), std::string::npos);
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
