/* Lazy binding of a Node-API module to its host on Windows.
 *
 * The module's imports name "node.exe" and are delay-loaded. When the delay
 * helper is about to load that name, this hook hands it the executable that
 * is already running us instead, so an Electron host or a renamed node.exe
 * satisfies the imports without a node.exe on disk. */
#include <windows.h>
#include <delayimp.h>

static FARPROC WINAPI quillet_delay_hook(unsigned reason, PDelayLoadInfo info) {
    if (reason == dliNotePreLoadLibrary && info && info->szDll && lstrcmpiA(info->szDll, "node.exe") == 0) {
        return (FARPROC) GetModuleHandleW(NULL);
    }
    return NULL;
}

PfnDliHook __pfnDliNotifyHook2 = quillet_delay_hook;
