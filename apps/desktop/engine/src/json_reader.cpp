#include "json_reader.h"
#include "utf8_sequence.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace quillet {

namespace {

struct Cursor {
    const uint8_t * pos;   // next byte to read
    const uint8_t * end;   // one past the input's last byte
    int32_t         depth; // objects and arrays open around pos
};

bool isSpace(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

void skipSpace(Cursor & c) {
    while (c.pos < c.end && isSpace(*c.pos)) {
        c.pos++;
    }
}

// Whole-input UTF-8 check, before any parsing.
bool validUtf8(const uint8_t * p, const uint8_t * end) {
    while (p < end) {
        if (*p < 0x80) {
            p++;
            continue;
        }
        size_t n = utf8SequenceLength(p, end);
        if (n == 0) {
            return false;
        }
        p += n;
    }
    return true;
}

int hexValue(uint8_t b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return -1;
}

// Reads four hex digits at p (which must have room); -1 when any is not hex.
int32_t readHex4(const uint8_t * p) {
    int32_t v = 0;
    for (int i = 0; i < 4; i++) {
        int h = hexValue(p[i]);
        if (h < 0) {
            return -1;
        }
        v = (v << 4) | h;
    }
    return v;
}

void appendUtf8(std::string & out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back((char) cp);
    } else if (cp < 0x800) {
        out.push_back((char) (0xC0 | (cp >> 6)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back((char) (0xE0 | (cp >> 12)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else {
        out.push_back((char) (0xF0 | (cp >> 18)));
        out.push_back((char) (0x80 | ((cp >> 12) & 0x3F)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    }
}

bool parseString(Cursor & c, std::string & out, uint64_t & utf16Length) {
    out.clear();
    utf16Length = 0;
    if (c.pos >= c.end || *c.pos != '"') {
        return false;
    }
    c.pos++;
    while (true) {
        if (c.pos >= c.end) {
            return false;
        }
        uint8_t b = *c.pos;
        if (b == '"') {
            c.pos++;
            return true;
        }
        if (b < 0x20) {
            return false;
        }
        if (b != '\\') {
            // A run of raw bytes up to the next quote, backslash or control
            // byte is copied at once. The input is already known to be valid
            // UTF-8, so every lead byte starts a whole sequence inside the
            // range: one UTF-16 unit per lead byte, two for 4-byte leads.
            const uint8_t * run   = c.pos;
            uint64_t        units = 0;
            while (c.pos < c.end) {
                uint8_t r = *c.pos;
                if (r == '"' || r == '\\' || r < 0x20) {
                    break;
                }
                units += (r & 0xC0) != 0x80;
                units += r >= 0xF0;
                c.pos++;
            }
            out.append((const char *) run, (size_t) (c.pos - run));
            utf16Length += units;
            continue;
        }
        // Escape sequence.
        if (c.end - c.pos < 2) {
            return false;
        }
        uint8_t e      = c.pos[1];
        char    simple = 0;
        switch (e) {
            case '"': simple = '"'; break;
            case '/': simple = '/'; break;
            case '\\': simple = '\\'; break;
            case 'b': simple = '\b'; break;
            case 'f': simple = '\f'; break;
            case 'n': simple = '\n'; break;
            case 'r': simple = '\r'; break;
            case 't': simple = '\t'; break;
            case 'u': break;
            default: return false;
        }
        if (e != 'u') {
            out.push_back(simple);
            utf16Length += 1;
            c.pos += 2;
            continue;
        }
        if (c.end - c.pos < 6) {
            return false;
        }
        int32_t v = readHex4(c.pos + 2);
        if (v < 0) {
            return false;
        }
        c.pos += 6;
        if (v >= 0xD800 && v <= 0xDBFF) {
            int32_t w = -1;
            if (c.end - c.pos >= 6 && c.pos[0] == '\\' && c.pos[1] == 'u') {
                w = readHex4(c.pos + 2);
            }
            if (w >= 0xDC00 && w <= 0xDFFF) {
                appendUtf8(out, 0x10000 + (uint32_t) (v - 0xD800) * 0x400 + (uint32_t) (w - 0xDC00));
                utf16Length += 2;
                c.pos += 6;
            } else {
                // A lone high surrogate: replaced, and whatever follows is read on its own.
                appendUtf8(out, 0xFFFD);
                utf16Length += 1;
            }
        } else if (v >= 0xDC00 && v <= 0xDFFF) {
            appendUtf8(out, 0xFFFD);
            utf16Length += 1;
        } else {
            appendUtf8(out, (uint32_t) v);
            utf16Length += 1;
        }
    }
}

// The power of ten of a well-formed number's leading significant digit,
// saturated far beyond any double: 1e400 and 1000e397 give 400, 0.001e-400
// gives -403. Zero (no significant digit) gives the lowest value.
int64_t decimalExponent(const uint8_t * p, const uint8_t * end) {
    constexpr int64_t limit = int64_t(1) << 40;
    if (p < end && *p == '-') {
        p++;
    }
    int64_t lead  = 0; // position of the leading significant digit
    bool    found = false;
    int64_t place = 0; // digits before the point so far
    while (p < end && *p >= '0' && *p <= '9') {
        if (!found && *p != '0') {
            found = true;
            lead  = place;
        }
        place += place < limit;
        p++;
    }
    int64_t exponent = found ? place - 1 - lead : 0;
    if (p < end && *p == '.') {
        p++;
        int64_t k = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            if (!found && *p != '0') {
                found    = true;
                exponent = -(k + 1);
            }
            k += k < limit;
            p++;
        }
    }
    if (!found) {
        return -limit;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        bool minus = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) {
            p++;
        }
        int64_t e = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            e = e < limit ? e * 10 + (*p - '0') : limit;
            p++;
        }
        exponent += minus ? -e : e;
    }
    return exponent;
}

bool parseNumber(Cursor & c, double & out) {
    const uint8_t * start = c.pos;
    const uint8_t * p     = c.pos;
    if (p < c.end && *p == '-') {
        p++;
    }
    if (p >= c.end) {
        return false;
    }
    if (*p == '0') {
        p++;
    } else if (*p >= '1' && *p <= '9') {
        while (p < c.end && *p >= '0' && *p <= '9') p++;
    } else {
        return false;
    }
    if (p < c.end && *p == '.') {
        p++;
        if (p >= c.end || *p < '0' || *p > '9') {
            return false;
        }
        while (p < c.end && *p >= '0' && *p <= '9') p++;
    }
    if (p < c.end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < c.end && (*p == '+' || *p == '-')) {
            p++;
        }
        if (p >= c.end || *p < '0' || *p > '9') {
            return false;
        }
        while (p < c.end && *p >= '0' && *p <= '9') p++;
    }
    // from_chars is locale-independent and rounds to nearest; out-of-range
    // magnitudes become infinity or zero like strtod would give, judged by
    // the number's value (1 followed by 400 zeros and e-5 is 1e395).
    double v = 0;
    auto   r = std::from_chars((const char *) start, (const char *) p, v);
    if (r.ec == std::errc::result_out_of_range) {
        bool negative = *start == '-';
        v             = decimalExponent(start, p) > 0 ? (negative ? -HUGE_VAL : HUGE_VAL) : (negative ? -0.0 : 0.0);
    } else if (r.ec != std::errc() || (const uint8_t *) r.ptr != p) {
        return false;
    }
    out   = v;
    c.pos = p;
    return true;
}

bool matchLiteral(Cursor & c, const char * word, size_t n) {
    if ((size_t) (c.end - c.pos) < n) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        if (c.pos[i] != (uint8_t) word[i]) {
            return false;
        }
    }
    c.pos += n;
    return true;
}

bool parseValue(Cursor & c, JsonValue & value, std::string & scratch);

// A member's name and the colon after it.
bool parseMemberName(Cursor & c, std::string & name, uint64_t & utf16Length) {
    skipSpace(c);
    if (!parseString(c, name, utf16Length)) {
        return false;
    }
    skipSpace(c);
    if (c.pos >= c.end || *c.pos != ':') {
        return false;
    }
    c.pos++;
    return true;
}

// Container contents are checked for syntax and then dropped.
bool parseNested(Cursor & c, std::string & scratch) {
    uint8_t open  = *c.pos;
    uint8_t close = open == '[' ? ']' : '}';
    c.depth++;
    if (c.depth > jsonMaxDepth) {
        return false;
    }
    c.pos++;
    skipSpace(c);
    if (c.pos < c.end && *c.pos == close) {
        c.pos++;
        c.depth--;
        return true;
    }
    JsonValue inner;
    while (true) {
        uint64_t ignored = 0;
        if (open == '{' && !parseMemberName(c, scratch, ignored)) {
            return false;
        }
        if (!parseValue(c, inner, scratch)) {
            return false;
        }
        skipSpace(c);
        if (c.pos >= c.end) {
            return false;
        }
        if (*c.pos == ',') {
            c.pos++;
            continue;
        }
        if (*c.pos == close) {
            c.pos++;
            c.depth--;
            return true;
        }
        return false;
    }
}

bool parseValue(Cursor & c, JsonValue & value, std::string & scratch) {
    skipSpace(c);
    if (c.pos >= c.end) {
        return false;
    }
    value.kind = JsonKind::Null;
    value.text.clear();
    value.number      = 0;
    value.utf16Length = 0;
    switch (*c.pos) {
        case '"': value.kind = JsonKind::String; return parseString(c, value.text, value.utf16Length);
        case 't':
            value.kind   = JsonKind::Bool;
            value.number = 1.0;
            return matchLiteral(c, "true", 4);
        case 'f': value.kind = JsonKind::Bool; return matchLiteral(c, "false", 5);
        case 'n': value.kind = JsonKind::Null; return matchLiteral(c, "null", 4);
        case '[':
        case '{': value.kind = JsonKind::Nested; return parseNested(c, scratch);
        default: value.kind = JsonKind::Number; return parseNumber(c, value.number);
    }
}

} // namespace

bool parseJsonObject(const uint8_t * bytes, size_t length, JsonObject & object) {
    object.clear();
    if (length > jsonMaxInput) {
        return false;
    }
    if (length > 0 && bytes == nullptr) {
        return false;
    }
    if (!validUtf8(bytes, bytes + length)) {
        return false;
    }
    Cursor c{bytes, bytes + length, 0};
    if (length > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        c.pos += 3;
    }
    skipSpace(c);
    if (c.pos >= c.end || *c.pos != '{') {
        return false;
    }
    c.pos++;
    skipSpace(c);
    if (c.pos < c.end && *c.pos == '}') {
        c.pos++;
        skipSpace(c);
        return c.pos == c.end;
    }
    std::string name;
    std::string scratch;
    JsonValue   value;
    while (true) {
        uint64_t nameUnits = 0;
        if (!parseMemberName(c, name, nameUnits)) {
            return false;
        }
        if (!parseValue(c, value, scratch)) {
            return false;
        }
        object[name] = std::move(value);
        skipSpace(c);
        if (c.pos >= c.end) {
            return false;
        }
        if (*c.pos == ',') {
            c.pos++;
            continue;
        }
        if (*c.pos == '}') {
            c.pos++;
            skipSpace(c);
            return c.pos == c.end;
        }
        return false;
    }
}

const JsonValue * findMember(const JsonObject & object, const char * name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &it->second;
}

bool getUnsignedInteger(const JsonObject & object, const char * name, uint64_t & out) {
    const JsonValue * v = findMember(object, name);
    if (v == nullptr || v->kind != JsonKind::Number) {
        return false;
    }
    double d = v->number;
    if (std::isnan(d) || d < 0 || d > (double) jsonMaxSafeInteger || d != std::floor(d)) {
        return false;
    }
    out = (uint64_t) d;
    return true;
}

bool parseRequestIdOnly(const uint8_t * bytes, size_t length, uint64_t & out) {
    JsonObject object;
    if (!parseJsonObject(bytes, length, object) || object.size() != 1) {
        return false;
    }
    return getUnsignedInteger(object, "requestId", out);
}

} // namespace quillet
