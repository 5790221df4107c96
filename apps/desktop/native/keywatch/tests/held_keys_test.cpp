#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>

#include "failures.h"
#include "held_keys.h"

using namespace keywatch;

namespace {

DecodedKey key(KeyId id, uint16_t scan, bool down) {
    DecodedKey k = {id, scan, down, false, nullptr};
    return k;
}

const DecodedKey lctrlDown = key(KeyLeftControl, 0x1D, true);
const DecodedKey lctrlUp   = key(KeyLeftControl, 0x1D, false);

// Every invariant of the table: live entries first and distinct, free
// entries and device slots zeroed, devices exactly those of live entries.
void expectConsistent(const HeldKeyTable & t) {
    ASSERT_LE(t.heldCount, (uint64_t) heldKeyCapacity);
    ASSERT_LE(t.deviceCount, (uint64_t) heldDeviceCapacity);
    std::set<std::pair<DeviceHandle, uint16_t>> seen;
    std::set<DeviceHandle> liveDevices;
    for (uint64_t i = 0; i < t.heldCount; i++) {
        EXPECT_NE(t.entries[i].device, 0u);
        EXPECT_TRUE(seen.insert({t.entries[i].device, t.entries[i].scanCode}).second) << "duplicate entry " << i;
        liveDevices.insert(t.entries[i].device);
    }
    for (uint64_t i = t.heldCount; i < heldKeyCapacity; i++) {
        EXPECT_EQ(t.entries[i].device, 0u) << i;
        EXPECT_EQ(t.entries[i].scanCode, 0) << i;
        EXPECT_EQ(t.entries[i].keyId, KeyOther) << i;
    }
    std::set<DeviceHandle> listed;
    for (uint64_t i = 0; i < t.deviceCount; i++) {
        EXPECT_TRUE(listed.insert(t.devices[i]).second) << "device listed twice";
    }
    for (uint64_t i = t.deviceCount; i < heldDeviceCapacity; i++) {
        EXPECT_EQ(t.devices[i], 0u) << i;
    }
    EXPECT_EQ(listed, liveDevices);
}

class HeldKeys : public testing::Test {
  protected:
    void SetUp() override { clearHeld(&table); }
    HeldKeyTable table;
};

} // namespace

TEST_F(HeldKeys, ModifierPressRepeatRelease) {
    HeldTransition t = applyTransition(&table, 7, lctrlDown);
    EXPECT_TRUE(t.changed);
    EXPECT_EQ(t.keyId, KeyLeftControl);
    EXPECT_TRUE(t.down);
    EXPECT_EQ(heldState(&table).modifierMask, 0x01);

    t = applyTransition(&table, 7, lctrlDown); // auto-repeat
    EXPECT_FALSE(t.changed);
    EXPECT_EQ(t.failure, nullptr);
    EXPECT_EQ(table.heldCount, 1u);

    t = applyTransition(&table, 7, lctrlUp);
    EXPECT_TRUE(t.changed);
    EXPECT_FALSE(t.down);
    EXPECT_EQ(heldState(&table).modifierMask, 0);
    EXPECT_EQ(table.deviceCount, 0u);
    expectConsistent(table);
}

TEST_F(HeldKeys, OtherKeysReportOnlyTheFirstPressAndLastRelease) {
    EXPECT_TRUE(applyTransition(&table, 1, key(KeyOther, 0x1E, true)).changed);
    EXPECT_TRUE(heldState(&table).otherHeld);
    EXPECT_FALSE(applyTransition(&table, 1, key(KeyOther, 0x30, true)).changed);
    EXPECT_FALSE(applyTransition(&table, 2, key(KeyOther, pointerButtonScanBase, true)).changed);
    EXPECT_FALSE(applyTransition(&table, 1, key(KeyOther, 0x1E, false)).changed);
    EXPECT_FALSE(applyTransition(&table, 2, key(KeyOther, pointerButtonScanBase, false)).changed);
    const HeldTransition last = applyTransition(&table, 1, key(KeyOther, 0x30, false));
    EXPECT_TRUE(last.changed);
    EXPECT_EQ(last.keyId, KeyOther);
    EXPECT_FALSE(heldState(&table).otherHeld);
    expectConsistent(table);
}

