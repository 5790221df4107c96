#include "error_codes.h"
#include "reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

using namespace quillet;

namespace {

std::string escaped(const std::string & text) {
    std::string m;
    appendJsonString(m, text);
    return m;
}

// Captures what the reply writers put on the protocol stream.
struct CapturedReplies {
    FILE * previous;
    FILE * file;
    CapturedReplies() : previous(protocolOut), file(tmpfile()) { protocolOut = file; }
    ~CapturedReplies() {
        protocolOut = previous;
        fclose(file);
    }
    std::string text() {
        fflush(file);
        std::string out;
        rewind(file);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), file)) > 0) out.append(buf, n);
        return out;
    }
};

} // namespace

TEST(AppendJsonString, EscapesControlAndSpecialBytes) {
    EXPECT_EQ(escaped("a\nb\"c\\d\x01" "e\x08" "f\x0C" "g\x1F" "h\t\r/\x7F"),
              "\"a\\nb\\\"c\\\\d\\u0001e\\u0008f\\u000cg\\u001fh\\t\\r/\x7F\"");
    EXPECT_EQ(escaped(""), "\"\"");
    EXPECT_EQ(escaped(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(AppendJsonString, ReplacesInvalidUtf8ByteByByte) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(escaped("\xFF"), "\"" + fffd + "\"");
    EXPECT_EQ(escaped("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
    EXPECT_EQ(escaped("\x80" "a"), "\"" + fffd + "a\"");          // stray continuation
    EXPECT_EQ(escaped("\xE2\x82"), "\"" + fffd + fffd + "\"");     // cut short: each byte replaced
    EXPECT_EQ(escaped("\xE2" "A"), "\"" + fffd + "A\"");           // lead followed by ASCII
    EXPECT_EQ(escaped("\xC0\xAF"), "\"" + fffd + fffd + "\"");     // overlong
    EXPECT_EQ(escaped("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\""); // surrogate
    EXPECT_EQ(escaped("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");
    EXPECT_EQ(escaped("\xF8\x88\x80\x80\x80"), "\"" + fffd + fffd + fffd + fffd + fffd + "\"");
    // A bad lead re-examines what follows as a fresh sequence.
    EXPECT_EQ(escaped("\xE2\xC3\xA9"), "\"" + fffd + "\xC3\xA9\"");
}

TEST(AppendJsonString, OutputIsAlwaysOneLine) {
    std::string all;
    for (int b = 0; b < 256; b++) all.push_back((char) b);
    std::string m = escaped(all);
    EXPECT_EQ(m.find('\n'), std::string::npos);
    EXPECT_EQ(m.find('\r'), std::string::npos);
}

TEST(AppendIntegers, DecimalWithoutPadding) {
    std::string m;
    appendInt(m, 0);
    m += ',';
    appendInt(m, -42);
    m += ',';
    appendInt(m, INT64_MIN);
    m += ',';
    appendUnsigned(m, 9007199254740991ull);
    m += ',';
    appendUnsigned(m, UINT64_MAX);
    EXPECT_EQ(m, "0,-42,-9223372036854775808,9007199254740991,18446744073709551615");
}

TEST(ErrorLines, ExactBytes) {
    CapturedReplies out;
    sendError(ErrorCode::BadFrame);
    sendError(ErrorCode::Busy, 5);
    sendError(ErrorCode::NoRequest, 9007199254740991ull);
    sendPong();
    sendUnloaded();
    EXPECT_EQ(out.text(),
              "{\"type\":\"error\",\"code\":\"BAD_FRAME\"}\n"
              "{\"type\":\"error\",\"code\":\"BUSY\",\"requestId\":5}\n"
              "{\"type\":\"error\",\"code\":\"NO_REQUEST\",\"requestId\":9007199254740991}\n"
              "{\"type\":\"pong\"}\n"
              "{\"type\":\"unloaded\"}\n");
}

TEST(ErrorLines, VocabularyIsClosedAndDistinct) {
    std::set<std::string> words;
    for (int i = 0; i < errorCodeCount; i++) {
        std::string w = errorCodeText((ErrorCode) i);
        for (char c : w) EXPECT_TRUE((c >= 'A' && c <= 'Z') || c == '_') << w;
        words.insert(w);
    }
    EXPECT_EQ(words.size(), (size_t) errorCodeCount);
    EXPECT_EQ(words.count("LANGUAGE_UNSUPPORTED"), 1u);
    EXPECT_EQ(words.count("AUDIO_TOO_LONG"), 1u);
}

TEST(ErrorLines, WriteFailureIsIgnored) {
    FILE * previous = protocolOut;
    FILE * readOnly = fopen("/dev/null", "rb");
    ASSERT_NE(readOnly, nullptr);
    protocolOut = readOnly;
    sendError(ErrorCode::Internal); // must neither crash nor throw
    protocolOut = nullptr;
    sendPong();
    protocolOut = previous;
    fclose(readOnly);
}
