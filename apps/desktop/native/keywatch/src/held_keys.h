// The keys held now, per device, and the held state they add up to. Fixed
// arrays searched linearly: no allocation on the input path.
#pragma once

#include <stdint.h>

#include "key_decoder.h"
#include "key_id.h"

namespace keywatch {

// A raw input device handle; 0 means the record named no device.
typedef uintptr_t DeviceHandle;

enum {
    heldKeyCapacity    = 256,
    heldDeviceCapacity = 32,
};

struct HeldKey {
    DeviceHandle device; // 0 in a free entry
    uint16_t     scanCode;
    KeyId        keyId; // as decoded at the press
};

struct HeldKeyTable {
    HeldKey      entries[heldKeyCapacity];    // live entries first
    DeviceHandle devices[heldDeviceCapacity]; // devices of the live entries, each once
    uint64_t     heldCount;
    uint64_t     deviceCount;
};

// What the capture reports: bit k of modifierMask for KeyId k, and whether
// any Other key or button is held.
struct HeldState {
    uint8_t modifierMask;
    bool    otherHeld;
};

struct HeldTransition {
    bool         changed; // held state differs from before
    KeyId        keyId;
    bool         down;
    const char * failure;
};

void      clearHeld(HeldKeyTable * table);
HeldState heldState(const HeldKeyTable * table);
// Caller holds the capture lock.
HeldTransition applyTransition(HeldKeyTable * table, DeviceHandle device, const DecodedKey & key);

} // namespace keywatch
