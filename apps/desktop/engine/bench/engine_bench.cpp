// Engine figures against the bare library, in one process and one run:
//   exec to hello; load (ready's loadMs / bare whisper_init_with_params);
//   decode overhead (Finish -> result / bare whisper_full on the same input);
//   intake of 10 minutes of audio in 20 frames; peak resident memory.
// Usage: engine_bench <engine> <model> [threads] [seconds of audio]
#include "decode.h"
#include "ggml-backend.h"
#include "whisper.h"

#include <cmath>
#include <fcntl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long peakKiB(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", (int) pid);
    FILE * f = fopen(path, "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = atol(line + 6);
    }
    fclose(f);
    return kib;
}

struct Engine {
    pid_t  pid = -1;
    FILE * in  = nullptr; // engine's stdin
    FILE * out = nullptr; // engine's stdout

    bool start(const char * bin) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) || pipe(fromChild)) return false;
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            close(toChild[1]);
            close(fromChild[0]);
            execl(bin, bin, (char *) nullptr);
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in  = fdopen(toChild[1], "wb");
        out = fdopen(fromChild[0], "rb");
        return pid > 0;
    }
    void frame(uint8_t kind, const void * payload, size_t n) {
        uint32_t len     = (uint32_t) n + 1;
        uint8_t  head[5] = {(uint8_t) len, (uint8_t) (len >> 8), (uint8_t) (len >> 16), (uint8_t) (len >> 24), kind};
        fwrite(head, 1, 5, in);
        if (n) fwrite(payload, 1, n, in);
        fflush(in);
    }
    void        frame(uint8_t kind, const std::string & s) { frame(kind, s.data(), s.size()); }
    std::string line() {
        std::string s;
        int         c;
        while ((c = fgetc(out)) != EOF && c != '\n') s.push_back((char) c);
        return s;
    }
    int stop() {
        frame(8, nullptr, 0);
        fclose(in);
        int status = 0;
        waitpid(pid, &status, 0);
        fclose(out);
        return status;
    }
};

long long field(const std::string & line, const char * key) {
    size_t at = line.find(key);
    return at == std::string::npos ? -1 : atoll(line.c_str() + at + strlen(key));
}

void quiet(enum ggml_log_level, const char *, void *) {}

} // namespace

