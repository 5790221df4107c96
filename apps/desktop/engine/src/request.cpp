#include "request.h"
#include "engine_state.h"
#include "json_reader.h"
#include "reply.h"

#include "whisper.h"

#include <cstring>

namespace quillet {

namespace {

bool validLanguageCode(const JsonValue * v) {
    if (v == nullptr || v->kind != JsonKind::String || v->text.size() < 2 || v->text.size() > 4) {
        return false;
    }
    for (char c : v->text) {
        if (c < 'a' || c > 'z') {
            return false;
        }
    }
    return true;
}

void dropRequestWith(ErrorCode code) {
    uint64_t id = activeRequest.requestId;
    clearRequest();
    sendError(code, id);
}

} // namespace

void handleBegin(const uint8_t * payload, size_t length) {
    JsonObject obj;
    uint64_t   requestId = 0;
    if (!parseJsonObject(payload, length, obj) || obj.size() != 3 || !getUnsignedInteger(obj, "requestId", requestId)) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    const JsonValue * language = findMember(obj, "language");
    if (!validLanguageCode(language)) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    const JsonValue * prompt = findMember(obj, "prompt");
    if (prompt == nullptr || prompt->kind != JsonKind::String || prompt->utf16Length > 2048) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    if (engineState.context == nullptr) {
        sendError(ErrorCode::NotLoaded, requestId);
        return;
    }
    if (requestActive) {
        sendError(ErrorCode::Busy, requestId);
        return;
    }
    if (language->text != "auto") {
        int id = whisper_lang_id(language->text.c_str());
        if (id < 0) {
            sendError(ErrorCode::LanguageUnsupported, requestId);
            return;
        }
        if (!whisper_is_multilingual(engineState.context) && language->text != "en") {
            sendError(ErrorCode::LanguageUnsupported, requestId);
            return;
        }
        // A model's language tokens end at its translate token: the library
        // knows 100 languages, models before the 100-language ones have 99,
        // and a language beyond them would decode with the translate token.
        whisper_context * ctx = engineState.context;
        if (whisper_token_lang(ctx, id) >= whisper_token_translate(ctx)) {
            sendError(ErrorCode::LanguageUnsupported, requestId);
            return;
        }
    }
    activeRequest.requestId = requestId;
    activeRequest.language  = language->text;
    activeRequest.prompt    = prompt->text;
    activeRequest.samples.release();
    requestActive = true;
}

void appendSamples(float * dst, const uint8_t * bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        uint32_t bits;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        const uint8_t * b = bytes + 4 * i;
        bits = (uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24);
#else
        memcpy(&bits, bytes + 4 * i, 4);
#endif
        // Exponent all ones is infinity or NaN, which would poison the
        // decode: store 0.0. Branch-free so the loop vectorises.
        uint32_t keep = (bits & 0x7F800000u) == 0x7F800000u ? 0u : 0xFFFFFFFFu;
        bits &= keep;
        memcpy(&dst[i], &bits, 4);
    }
}

void handleAudio(const uint8_t * payload, size_t length) {
    if (length == 0 || length % 4 != 0 || length > 4 * (size_t) maxSamplesPerFrame) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    if (!requestActive) {
        sendError(ErrorCode::NoRequest);
        return;
    }
    size_t n = length / 4;
    if (activeRequest.samples.size() + n > maxRequestSamples) {
        dropRequestWith(ErrorCode::AudioTooLong);
        return;
    }
    float * at = activeRequest.samples.extend(n);
    if (at == nullptr) {
        dropRequestWith(ErrorCode::OutOfMemory);
        return;
    }
    appendSamples(at, payload, n);
}

void handleCancel(const uint8_t * payload, size_t length) {
    uint64_t requestId = 0;
    if (!parseRequestIdOnly(payload, length, requestId)) {
        sendError(ErrorCode::BadFrame);
        return;
    }
    if (requestActive && activeRequest.requestId == requestId) {
        clearRequest();
    }
}

} // namespace quillet
