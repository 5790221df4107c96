// The held-key table: what changes the reported held state, what is refused, the capacities.
#include <gtest/gtest.h>

#include "failures.h"
#include "held_keys.h"

using namespace keywatch;

namespace {

DecodedKey key(KeyId id, uint16_t scan, bool down) { return DecodedKey{id, scan, down, false, nullptr}; }

struct HeldKeys : ::testing::Test {
    void SetUp() override { clearHeld(&table); }
    bool changes(DeviceHandle device, KeyId id, uint16_t scan, bool down) {
        const HeldTransition t = applyTransition(&table, device, key(id, scan, down));
        EXPECT_EQ(t.failure, nullptr);
        return t.changed;
    }
    HeldKeyTable table;
};

} // namespace

TEST_F(HeldKeys, HeldStateChangesAtTheFirstPressAndTheLastRelease) {
    EXPECT_TRUE(changes(1, KeyLeftControl, 0x1D, true));
    EXPECT_FALSE(changes(1, KeyLeftControl, 0x1D, true)); // auto-repeat
    EXPECT_FALSE(changes(2, KeyLeftControl, 0x1D, true)); // the same modifier on another keyboard
    EXPECT_FALSE(changes(1, KeyLeftControl, 0x1D, false));
    EXPECT_TRUE(changes(2, KeyLeftControl, 0x1D, false));
    EXPECT_TRUE(changes(1, KeyOther, 0x1E, true));
    EXPECT_FALSE(changes(1, KeyOther, 0x30, true));
    EXPECT_FALSE(changes(3, KeyOther, pointerButtonScanBase, true));
    EXPECT_FALSE(changes(1, KeyOther, 0x1E, false));
    EXPECT_FALSE(changes(3, KeyOther, pointerButtonScanBase, false));
    EXPECT_TRUE(changes(1, KeyOther, 0x30, false)); // what the transition reports: InputHandler.*, keywatch.node
    EXPECT_EQ(table.heldCount + table.deviceCount, 0u);
}

TEST_F(HeldKeys, RefusesWhatItCannotMatchAndLeavesTheTableAsItWas) {
    ASSERT_TRUE(changes(1, KeyLeftControl, 0x1D, true));
    const struct {
        DeviceHandle device;
        DecodedKey   key;
        const char * failure;
    } cases[] = {
        {1, key(KeyLeftShift, 0x2A, false), failure::unmatchedRelease},             // never pressed
        {2, key(KeyLeftControl, 0x1D, false), failure::unmatchedRelease},           // pressed on another keyboard
        {1, key(KeyOther, 0x1D, false), failure::unmatchedRelease},                 // released as another key
        {1, key(KeyRightControl, 0x1D, true), failure::keyboardRemappingAmbiguous}, // pressed again as another key
        {0, key(KeyOther, 0x1E, true), failure::rawDeviceAmbiguous},
        {0, {KeyLeftShift, 0x2A, true, false, failure::keyboardOverrun}, failure::keyboardOverrun}, // decoder's first
    };
    for (const auto & c : cases) {
        EXPECT_STREQ(applyTransition(&table, c.device, c.key).failure, c.failure);
    }
    EXPECT_FALSE(applyTransition(&table, 1, DecodedKey{KeyLeftControl, 0x1D, false, true, nullptr}).changed); // ignored
    EXPECT_EQ(table.heldCount, 1u);
    EXPECT_EQ(heldState(&table).modifierMask, 0x01);
}

TEST_F(HeldKeys, HoldsAt256KeysAnd32Devices) {
    for (uint16_t scan = 1; scan <= heldKeyCapacity; scan++) {
        ASSERT_FALSE(applyTransition(&table, 1 + scan % 4, key(KeyOther, scan, true)).failure);
    }
    EXPECT_STREQ(applyTransition(&table, 1, key(KeyOther, 0x1FF, true)).failure, failure::heldStateOverflow);
    EXPECT_EQ(applyTransition(&table, 2, key(KeyOther, 1, true)).failure, nullptr) << "a repeat still fits";

    clearHeld(&table);
    for (DeviceHandle device = 1; device <= heldDeviceCapacity; device++) {
        ASSERT_FALSE(applyTransition(&table, device, key(KeyOther, 0x1E, true)).failure);
    }
    EXPECT_STREQ(applyTransition(&table, 33, key(KeyOther, 0x1E, true)).failure, failure::heldStateOverflow);
    EXPECT_EQ(applyTransition(&table, 5, key(KeyOther, 0x30, true)).failure, nullptr) << "a listed device";
    ASSERT_EQ(applyTransition(&table, 3, key(KeyOther, 0x1E, false)).failure, nullptr);
    EXPECT_EQ(applyTransition(&table, 33, key(KeyOther, 0x1E, true)).failure, nullptr) << "a freed slot";
}
