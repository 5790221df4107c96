#include "held_keys.h"

#include "failures.h"

namespace keywatch {

void clearHeld(HeldKeyTable * table) {
    for (int i = 0; i < heldKeyCapacity; i++) {
        table->entries[i].device   = 0;
        table->entries[i].scanCode = 0;
        table->entries[i].keyId    = KeyOther;
    }
    for (int i = 0; i < heldDeviceCapacity; i++) {
        table->devices[i] = 0;
    }
    table->heldCount   = 0;
    table->deviceCount = 0;
}

HeldState heldState(const HeldKeyTable * table) {
    HeldState state = {0, false};
    for (uint64_t i = 0; i < table->heldCount; i++) {
        const KeyId id = table->entries[i].keyId;
        if (id < KeyOther) {
            state.modifierMask |= (uint8_t) (1u << id);
        } else {
            state.otherHeld = true;
        }
    }
    return state;
}

static int64_t findEntry(const HeldKeyTable * table, DeviceHandle device, uint16_t scanCode) {
    for (uint64_t i = 0; i < table->heldCount; i++) {
        if (table->entries[i].device == device && table->entries[i].scanCode == scanCode) {
            return (int64_t) i;
        }
    }
    return -1;
}

static int64_t findDevice(const HeldKeyTable * table, DeviceHandle device) {
    for (uint64_t i = 0; i < table->deviceCount; i++) {
        if (table->devices[i] == device) {
            return (int64_t) i;
        }
    }
    return -1;
}

static bool deviceHasEntries(const HeldKeyTable * table, DeviceHandle device) {
    for (uint64_t i = 0; i < table->heldCount; i++) {
        if (table->entries[i].device == device) {
            return true;
        }
    }
    return false;
}

// Removal moves the last live item into the hole so live items stay first.
static void removeEntry(HeldKeyTable * table, uint64_t slot) {
    const uint64_t last           = table->heldCount - 1;
    table->entries[slot]          = table->entries[last];
    table->entries[last].device   = 0;
    table->entries[last].scanCode = 0;
    table->entries[last].keyId    = KeyOther;
    table->heldCount              = last;
}

static void removeDevice(HeldKeyTable * table, uint64_t slot) {
    const uint64_t last  = table->deviceCount - 1;
    table->devices[slot] = table->devices[last];
    table->devices[last] = 0;
    table->deviceCount   = last;
}

static bool sameState(HeldState a, HeldState b) {
    return a.modifierMask == b.modifierMask && a.otherHeld == b.otherHeld;
}

HeldTransition applyTransition(HeldKeyTable * table, DeviceHandle device, const DecodedKey & key) {
    HeldTransition result = {false, KeyOther, false, nullptr};
    if (key.ignore) {
        return result;
    }
    if (key.failure != nullptr) {
        result.failure = key.failure;
        return result;
    }
    if (device == 0) {
        result.failure = failure::rawDeviceAmbiguous;
        return result;
    }

    const HeldState before = heldState(table);
    const int64_t   found  = findEntry(table, device, key.scanCode);

    if (!key.down) {
        if (found < 0 || table->entries[found].keyId != key.keyId) {
            result.failure = failure::unmatchedRelease;
            return result;
        }
        removeEntry(table, (uint64_t) found);
        if (!deviceHasEntries(table, device)) {
            const int64_t slot = findDevice(table, device);
            if (slot >= 0) {
                removeDevice(table, (uint64_t) slot);
            }
        }
    } else {
        if (found >= 0) {
            // Auto-repeat of a held key makes no frame; the same scan code
            // pressed again under another identity means a remapping.
            if (table->entries[found].keyId != key.keyId) {
                result.failure = failure::keyboardRemappingAmbiguous;
            }
            return result;
        }
        if (table->heldCount == heldKeyCapacity) {
            result.failure = failure::heldStateOverflow;
            return result;
        }
        const bool newDevice = findDevice(table, device) < 0;
        if (newDevice && table->deviceCount == heldDeviceCapacity) {
            result.failure = failure::heldStateOverflow;
            return result;
        }
        if (newDevice) {
            table->devices[table->deviceCount++] = device;
        }
        HeldKey & entry = table->entries[table->heldCount++];
        entry.device    = device;
        entry.scanCode  = key.scanCode;
        entry.keyId     = key.keyId;
    }

    result.changed = !sameState(before, heldState(table));
    result.keyId   = key.keyId;
    result.down    = key.down;
    return result;
}

} // namespace keywatch
