#include "src/identity.h"

#include <string.h>

#include "src/tracker.h"

namespace appfocus {
namespace {

platform::Utf16Unit lowerAscii(platform::Utf16Unit c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<platform::Utf16Unit>(c + 32) : c;
}

bool endsWithExe(const platform::Utf16Unit *name, uint32_t n) {
    const platform::Utf16Unit *tail = name + n - 4;
    return tail[0] == u'.' && lowerAscii(tail[1]) == u'e' && lowerAscii(tail[2]) == u'x' &&
           lowerAscii(tail[3]) == u'e';
}

}  // namespace

bool imageBaseName(const platform::Utf16Unit *path, uint32_t length, char *name) {
    uint32_t begin = 0;
    for (uint32_t i = 0; i < length; i++) {
        if (path[i] == u'\\') begin = i + 1;  // forward slashes are not separators
    }
    const platform::Utf16Unit *base = path + begin;
    uint32_t n = length - begin;
    // Only a longer name loses the suffix: ".exe" alone stays ".exe".
    if (n > 4 && endsWithExe(base, n)) n -= 4;
    if (n == 0 || n > kMaxBaseNameUnits) return false;

    int bytes = platform::utf16ToUtf8(base, static_cast<int>(n), name, kNameBytes - 1);
    if (bytes <= 0) return false;
    name[bytes] = '\0';
    for (int i = 0; i < bytes; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

void resolveForeground(ForegroundTracker *t) {
    ProbeToken token = beginProbe(t, monotonicMs());

    platform::WindowHandle window = platform::foregroundWindow();
    t->trackedWindow.exchange(window);
    uint32_t processId = window != 0 && platform::isWindow(window)
                             ? platform::windowProcessId(window)
                             : 0;
    if (processId == 0) {
        completeProbe(t, token, nullptr);
        return;
    }
    platform::ProcessHandle process = platform::openProcess(processId);
    if (!process) {
        completeProbe(t, token, nullptr);
        return;
    }

    AppIdentity candidate;
    memset(&candidate, 0, sizeof(candidate));
    bool nameOk = false;
    platform::Utf16Unit path[kImagePathUnits];
    uint32_t length = 0;
    if (platform::queryImagePath(process, path, kImagePathUnits, &length) && length >= 1 &&
        length < kImagePathUnits) {
        path[length] = 0;
        nameOk = imageBaseName(path, length, candidate.name);
    }
    bool running = platform::processStillRunning(process);
    platform::closeProcess(process);

    // The window, or its owner, may have changed while we read the path.
    bool stable = platform::foregroundWindow() == window && platform::isWindow(window) &&
                  platform::windowProcessId(window) == processId;

    if (!t->stopRequested.load() && nameOk && running && stable) {
        candidate.processId = processId;
        candidate.windowHandle = window;
        completeProbe(t, token, &candidate);
    } else {
        completeProbe(t, token, nullptr);
    }
}

}  // namespace appfocus
