// Numbers beyond a double's range are judged by their value, whatever the
// sign of their written exponent.
#include "json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

using quillet::JsonObject;

double numberOf(const std::string & text) {
    std::string json = "{\"n\":" + text + "}";
    JsonObject  obj;
    EXPECT_TRUE(quillet::parseJsonObject((const uint8_t *) json.data(), json.size(), obj)) << text;
    return obj.count("n") != 0 ? obj.at("n").number : std::nan("");
}

TEST(JsonRange, OutOfRangeNumbersByValue) {
    const std::string zeros400(400, '0');
    struct Row {
        std::string text;
        double      value;
    };
    const Row table[] = {
        {"1e400", HUGE_VAL},
        {"-1e400", -HUGE_VAL},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        // 1 and 400 zeros, e-5: really 1e395.
        {"1" + zeros400 + "e-5", HUGE_VAL},
        {"-1" + zeros400 + "e-5", -HUGE_VAL},
        // 0. and 400 zeros, then 1: really 1e-401.
        {"0." + zeros400 + "1", 0.0},
        {"-0." + zeros400 + "1", -0.0},
        {"0." + zeros400 + "1e+5", 0.0},
        // Back in range either way: exact values.
        {"1" + zeros400 + "e-400", 1.0},
        {"0." + zeros400 + "1e+401", 1.0},
        {"0e99999999999999999999", 0.0},
        {"1e-99999999999999999999", 0.0},
        {"1e+99999999999999999999", HUGE_VAL},
        {"123.456e99999999999", HUGE_VAL},
        {"0.000123e-400", 0.0},
    };
    for (const Row & row : table) {
        double v = numberOf(row.text);
        EXPECT_EQ(v, row.value) << row.text;
        EXPECT_EQ(std::signbit(v), std::signbit(row.value)) << row.text;
    }
}

TEST(JsonRange, RequestIdsByValue) {
    const std::string zeros400(400, '0');
    std::string json = "{\"requestId\":1" + zeros400 + "e-5}";
    uint64_t    id   = 0;
    EXPECT_FALSE(quillet::parseRequestIdOnly((const uint8_t *) json.data(), json.size(), id));
    // 1e-401 is 0 as a double, as JSON.parse reads it on the host's side.
    json = "{\"requestId\":0." + zeros400 + "1}";
    id   = 5;
    EXPECT_TRUE(quillet::parseRequestIdOnly((const uint8_t *) json.data(), json.size(), id));
    EXPECT_EQ(id, 0u);
}

} // namespace
