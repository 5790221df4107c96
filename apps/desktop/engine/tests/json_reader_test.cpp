#include "json_reader.h"

#include <gtest/gtest.h>

#include <cmath>

#include <string>

using namespace quillet;

namespace {

bool parse(const std::string & s, JsonObject & obj) {
    return parseJsonObject((const uint8_t *) s.data(), s.size(), obj);
}

bool parses(const std::string & s) {
    JsonObject obj;
    return parse(s, obj);
}

std::string nestedArrays(int depth) {
    return "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

} // namespace

TEST(JsonReader, SizeLimitIsCheckedBeforeParsing) {
    std::string body = "{\"k\":\"";
    std::string tail = "\"}";
    std::string exact = body + std::string(8192 - body.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(exact.size(), 8192u);
    EXPECT_TRUE(parses(exact));
    std::string over = body + std::string(8193 - body.size() - tail.size(), 'x') + tail;
    EXPECT_FALSE(parses(over));
    // Trailing whitespace is well-formed, but still over the cap.
    EXPECT_FALSE(parses(exact + " "));
}

TEST(JsonReader, TopLevelMustBeOneObject) {
    EXPECT_FALSE(parses(""));
    EXPECT_FALSE(parses("   \t\r\n"));
    EXPECT_FALSE(parses("[1]"));
    EXPECT_FALSE(parses("\"x\""));
    EXPECT_TRUE(parses("{}"));
    EXPECT_TRUE(parses(" \n{ } \r\n"));
    EXPECT_FALSE(parses("{} x"));
    EXPECT_FALSE(parses("{}{}"));
    EXPECT_FALSE(parses("{\"a\":1} x"));
    EXPECT_FALSE(parses("{\"a\":1"));
}

TEST(JsonReader, SyntaxErrorsFail) {
    EXPECT_FALSE(parses("{\"a\":1,}"));
    EXPECT_FALSE(parses("{\"a\" 1}"));
    EXPECT_FALSE(parses("{'a':1}"));
    EXPECT_FALSE(parses("{a:1}"));
    EXPECT_FALSE(parses("{\"a\":True}"));
    EXPECT_FALSE(parses("{\"a\":tru}"));
    EXPECT_FALSE(parses("{\"a\":truex}"));
    EXPECT_FALSE(parses("{\"a\":nul}"));
    EXPECT_FALSE(parses("{\"a\":}"));
    EXPECT_FALSE(parses("{\"a\":[1,]}"));
    EXPECT_FALSE(parses("{\"a\":[1 2]}"));
    EXPECT_FALSE(parses("{\"a\":{\"b\"}}"));
    EXPECT_TRUE(parses("{\"a\":[1,\"x\",{\"b\":[true,false,null]},[]],\"c\":{}}"));
}

TEST(JsonReader, ByteOrderMarkOnceOnly) {
    EXPECT_TRUE(parses("\xEF\xBB\xBF{\"a\":1}"));
    EXPECT_FALSE(parses("\xEF\xBB\xBF\xEF\xBB\xBF{\"a\":1}"));
    EXPECT_FALSE(parses("\xEF\xBB\xBF"));
}

TEST(JsonReader, Utf8IsValidatedEverywhere) {
    EXPECT_TRUE(parses("{\"a\":\"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"}"));
    EXPECT_FALSE(parses("{\"a\":\"\xFF\"}"));
    EXPECT_FALSE(parses("{\"a\":1 \x80}"));             // between members
    EXPECT_FALSE(parses("{\"a\":\"\xED\xA0\x80\"}"));   // encoded surrogate
    EXPECT_FALSE(parses("{\"a\":\"\xC0\xAF\"}"));       // overlong
    EXPECT_FALSE(parses("{\"a\":\"\xE0\x80\xAF\"}"));   // overlong 3-byte
    EXPECT_FALSE(parses("{\"a\":\"\xF4\x90\x80\x80\"}")); // above U+10FFFF
    EXPECT_FALSE(parses("{\"a\":\"\xE2\x82\"}"));       // cut short
    EXPECT_FALSE(parses("{\"a\":\"x\"}\xC3"));          // cut at the end
}

TEST(JsonReader, StringsDecodeEscapesAndCountUtf16) {
    JsonObject obj;
    ASSERT_TRUE(parse("{\"s\":\"a\\\"\\/\\\\\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\"}", obj));
    const JsonValue & s = obj.at("s");
    EXPECT_EQ(s.kind, JsonKind::String);
    EXPECT_EQ(s.text, std::string("a\"/\\\b\f\n\r\tA\xC3\xA9\xE2\x82\xAC"));
    EXPECT_EQ(s.utf16Length, 12u);

    ASSERT_TRUE(parse("{\"s\":\"\\ud83d\\ude00\"}", obj));
    EXPECT_EQ(obj.at("s").text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(obj.at("s").utf16Length, 2u);

    ASSERT_TRUE(parse("{\"s\":\"\xF0\x9F\x98\x80x\"}", obj)); // raw 4-byte counts 2
    EXPECT_EQ(obj.at("s").utf16Length, 3u);

    // A lone high surrogate becomes U+FFFD and the next escape stands alone.
    ASSERT_TRUE(parse("{\"s\":\"\\ud83dx\"}", obj));
    EXPECT_EQ(obj.at("s").text, "\xEF\xBF\xBDx");
    EXPECT_EQ(obj.at("s").utf16Length, 2u);
    ASSERT_TRUE(parse("{\"s\":\"\\ud83d\\u0041\"}", obj));
    EXPECT_EQ(obj.at("s").text, "\xEF\xBF\xBD" "A");
    EXPECT_FALSE(parses("{\"s\":\"\\ud83d\\uZZZZ\"}"));
    ASSERT_TRUE(parse("{\"s\":\"\\ude00\"}", obj)); // lone low surrogate
    EXPECT_EQ(obj.at("s").text, "\xEF\xBF\xBD");
    EXPECT_EQ(obj.at("s").utf16Length, 1u);

    ASSERT_TRUE(parse("{\"s\":\"a\\u0000b\"}", obj));
    EXPECT_EQ(obj.at("s").text, std::string("a\0b", 3));

    EXPECT_FALSE(parses("{\"s\":\"\\x\"}"));
    EXPECT_FALSE(parses("{\"s\":\"\\u12\"}"));
    EXPECT_FALSE(parses("{\"s\":\"\\u12G4\"}"));
    EXPECT_FALSE(parses("{\"s\":\"tab\there\"}"));
    EXPECT_TRUE(parses("{\"s\":\"tab\\there\"}"));
    EXPECT_TRUE(parses("{\"s\":\"del\x7F\"}"));
    EXPECT_FALSE(parses("{\"s\":\"open}"));
}

TEST(JsonReader, NamesAreDecodedAndLastDuplicateWins) {
    JsonObject obj;
    ASSERT_TRUE(parse("{\"request\\u0049d\":1}", obj));
    EXPECT_EQ(obj.size(), 1u);
    EXPECT_EQ(obj.count("requestId"), 1u);

    ASSERT_TRUE(parse("{\"requestId\":1,\"requestId\":\"two\"}", obj));
    EXPECT_EQ(obj.size(), 1u);
    EXPECT_EQ(obj.at("requestId").kind, JsonKind::String);
    EXPECT_EQ(obj.at("requestId").number, 0.0); // every field replaced

    ASSERT_TRUE(parse("{\"requestId\":1,\"requestId\":2}", obj));
    uint64_t id = 0;
    EXPECT_TRUE(getUnsignedInteger(obj, "requestId", id));
    EXPECT_EQ(id, 2u);
}

TEST(JsonReader, NestingDepthLimit) {
    EXPECT_TRUE(parses(nestedArrays(32)));
    EXPECT_FALSE(parses(nestedArrays(33)));
    EXPECT_FALSE(parses(nestedArrays(5000))); // no stack exhaustion
    std::string objects = "{\"a\":";
    for (int i = 0; i < 31; i++) objects += "{\"b\":";
    objects += "[]";
    for (int i = 0; i < 31; i++) objects += "}";
    objects += "}";
    EXPECT_TRUE(parses(objects));
}

TEST(JsonReader, NumbersFollowTheGrammar) {
    JsonObject obj;
    ASSERT_TRUE(parse("{\"n\":-12.5e-1}", obj));
    EXPECT_EQ(obj.at("n").number, -1.25);
    ASSERT_TRUE(parse("{\"n\":1E+2}", obj));
    EXPECT_EQ(obj.at("n").number, 100.0);
    ASSERT_TRUE(parse("{\"n\":0.1}", obj));
    EXPECT_EQ(obj.at("n").number, 0.1);
    ASSERT_TRUE(parse("{\"n\":1e400}", obj));
    EXPECT_TRUE(std::isinf(obj.at("n").number));
    ASSERT_TRUE(parse("{\"n\":1e-400}", obj));
    EXPECT_EQ(obj.at("n").number, 0.0);
    for (const char * bad : {"{\"n\":-}", "{\"n\":+1}", "{\"n\":.5}", "{\"n\":01}", "{\"n\":1.}",
                             "{\"n\":1e}", "{\"n\":1e+}", "{\"n\":0x10}", "{\"n\":NaN}", "{\"n\":--1}"}) {
        EXPECT_FALSE(parses(bad)) << bad;
    }
    ASSERT_TRUE(parse("{\"b\":true,\"c\":false,\"d\":null,\"e\":[]}", obj));
    EXPECT_EQ(obj.at("b").kind, JsonKind::Bool);
    EXPECT_EQ(obj.at("b").number, 1.0);
    EXPECT_EQ(obj.at("c").number, 0.0);
    EXPECT_EQ(obj.at("d").kind, JsonKind::Null);
    EXPECT_EQ(obj.at("e").kind, JsonKind::Nested);
}

TEST(JsonReader, UnsignedIntegerRange) {
    struct Case {
        const char * json;
        bool         ok;
        uint64_t     value;
    } cases[] = {
        {"{\"requestId\":0}", true, 0},
        {"{\"requestId\":7}", true, 7},
        {"{\"requestId\":9007199254740991}", true, 9007199254740991ull},
        {"{\"requestId\":1e3}", true, 1000},
        {"{\"requestId\":-0}", true, 0},
        {"{\"requestId\":9007199254740992}", false, 0},
        {"{\"requestId\":-1}", false, 0},
        {"{\"requestId\":1.5}", false, 0},
        {"{\"requestId\":true}", false, 0},
        {"{\"requestId\":\"5\"}", false, 0},
        {"{\"requestId\":null}", false, 0},
        {"{\"requestId\":1e400}", false, 0},
        {"{\"other\":1}", false, 0},
    };
    for (const Case & c : cases) {
        JsonObject obj;
        ASSERT_TRUE(parse(c.json, obj)) << c.json;
        uint64_t out = 12345;
        EXPECT_EQ(getUnsignedInteger(obj, "requestId", out), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(out, c.value) << c.json;
        }
    }
}

TEST(JsonReader, RequestIdOnly) {
    uint64_t id = 0;
    auto only = [&](const std::string & s) { return parseRequestIdOnly((const uint8_t *) s.data(), s.size(), id); };
    EXPECT_TRUE(only("{\"requestId\":42}"));
    EXPECT_EQ(id, 42u);
    EXPECT_TRUE(only("{\"requestId\":1,\"requestId\":3}"));
    EXPECT_EQ(id, 3u);
    EXPECT_FALSE(only("{\"requestId\":42,\"x\":1}"));
    EXPECT_FALSE(only("{}"));
    EXPECT_FALSE(only("{\"requestId\":-3}"));
    EXPECT_FALSE(only("{\"requestid\":3}"));
    EXPECT_FALSE(only("not json"));
}
