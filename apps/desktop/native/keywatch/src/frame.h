// One entry of the frame queue that the host drains.
#pragma once

#include <stdint.h>

namespace keywatch {

enum CaptureFrameKind : uint32_t {
    frameEvent    = 0, // one change of the held state
    frameSnapshot = 1, // the whole held state at arming
    frameReset    = 2, // everything before is void
};

enum {
    frameQueueCapacity = 256
};

struct CaptureFrame {
    uint32_t     kind;       // CaptureFrameKind
    uint64_t     sequence;   // from 1 within an epoch
    double       sourceMs;   // module clock
    uint8_t      keyId;      // event: the key; otherwise Other
    uint8_t      down;       // event: press
    uint8_t      heldMask;   // snapshot: modifier mask at arming
    uint8_t      otherInput; // snapshot: any other key held at arming
    const char * reason;     // reset: why; "backend" elsewhere, never shown
};

// {reset, sequence 0, 0.0, Other, up, 0, false, "backend"}: what every slot
// holds at registration and after a drain.
CaptureFrame defaultFrame();

} // namespace keywatch
