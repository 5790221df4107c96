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

// Property names and the recurring string values of frames, made once per
// drain: a full queue sets about 1,500 properties, and looking each name up
// from C text again dominates the cost of a drain.
struct FrameStrings {
    napi_value sequence, sourceMs, kind, key, down, repeat, held, otherInput, reason;
    napi_value event, snapshot, reset;
    napi_value keyNames[KeyOther + 1];
    napi_value yes, no;
};

static bool makeString(napi_env env, const char * text, napi_value * out) {
    return napi_create_string_utf8(env, text, NAPI_AUTO_LENGTH, out) == napi_ok;
}

static bool makeFrameStrings(napi_env env, FrameStrings * s) {
    if (!makeString(env, "sequence", &s->sequence) || !makeString(env, "sourceMs", &s->sourceMs) ||
        !makeString(env, "kind", &s->kind) || !makeString(env, "key", &s->key) ||
        !makeString(env, "down", &s->down) || !makeString(env, "repeat", &s->repeat) ||
        !makeString(env, "held", &s->held) || !makeString(env, "otherInput", &s->otherInput) ||
        !makeString(env, "reason", &s->reason) || !makeString(env, "event", &s->event) ||
        !makeString(env, "snapshot", &s->snapshot) || !makeString(env, "reset", &s->reset) ||
        napi_get_boolean(env, true, &s->yes) != napi_ok || napi_get_boolean(env, false, &s->no) != napi_ok) {
        return false;
    }
    for (uint8_t id = 0; id <= KeyOther; id++) {
        if (!makeString(env, keyIdName(id), &s->keyNames[id])) {
            return false;
        }
    }
    return true;
}

static bool setValue(napi_env env, napi_value object, napi_value key, napi_value value) {
    return napi_set_property(env, object, key, value) == napi_ok;
}

static bool setNumber(napi_env env, napi_value object, napi_value key, double number) {
    napi_value value;
    return napi_create_double(env, number, &value) == napi_ok && setValue(env, object, key, value);
}

static bool setHeldNames(napi_env env, const FrameStrings & s, napi_value object, uint8_t mask) {
    napi_value held;
    if (napi_create_array(env, &held) != napi_ok) {
        return false;
    }
    uint32_t index = 0;
    for (uint8_t bit = 0; bit < modifierKeyCount; bit++) {
        if ((mask & (1u << bit)) != 0 && napi_set_element(env, held, index++, s.keyNames[bit]) != napi_ok) {
            return false;
        }
    }
    return setValue(env, object, s.held, held);
}

static napi_value buildFrameObject(napi_env env, const FrameStrings & s, const CaptureFrame & frame) {
    napi_value object;
    if (napi_create_object(env, &object) != napi_ok || !setNumber(env, object, s.sequence, (double) frame.sequence) ||
        !setNumber(env, object, s.sourceMs, frame.sourceMs)) {
        return nullptr;
    }
    bool built;
    if (frame.kind == frameEvent) {
        const uint8_t id = frame.keyId < KeyOther ? frame.keyId : (uint8_t) KeyOther;
        built = setValue(env, object, s.kind, s.event) && setValue(env, object, s.key, s.keyNames[id]) &&
                setValue(env, object, s.down, frame.down != 0 ? s.yes : s.no) &&
                setValue(env, object, s.repeat, s.no);
    } else if (frame.kind == frameSnapshot) {
        built = setValue(env, object, s.kind, s.snapshot) && setHeldNames(env, s, object, frame.heldMask) &&
                setValue(env, object, s.otherInput, frame.otherInput != 0 ? s.yes : s.no);
    } else {
        napi_value why;
        built = setValue(env, object, s.kind, s.reset) && makeString(env, frame.reason, &why) &&
                setValue(env, object, s.reason, why);
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
    FrameStrings strings;
    if (copy.frameCount > 0 && !makeFrameStrings(env, &strings)) {
        return nullptr;
    }
    for (uint64_t i = 0; i < copy.frameCount; i++) {
        napi_value frame = buildFrameObject(env, strings, copy.frames[i]);
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
