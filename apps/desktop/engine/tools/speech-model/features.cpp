// Training features and token ids made by the inference library itself, so
// that the model is trained on exactly what the engine will feed it.
//
// The library has no public call that returns the log-mel it computes, so
// this tool compiles the library's source into itself and reads the state.
//
//   features mel MODEL FRAMES OUT < list     (a line: raw s16le 16 kHz file [first frame])
//       writes, per line, FRAMES x n_mel f32 values (frame-major) to OUT
//   features tokenize MODEL < lines          (one text a line)
//       prints the token ids of each line, space-separated
//
// MODEL only needs the header, the mel filters and the vocabulary.
// FEATURES_BACKEND_DIR: where the library's backend modules are.

#include "whisper.cpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

static std::vector<float> read_pcm(const std::string & path) {
    std::ifstream      in(path, std::ios::binary);
    std::vector<char>  bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); i++) {
        int16_t v;
        memcpy(&v, bytes.data() + 2 * i, 2);
        out[i] = float(v) / 32768.0f; // the engine client's scaling
    }
    return out;
}

static void quiet_log(ggml_log_level, const char *, void *) {}

int main(int argc, char ** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: features mel MODEL FRAMES OUT < list | features tokenize MODEL < lines\n");
        return 2;
    }
    const std::string mode = argv[1];
    whisper_log_set(quiet_log, nullptr);
    // the library's backends are loadable modules; the CPU one is enough here
    const char * dir = getenv("FEATURES_BACKEND_DIR");
    ggml_backend_load_all_from_path(dir);
    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu                = false;
    whisper_context * ctx          = whisper_init_from_file_with_params_no_state(argv[2], cparams);
    if (ctx == nullptr) {
        fprintf(stderr, "features: cannot load %s\n", argv[2]);
        return 1;
    }

    if (mode == "tokenize") {
        std::string                line;
        std::vector<whisper_token> toks(1024);
        while (std::getline(std::cin, line)) {
            int n = whisper_tokenize(ctx, line.c_str(), toks.data(), (int) toks.size());
            if (n < 0) {
                fprintf(stderr, "features: cannot tokenize \"%s\"\n", line.c_str());
                return 1;
            }
            for (int i = 0; i < n; i++) {
                printf(i ? " %d" : "%d", toks[i]);
            }
            printf("\n");
        }
        return 0;
    }

    if (mode == "mel" && argc == 5) {
        const int frames = atoi(argv[3]);
        FILE *    out    = fopen(argv[4], "wb");
        if (out == nullptr) {
            return 1;
        }
        whisper_state      state; // only its mel (and timing) fields are used
        std::string        line;
        std::vector<float> buf;
        while (std::getline(std::cin, line)) {
            // the window may start inside the audio, as it does when decoding moves on
            std::string  path  = line;
            int          first = 0;
            const size_t sp    = line.find(' ');
            if (sp != std::string::npos) {
                path  = line.substr(0, sp);
                first = atoi(line.c_str() + sp + 1);
            }
            std::vector<float> pcm = read_pcm(path);
            if (whisper_pcm_to_mel_with_state(ctx, &state, pcm.data(), (int) pcm.size(), 1) != 0) {
                return 1;
            }
            const whisper_mel & mel = state.mel;
            buf.assign((size_t) frames * mel.n_mel, 0.0f);
            for (int t = 0; t < frames && first + t < mel.n_len; t++) {
                for (int j = 0; j < mel.n_mel; j++) {
                    buf[(size_t) t * mel.n_mel + j] = mel.data[(size_t) j * mel.n_len + first + t];
                }
            }
            fwrite(buf.data(), sizeof(float), buf.size(), out);
        }
        fclose(out);
        return 0;
    }
    fprintf(stderr, "features: unknown mode\n");
    return 2;
}
