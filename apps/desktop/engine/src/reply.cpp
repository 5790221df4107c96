#include "reply.h"
#include "engine_state.h"
#include "utf8_sequence.h"

namespace quillet {

FILE * protocolOut = nullptr;

namespace {

const char hexDigits[] = "0123456789abcdef";

void appendReplacement(std::string & m) { m.append("\xEF\xBF\xBD", 3); }

} // namespace

void appendJsonString(std::string & m, const char * text, size_t length) {
    const uint8_t * p   = (const uint8_t *) text;
    const uint8_t * end = p + length;
    m.push_back('"');
    while (p < end) {
        uint8_t b = *p;
        if (b < 0x80) {
            switch (b) {
                case '\t': m.append("\\t", 2); break;
                case '\n': m.append("\\n", 2); break;
                case '\r': m.append("\\r", 2); break;
                case '"': m.append("\\\"", 2); break;
                case '\\': m.append("\\\\", 2); break;
                default:
                    if (b < 0x20) {
                        char esc[6] = {'\\', 'u', '0', '0', hexDigits[b >> 4], hexDigits[b & 0xF]};
                        m.append(esc, 6);
                    } else {
                        m.push_back((char) b);
                    }
            }
            p++;
            continue;
        }
        size_t n = utf8SequenceLength(p, end);
        if (n == 0) {
            appendReplacement(m);
            p++;
        } else {
            m.append((const char *) p, n);
            p += n;
        }
    }
    m.push_back('"');
}

void appendJsonString(std::string & message, const std::string & text) {
    appendJsonString(message, text.data(), text.size());
}

void appendUnsigned(std::string & m, uint64_t value) {
    char buf[24];
    int  n = 0;
    do {
        buf[n++] = (char) ('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        m.push_back(buf[--n]);
    }
}

void appendInt(std::string & m, int64_t value) {
    if (value < 0) {
        m.push_back('-');
        appendUnsigned(m, 0 - (uint64_t) value);
    } else {
        appendUnsigned(m, (uint64_t) value);
    }
}

void writeLine(const std::string & message) {
    if (protocolOut == nullptr) {
        return;
    }
    std::string line = message;
    line.push_back('\n');
    (void) fwrite(line.data(), 1, line.size(), protocolOut);
    (void) fflush(protocolOut);
}

static void sendErrorLine(ErrorCode code, const uint64_t * requestId) {
    std::string m = "{\"type\":\"error\",\"code\":\"";
    m += errorCodeText(code);
    m += '"';
    if (requestId != nullptr) {
        m += ",\"requestId\":";
        appendUnsigned(m, *requestId);
    }
    m += '}';
    writeLine(m);
}

void sendError(ErrorCode code) { sendErrorLine(code, nullptr); }

void sendError(ErrorCode code, uint64_t requestId) { sendErrorLine(code, &requestId); }

void sendPong() { writeLine("{\"type\":\"pong\"}"); }

void sendUnloaded() { writeLine("{\"type\":\"unloaded\"}"); }

void sendHello(const std::vector<const char *> & backends) {
    std::string m = "{\"type\":\"hello\",\"version\":";
    appendInt(m, protocolVersion);
    m += ",\"whisper\":\"";
    m += engineVersionText;
    m += "\",\"backends\":[";
    for (size_t i = 0; i < backends.size(); i++) {
        if (i != 0) {
            m += ',';
        }
        m += '"';
        m += backends[i];
        m += '"';
    }
    m += "]}";
    writeLine(m);
}

void sendReady(const char * device, int64_t loadMs, bool fallback) {
    std::string m = "{\"type\":\"ready\",\"version\":";
    appendInt(m, protocolVersion);
    m += ",\"device\":\"";
    m += device;
    m += "\",\"loadMs\":";
    appendInt(m, loadMs);
    m += ",\"fallback\":";
    m += fallback ? "true" : "false";
    m += '}';
    writeLine(m);
}

void sendResult(uint64_t requestId, const std::string & text, int64_t decodeMs, int64_t audioMs) {
    std::string m = "{\"type\":\"result\",\"requestId\":";
    appendUnsigned(m, requestId);
    m += ",\"text\":";
    appendJsonString(m, text);
    m += ",\"decodeMs\":";
    appendInt(m, decodeMs);
    m += ",\"audioMs\":";
    appendInt(m, audioMs);
    m += '}';
    writeLine(m);
}

} // namespace quillet
