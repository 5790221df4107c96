#include "js_values.h"

#include <new>

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
    return napi_get_boolean(env, flag, &value) == napi_ok &&
           napi_set_named_property(env, object, key, value) == napi_ok;
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
    napi_value        failure;
    const napi_status made = status.failure != nullptr
                                 ? napi_create_string_utf8(env, status.failure, NAPI_AUTO_LENGTH, &failure)
                                 : napi_get_null(env, &failure);
    if (made != napi_ok || napi_set_named_property(env, object, "failure", failure) != napi_ok) {
        return nullptr;
    }
    return object;
}

// Frames are built by one small JS function per environment, called once per
// drain with the frames packed into a Float64Array: setting ~1,500
// properties one Node-API call at a time costs about a microsecond per frame,
// while a JS object literal gets V8's fast path. The objects are the same:
// same keys in the same order, the same values.
//
// Four numbers per frame: sequence, sourceMs, kind (0 event, 1 snapshot,
// 2 reset), and the kind's detail: key id | down << 4 for an event, held mask
// | otherInput << 8 for a snapshot. Reset reasons come in their own array.
static const char frameFactorySource[] =
    "(function (data, count, reasons, keyNames) {\n"
    "  const frames = new Array(count);\n"
    "  let r = 0;\n"
    "  for (let i = 0; i < count; i++) {\n"
    "    const o = i * 4, kind = data[o + 2], x = data[o + 3];\n"
    "    if (kind === 0) {\n"
    "      frames[i] = { sequence: data[o], sourceMs: data[o + 1], kind: 'event',\n"
    "                    key: keyNames[x & 15], down: (x & 16) !== 0, repeat: false };\n"
    "    } else if (kind === 1) {\n"
    "      const held = [];\n"
    "      for (let b = 0; b < 8; b++) if ((x & (1 << b)) !== 0) held.push(keyNames[b]);\n"
    "      frames[i] = { sequence: data[o], sourceMs: data[o + 1], kind: 'snapshot',\n"
    "                    held: held, otherInput: (x & 256) !== 0 };\n"
    "    } else {\n"
    "      frames[i] = { sequence: data[o], sourceMs: data[o + 1], kind: 'reset', reason: reasons[r++] };\n"
    "    }\n"
    "  }\n"
    "  return frames;\n"
    "})";

// The compiled factory and the key names, kept for the environment's life.
struct FrameFactory {
    napi_ref function = nullptr;
    napi_ref keyNames = nullptr;
};

static void deleteFrameFactory(napi_env env, void * data, void *) {
    FrameFactory * f = static_cast<FrameFactory *>(data);
    if (f->function != nullptr) napi_delete_reference(env, f->function);
    if (f->keyNames != nullptr) napi_delete_reference(env, f->keyNames);
    delete f;
}

static bool frameFactory(napi_env env, napi_value * function, napi_value * keyNames) {
    void * data = nullptr;
    if (napi_get_instance_data(env, &data) != napi_ok) {
        return false;
    }
    FrameFactory * f = static_cast<FrameFactory *>(data);
    if (f == nullptr) {
        napi_value source, compiled, names;
        if (napi_create_string_utf8(env, frameFactorySource, NAPI_AUTO_LENGTH, &source) != napi_ok ||
            napi_run_script(env, source, &compiled) != napi_ok ||
            napi_create_array_with_length(env, KeyOther + 1, &names) != napi_ok) {
            return false;
        }
        for (uint8_t id = 0; id <= KeyOther; id++) {
            napi_value name;
            if (napi_create_string_utf8(env, keyIdName(id), NAPI_AUTO_LENGTH, &name) != napi_ok ||
                napi_set_element(env, names, id, name) != napi_ok) {
                return false;
            }
        }
        f = new (std::nothrow) FrameFactory;
        if (f == nullptr) {
            return false;
        }
        if (napi_create_reference(env, compiled, 1, &f->function) != napi_ok ||
            napi_create_reference(env, names, 1, &f->keyNames) != napi_ok ||
            napi_set_instance_data(env, f, deleteFrameFactory, nullptr) != napi_ok) {
            deleteFrameFactory(env, f, nullptr);
            return false;
        }
    }
    return napi_get_reference_value(env, f->function, function) == napi_ok &&
           napi_get_reference_value(env, f->keyNames, keyNames) == napi_ok;
}

