// sendCommand: the records each command sends, the calls per round, refusals; foregroundProcessId.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "send_keys.h"
#include "worker_driver.h"

using namespace keywatch;

namespace {

SimDesktop sendWith(const char * text, SendResult expected, uint32_t call = 0, uint32_t limit = 0xFFFFFFFFu) {
    simDesktopReset();
    onDesktop([&](SimDesktop * d) { d->acceptLimitFromCall = call, d->acceptLimit = limit; });
    EXPECT_EQ(sendCommand(text, strlen(text)), expected) << text;
    SimDesktop copy;
    onDesktop([&](SimDesktop * d) { copy = *d; });
    return copy;
}

// The records as "v+ v- ..." with the virtual-key code in hex and + for a press.
std::string records(const SimDesktop & d) {
    std::string out;
    for (uint32_t i = 0; i < d.sentCount; i++) {
        char one[16];
        snprintf(one, sizeof(one), "%s%x%c", i ? " " : "", d.sent[i].vkey, d.sent[i].release ? '-' : '+');
        out += one;
        EXPECT_EQ(d.sent[i].scanCode, mapVirtualKeyToScan(d.sent[i].vkey));
    }
    return out;
}

} // namespace

// A refused round stops the command and releases what it pressed.
TEST(SendKeys, EachCommandSendsItsRoundsInOneCallEach) {
    const uint32_t all = 0xFFFFFFFFu;
    const struct {
        const char * command;
        uint32_t     call, limit; // from call `call` on, `limit` records per call
        const char * records;
        uint32_t     calls;
    } cases[] = {
        {"paste", 0, all, "11+ 56+ 56- 11-", 1}, // the generic Control around V
        {"undo", 0, all, "11+ 5a+ 5a- 11-", 1},
        {"newline", 0, all, "d+ d-", 1},
        {"paragraph", 0, all, "d+ d- d+ d-", 2},
        {"paragraph", 1, 0, "d+ d-", 2},      // the second round refused: no third call
        {"paragraph", 0, 0, "", 1},           // refused outright: nothing to release
        {"paste", 0, 1, "11+ 11-", 2},        // Control alone went in: released in one extra call
        {"undo", 0, 2, "11+ 5a+ 5a- 11-", 2}, // Control and Z went in: both released, the key first
        {"newline", 0, 1, "d+ d-", 2},
    };
    for (const auto & c : cases) {
        const SimDesktop d = sendWith(c.command, c.limit == all ? sendSent : sendRefused, c.call, c.limit);
        EXPECT_EQ(records(d), c.records) << c.command;
        EXPECT_EQ(d.sendCalls, c.calls) << c.command;
    }
}

TEST(SendKeys, AnythingButAnExactCommandIsBadAndSendsNothing) {
    for (const char * text : {"Paste", "PASTE", " paste", "paste ", "undo\n", "", "past", "pastee", "paragraphs",
                              "paste..........", "\xEF\xBB\xBFpaste"}) {
        EXPECT_EQ(sendWith(text, sendBadCommand).sendCalls, 0u);
    }
    EXPECT_EQ(sendCommand("paste\0", 6), sendBadCommand);
}

// The owner's id as the system gives it, or 0: never an id from another source.
TEST(SendKeys, ForegroundPidIsTheOwnersOrZero) {
    simDesktopReset();
    onDesktop([](SimDesktop * d) { d->foregroundProcess = 0xFFFFFFF0u; });
    EXPECT_EQ(foregroundProcessId(), 0xFFFFFFF0u);
    onDesktop([](SimDesktop * d) { d->foregroundThread = 0, d->foregroundProcess = 0; }); // owner not found
    EXPECT_EQ(foregroundProcessId(), 0u);
    onDesktop([](SimDesktop * d) { d->foreground = nullptr; });
    EXPECT_EQ(foregroundProcessId(), 0u);
    simDesktopReset();
}
