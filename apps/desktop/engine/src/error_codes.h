// The closed set of codes the engine reports to the host. Nothing else is
// ever written as a "code", and no message text accompanies it.
#pragma once

namespace quillet {

enum class ErrorCode {
    BadFrame,
    VersionMismatch,
    ModelMissing,
    GpuUnavailable,
    ModelInvalid,
    OutOfMemory,
    NotLoaded,
    Busy,
    LanguageUnsupported,
    NoRequest,
    AudioTooLong,
    DecodeFailed,
    Internal,
};

constexpr int errorCodeCount = 13;

// Fixed ASCII word for a code, as the host expects it.
const char * errorCodeText(ErrorCode code);

} // namespace quillet
