#include "identity.h"

#include <string.h>

#include "exe_name.h"

#include "tracker.h"

namespace appfocus {
bool imageBaseName(const platform::Utf16Unit * path, uint32_t length, char * name) {
    const quillet::ExeName      exe  = quillet::exeName(path, length);
    const platform::Utf16Unit * base = path + exe.begin;
    uint32_t                    n    = exe.units;
    if (n == 0 || n > maxBaseNameUnits) return false;

    int bytes = platform::utf16ToUtf8(base, static_cast<int>(n), name, nameBytes - 1);
    if (bytes <= 0) return false;
    name[bytes] = '\0';
    for (int i = 0; i < bytes; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

void resolveForeground(ForegroundTracker * t) {
    ProbeToken token = beginProbe(t, monotonicMs());

    platform::WindowHandle window = platform::foregroundWindow();
    t->trackedWindow.exchange(window);
    uint32_t processId = window != 0 && platform::isWindow(window) ? platform::windowProcessId(window) : 0;
    if (processId == 0) {
        completeProbe(t, token, nullptr);
        return;
    }
    AppIdentity candidate;
    memset(&candidate, 0, sizeof(candidate));
    bool nameOk  = false;
    bool running = false;
    {
        const platform::ScopedProcess process(platform::openProcess(processId));
        if (!process.get()) {
            completeProbe(t, token, nullptr);
            return;
        }
        platform::Utf16Unit path[imagePathUnits];
        uint32_t            length = 0;
        if (platform::queryImagePath(process.get(), path, imagePathUnits, &length) && length >= 1 &&
            length < imagePathUnits) {
            path[length] = 0;
            nameOk       = imageBaseName(path, length, candidate.name);
        }
        running = platform::processStillRunning(process.get());
    }

    // The window, or its owner, may have changed while we read the path.
    bool stable = platform::foregroundWindow() == window && platform::isWindow(window) &&
                  platform::windowProcessId(window) == processId;

    if (!t->stopRequested.load() && nameOk && running && stable) {
        candidate.processId    = processId;
        candidate.windowHandle = window;
        completeProbe(t, token, &candidate);
    } else {
        completeProbe(t, token, nullptr);
    }
}

} // namespace appfocus
