#include "json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace quillet;

namespace {

bool parse(const std::string & s, JsonObject & obj) {
    return parseJsonObject((const uint8_t *) s.data(), s.size(), obj);
}

std::string nested(int depth, const std::string & open, const std::string & close) {
    std::string s = "{\"a\":";
    for (int i = 0; i < depth; i++) s += open;
    s += "[]";
    for (int i = 0; i < depth; i++) s += close;
    return s + "}";
}

} // namespace

TEST(JsonReader, AcceptsOneWellFormedObjectOnly) {
    std::string       body = "{\"k\":\"";
    std::string       fill(8192 - body.size() - 2, 'x');
    const std::string accepted[] = {"{}", " \n{\t} \r\n", "{\"a\":[1,\"x\",{\"b\":[true,false,null]},[]],\"c\":{}}",
                                    body + fill + "\"}", // 8192 bytes
                                    "\xEF\xBB\xBF{\"a\":1}", "{\"s\":\"del\x7F\"}",
                                    // 32 levels of nesting at most.
                                    nested(31, "[", "]"), nested(31, "{\"b\":", "}")};
    const std::string refused[]  = {body + fill + "x\"}", // well-formed, but over the cap
                                    "\xEF\xBB\xBF\xEF\xBB\xBF{\"a\":1}", "", "[1]", "{} x", "{\"a\":1}{}", "{\"a\":1",
                                    "{\"a\":1,}", "{\"a\" 1}", "{'a':1}", "{\"a\":True}", "{\"a\":truex}", "{\"a\":}",
                                    "{\"a\":[1 2]}", "{\"a\":{\"b\"}}", "{\"s\":\"\\x\"}", "{\"s\":\"\\u12G4\"}",
                                    "{\"s\":\"\\ud83d\\uzzzz\"}", "{\"s\":\"tab\there\"}", "{\"s\":\"open}", "{\"n\":-}",
                                    "{\"n\":+1}", "{\"n\":.5}", "{\"n\":01}", "{\"n\":1.}", "{\"n\":1e}", "{\"n\":NaN}",
                                    // Ill-formed UTF-8 outside a string, an overlong form and a cut at the end
                                    // (text_io_test has the other ill-formed sequences the two share).
                                    "{\"a\":1 \x80}", "{\"a\":\"\xE0\x80\xAF\"}", "{\"a\":\"x\"}\xC3",
                                    // No stack exhaustion beyond the nesting limit.
                                    nested(32, "[", "]"), nested(5000, "[", "]"), nested(32, "{\"b\":", "}")};
    JsonObject        obj;
    for (const std::string & text : accepted) {
        EXPECT_TRUE(parse(text, obj)) << text.substr(0, 60);
    }
    for (const std::string & text : refused) {
        EXPECT_FALSE(parse(text, obj)) << text.substr(0, 60);
    }
}