TEST_F(HeldKeys, SameModifierOnTwoKeyboards) {
    EXPECT_TRUE(applyTransition(&table, 1, lctrlDown).changed);
    EXPECT_FALSE(applyTransition(&table, 2, lctrlDown).changed);
    EXPECT_EQ(table.deviceCount, 2u);
    EXPECT_FALSE(applyTransition(&table, 1, lctrlUp).changed);
    expectConsistent(table);
    EXPECT_TRUE(applyTransition(&table, 2, lctrlUp).changed);
    EXPECT_EQ(table.heldCount, 0u);
    expectConsistent(table);
}

TEST_F(HeldKeys, RefusesUnmatchedOrAmbiguousTransitions) {
    EXPECT_STREQ(applyTransition(&table, 1, lctrlUp).failure, failure::unmatchedRelease);

    ASSERT_TRUE(applyTransition(&table, 1, lctrlDown).changed);
    // Released by another keyboard than the one that pressed it.
    EXPECT_STREQ(applyTransition(&table, 2, lctrlUp).failure, failure::unmatchedRelease);
    // Same scan code released under another identity.
    EXPECT_STREQ(applyTransition(&table, 1, key(KeyOther, 0x1D, false)).failure, failure::unmatchedRelease);
    // Same scan code pressed again under another identity.
    EXPECT_STREQ(applyTransition(&table, 1, key(KeyRightControl, 0x1D, true)).failure,
                 failure::keyboardRemappingAmbiguous);
    // No device handle.
    EXPECT_STREQ(applyTransition(&table, 0, key(KeyOther, 0x1E, true)).failure, failure::rawDeviceAmbiguous);
    // Failed transitions leave the table as it was.
    EXPECT_EQ(table.heldCount, 1u);
    EXPECT_EQ(heldState(&table).modifierMask, 0x01);
    expectConsistent(table);
}

TEST_F(HeldKeys, DecoderOutcomesPassThrough) {
    DecodedKey ignored = lctrlUp;
    ignored.ignore     = true;
    HeldTransition t   = applyTransition(&table, 1, ignored);
    EXPECT_FALSE(t.changed);
    EXPECT_EQ(t.failure, nullptr);

    DecodedKey refused = lctrlDown;
    refused.failure    = failure::keyboardOverrun;
    // The decoder's failure wins even over a missing device.
    EXPECT_STREQ(applyTransition(&table, 0, refused).failure, failure::keyboardOverrun);
    EXPECT_EQ(table.heldCount, 0u);
}

TEST_F(HeldKeys, FullTableAndThirtyThirdDevice) {
    for (uint16_t scan = 1; scan <= heldKeyCapacity; scan++) {
        ASSERT_EQ(applyTransition(&table, 1 + scan % 4, key(KeyOther, scan, true)).failure, nullptr);
    }
    EXPECT_EQ(table.heldCount, (uint64_t) heldKeyCapacity);
    EXPECT_STREQ(applyTransition(&table, 1, key(KeyOther, 0x1FF, true)).failure, failure::heldStateOverflow);
    // A repeat of a held key still reads as a repeat in a full table.
    EXPECT_EQ(applyTransition(&table, 2, key(KeyOther, 1, true)).failure, nullptr);
    expectConsistent(table);

    clearHeld(&table);
    for (DeviceHandle device = 1; device <= heldDeviceCapacity; device++) {
        ASSERT_EQ(applyTransition(&table, device, key(KeyOther, 0x1E, true)).failure, nullptr);
    }
    EXPECT_STREQ(applyTransition(&table, 33, key(KeyOther, 0x1E, true)).failure, failure::heldStateOverflow);
    EXPECT_EQ(table.deviceCount, (uint64_t) heldDeviceCapacity);
    // A listed device may still press more keys.
    EXPECT_EQ(applyTransition(&table, 5, key(KeyOther, 0x30, true)).failure, nullptr);
    // Once a device is gone, a new one fits.
    ASSERT_EQ(applyTransition(&table, 3, key(KeyOther, 0x1E, false)).failure, nullptr);
    EXPECT_EQ(applyTransition(&table, 33, key(KeyOther, 0x1E, true)).failure, nullptr);
    expectConsistent(table);
}

