// Strict reader for the small JSON objects of the control frames and the
// accelerator pack manifest: one top-level object, at most 8192 bytes of
// valid UTF-8, nested containers checked and discarded. Every failure is a
// plain false; callers decide what to report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace quillet {

enum class JsonKind : int {
    String = 0,
    Number = 1,
    Bool   = 2,
    Null   = 3,
    Nested = 4,
};

struct JsonValue {
    JsonKind    kind = JsonKind::Null;
    std::string text;            // String: decoded UTF-8, may hold NUL bytes
    double      number      = 0; // Number; Bool as 1.0 / 0.0
    uint64_t    utf16Length = 0; // String: length in UTF-16 code units
};

// Ordered by byte-wise name comparison, one entry per distinct name.
using JsonObject = std::map<std::string, JsonValue>;

constexpr size_t   jsonMaxInput       = 8192;
constexpr int      jsonMaxDepth       = 32;
constexpr uint64_t jsonMaxSafeInteger = 9007199254740991ull; // 2^53 - 1

// Parses one whole JSON object. On false the content of `object` is
// unspecified. Allocation failures propagate as std::bad_alloc.
bool parseJsonObject(const uint8_t * bytes, size_t length, JsonObject & object);

// True only for a Number member that is integral and in 0 .. 2^53-1.
bool getUnsignedInteger(const JsonObject & object, const char * name, uint64_t & out);

// True only for an object with exactly one member, a valid "requestId".
bool parseRequestIdOnly(const uint8_t * bytes, size_t length, uint64_t & out);

// Looks a member up by exact name; null when absent.
const JsonValue * findMember(const JsonObject & object, const char * name);

} // namespace quillet