TEST(JsonReader, ValuesDecodeAndStringsCountUtf16) {
    struct Case {
        const char * json;
        std::string  text;
        size_t       utf16;
    } strings[] = {
        {"{\"s\":\"a\\\"\\/\\\\\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\"}", "a\"/\\\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC", 12},
        {"{\"s\":\"\\ud83d\\ude00\"}", "\xF0\x9F\x98\x80", 2},
        // A lone surrogate becomes U+FFFD and the next escape stands alone.
        {"{\"s\":\"\\ud83dx\"}", "\xEF\xBF\xBDx", 2},
        {"{\"s\":\"\\ud83d\\u007a\"}", "\xEF\xBF\xBDz", 2},
        {"{\"s\":\"\\ude00\"}", "\xEF\xBF\xBD", 1},
        {"{\"s\":\"a\\u0000b\"}", std::string("a\0b", 3), 3},
    };
    for (const Case & c : strings) {
        JsonObject obj;
        ASSERT_TRUE(parse(c.json, obj)) << c.json;
        EXPECT_EQ(obj.at("s").text, c.text) << c.json;
        EXPECT_EQ(obj.at("s").utf16Length, c.utf16) << c.json;
    }
    // Numbers beyond a double's range are judged by their value, whatever the
    // sign of their written exponent.
    const std::string zeros400(400, '0');
    struct Number {
        std::string text;
        double      value;
    } numbers[] = {
        {"-12.5e-1", -1.25},
        {"1E+2", 100.0},
        {"0.1", 0.1},
        {"1e400", HUGE_VAL},
        {"-0.1e401", -HUGE_VAL},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1" + zeros400 + "e-5", HUGE_VAL},
        {"0." + zeros400 + "1", 0.0},
        {"0." + zeros400 + "1e+5", 0.0},
        {"1" + zeros400 + "e-400", 1.0},
        {"0." + zeros400 + "1e+401", 1.0},
        {"0e99999999999999999999", 0.0},
        {"1e-99999999999999999999", 0.0},
        {"1e+99999999999999999999", HUGE_VAL},
    };
    for (const Number & n : numbers) {
        JsonObject obj;
        ASSERT_TRUE(parse("{\"n\":" + n.text + "}", obj)) << n.text;
        EXPECT_EQ(obj.at("n").number, n.value) << n.text;
        EXPECT_EQ(std::signbit(obj.at("n").number), std::signbit(n.value)) << n.text;
    }
    JsonObject obj;
    ASSERT_TRUE(parse("{\"b\":true,\"c\":false,\"d\":null,\"e\":[],\"request\\u0049d\":1}", obj));
    EXPECT_EQ(obj.at("b").kind, JsonKind::Bool);
    EXPECT_EQ(obj.at("b").number, 1.0);
    EXPECT_EQ(obj.at("c").number, 0.0);
    EXPECT_EQ(obj.at("d").kind, JsonKind::Null);
    EXPECT_EQ(obj.at("e").kind, JsonKind::Nested);
    EXPECT_EQ(obj.count("requestId"), 1u); // names are decoded too
    // The last of duplicate names replaces the whole member.
    ASSERT_TRUE(parse("{\"requestId\":1,\"requestId\":\"two\"}", obj));
    EXPECT_EQ(obj.at("requestId").kind, JsonKind::String);
    EXPECT_EQ(obj.at("requestId").number, 0.0);
}

TEST(JsonReader, UnsignedIntegersAndRequestIdOnly) {
    struct Case {
        std::string json;
        bool        ok; // an unsigned integer, and so a valid request-id-only payload
        uint64_t    value;
    } cases[] = {
        // dictation.test has 0, 2^53 - 1, a sign, another member and none.
        {"{\"requestId\":7}", true, 7},      {"{\"requestId\":1e3}", true, 1000},
        {"{\"requestId\":-0}", true, 0},     {"{\"requestId\":9007199254740992}", false, 0},
        {"{\"requestId\":1.5}", false, 0},   {"{\"requestId\":true}", false, 0},
        {"{\"requestId\":\"5\"}", false, 0}, {"{\"requestId\":1e400}", false, 0},
        {"{\"requestid\":1}", false, 0},
    };
    for (const Case & c : cases) {
        JsonObject obj;
        ASSERT_TRUE(parse(c.json, obj)) << c.json;
        uint64_t out = 12345, id = 12345;
        EXPECT_EQ(getUnsignedInteger(obj, "requestId", out), c.ok) << c.json;
        EXPECT_EQ(parseRequestIdOnly((const uint8_t *) c.json.data(), c.json.size(), id), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(out, c.value) << c.json;
            EXPECT_EQ(id, c.value) << c.json;
        }
    }
    // What a refused payload had parsed before its fault does not count.
    uint64_t id = 0;
    EXPECT_FALSE(parseRequestIdOnly((const uint8_t *) "{\"requestId\":1,}", 16, id));
}
