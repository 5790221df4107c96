/* Stand-in wtsapi32.dll for the Wine stage only; never shipped.
 *
 * Wine 8.0's WTSQuerySessionInformationW fails for WTSConnectState, so
 * keywatch's environment check (rightly) never lets the capture arm there.
 * This DLL answers what a local console session answers on Windows and
 * implements the rest of what keywatch imports from wtsapi32, so that the
 * Wine stage can run the armed capture. The tests load it into node.exe with
 * WINEDLLOVERRIDES="wtsapi32=n,b" before keywatch.node; keywatch's import then
 * binds to this already-loaded copy. Nothing in the module changes for it.
 *
 * wtsapi32.h is not included: its declarations are dllimport. */
#include <windows.h>
#include <string.h>

enum {
    info_connect_state   = 8,  /* WTSConnectState */
    info_client_protocol = 16, /* WTSClientProtocolType */
    state_active         = 0,  /* WTSActive */
    protocol_console     = 0,
};

__declspec(dllexport) BOOL WINAPI WTSRegisterSessionNotification(HWND window, DWORD flags) {
    (void) flags;
    return IsWindow(window);
}

__declspec(dllexport) BOOL WINAPI WTSUnRegisterSessionNotification(HWND window) { return IsWindow(window); }

__declspec(dllexport) void WINAPI WTSFreeMemory(void * memory) { HeapFree(GetProcessHeap(), 0, memory); }

/* Only the current session of the local server is known. */
__declspec(dllexport) BOOL WINAPI
    WTSQuerySessionInformationW(HANDLE server, DWORD session, int info, WCHAR ** buffer, DWORD * bytes) {
    if (server != NULL || session != (DWORD) -1 || buffer == NULL || bytes == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = 0, value = 0;
    if (info == info_connect_state) {
        size  = sizeof(DWORD);
        value = state_active;
    } else if (info == info_client_protocol) {
        size  = sizeof(USHORT);
        value = protocol_console;
    } else {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    void * answer = HeapAlloc(GetProcessHeap(), 0, size);
    if (answer == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    memcpy(answer, &value, size); /* little-endian: the low bytes */
    *buffer = answer;
    *bytes  = size;
    return TRUE;
}

/* node.exe keeps a DLL loaded with process.dlopen only if it registers as a
 * module; this one adds nothing to the exports object. */
__declspec(dllexport) void * napi_register_module_v1(void * env, void * exports) {
    (void) env;
    return exports;
}
