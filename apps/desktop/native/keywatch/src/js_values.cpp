#include "js_values.h"

#include "key_id.h"

namespace keywatch {

napi_value throwNapiFailure(napi_env env) {
    napi_throw_error(env, nullptr, napiFailureMessage);
    return nullptr;
}

static bool setString(napi_env env, napi_value object, const char * key, const char * text) {
    napi_value value;
    return napi_create_string_utf8(env, text, NAPI_AUTO_LENGTH, &value) == napi_ok &&
           napi_set_named_property(env, object, key, value) == napi_ok;
}

static bool setBoolean(napi_env env, napi_value object, const char * key, bool flag) {
    napi_value value;
    return napi_get_boolean(env, flag, &value) == napi_ok && napi_set_named_property(env, object, key, value) == napi_ok;
}

static bool setDouble(napi_env env, napi_value object, const char * key, double number) {
    napi_value value;
    return napi_create_double(env, number, &value) == napi_ok &&
           napi_set_named_property(env, object, key, value) == napi_ok;
}

napi_value buildStatusObject(napi_env env, const CaptureStatus & status) {
    napi_value object;
    if (napi_create_object(env, &object) != napi_ok) {
        return nullptr;
    }
    if (!setString(env, object, "platform", "win32") || !setString(env, object, "accessibility", "unsupported") ||
        !setString(env, object, "listen", "unsupported") || !setBoolean(env, object, "running", status.running) ||
        !setDouble(env, object, "epoch", (double) status.epoch)) {
        return nullptr;
    }
    napi_value failure;
    const napi_status made = status.failure != nullptr
                                 ? napi_create_string_utf8(env, status.failure, NAPI_AUTO_LENGTH, &failure)
                                 : napi_get_null(env, &failure);
    if (made != napi_ok || napi_set_named_property(env, object, "failure", failure) != napi_ok) {
        return nullptr;
    }
    return object;
}

static bool setHeldNames(napi_env env, napi_value object, uint8_t mask) {
    napi_value held;
    if (napi_create_array(env, &held) != napi_ok) {
        return false;
    }
    uint32_t index = 0;
    for (uint8_t bit = 0; bit < modifierKeyCount; bit++) {
        if ((mask & (1u << bit)) == 0) {
            continue;
        }
        napi_value name;
        if (napi_create_string_utf8(env, keyIdName(bit), NAPI_AUTO_LENGTH, &name) != napi_ok ||
            napi_set_element(env, held, index++, name) != napi_ok) {
            return false;
        }
    }
    return napi_set_named_property(env, object, "held", held) == napi_ok;
}

static napi_value buildFrameObject(napi_env env, const CaptureFrame & frame) {
    napi_value object;
    if (napi_create_object(env, &object) != napi_ok || !setDouble(env, object, "sequence", (double) frame.sequence) ||
        !setDouble(env, object, "sourceMs", frame.sourceMs)) {
        return nullptr;
    }
    bool built;
    if (frame.kind == frameEvent) {
        built = setString(env, object, "kind", "event") && setString(env, object, "key", keyIdName(frame.keyId)) &&
                setBoolean(env, object, "down", frame.down != 0) && setBoolean(env, object, "repeat", false);
    } else if (frame.kind == frameSnapshot) {
        built = setString(env, object, "kind", "snapshot") && setHeldNames(env, object, frame.heldMask) &&
                setBoolean(env, object, "otherInput", frame.otherInput != 0);
    } else {
        built = setString(env, object, "kind", "reset") && setString(env, object, "reason", frame.reason);
    }
    return built ? object : nullptr;
}

napi_value buildDrainResult(napi_env env, const DrainCopy & copy) {
    napi_value result;
    if (napi_create_object(env, &result) != napi_ok || !setDouble(env, result, "epoch", (double) copy.epoch) ||
        !setDouble(env, result, "clockMs", copy.clockMs)) {
        return nullptr;
    }
    const CaptureStatus status = {copy.running, copy.failure, copy.epoch};
    napi_value statusObject = buildStatusObject(env, status);
    if (statusObject == nullptr || napi_set_named_property(env, result, "status", statusObject) != napi_ok) {
        return nullptr;
    }
    napi_value frames;
    if (napi_create_array_with_length(env, (size_t) copy.frameCount, &frames) != napi_ok) {
        return nullptr;
    }
    for (uint64_t i = 0; i < copy.frameCount; i++) {
        napi_value frame = buildFrameObject(env, copy.frames[i]);
        if (frame == nullptr || napi_set_element(env, frames, (uint32_t) i, frame) != napi_ok) {
            return nullptr;
        }
    }
    if (napi_set_named_property(env, result, "frames", frames) != napi_ok) {
        return nullptr;
    }
    return result;
}

} // namespace keywatch
