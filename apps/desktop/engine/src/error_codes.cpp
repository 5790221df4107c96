#include "error_codes.h"

namespace quillet {

const char * errorCodeText(ErrorCode code) {
    switch (code) {
        case ErrorCode::BadFrame: return "BAD_FRAME";
        case ErrorCode::VersionMismatch: return "VERSION_MISMATCH";
        case ErrorCode::ModelMissing: return "MODEL_MISSING";
        case ErrorCode::GpuUnavailable: return "GPU_UNAVAILABLE";
        case ErrorCode::ModelInvalid: return "MODEL_INVALID";
        case ErrorCode::OutOfMemory: return "OUT_OF_MEMORY";
        case ErrorCode::NotLoaded: return "NOT_LOADED";
        case ErrorCode::Busy: return "BUSY";
        case ErrorCode::LanguageUnsupported: return "LANGUAGE_UNSUPPORTED";
        case ErrorCode::NoRequest: return "NO_REQUEST";
        case ErrorCode::AudioTooLong: return "AUDIO_TOO_LONG";
        case ErrorCode::DecodeFailed: return "DECODE_FAILED";
        case ErrorCode::Internal: return "INTERNAL";
    }
    return "INTERNAL";
}

} // namespace quillet
