// In-process figures of the engine's input path: the strict JSON reader on
// 8 KiB payloads, and audio intake of 10 minutes in 20 frames through the
// real frame loop and audio handler (no pipe in between).
#include "engine_state.h"
#include "frame_loop.h"
#include "json_reader.h"
#include "reply.h"
#include "request.h"

#include <vector>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using namespace quillet;

static double secondsFor(const std::string & payload, int rounds) {
    JsonObject obj;
    auto       start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        if (!parseJsonObject((const uint8_t *) payload.data(), payload.size(), obj)) {
            fprintf(stderr, "payload did not parse\n");
            return -1;
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static std::string fill(const std::string & head, const std::string & unit, const std::string & tail) {
    std::string s = head;
    while (s.size() + unit.size() + tail.size() <= 8192) s += unit;
    return s + tail;
}

int main() {
    struct Case {
        const char * name;
        std::string  payload;
    } cases[] = {
        {"ascii prompt", fill("{\"requestId\":1,\"language\":\"en\",\"prompt\":\"", "abcdefgh", "\"}")},
        {"multibyte prompt", fill("{\"requestId\":1,\"language\":\"en\",\"prompt\":\"", "\xC3\xA9\xE2\x82\xAC", "\"}")},
        {"escapes", fill("{\"requestId\":1,\"language\":\"en\",\"prompt\":\"", "\\n\\u00e9\\\"", "\"}")},
        {"many members", fill("{\"a\":1", ",\"m\":[1,2.5,true]", "}")},
    };
    const int rounds = 20000;
    printf("JSON reader, %d parses per payload\n", rounds);
    for (const Case & c : cases) {
        double s = secondsFor(c.payload, rounds);
        if (s < 0) return 1;
        double bytes = (double) c.payload.size() * rounds;
        printf("  %-18s %5zu bytes  %8.2f us/parse  %7.1f MB/s\n", c.name, c.payload.size(), s * 1e6 / rounds,
               bytes / s / 1e6);
    }

    // 20 audio frames of 480,000 samples, as the host would send them.
    std::vector<uint8_t> stream;
    for (int f = 0; f < 20; f++) {
        uint32_t len     = 1920001;
        uint8_t  head[5] = {(uint8_t) len, (uint8_t) (len >> 8), (uint8_t) (len >> 16), (uint8_t) (len >> 24), 3};
        stream.insert(stream.end(), head, head + 5);
        size_t at = stream.size();
        stream.resize(at + 1920000);
        for (size_t i = 0; i < 480000; i++) {
            float v = 0.25f * (float) ((i % 200) - 100) / 100.0f;
            memcpy(&stream[at + 4 * i], &v, 4);
        }
    }
    FrameHandlers handlers{nullptr, nullptr, handleAudio, nullptr, nullptr, clearRequest};
    protocolOut = fopen("/dev/null", "wb");
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        FILE * in               = fmemopen(stream.data(), stream.size(), "rb");
        requestActive           = true;
        activeRequest.requestId = 1;
        auto start              = std::chrono::steady_clock::now();
        // The loop ends at end of input, which also drops the request.
        runFrameLoop(in, handlers, false);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        fclose(in);
        best = ms < best ? ms : best;
    }
    printf("Audio intake, 20 frames of 480000 samples (38.4 MB), best of 5: %.1f ms, %.2f GB/s\n", best,
           38.4e6 / (best / 1000.0) / 1e9);
    return 0;
}
