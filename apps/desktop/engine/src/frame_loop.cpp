#include "frame_loop.h"
#include "reply.h"

#include <memory>
#include <new>

namespace quillet {

namespace {

// One buffer for every frame: grows to the largest frame seen, never
// shrinks, and is not zero-filled (every byte is read into before use).
struct ReceiveBuffer {
    std::unique_ptr<uint8_t[]> data;         // the storage; null until the first frame
    size_t                     capacity = 0; // bytes data holds

    uint8_t * reserve(size_t n) {
        if (n > capacity) {
            data.reset(new uint8_t[n]);
            capacity = n;
        }
        return data.get();
    }
};

// Reads exactly n bytes, looping over short reads. False at end of input or
// on a read error.
bool readExactly(FILE * in, uint8_t * dst, size_t n) {
    size_t got = 0;
    while (got < n) {
        size_t r = fread(dst + got, 1, n - got, in);
        if (r == 0) {
            return false;
        }
        got += r;
    }
    return true;
}

bool skipBytes(FILE * in, size_t n) {
    uint8_t scratch[4096];
    while (n > 0) {
        size_t step = n < sizeof(scratch) ? n : sizeof(scratch);
        if (!readExactly(in, scratch, step)) {
            return false;
        }
        n -= step;
    }
    return true;
}

int endOfInput(const FrameHandlers & h) {
    h.reset();
    if (protocolOut != nullptr) {
        fflush(protocolOut);
    }
    return exitOk;
}

} // namespace

int runFrameLoop(FILE * in, const FrameHandlers & h, bool trace) {
    ReceiveBuffer buffer;
    while (true) {
        uint8_t header[4];
        if (!readExactly(in, header, 4)) {
            return endOfInput(h);
        }
        uint32_t length = (uint32_t) header[0] | ((uint32_t) header[1] << 8) | ((uint32_t) header[2] << 16) |
                          ((uint32_t) header[3] << 24);
        if (length == 0 || length > maxFrameLength) {
            // Frame boundaries are lost; there is no way to resynchronise.
            sendError(ErrorCode::BadFrame);
            h.reset();
            return exitBadFrame;
        }
        uint8_t * frame = nullptr;
        try {
            frame = buffer.reserve(length);
        } catch (const std::bad_alloc &) {
            // No room for this frame: skip its bytes so the stream stays in
            // step, and report it like any other allocation failure.
            if (!skipBytes(in, length)) {
                return endOfInput(h);
            }
            sendError(ErrorCode::OutOfMemory);
            continue;
        }
        if (!readExactly(in, frame, length)) {
            return endOfInput(h);
        }
        uint8_t kind = frame[0];
        if (trace) {
            fprintf(stderr, "quillet-whisper: frame kind=%u length=%u\n", (unsigned) kind, (unsigned) length);
            fflush(stderr);
        }
        const uint8_t * payload = frame + 1;
        size_t          n       = length - 1;
        try {
            switch ((FrameKind) kind) {
                case FrameKind::Load: h.load(payload, n); break;
                case FrameKind::Begin: h.begin(payload, n); break;
                case FrameKind::Audio: h.audio(payload, n); break;
                case FrameKind::Finish: h.finish(payload, n); break;
                case FrameKind::Cancel: h.cancel(payload, n); break;
                case FrameKind::Unload:
                    if (n != 0) {
                        sendError(ErrorCode::BadFrame);
                    } else {
                        h.reset();
                        sendUnloaded();
                    }
                    break;
                case FrameKind::Ping:
                    if (n != 0) {
                        sendError(ErrorCode::BadFrame);
                    } else {
                        sendPong();
                    }
                    break;
                case FrameKind::Shutdown:
                    if (n != 0) {
                        sendError(ErrorCode::BadFrame);
                        break;
                    }
                    h.reset();
                    if (protocolOut != nullptr) {
                        fflush(protocolOut);
                    }
                    return exitOk;
                default: sendError(ErrorCode::BadFrame); break;
            }
        } catch (const std::bad_alloc &) {
            sendError(ErrorCode::OutOfMemory);
        } catch (...) {
            sendError(ErrorCode::Internal);
        }
    }
}

} // namespace quillet
