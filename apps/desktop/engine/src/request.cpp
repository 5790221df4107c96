#include "request.h"
#include "engine_state.h"
#include "json_reader.h"
#include "reply.h"

#include "whisper.h"

#include <cstring>
#include <new>

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
    if (!parseJsonObject(payload, length, obj) || obj.size() != 3 ||
        !getUnsignedInteger(obj, "requestId", requestId)) {
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
        if (whisper_lang_id(language->text.c_str()) < 0) {
            sendError(ErrorCode::LanguageUnsupported, requestId);
            return;
        }
        if (!whisper_is_multilingual(engineState.context) && language->text != "en") {
            sendError(ErrorCode::LanguageUnsupported, requestId);
            return;
        }
    }
    activeRequest.requestId = requestId;
    activeRequest.language  = language->text;
    activeRequest.prompt    = prompt->text;
    activeRequest.samples.clear();
    requestActive = true;
}

void appendSamples(float * dst, const uint8_t * bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const uint8_t * b    = bytes + 4 * i;
        uint32_t        bits = (uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) |
                        ((uint32_t) b[3] << 24);
        // Exponent all ones: infinity or NaN, which would poison the decode.
        if ((bits & 0x7F800000u) == 0x7F800000u) {
            bits = 0;
        }
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
    size_t               n       = length / 4;
    std::vector<float> & samples = activeRequest.samples;
    size_t               held    = samples.size();
    if (held + n > maxRequestSamples) {
        dropRequestWith(ErrorCode::AudioTooLong);
        return;
    }
    try {
        size_t needed = held + n;
        if (needed > samples.capacity()) {
            size_t grown = samples.capacity() + samples.capacity() / 2;
            samples.reserve(needed > grown ? needed : grown);
        }
        samples.resize(needed);
    } catch (const std::bad_alloc &) {
        dropRequestWith(ErrorCode::OutOfMemory);
        return;
    }
    appendSamples(samples.data() + held, payload, n);
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