static napi_value buildFrames(napi_env env, const DrainCopy & copy) {
    const uint32_t count = (uint32_t) copy.frameCount;
    napi_value     frames;
    if (count == 0) {
        return napi_create_array_with_length(env, 0, &frames) == napi_ok ? frames : nullptr;
    }
    napi_value function, keyNames, buffer, data, reasons, countValue, global;
    void *     raw = nullptr;
    if (!frameFactory(env, &function, &keyNames) ||
        napi_create_arraybuffer(env, (size_t) count * 4 * sizeof(double), &raw, &buffer) != napi_ok ||
        napi_create_typedarray(env, napi_float64_array, (size_t) count * 4, buffer, 0, &data) != napi_ok ||
        napi_create_array(env, &reasons) != napi_ok || napi_create_uint32(env, count, &countValue) != napi_ok ||
        napi_get_global(env, &global) != napi_ok) {
        return nullptr;
    }
    double * packed = static_cast<double *>(raw);
    uint32_t resets = 0;
    for (uint32_t i = 0; i < count; i++) {
        const CaptureFrame & frame = copy.frames[i];
        double *             out   = packed + 4 * i;
        out[0]                     = (double) frame.sequence;
        out[1]                     = frame.sourceMs;
        if (frame.kind == frameEvent) {
            const uint32_t id = frame.keyId < KeyOther ? frame.keyId : (uint32_t) KeyOther;
            out[2]            = 0;
            out[3]            = (double) (id | (frame.down != 0 ? 16u : 0u));
        } else if (frame.kind == frameSnapshot) {
            out[2] = 1;
            out[3] = (double) (frame.heldMask | (frame.otherInput != 0 ? 256u : 0u));
        } else {
            napi_value why;
            out[2] = 2;
            out[3] = 0;
            if (napi_create_string_utf8(env, frame.reason, NAPI_AUTO_LENGTH, &why) != napi_ok ||
                napi_set_element(env, reasons, resets++, why) != napi_ok) {
                return nullptr;
            }
        }
    }
    napi_value args[4] = {data, countValue, reasons, keyNames};
    return napi_call_function(env, global, function, 4, args, &frames) == napi_ok ? frames : nullptr;
}

napi_value buildDrainResult(napi_env env, const DrainCopy & copy) {
    napi_value result;
    if (napi_create_object(env, &result) != napi_ok || !setDouble(env, result, "epoch", (double) copy.epoch) ||
        !setDouble(env, result, "clockMs", copy.clockMs)) {
        return nullptr;
    }
    const CaptureStatus status       = {copy.running, copy.failure, copy.epoch};
    napi_value          statusObject = buildStatusObject(env, status);
    if (statusObject == nullptr || napi_set_named_property(env, result, "status", statusObject) != napi_ok) {
        return nullptr;
    }
    napi_value frames = buildFrames(env, copy);
    if (frames == nullptr) {
        return nullptr;
    }
    if (napi_set_named_property(env, result, "frames", frames) != napi_ok) {
        return nullptr;
    }
    return result;
}

napi_value buildRemoteKeysObject(napi_env env, const RemoteKeysState & state) {
    napi_value object = nullptr, modifiers = nullptr;
    if (napi_create_object(env, &object) != napi_ok || !setBoolean(env, object, "active", state.client >= 0) ||
        !setString(env, object, "client", remoteClientName(state.client)) ||
        napi_create_array(env, &modifiers) != napi_ok) {
        return nullptr;
    }
    uint32_t index = 0;
    for (uint32_t bit = 0; bit < 8; bit++) {
        if ((state.modifiers & (1u << bit)) == 0) {
            continue;
        }
        napi_value code = nullptr;
        if (napi_create_uint32(env, remoteModifierKey(bit), &code) != napi_ok ||
            napi_set_element(env, modifiers, index++, code) != napi_ok) {
            return nullptr;
        }
    }
    if (napi_set_named_property(env, object, "modifiers", modifiers) != napi_ok ||
        !setBoolean(env, object, "other", state.other)) {
        return nullptr;
    }
    return object;
}

} // namespace keywatch
