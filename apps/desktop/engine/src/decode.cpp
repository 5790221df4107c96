#include "decode.h"
#include "engine_state.h"
#include "json_reader.h"
#include "reply.h"
#include "runtime.h"

#include "whisper.h"

#include <cstdio>
#include <exception>
#include <new>
#include <utility>
#include <vector>

namespace quillet {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The library splits a prompt with std::regex, whose executor recurses once
// per byte of a match, at about 320 bytes of stack each (more under the
// sanitizers): the longest prompt Begin accepts, 2,048 CJK characters, needs
// about 2 MiB, as much as a Windows main thread has. The tokenizer gets a
// thread whose stack (reserved, not committed) leaves a wide margin.
constexpr size_t tokenizeStackBytes = (size_t) 64 << 20;

struct TokenizeCall {
    whisper_context *            ctx;     // the loaded model
    const std::string *          prompt;  // UTF-8 text to tokenize
    std::vector<whisper_token> * tokens;  // sized by the caller, filled here
    int                          count;   // the library's answer
    std::exception_ptr           failure; // what the library threw, rethrown by the caller
};

void runTokenize(void * p) {
    TokenizeCall * call = static_cast<TokenizeCall *>(p);
    try {
        call->count =
            whisper_tokenize(call->ctx, call->prompt->c_str(), call->tokens->data(), (int) call->tokens->size());
    } catch (...) {
        call->failure = std::current_exception();
    }
}

int tokenizePrompt(whisper_context * ctx, const std::string & prompt, std::vector<whisper_token> & tokens) {
    TokenizeCall call = {ctx, &prompt, &tokens, 0, nullptr};
    if (!rtRunOnThread(tokenizeStackBytes, runTokenize, &call)) {
        throw std::bad_alloc();
    }
    if (call.failure) {
        std::rethrow_exception(call.failure);
    }
    return call.count;
}

} // namespace

void trimBlanks(std::string & text) {
    size_t end = text.size();
    while (end > 0 && isBlank(text[end - 1])) {
        end--;
    }
    size_t begin = 0;
    while (begin < end && isBlank(text[begin])) {
        begin++;
    }
    text.erase(end);
    text.erase(0, begin);
}

int32_t chooseAudioCtx(int64_t n, int64_t shortWindowSamples, int32_t shortAudioCtx) {
    return n < shortWindowSamples ? shortAudioCtx : 0;
}

whisper_full_params engineDecodeParams(whisper_context * ctx, int threads, int32_t audioCtx, const char * language,
                                       const std::string & prompt, std::vector<whisper_token> & tokens) {
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);

    params.n_threads        = threads;
    params.translate        = false;
    params.no_context       = true;
    params.no_timestamps    = false;
    params.single_segment   = false;
    params.print_special    = false;
    params.print_progress   = false;
    params.print_realtime   = false;
    params.print_timestamps = false;
    params.audio_ctx        = audioCtx;
    params.initial_prompt   = nullptr;
    params.language         = language;
    params.detect_language  = false;
    params.suppress_blank   = true;
    params.suppress_nst     = true;

    tokens.assign(prompt.size() + 1, 0);
    int tokenCount = 0;
    if (!prompt.empty()) {
        tokenCount = tokenizePrompt(ctx, prompt, tokens);
        if (tokenCount < 0) {
            tokenCount = 0;
        }
    }
    params.carry_initial_prompt = tokenCount != 0;
    params.prompt_tokens        = tokenCount != 0 ? tokens.data() : nullptr;
    params.prompt_n_tokens      = tokenCount;
    return params;
}

void handleFinish(const uint8_t * payload, size_t length) {
    uint64_t requestId = 0;
    if (!parseRequestIdOnly(payload, length, requestId)) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    if (!requestActive || activeRequest.requestId != requestId) {
        sendError(ErrorCode::NoRequest, requestId);
        return;
    }

    // From here on the request is ours alone, whatever the outcome.
    std::string  language = std::move(activeRequest.language);
    std::string  prompt   = std::move(activeRequest.prompt);
    SampleBuffer samples  = std::move(activeRequest.samples);
    clearRequest();

    const size_t  unpadded = samples.size();
    const int64_t audioMs  = (int64_t) (unpadded / 16);
    if (unpadded < minDecodeSamples && !samples.padTo(minDecodeSamples)) {
        throw std::bad_alloc();
    }

    std::vector<whisper_token> tokens;
    whisper_full_params        params = engineDecodeParams(
               engineState.context, engineState.threads,
               chooseAudioCtx((int64_t) unpadded, engineState.shortWindowSamples, engineState.shortAudioCtx), language.c_str(),
               prompt, tokens);

    // Printed from the record itself, so the line shows what the library is
    // really given.
    fprintf(stderr,
            "quillet-whisper: decode params strategy=%s no_timestamps=%d single_segment=%d audio_ctx=%d "
            "language=%s translate=%d no_context=%d suppress_blank=%d suppress_nst=%d threads=%d samples=%zu "
            "prompt_tokens=%d\n",
            params.strategy == WHISPER_SAMPLING_GREEDY ? "greedy" : "beam-search", (int) params.no_timestamps,
            (int) params.single_segment, params.audio_ctx, params.language, (int) params.translate,
            (int) params.no_context, (int) params.suppress_blank, (int) params.suppress_nst, params.n_threads, unpadded,
            params.prompt_n_tokens);
    fflush(stderr);

    int64_t start = monotonicNs();
    if (whisper_full(engineState.context, params, samples.data(), (int) samples.size()) != 0) {
        sendError(ErrorCode::DecodeFailed, requestId);
        return;
    }
    int         segments = whisper_full_n_segments(engineState.context);
    std::string text;
    for (int i = 0; i < segments; i++) {
        const char * segment = whisper_full_get_segment_text(engineState.context, i);
        if (segment != nullptr) {
            text += segment;
        }
    }
    trimBlanks(text);
    int64_t decodeMs = (monotonicNs() - start) / 1000000;

    fprintf(stderr, "quillet-whisper: decoded %lld ms audio in %lld ms, %d segments\n", (long long) audioMs,
            (long long) decodeMs, segments);
    fflush(stderr);

    sendResult(requestId, text, decodeMs, audioMs);
}

} // namespace quillet