TEST_F(HeldKeys, RemovalKeepsTableCompact) {
    applyTransition(&table, 10, key(KeyOther, 0x1E, true));
    applyTransition(&table, 20, lctrlDown);
    applyTransition(&table, 10, key(KeyLeftShift, 0x2A, true));
    applyTransition(&table, 30, key(KeyOther, 0x30, true));

    applyTransition(&table, 10, key(KeyOther, 0x1E, false));
    EXPECT_EQ(table.heldCount, 3u);
    EXPECT_EQ(table.entries[0].device, 30u); // the last live entry moved into the hole
    EXPECT_EQ(table.deviceCount, 3u);         // device 10 still holds Shift
    expectConsistent(table);

    applyTransition(&table, 20, lctrlUp);
    EXPECT_EQ(table.deviceCount, 2u);
    expectConsistent(table);
    EXPECT_EQ(heldState(&table).modifierMask, 1u << KeyLeftShift);
    EXPECT_TRUE(heldState(&table).otherHeld);

    clearHeld(&table);
    EXPECT_EQ(table.heldCount, 0u);
    EXPECT_EQ(table.deviceCount, 0u);
    expectConsistent(table);
}

// A long random walk against a plain model of who holds what.
TEST_F(HeldKeys, AgreesWithModelOverRandomTransitions) {
    std::mt19937 random(12345);
    std::map<std::pair<DeviceHandle, uint16_t>, KeyId> model;
    const struct { uint16_t scan; KeyId id; } keys[] = {
        {0x1D, KeyLeftControl}, {0x11D, KeyRightControl}, {0x38, KeyLeftAlt}, {0x138, KeyRightAlt},
        {0x2A, KeyLeftShift},   {0x36, KeyRightShift},    {0x15B, KeyLeftWin}, {0x15C, KeyRightWin},
        {0x1E, KeyOther},       {0x401, KeyOther},
    };
    for (int step = 0; step < 20000; step++) {
        const DeviceHandle device = 1 + random() % 3;
        const auto & k = keys[random() % 10];
        const bool down = random() % 2 == 0;
        const bool wasHeld = model.count({device, k.scan}) != 0;

        uint8_t beforeMask = 0;
        bool beforeOther = false;
        for (const auto & e : model) {
            if (e.second == KeyOther) beforeOther = true; else beforeMask |= (uint8_t) (1u << e.second);
        }
        const HeldTransition t = applyTransition(&table, device, key(k.id, k.scan, down));
        if (!down && !wasHeld) {
            ASSERT_STREQ(t.failure, failure::unmatchedRelease);
            continue;
        }
        ASSERT_EQ(t.failure, nullptr);
        if (down) model[{device, k.scan}] = k.id; else model.erase({device, k.scan});

        uint8_t mask = 0;
        bool other = false;
        for (const auto & e : model) {
            if (e.second == KeyOther) other = true; else mask |= (uint8_t) (1u << e.second);
        }
        const HeldState state = heldState(&table);
        ASSERT_EQ(state.modifierMask, mask) << "step " << step;
        ASSERT_EQ(state.otherHeld, other) << "step " << step;
        ASSERT_EQ(t.changed, mask != beforeMask || other != beforeOther) << "step " << step;
        ASSERT_EQ(table.heldCount, model.size());
        if (step % 500 == 0) expectConsistent(table);
    }
    expectConsistent(table);
}
