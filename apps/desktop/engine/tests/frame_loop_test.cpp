#include "frame_loop.h"
#include "reply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

using namespace quillet;

namespace {

// What the fake handlers saw, in order, as "name:payload;" items (audio:
// its length), and the reply lines the loop wrote.
std::string calls, out;

void record(const char * name, const uint8_t * p, size_t n) {
    calls += std::string(name) + ":" + std::string((const char *) p, n) + ";";
}
void fakeLoad(const uint8_t * p, size_t n) { record("load", p, n); }
void fakeBegin(const uint8_t * p, size_t n) {
    record("begin", p, n);
    std::string what((const char *) p, n);
    if (what == "oom") throw std::bad_alloc();
    if (what == "err") throw std::runtime_error("boom");
    if (what == "int") throw 7;
}
void fakeAudio(const uint8_t *, size_t n) { calls += "audio:" + std::to_string(n) + ";"; }
void fakeFinish(const uint8_t * p, size_t n) { record("finish", p, n); }
void fakeCancel(const uint8_t * p, size_t n) { record("cancel", p, n); }
void fakeReset() { calls += "reset;"; }

const FrameHandlers handlers{fakeLoad, fakeBegin, fakeAudio, fakeFinish, fakeCancel, fakeReset};

std::string rawLength(uint32_t len) { return {(char) len, (char) (len >> 8), (char) (len >> 16), (char) (len >> 24)}; }

std::string frame(uint8_t kind, const std::string & payload = "") {
    return rawLength((uint32_t) payload.size() + 1) + (char) kind + payload;
}

// What runFrameLoop returns for `input`; calls and out hold what it did.
int run(const std::string & input) {
    calls.clear();
    FILE *in = tmpfile(), *replies = tmpfile(), *previous = protocolOut;
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    protocolOut = replies;
    int code    = runFrameLoop(in, handlers, false);
    protocolOut = previous;
    out.assign(4096, '\0');
    rewind(replies);
    out.resize(fread(&out[0], 1, out.size(), replies));
    fclose(in);
    fclose(replies);
    return code;
}

const std::string bad  = "{\"type\":\"error\",\"code\":\"BAD_FRAME\"}\n";
const std::string pong = "{\"type\":\"pong\"}\n";

} // namespace

TEST(FrameLoop, DispatchRepliesAndExitCodes) {
    struct Case {
        std::string input;
        int         code;
        std::string out;
        std::string calls;
    } cases[] = {
        // Handlers get the payload without the kind byte; end of input resets.
        {frame(1, "L") + frame(2, "B") + frame(3) + frame(4, "F") + frame(5, "C"), 0, "",
         "load:L;begin:B;audio:0;finish:F;cancel:C;reset;"},
        // The built-in frames need an empty payload; Unload resets.
        {frame(7) + frame(7, "x") + frame(6) + frame(6, "x") + frame(8, "x") + frame(7), 0,
         pong + bad + "{\"type\":\"unloaded\"}\n" + bad + bad + pong, "reset;reset;"},
        {frame(8) + frame(7), 0, "", "reset;"},
        {frame(0) + frame(9, "abc") + frame(255) + frame(7), 0, bad + bad + bad + pong, "reset;"},
        {frame(7) + rawLength(0) + frame(7), 65, pong + bad, "reset;"},
        {frame(7) + rawLength(0xFFFFFFFF) + frame(7), 65, pong + bad, "reset;"},
        {frame(3, std::string(1920000, '\x01')), 0, "", "audio:1920000;reset;"},
        // The buffer never shrinks, but a payload is exactly its frame's.
        {frame(1, std::string(1000, 'z')) + frame(1, "ab"), 0, "",
         "load:" + std::string(1000, 'z') + ";load:ab;reset;"},
        // Escaping exceptions become error lines and the loop goes on.
        {frame(2, "oom") + frame(2, "err") + frame(2, "int") + frame(7), 0,
         "{\"type\":\"error\",\"code\":\"OUT_OF_MEMORY\"}\n{\"type\":\"error\",\"code\":\"INTERNAL\"}\n"
         "{\"type\":\"error\",\"code\":\"INTERNAL\"}\n" +
             pong,
         "begin:oom;begin:err;begin:int;reset;"},
    };
    for (const Case & c : cases) {
        EXPECT_EQ(run(c.input), c.code) << c.calls;
        EXPECT_EQ(out, c.out) << c.calls;
        EXPECT_EQ(calls, c.calls);
    }
}

TEST(FrameLoop, EndOfInputAnywhereIsACleanExit) {
    std::string whole = frame(1, "payload");
    for (size_t cut = 0; cut < whole.size(); cut++) {
        EXPECT_EQ(run(frame(7) + whole.substr(0, cut)), 0) << cut;
        EXPECT_EQ(out, pong) << cut;
        EXPECT_EQ(calls, "reset;") << cut;
    }
}