int main(int argc, char ** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <engine> <model> [threads] [seconds]\n", argv[0]);
        return 2;
    }
    const char * bin     = argv[1];
    const char * model   = argv[2];
    int          threads = argc > 3 ? atoi(argv[3]) : 2;
    double       seconds = argc > 4 ? atof(argv[4]) : 3.0;
    signal(SIGPIPE, SIG_IGN);
    whisper_log_set(quiet, nullptr);
    ggml_log_set(quiet, nullptr);
    // The bare side loads the same backends the engine finds beside itself.
    std::string engineDir = bin;
    engineDir             = engineDir.find('/') == std::string::npos ? "." : engineDir.substr(0, engineDir.rfind('/'));
    ggml_backend_load_all_from_path(engineDir.c_str());

    // Audio: a chirp, the same bytes for both sides.
    std::vector<float> audio((size_t) (seconds * 16000));
    for (size_t i = 0; i < audio.size(); i++) audio[i] = 0.1f * (float) sin(0.001 * (double) i * (double) i / 16000.0);

    // Exec to hello, best of 10.
    double helloBest = 1e9;
    for (int i = 0; i < 10; i++) {
        Engine e;
        double t0 = nowMs();
        e.start(bin);
        std::string hello = e.line();
        double      t     = nowMs() - t0;
        if (hello.find("\"hello\"") == std::string::npos) {
            fprintf(stderr, "no hello: %s\n", hello.c_str());
            return 1;
        }
        helloBest = t < helloBest ? t : helloBest;
        e.stop();
    }

    // The engine side.
    Engine e;
    e.start(bin);
    e.line();
    char load[4200];
    snprintf(load, sizeof(load),
             "{\"version\":2,\"modelPath\":\"%s\",\"device\":\"cpu\",\"threads\":%d,\"shortWindowSamples\":0,"
             "\"shortAudioCtx\":0}",
             model, threads);
    e.frame(1, load);
    std::string ready        = e.line();
    long long   loadMs       = field(ready, "\"loadMs\":");
    const int   rounds       = 3;
    double      engineDecode = 1e9;
    for (int r = 0; r < rounds; r++) {
        e.frame(2, "{\"requestId\":1,\"language\":\"en\",\"prompt\":\"\"}");
        e.frame(3, audio.data(), audio.size() * 4);
        double t0 = nowMs();
        e.frame(4, "{\"requestId\":1}");
        std::string result = e.line();
        double      t      = nowMs() - t0;
        if (result.find("\"result\"") == std::string::npos) {
            fprintf(stderr, "no result: %s\n", result.c_str());
            return 1;
        }
        engineDecode = t < engineDecode ? t : engineDecode;
    }

    long enginePeak = peakKiB(e.pid);

    // Intake: 10 minutes in 20 frames, then a ping to know all was read.
    std::vector<float> frameAudio(480000, 0.25f);
    e.frame(2, "{\"requestId\":2,\"language\":\"en\",\"prompt\":\"\"}");
    e.frame(7, nullptr, 0);
    e.line();
    double t0 = nowMs();
    for (int i = 0; i < 20; i++) e.frame(3, frameAudio.data(), frameAudio.size() * 4);
    e.frame(7, nullptr, 0);
    e.line();
    double intakeMs   = nowMs() - t0;
    long   intakePeak = peakKiB(e.pid);
    e.frame(5, "{\"requestId\":2}");
    e.stop();

    // The bare library, same model, parameters and input.
    whisper_context_params cp  = whisper_context_default_params();
    cp.use_gpu                 = false;
    cp.flash_attn              = true;
    double            b0       = nowMs();
    whisper_context * ctx      = whisper_init_from_file_with_params(model, cp);
    double            bareLoad = nowMs() - b0;
    if (!ctx) {
        fprintf(stderr, "bare load failed\n");
        return 1;
    }
    double bareDecode = 1e9;
    for (int r = 0; r < rounds; r++) {
        std::vector<whisper_token> tokens;
        whisper_full_params        p = quillet::engineDecodeParams(ctx, threads, 0, "en", "", tokens);
        double                     t = nowMs();
        whisper_full(ctx, p, audio.data(), (int) audio.size());
        int         n = whisper_full_n_segments(ctx);
        std::string text;
        for (int i = 0; i < n; i++) text += whisper_full_get_segment_text(ctx, i);
        t          = nowMs() - t;
        bareDecode = t < bareDecode ? t : bareDecode;
    }
    whisper_free(ctx);
    long barePeak = peakKiB(getpid());

    printf("engine %s, model %s, %d threads, %.1f s audio\n", bin, model, threads, seconds);
    printf("  exec to hello (best of 10):      %8.2f ms\n", helloBest);
    printf("  load: ready loadMs %lld ms, bare init %.1f ms, ratio %.3f\n", loadMs, bareLoad,
           bareLoad > 0 ? (double) loadMs / bareLoad : 0.0);
    printf("  decode (best of %d): Finish->result %.1f ms, bare whisper_full %.1f ms, ratio %.3f\n", rounds,
           engineDecode, bareDecode, engineDecode / bareDecode);
    printf("  intake through the pipe: 20 frames of 480000 samples (38.4 MB) in %.1f ms, %.2f GB/s\n", intakeMs,
           38.4e6 / (intakeMs / 1000.0) / 1e9);
    printf("  peak resident after decoding: engine %ld KiB, bare library process %ld KiB\n", enginePeak, barePeak);
    printf("  peak resident with 10 minutes of audio held: engine %ld KiB\n", intakePeak);
    return 0;
}
