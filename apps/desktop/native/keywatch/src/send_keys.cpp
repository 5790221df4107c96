#include "send_keys.h"

#include <string.h>

#include "platform.h"
#include "windows_codes.h"

namespace keywatch {

namespace {

using quillet::vkControl; // the generic Control, not left or right
using quillet::vkReturn;

struct Command {
    const char * name;
    size_t       length;
    uint16_t     key;
    bool         withControl;
    uint32_t     rounds;
};

constexpr Command commands[] = {
    {"paste", 5, quillet::vkV, true, 1},
    {"undo", 4, quillet::vkZ, true, 1},
    {"newline", 7, vkReturn, false, 1},
    {"paragraph", 9, vkReturn, false, 2},
};

SynthKey synth(uint16_t vkey, bool release) { return SynthKey{vkey, (uint16_t) mapVirtualKeyToScan(vkey), release}; }

uint32_t buildRound(const Command & command, SynthKey keys[4]) {
    uint32_t count = 0;
    if (command.withControl) {
        keys[count++] = synth(vkControl, false);
    }
    keys[count++] = synth(command.key, false);
    keys[count++] = synth(command.key, true);
    if (command.withControl) {
        keys[count++] = synth(vkControl, true);
    }
    return count;
}

// A round cut short after some of its presses went in would leave those keys
// down for the rest of the session (Control held turns the user's typing into
// shortcuts). Release, in one best-effort call, every key the inserted part
// pressed and did not release; the round still counts as refused.
void releaseStranded(const SynthKey keys[4], uint32_t count, uint32_t inserted) {
    SynthKey releases[4];
    uint32_t n = 0;
    for (uint32_t i = inserted; i < count; i++) {
        if (!keys[i].release) {
            continue;
        }
        for (uint32_t j = 0; j < inserted; j++) {
            if (!keys[j].release && keys[j].vkey == keys[i].vkey) {
                releases[n++] = keys[i];
                break;
            }
        }
    }
    if (n > 0) {
        (void) sendKeys(releases, n);
    }
}

} // namespace

const char * sendResultText(SendResult result) {
    switch (result) {
        case sendSent: return "sent";
        case sendRefused: return "keystroke-refused";
        default: return "bad-command";
    }
}

SendResult sendCommand(const char * text, size_t length) {
    const Command * command = nullptr;
    for (const Command & candidate : commands) {
        if (candidate.length == length && memcmp(candidate.name, text, length) == 0) {
            command = &candidate;
            break;
        }
    }
    if (command == nullptr) {
        return sendBadCommand;
    }
    for (uint32_t round = 0; round < command->rounds; round++) {
        SynthKey       keys[4];
        const uint32_t count    = buildRound(*command, keys);
        const uint32_t inserted = sendKeys(keys, count);
        if (inserted != count) {
            if (inserted < count) {
                releaseStranded(keys, count, inserted);
            }
            return sendRefused;
        }
    }
    return sendSent;
}

uint32_t foregroundProcessId() {
    uint32_t     processId = 0;
    WindowHandle window    = foregroundWindow();
    if (window != nullptr) {
        (void) windowThreadProcessId(window, &processId);
    }
    return processId;
}

} // namespace keywatch
