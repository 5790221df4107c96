// Feeds arbitrary bytes to the strict JSON reader and its typed lookups.
#include "json_reader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    quillet::JsonObject obj;
    if (quillet::parseJsonObject(data, size, obj)) {
        uint64_t v = 0;
        for (const auto & member : obj) {
            (void) quillet::getUnsignedInteger(obj, member.first.c_str(), v);
        }
    }
    uint64_t id = 0;
    (void) quillet::parseRequestIdOnly(data, size, id);
    return 0;
}
