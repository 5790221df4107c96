// sendCommand and foregroundProcessId against the simulated desktop: the
// exact records each command sends, the calls per round, and refusals.
#include <gtest/gtest.h>

#include <string.h>

#include "send_keys.h"
#include "sim.h"

using namespace keywatch;

namespace {

struct Sent {
    SynthKey keys[64];
    uint32_t count;
    uint32_t calls;
    uint32_t batches[16];
};

Sent sentSoFar() {
    Sent sent;
    SimDesktop * d = simDesktopBegin();
    memcpy(sent.keys, d->sent, sizeof(sent.keys));
    sent.count = d->sentCount;
    sent.calls = d->sendCalls;
    memcpy(sent.batches, d->sendBatches, sizeof(sent.batches));
    simDesktopEnd();
    return sent;
}

void refuseFrom(uint32_t call, uint32_t acceptLimit) {
    SimDesktop * d = simDesktopBegin();
    d->acceptLimitFromCall = call;
    d->acceptLimit         = acceptLimit;
    simDesktopEnd();
}

SendResult send(const char * text) { return sendCommand(text, strlen(text)); }

// Scan codes of the simulated US layout.
constexpr uint16_t scanControl = 0x1D, scanV = 0x2F, scanZ = 0x2C, scanReturn = 0x1C;

void expectKey(const SynthKey & key, uint16_t vkey, uint16_t scan, bool release) {
    EXPECT_EQ(key.vkey, vkey);
    EXPECT_EQ(key.scanCode, scan);
    EXPECT_EQ(key.release, release);
}

class SendKeys : public ::testing::Test {
protected:
    void SetUp() override { simDesktopReset(); }
};

} // namespace

TEST_F(SendKeys, ControlCommandsSendFourRecordsInOneCall) {
    const struct { const char * name; uint16_t vkey; uint16_t scan; } cases[] = {
        {"paste", 0x56, scanV},
        {"undo", 0x5A, scanZ},
    };
    for (const auto & c : cases) {
        simDesktopReset();
        EXPECT_EQ(send(c.name), sendSent) << c.name;
        const Sent sent = sentSoFar();
        ASSERT_EQ(sent.calls, 1u) << c.name;
        ASSERT_EQ(sent.count, 4u) << c.name;
        expectKey(sent.keys[0], 0x11, scanControl, false); // the generic Control
        expectKey(sent.keys[1], c.vkey, c.scan, false);
        expectKey(sent.keys[2], c.vkey, c.scan, true);
        expectKey(sent.keys[3], 0x11, scanControl, true);
    }
}

TEST_F(SendKeys, ReturnCommandsSendOneCallOfTwoRecordsPerRound) {
    EXPECT_EQ(send("newline"), sendSent);
    Sent sent = sentSoFar();
    ASSERT_EQ(sent.calls, 1u);
    ASSERT_EQ(sent.count, 2u);
    expectKey(sent.keys[0], 0x0D, scanReturn, false);
    expectKey(sent.keys[1], 0x0D, scanReturn, true);

    simDesktopReset();
    EXPECT_EQ(send("paragraph"), sendSent);
    sent = sentSoFar();
    ASSERT_EQ(sent.calls, 2u);
    EXPECT_EQ(sent.batches[0], 2u);
    EXPECT_EQ(sent.batches[1], 2u);
    ASSERT_EQ(sent.count, 4u);
    for (uint32_t i = 0; i < 4; i++) {
        expectKey(sent.keys[i], 0x0D, scanReturn, i % 2 == 1);
    }
}

TEST_F(SendKeys, RefusedRoundStopsTheCommand) {
    // Second paragraph round refused: one line break typed, no third call.
    refuseFrom(1, 0);
    EXPECT_EQ(send("paragraph"), sendRefused);
    Sent sent = sentSoFar();
    EXPECT_EQ(sent.calls, 2u);
    EXPECT_EQ(sent.count, 2u);

    // First round refused outright: nothing went in, nothing to release.
    simDesktopReset();
    refuseFrom(0, 0);
    EXPECT_EQ(send("paragraph"), sendRefused);
    sent = sentSoFar();
    EXPECT_EQ(sent.calls, 1u);
    EXPECT_EQ(sent.count, 0u);
}

TEST_F(SendKeys, PartlyInsertedRoundReleasesWhatItPressed) {
    // Control alone went in: Control is released in one extra call.
    refuseFrom(0, 1);
    EXPECT_EQ(send("paste"), sendRefused);
    Sent sent = sentSoFar();
    ASSERT_EQ(sent.calls, 2u);
    EXPECT_EQ(sent.batches[1], 1u);
    ASSERT_EQ(sent.count, 2u);
    expectKey(sent.keys[1], 0x11, scanControl, true);

    // Control and Z went in: both released, key first.
    simDesktopReset();
    refuseFrom(0, 2);
    EXPECT_EQ(send("undo"), sendRefused);
    sent = sentSoFar();
    ASSERT_EQ(sent.calls, 2u);
    ASSERT_EQ(sent.count, 4u);
    expectKey(sent.keys[2], 0x5A, scanZ, true);
    expectKey(sent.keys[3], 0x11, scanControl, true);

    // Return pressed but not released.
    simDesktopReset();
    refuseFrom(0, 1);
    EXPECT_EQ(send("newline"), sendRefused);
    sent = sentSoFar();
    ASSERT_EQ(sent.count, 2u);
    expectKey(sent.keys[1], 0x0D, scanReturn, true);
}

TEST_F(SendKeys, AnythingButAnExactCommandIsBadAndSendsNothing) {
    const char * bad[] = {"Paste", "PASTE", "Undo", "NEWLINE", "Paragraph", " paste", "paste ", "undo\n",
                          "", "past", "pastee", "paragraphs",
                          "paste...................................", // 40 characters
                          "\xEF\xBB\xBFpaste"};
    for (const char * text : bad) {
        EXPECT_EQ(send(text), sendBadCommand) << '"' << text << '"';
    }
    // A command with a NUL inside its read length is not the command.
    EXPECT_EQ(sendCommand("paste\0", 6), sendBadCommand);
    // What the binding sees of a long string: its first 15 bytes.
    EXPECT_EQ(sendCommand("paste..........", 15), sendBadCommand);
    EXPECT_EQ(sentSoFar().calls, 0u);
}

TEST_F(SendKeys, ForegroundPid) {
    SimDesktop * d = simDesktopBegin();
    d->foregroundProcess = 0xFFFFFFF0u;
    simDesktopEnd();
    EXPECT_EQ(foregroundProcessId(), 0xFFFFFFF0u);

    d = simDesktopBegin();
    d->foreground = nullptr;
    simDesktopEnd();
    EXPECT_EQ(foregroundProcessId(), 0u);
}
