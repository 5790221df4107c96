#include "frame_loop.h"
#include "reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

using namespace quillet;

namespace {

// What the fake handlers saw, in order.
std::vector<std::string> calls;

void record(const char * name, const uint8_t * p, size_t n) {
    calls.push_back(std::string(name) + ":" + std::string((const char *) p, n));
}
void fakeLoad(const uint8_t * p, size_t n) { record("load", p, n); }
void fakeBegin(const uint8_t * p, size_t n) {
    record("begin", p, n);
    if (n == 3 && p[0] == 'o' && p[1] == 'o' && p[2] == 'm') throw std::bad_alloc();
    if (n == 3 && p[0] == 'e' && p[1] == 'r' && p[2] == 'r') throw std::runtime_error("boom");
    if (n == 3 && p[0] == 'i' && p[1] == 'n' && p[2] == 't') throw 7;
}
void fakeAudio(const uint8_t * p, size_t n) { record("audio", p, n); }
void fakeFinish(const uint8_t * p, size_t n) { record("finish", p, n); }
void fakeCancel(const uint8_t * p, size_t n) { record("cancel", p, n); }
void fakeReset() { calls.push_back("reset"); }

const FrameHandlers handlers{fakeLoad, fakeBegin, fakeAudio, fakeFinish, fakeCancel, fakeReset};

std::string frame(uint8_t kind, const std::string & payload) {
    uint32_t    len = (uint32_t) payload.size() + 1;
    std::string f;
    f.push_back((char) (len & 0xFF));
    f.push_back((char) ((len >> 8) & 0xFF));
    f.push_back((char) ((len >> 16) & 0xFF));
    f.push_back((char) ((len >> 24) & 0xFF));
    f.push_back((char) kind);
    return f + payload;
}

std::string rawLength(uint32_t len) {
    std::string f;
    for (int i = 0; i < 4; i++) f.push_back((char) ((len >> (8 * i)) & 0xFF));
    return f;
}

struct LoopRun {
    int         code;
    std::string out;
};

LoopRun run(const std::string & input, bool trace = false) {
    calls.clear();
    FILE * in  = tmpfile();
    FILE * out = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    FILE * previous = protocolOut;
    protocolOut = out;
    int code = runFrameLoop(in, handlers, trace);
    protocolOut = previous;
    fflush(out);
    rewind(out);
    std::string text;
    char        buf[4096];
    size_t      n;
    while ((n = fread(buf, 1, sizeof(buf), out)) > 0) text.append(buf, n);
    fclose(in);
    fclose(out);
    return {code, text};
}

const std::string badFrame = "{\"type\":\"error\",\"code\":\"BAD_FRAME\"}\n";

} // namespace

TEST(FrameLoop, DispatchesPayloadsWithoutKindByte) {
    LoopRun r = run(frame(1, "L") + frame(2, "B") + frame(3, "") + frame(4, "F") + frame(5, "C"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> want = {"load:L", "begin:B", "audio:", "finish:F", "cancel:C", "reset"};
    EXPECT_EQ(calls, want);
}

TEST(FrameLoop, BuiltInFramesAndTheirEmptyPayloadRule) {
    LoopRun r = run(frame(7, "") + frame(7, "x") + frame(6, "") + frame(6, "x") + frame(8, "x") + frame(7, ""));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "{\"type\":\"pong\"}\n" + badFrame + "{\"type\":\"unloaded\"}\n" + badFrame + badFrame +
                         "{\"type\":\"pong\"}\n");
    // Unload resets; the non-empty Unload and Shutdown do nothing; end of input resets.
    std::vector<std::string> want = {"reset", "reset"};
    EXPECT_EQ(calls, want);
}

TEST(FrameLoop, ShutdownStopsReadingAndResets) {
    LoopRun r = run(frame(8, "") + frame(7, ""));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(calls, std::vector<std::string>{"reset"});
}

TEST(FrameLoop, UnknownKindsAreRefusedAndTheLoopGoesOn) {
    LoopRun r = run(frame(0, "") + frame(9, "abc") + frame(255, "") + frame(7, ""));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, badFrame + badFrame + badFrame + "{\"type\":\"pong\"}\n");
}

TEST(FrameLoop, BadLengthsEndTheProcessWith65) {
    for (uint32_t len : {0u, 1920002u, 0xFFFFFFFFu}) {
        LoopRun r = run(frame(7, "") + rawLength(len) + frame(7, ""));
        EXPECT_EQ(r.code, 65) << len;
        EXPECT_EQ(r.out, "{\"type\":\"pong\"}\n" + badFrame) << len;
        EXPECT_EQ(calls, std::vector<std::string>{"reset"}) << len;
    }
}

TEST(FrameLoop, LargestFrameIsAccepted) {
    std::string payload(1920000, '\x01');
    LoopRun r = run(frame(3, payload));
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].size(), std::string("audio:").size() + 1920000);
}

TEST(FrameLoop, EndOfInputAnywhereIsACleanExit) {
    std::string whole = frame(1, "payload");
    for (size_t cut = 0; cut < whole.size(); cut++) {
        LoopRun r = run(frame(7, "") + whole.substr(0, cut));
        EXPECT_EQ(r.code, 0) << cut;
        EXPECT_EQ(r.out, "{\"type\":\"pong\"}\n") << cut;
        EXPECT_EQ(calls, std::vector<std::string>{"reset"}) << cut;
    }
}

TEST(FrameLoop, EscapingExceptionsBecomeErrorLines) {
    LoopRun r = run(frame(2, "oom") + frame(2, "err") + frame(2, "int") + frame(7, ""));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "{\"type\":\"error\",\"code\":\"OUT_OF_MEMORY\"}\n"
              "{\"type\":\"error\",\"code\":\"INTERNAL\"}\n"
              "{\"type\":\"error\",\"code\":\"INTERNAL\"}\n"
              "{\"type\":\"pong\"}\n");
}

TEST(FrameLoop, BufferShrinksNeverButPayloadLengthIsExact) {
    // A large frame followed by a small one must not leak old bytes.
    LoopRun r = run(frame(1, std::string(1000, 'z')) + frame(1, "ab"));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], "load:ab");
}
